#include "command_line.h"

#include <QCommandLineOption>
#include <QCoreApplication>
#include <QList>
#include <algorithm>
#include <climits>
#include <fmt/format.h>

#include "base/gstring.h"

namespace command_line {

namespace {

struct CommandLineHolder {
  QCommandLineParser parser;
};

CommandLineHolder& Holder() {
  static CommandLineHolder holder;
  return holder;
}

bool IsDecimalDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

bool IsCSpace(QChar c) {
  return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
         c == QLatin1Char('\v') || c == QLatin1Char('\f') || c == QLatin1Char('\r');
}

// std::stoi's reading: leading blanks, an optional sign, decimal digits, the
// rest ignored. No digits or a value outside int gives nothing.
bool ParseLeadingInt(const QString& text, int* value) {
  int i = 0;
  const int n = text.size();
  while (i < n && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  if (i >= n || !IsDecimalDigit(text[i])) return false;
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; i < n && IsDecimalDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i].unicode() - u'0');
    if (magnitude > limit) return false;
  }
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

template <typename Char>
std::basic_string<Char> Quote(std::basic_string_view<Char> value) {
  constexpr Char kQuote = static_cast<Char>('"');
  constexpr Char kBackslash = static_cast<Char>('\\');
  std::basic_string<Char> out;
  out.reserve(value.size() + 4);
  out += kQuote;
  // By the Windows rules a run of backslashes is literal unless a quote
  // follows it; only then is each one doubled (and the quote escaped).
  std::size_t backslashes = 0;
  for (const Char c : value) {
    if (c == kBackslash) {
      ++backslashes;
      continue;
    }
    if (c == kQuote) {
      out.append(backslashes * 2 + 1, kBackslash);
    } else {
      out.append(backslashes, kBackslash);
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, kBackslash);  // they precede the closing quote
  out += kQuote;
  out += static_cast<Char>(' ');
  return out;
}

}  // namespace

QCommandLineParser& Instance() { return Holder().parser; }

void SetupParser(QCommandLineParser& parser, const QStringList& names, QStringList arguments) {
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  QList<QCommandLineOption> options;
  for (const QString& name : names) {
    QCommandLineOption option(name);
    option.setValueName(QStringLiteral("value"));
    options.append(option);
  }
  parser.addOptions(options);

  // Chromium-style debugging switches may be passed through to every product
  // program; they are not ours and must not eat a value.
  arguments.erase(std::remove_if(arguments.begin(), arguments.end(),
                                 [](const QString& argument) {
                                   return argument.startsWith(
                                       QLatin1String("--remote-debugging-port="),
                                       Qt::CaseSensitive);
                                 }),
                  arguments.end());
  // parse, not process: unknown options or a missing value must neither print
  // nor end the helper.
  (void)parser.parse(arguments);
}

void Setup(const QStringList& names) {
  SetupParser(Instance(), names, QCoreApplication::arguments());
}

bool IsFromValue14(const QStringList& arguments) {
  // Up to the last-but-one argument, so a value always follows.
  for (int i = 1; i + 1 < arguments.size(); ++i) {
    if (arguments[i] != QLatin1String("--from")) continue;
    int value = 0;
    return ParseLeadingInt(arguments[i + 1], &value) && value == 14;
  }
  return false;
}

bool IsFromValue14() {
  if (QCoreApplication::instance() == nullptr) return false;
  return IsFromValue14(QCoreApplication::arguments());
}

std::wstring FormatOptionArg(std::string_view name) {
  return base::gstring::FromUtf8(fmt::format("--{} ", name));
}

std::wstring FormatOptionArg(std::wstring_view name) {
  std::wstring out = L"--";
  out.append(name);
  out += L' ';
  return out;
}

std::wstring QuoteArg(std::string_view value) {
  // Escaping touches ASCII only, so quoting after the conversion is the same
  // as quoting the UTF-8 text and converting the result.
  const std::wstring wide = base::gstring::FromUtf8(value);
  return Quote<wchar_t>(wide);
}

std::wstring QuoteArg(std::wstring_view value) { return Quote<wchar_t>(value); }

std::wstring BuildArgs(const std::map<std::string, std::string>& options) {
  std::wstring out;
  for (const auto& [name, value] : options) {
    out += FormatOptionArg(std::string_view(name));
    out += QuoteArg(std::string_view(value));
  }
  return out;
}

std::wstring BuildArgs(const std::map<std::wstring, std::wstring>& options) {
  std::wstring out;
  for (const auto& [name, value] : options) {
    out += FormatOptionArg(std::wstring_view(name));
    out += QuoteArg(std::wstring_view(value));
  }
  return out;
}

}  // namespace command_line
