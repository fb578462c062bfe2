// Quit requests on Windows, which has no signal to carry one: the quitter
// leaves the file quit_request.<target pid>.<its pid> in the stand-in folder
// and the target looks for files with its pid every time it wakes (20 ms
// for the emulator). One file per requester, so requests that cross are
// each answered.
#include <windows.h>

#include <string>

#include "platform/process.h"
#include "platform/text.h"
#include "standin_os.h"

namespace standin {
namespace {

std::wstring RequestPrefix(Pid target) {
  return L"quit_request." + std::to_wstring(target) + L".";
}

std::filesystem::path RequestFile(const std::filesystem::path& dir, Pid target, Pid from) {
  return dir / (RequestPrefix(target) + std::to_wstring(from));
}

// An empty file as a mark. Others may delete it while it is still open here,
// so the one who reads the mark can remove it at once.
bool Mark(const std::filesystem::path& file) {
  const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(handle);
  return true;
}

// Every request to `self` in `dir`, each taken (removed) before it is
// answered, so no request is answered twice. Stops at the first one when
// `first_only`.
std::optional<Pid> TakeRequests(const std::filesystem::path& dir, Pid self, bool first_only) {
  const std::wstring prefix = RequestPrefix(self);
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::wstring name = it->path().filename().native();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::wstring digits = name.substr(prefix.size());
    if (digits.find_first_not_of(L"0123456789") != std::wstring::npos || digits.size() > 10) continue;
    // One that cannot be removed now is taken on a later look.
    if (!::DeleteFileW(it->path().c_str())) continue;
    if (first_only) return static_cast<Pid>(std::stoull(digits));
  }
  return std::nullopt;
}

}  // namespace

void ListenForQuitRequests(const std::filesystem::path& dir, Pid self) {
  // Requests to an earlier process that had this pid are not ours.
  TakeRequests(dir, self, false);
}

std::optional<Pid> TakeQuitRequest(const std::filesystem::path& dir, Pid self) {
  return TakeRequests(dir, self, true);
}

bool SendQuitRequest(const std::filesystem::path& dir, Pid target, Pid self) {
  return Mark(RequestFile(dir, target, self));
}

void WithdrawQuitRequest(const std::filesystem::path& dir, Pid target, Pid self) {
  ::DeleteFileW(RequestFile(dir, target, self).c_str());
}

void Acknowledge(const std::filesystem::path& dir, Pid requester) {
  Mark(dir / (L"quit_ack." + std::to_wstring(requester)));
}

void Nap(long ms) { platform::SleepMs(static_cast<std::uint32_t>(ms)); }

std::string PathText(const std::filesystem::path& path) {
  return platform::text::ToUtf8(path.native());
}

}  // namespace standin
