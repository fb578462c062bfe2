#include "command_line.h"

#include <QCommandLineOption>
#include <QCoreApplication>
#include <QList>
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "platform/session.h"

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
  // Read from the OS, not from QCoreApplication::arguments(): Qt takes its
  // own options (-style, -platform, ...) and their values out of those.
  const platform::Result<std::vector<std::string>> raw = platform::RawArguments();
  if (!raw) return false;
  QStringList arguments;
  for (const std::string& argument : *raw) {
    arguments << QString::fromLocal8Bit(argument.data(), static_cast<int>(argument.size()));
  }
  return IsFromValue14(arguments);
}

}  // namespace command_line
