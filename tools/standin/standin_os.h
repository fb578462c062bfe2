// What the stand-in does differently per OS: how a quit request travels from
// the quit command to a running program and back, and how a wait is cut
// short by one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace standin {

using Pid = std::uint32_t;

// Readies this process for quit requests. Called before the emulator's pid
// file is written, as requests may come from then on.
void ListenForQuitRequests(const std::filesystem::path& dir, Pid self);
// A quit request that came since the last call: the requester's pid (0 when
// the OS does not tell).
std::optional<Pid> TakeQuitRequest(const std::filesystem::path& dir, Pid self);
// Asks `target` to quit; false when the request could not be sent.
bool SendQuitRequest(const std::filesystem::path& dir, Pid target, Pid self);
// Takes back a request `target` has not taken (it ended, or gave no answer).
void WithdrawQuitRequest(const std::filesystem::path& dir, Pid target, Pid self);
// Tells `requester` its request was taken: the file quit_ack.<requester>.
void Acknowledge(const std::filesystem::path& dir, Pid requester);

// Sleeps `ms`; on POSIX a quit request cuts the sleep short.
void Nap(long ms);
// A path as text for the records: UTF-8 on Windows, the bytes as they are
// on POSIX.
std::string PathText(const std::filesystem::path& path);

}  // namespace standin
