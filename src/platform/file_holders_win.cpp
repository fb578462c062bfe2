// Holders of a file on Windows: the Restart Manager knows which processes
// have it open or loaded. Its query has no time limit of its own, so it runs
// on a thread of its own that the caller stops waiting for at the deadline;
// the thread then finishes and ends its session by itself.
#include "platform/file_holders_win.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/scoped_generic.h"

namespace platform::file_holders {
namespace {

// Room for the usual answer at the first call; a longer one is asked again
// with the size the manager said it needs, plus a few for processes that
// opened the file in between.
constexpr UINT kFirstListSize = 16;
constexpr UINT kListSlack = 4;
constexpr int kListAttempts = 3;

struct RmSessionTraits {
  static DWORD InvalidValue() { return 0xFFFFFFFFu; }
  static void Free(DWORD session) { ::RmEndSession(session); }
};
using ScopedRmSession = ScopedGeneric<DWORD, RmSessionTraits>;

// Image names by pid, from one snapshot taken when the first is asked for.
class SnapshotImages {
 public:
  std::wstring operator()(Pid pid) {
    if (!images_) {
      images_.emplace();
      Result<ProcessSnapshot> snapshot = TakeProcessSnapshot();
      if (snapshot) {
        for (const ProcessEntry& entry : snapshot->entries) (*images_)[entry.pid] = entry.exe_file;
      }
    }
    const auto found = images_->find(pid);
    return found == images_->end() ? std::wstring() : found->second;
  }

 private:
  std::optional<std::map<Pid, std::wstring>> images_;
};

Result<HolderSearch> AskRestartManager(const std::wstring& file) {
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  const DWORD started = ::RmStartSession(&session, 0, key);
  if (started != ERROR_SUCCESS) return Fail(started);
  const ScopedRmSession owner(session);
  LPCWSTR names[] = {file.c_str()};
  const DWORD registered = ::RmRegisterResources(session, 1, names, 0, nullptr, 0, nullptr);
  if (registered != ERROR_SUCCESS) return Fail(registered);

  std::vector<RM_PROCESS_INFO> listed(kFirstListSize);
  UINT count = 0;
  DWORD status = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < kListAttempts && status == ERROR_MORE_DATA; ++attempt) {
    UINT needed = 0;
    DWORD reasons = 0;
    count = static_cast<UINT>(listed.size());
    status = ::RmGetList(session, &needed, &count, listed.data(), &reasons);
    if (status == ERROR_MORE_DATA) listed.resize(needed + kListSlack);
  }
  SnapshotImages images;
  return win::HoldersFromAnswer(
      status, std::span<const RM_PROCESS_INFO>(listed.data(), std::min<std::size_t>(count, listed.size())),
      std::ref(images));
}

// One query, shared by the thread that runs it and the caller that may stop
// waiting for it.
struct Query {
  std::wstring file;
  std::mutex mutex;
  std::condition_variable done_signal;
  std::optional<Result<HolderSearch>> answer;
};

}  // namespace

namespace win {

Result<HolderSearch> HoldersFromAnswer(DWORD status, std::span<const RM_PROCESS_INFO> listed,
                                       const std::function<std::wstring(Pid)>& image_of) {
  if (status != ERROR_SUCCESS) return Fail(status);
  HolderSearch search;
  for (const RM_PROCESS_INFO& info : listed) {
    const Pid pid = info.Process.dwProcessId;
    if (pid == 0) continue;
    const bool seen = std::any_of(search.holders.begin(), search.holders.end(),
                                  [pid](const Holder& h) { return h.pid == pid; });
    if (seen) continue;
    std::wstring image = image_of(pid);
    if (image.empty()) image = std::wstring(info.strAppName, ::wcsnlen(info.strAppName, CCH_RM_MAX_APP_NAME + 1));
    search.holders.push_back(Holder{pid, std::move(image)});
  }
  std::sort(search.holders.begin(), search.holders.end(),
            [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
  return search;
}

}  // namespace win

Result<HolderSearch> FindFileHolders(const std::filesystem::path& file, std::uint64_t deadline) {
  HolderSearch late;
  late.gave_up = true;
  const std::uint64_t now = TickCount64();
  if (now >= deadline) return late;
  auto query = std::make_shared<Query>();
  query->file = file.wstring();
  try {
    std::thread([query] {
      Result<HolderSearch> answer = AskRestartManager(query->file);
      std::lock_guard lock(query->mutex);
      query->answer.emplace(std::move(answer));
      query->done_signal.notify_all();
    }).detach();
  } catch (...) {
    return Fail(kErrorNotEnoughMemory);
  }
  std::unique_lock lock(query->mutex);
  const bool answered = query->done_signal.wait_for(
      lock, std::chrono::milliseconds(deadline - now), [&] { return query->answer.has_value(); });
  if (!answered) return late;
  return std::move(*query->answer);
}

}  // namespace platform::file_holders
