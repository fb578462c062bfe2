// The helper's command line: one process-wide parser and the raw --from scan
// used before the parser exists. The writers that put options onto the
// command line of a started program are in common/utils/command_args.h.
#pragma once

#include <QCommandLineParser>
#include <QStringList>

namespace command_line {

// The parser, created on first use (thread-safe). Readers call isSet/value.
QCommandLineParser& Instance();

// Registers `names` as value-taking options and parses the application's
// arguments, dropping every "--remote-debugging-port=..." first. Once.
void Setup(const QStringList& names);
// What Setup does, on a given parser and argument list (index 0 is the
// program).
void SetupParser(QCommandLineParser& parser, const QStringList& names, QStringList arguments);

// True when the process's raw command line (as started, before Qt took its
// own options out) holds "--from" followed by a number 14.
bool IsFromValue14();
// The raw scan over an explicit argument list (index 0 is the program).
bool IsFromValue14(const QStringList& arguments);

}  // namespace command_line
