// Failures the platform layer handles by itself (a damaged registry file
// recreated, process entries it could not read) still deserve a line in the
// log, but this layer has no logger. It hands such notes to a sink that the
// program installs once its log runs; notes raised before that are kept
// (a bounded number) and handed over when the sink arrives.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::diagnostics {

// Called with one complete, human-readable sentence per note, on the thread
// that raised it and with no lock of this layer held.
using Sink = void (*)(std::string_view note);

// Installs `sink` and hands it every kept note, oldest first. Null keeps
// notes again until the next sink. Returns the previous sink.
Sink SetSink(Sink sink);

// Raises a note: straight to the sink, or kept until there is one.
void Note(std::string note);

// The debugger output: texts a developer watching the process sees beside
// the log (a debugger's output window on Windows; on POSIX systems stderr,
// while a tracer such as gdb or strace is attached). Nobody watching: the
// text is dropped, as the system's own channel drops it. Never blocks on a
// reader and never fails towards the caller.
void DebuggerOutput(std::string_view utf8);
void DebuggerOutput(std::wstring_view text);

// Also receives every debugger text, in UTF-8, on the calling thread (tests,
// or a program that wants them elsewhere). Null removes it. Returns the
// previous listener.
using DebuggerListener = void (*)(std::string_view utf8);
DebuggerListener SetDebuggerListener(DebuggerListener listener);

// The tracer's process id in a /proc/<pid>/status text ("TracerPid:\t123");
// 0 when none is attached, nullopt when the text holds no such line.
std::optional<unsigned long> ParseTracerPid(std::string_view status_text);

namespace backend {
// Per OS (diagnostics_<os>.cpp): hands one text to whatever watches the
// process's debugger output.
void WriteDebuggerText(std::string_view utf8);
}  // namespace backend

}  // namespace platform::diagnostics
