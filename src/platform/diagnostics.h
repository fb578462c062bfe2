// Failures the platform layer handles by itself (a damaged registry file
// recreated, process entries it could not read) still deserve a line in the
// log, but this layer has no logger. It hands such notes to a sink that the
// program installs once its log runs; notes raised before that are kept
// (a bounded number) and handed over when the sink arrives.
#pragma once

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

}  // namespace platform::diagnostics
