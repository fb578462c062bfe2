// The helper's command line: one process-wide parser, the raw --from scan
// used before the parser exists, and the writers that put options onto the
// command line of a program this helper starts.
#pragma once

#include <QCommandLineParser>
#include <QStringList>
#include <map>
#include <string>
#include <string_view>

namespace command_line {

// The parser, created on first use (thread-safe). Readers call isSet/value.
QCommandLineParser& Instance();

// Registers `names` as value-taking options and parses the application's
// arguments, dropping every "--remote-debugging-port=..." first. Once.
void Setup(const QStringList& names);
// What Setup does, on a given parser and argument list (index 0 is the
// program).
void SetupParser(QCommandLineParser& parser, const QStringList& names, QStringList arguments);

// True when the raw command line holds "--from" followed by a number 14.
bool IsFromValue14();
// The raw scan over an explicit argument list (index 0 is the program).
bool IsFromValue14(const QStringList& arguments);

std::wstring FormatOptionArg(std::string_view name);
std::wstring FormatOptionArg(std::wstring_view name);
std::wstring QuoteArg(std::string_view value);
std::wstring QuoteArg(std::wstring_view value);
std::wstring BuildArgs(const std::map<std::string, std::string>& options);
std::wstring BuildArgs(const std::map<std::wstring, std::wstring>& options);

}  // namespace command_line
