// Processes on Linux: /proc for the list, a pidfd per handle.
//
// A raw handle is an entry of a handle table (slot index and generation in
// the opaque value), looked up under a lock: a closed, double-closed or forged
// handle finds no entry and gives 6, and a call in flight keeps the object it
// found alive while another thread closes the handle.
//
// The object holds its own pidfd, the pid, the access mask and an exit
// record. Children started by Launch share one exit record among all handles
// (found through a table keyed by pid): the first handle that sees the child
// end reaps it with waitid(P_PIDFD), so every handle reports the same code and
// the pid cannot be reused while a handle could still confuse it.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/posix_util_posix.h"
#include "platform/proc_parse.h"
#include "platform/handle_table.h"
#include "platform/process.h"
#include "platform/system_text.h"
#include "platform/text.h"

namespace platform {

namespace {

// What is known about how a process ended. Guarded by ChildTable().mutex.
struct ExitRecord {
  bool own_child = false;  // started by Launch: we reap it
  posix::ScopedFd reap_fd;  // own children: the pidfd we reap through
  int handles = 0;         // own children: open handles sharing this record
  bool ended = false;
  std::uint32_t exit_code = 0;
  bool terminate_sent = false;
  std::uint32_t terminate_code = 0;
};

struct ProcessObject {
  posix::ScopedFd pidfd;
  Pid pid = 0;
  std::uint32_t access = 0;
  std::shared_ptr<ExitRecord> record;
};

struct Children {
  std::mutex mutex;
  std::map<Pid, std::shared_ptr<ExitRecord>> by_pid;  // own children not yet reaped
};

Children& ChildTable() {
  static Children* table = new Children;  // outlives static destructors: reaper threads use it
  return *table;
}

using HandleTable = internal::HandleTable<ProcessObject>;

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // handles may be closed during static destruction
  return *table;
}

const RawProcess kCurrentProcess = reinterpret_cast<RawProcess>(static_cast<std::intptr_t>(-1));

std::atomic<TerminateFunction> g_terminate{&RealTerminateProcess};

int PidfdOpen(Pid pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

int PidfdSendSignal(int fd, int sig) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

std::shared_ptr<ProcessObject> Resolve(RawProcess raw) {
  if (raw == nullptr || raw == kCurrentProcess) return nullptr;
  return Handles().Find(raw);
}

bool HasQueryRight(std::uint32_t access) {
  return (access & (kProcessQueryInformation | kProcessQueryLimitedInformation)) != 0;
}

// Readable means the process has ended (it may still be an unreaped zombie).
bool PidfdEnded(int fd) {
  pollfd p{fd, POLLIN, 0};
  const int r = posix::RetryAfterSignal([&] { return poll(&p, 1, 0); });
  return r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::uint32_t CodeFromSiginfo(const siginfo_t& info, const ExitRecord& record) {
  if (info.si_code == CLD_EXITED) return static_cast<std::uint32_t>(info.si_status);
  // Killed: a terminate we sent reports its code, as on Windows; any other
  // signal follows the shell's 128 + signal convention.
  if (record.terminate_sent && info.si_status == SIGKILL) return record.terminate_code;
  return 128u + static_cast<std::uint32_t>(info.si_status);
}

void ForgetChildLocked(Pid pid, ExitRecord& record) {
  record.reap_fd.reset();
  auto& table = ChildTable().by_pid;
  auto it = table.find(pid);
  if (it != table.end() && it->second.get() == &record) table.erase(it);
}

// Settles the exit record of an ended process. Call with the table locked,
// only once the pidfd polled readable.
void SettleEndedLocked(Pid pid, int pidfd, ExitRecord& record) {
  if (record.ended) return;
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (record.own_child) {
    const int r = posix::RetryAfterSignal([&] {
      return waitid(P_PIDFD, static_cast<id_t>(record.reap_fd.get()), &info, WEXITED | WNOHANG);
    });
    if (r == 0 && info.si_pid == 0) return;  // not waitable yet; ask again later
    record.ended = true;
    // ECHILD: someone else reaped it (SIGCHLD ignored, a waitpid(-1) elsewhere).
    record.exit_code = (r == 0) ? CodeFromSiginfo(info, record)
                                : (record.terminate_sent ? record.terminate_code : 0);
    ForgetChildLocked(pid, record);
    return;
  }
  // Not ours to reap. If it happens to be our child (forked by other code),
  // peek at its status without taking it away from its owner.
  const int r = posix::RetryAfterSignal([&] {
    return waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG | WNOWAIT);
  });
  record.ended = true;
  if (r == 0 && info.si_pid != 0) {
    record.exit_code = CodeFromSiginfo(info, record);
  } else {
    record.exit_code = record.terminate_sent ? record.terminate_code : 0;
  }
}

// True when the process has ended; then its exit record is settled if possible.
bool ObserveEnd(ProcessObject& object) {
  if (!PidfdEnded(object.pidfd.get())) return false;
  std::lock_guard lock(ChildTable().mutex);
  SettleEndedLocked(object.pid, object.pidfd.get(), *object.record);
  return true;
}

// A closed-over child that still runs must be reaped when it ends, or it would
// stay a zombie for the life of this process.
void ReapInBackground(Pid pid, std::shared_ptr<ExitRecord> record, posix::ScopedFd watch) {
  try {
    std::thread([pid, record = std::move(record), watch = std::move(watch)] {
      pollfd p{watch.get(), POLLIN, 0};
      posix::RetryAfterSignal([&] { return poll(&p, 1, -1); });
      std::lock_guard lock(ChildTable().mutex);
      // Settling needs the process to be waitable; poll said it is.
      SettleEndedLocked(pid, watch.get(), *record);
    }).detach();
  } catch (...) {
    // No thread: the zombie stays until someone opens and waits for it.
  }
}

std::string ProcPath(Pid pid, std::string_view leaf) {
  std::string path = "/proc/" + std::to_string(pid);
  path += '/';
  path += leaf;
  return path;
}

// The target of a symbolic link; 0 or the errno.
int ReadLink(const std::string& link, std::string* target) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      *target = std::move(buffer);
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// The image of a process keeps its name while an update replaces or deletes
// its file: the kernel's " (deleted)" mark is dropped, unless a file really
// is named that way.
int ReadExeLink(const std::string& link, std::string* target) {
  std::string raw;
  if (const int err = ReadLink(link, &raw); err != 0) return err;
  struct stat st;
  const bool literal_exists = raw.ends_with(proc::kDeletedSuffix) && lstat(raw.c_str(), &st) == 0;
  *target = std::string(proc::ParseImageLink(raw, literal_exists).path);
  return 0;
}

std::optional<proc::ProcStat> ReadStat(const std::string& path, ErrorCode* error = nullptr) {
  Result<std::string> text = ReadSystemText(path, 4096);
  if (error) *error = text.error();
  if (!text) return std::nullopt;
  return proc::ParseProcStat(*text);
}

std::wstring ImageNameOf(const std::string& dir) {
  std::string target;
  if (ReadExeLink(dir + "/exe", &target) == 0 && !target.empty()) {
    return text::FromUtf8(std::string(proc::FileNameOf(target)));
  }
  // Another user's process: the link is unreadable, the command line is not.
  Result<std::string> cmdline = ReadSystemText(dir + "/cmdline");
  if (!cmdline) return {};
  return text::FromUtf8(std::string(proc::FileNameOf(proc::ProgramOfCommandLine(*cmdline))));
}

// Listing failures are told to the log once per process and kind, not on
// every listing.
bool FirstTimeNoted(const std::string& what) {
  static std::mutex mutex;
  static std::set<std::string>* noted = new std::set<std::string>;
  std::lock_guard lock(mutex);
  return noted->insert(what).second;
}

// Not a plain retry: an interrupted poll goes round the deadline loop, which
// shortens the next slice by the time already spent.
std::uint32_t WaitPidfd(int fd, std::uint32_t timeout_ms, ErrorCode* error) {
  const std::uint64_t start = TickCount64();
  for (;;) {
    int slice;
    if (timeout_ms == kInfinite) {
      slice = -1;
    } else {
      std::uint64_t elapsed = TickCount64() - start;
      std::uint64_t left = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
      slice = static_cast<int>(std::min<std::uint64_t>(left, 0x7FFFFFFF));
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, slice);
    if (r > 0) return kWaitObject0;
    if (r == 0) {
      if (timeout_ms != kInfinite && TickCount64() - start >= timeout_ms) return kWaitTimeout;
      continue;  // a slice capped at INT_MAX ran out
    }
    if (errno == EINTR) continue;
    if (error) *error = FromErrno(errno);
    return kWaitFailed;
  }
}

}  // namespace

namespace posix_internal {

// Wraps a child that Launch has just started and not reaped. The handle (and
// any later handle opened on the same pid) shares its exit record.
ProcessHandle AdoptChild(Pid pid, ErrorCode* error) {
  std::lock_guard lock(ChildTable().mutex);
  posix::ScopedFd fd(PidfdOpen(pid));
  if (!fd) {
    if (error) *error = FromErrno(errno);
    return {};
  }
  posix::ScopedFd reap_fd(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!reap_fd) {
    if (error) *error = FromErrno(errno);
    return {};
  }
  auto record = std::make_shared<ExitRecord>();
  record->own_child = true;
  record->reap_fd = std::move(reap_fd);
  record->handles = 1;
  ChildTable().by_pid[pid] = record;
  auto object = std::make_shared<ProcessObject>();
  object->pidfd = std::move(fd);
  object->pid = pid;
  object->access = kProcessAllAccess;
  object->record = std::move(record);
  return ProcessHandle(Handles().Insert(std::move(object)));
}

}  // namespace posix_internal

RawProcess CurrentProcess() { return kCurrentProcess; }

ErrorCode CloseProcess(RawProcess process) {
  if (process == kCurrentProcess) return kErrorSuccess;
  if (process == nullptr) return kErrorInvalidHandle;
  std::shared_ptr<ProcessObject> object = Handles().Remove(process);
  if (!object) return kErrorInvalidHandle;
  std::shared_ptr<ExitRecord> orphan;
  posix::ScopedFd watch;
  {
    std::lock_guard lock(ChildTable().mutex);
    ExitRecord& record = *object->record;
    if (record.own_child && --record.handles == 0 && !record.ended) {
      if (PidfdEnded(object->pidfd.get())) {
        SettleEndedLocked(object->pid, object->pidfd.get(), record);
      }
      if (!record.ended) {
        watch.reset(fcntl(object->pidfd.get(), F_DUPFD_CLOEXEC, 0));
        if (watch) orphan = object->record;
      }
    }
  }
  if (orphan) ReapInBackground(object->pid, std::move(orphan), std::move(watch));
  // The pidfd closes with the last user of the object (a call in flight on
  // another thread may still hold it).
  return kErrorSuccess;
}

ErrorCode EnumerateProcesses(const std::function<bool(const ProcessEntry&)>& visit) {
  return EnumerateProcessesIn("/proc", visit);
}

ErrorCode EnumerateProcessesIn(const std::filesystem::path& proc_root,
                               const std::function<bool(const ProcessEntry&)>& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(proc_root.c_str()), &closedir);
  if (!dir) {
    const int err = errno;
    if (FirstTimeNoted("list " + proc_root.string())) {
      diagnostics::Note("process list: " + proc_root.string() + " cannot be read (" +
                        std::strerror(err) + "): no process can be found");
    }
    return FromErrno(err);
  }
  std::size_t unreadable = 0;
  std::string first_unreadable;
  while (dirent* entry = readdir(dir.get())) {
    const char* name = entry->d_name;
    if (*name < '1' || *name > '9') continue;
    char* end = nullptr;
    unsigned long pid = std::strtoul(name, &end, 10);
    if (end == nullptr || *end != '\0' || pid > 0xFFFFFFFFul) continue;

    const std::string base = (proc_root / name).string();
    ErrorCode err = kErrorSuccess;
    const std::optional<proc::ProcStat> fields = ReadStat(base + "/stat", &err);
    if (!fields) {
      // Entries vanish while we read them; that is no failure. Anything
      // else is skipped too, but told.
      struct stat st;
      const bool vanished = err == kErrorFileNotFound || err == kErrorInvalidParameter ||
                            ::stat(base.c_str(), &st) != 0;
      if (!vanished && unreadable++ == 0) {
        first_unreadable = base + "/stat: " +
                           (err != kErrorSuccess ? "error " + std::to_string(err)
                                                 : std::string("not in the kernel's format"));
      }
      continue;
    }
    if (fields->ended()) continue;
    // Kernel threads have no image; they are not processes a caller can act on.
    if (fields->kernel_thread()) continue;
    ProcessEntry item;
    item.pid = static_cast<Pid>(pid);
    item.parent_pid = fields->ppid;
    item.exe_file = ImageNameOf(base);
    if (item.exe_file.empty()) continue;
    if (!visit(item)) break;
  }
  if (unreadable > 0 && FirstTimeNoted("entries " + proc_root.string())) {
    diagnostics::Note("process list: " + std::to_string(unreadable) + " entr" +
                      (unreadable == 1 ? "y" : "ies") + " of " + proc_root.string() +
                      " could not be read and " + (unreadable == 1 ? "was" : "were") +
                      " skipped (first: " + first_unreadable + ")");
  }
  return kErrorSuccess;
}

Result<ProcessHandle> OpenProcess(Pid pid, std::uint32_t access) {
  if (pid == 0) return Fail(kErrorInvalidParameter);
  std::lock_guard lock(ChildTable().mutex);
  // No permission check here: as on Windows, rights are checked by the call
  // that needs them (a process we may not signal can still be opened).
  posix::ScopedFd fd(PidfdOpen(pid));
  if (!fd) {
    // ESRCH: no such process; a thread id, not a process: EINVAL, or
    // ENOENT on newer kernels.
    const int err = errno;
    return Fail((err == ESRCH || err == EINVAL || err == ENOENT) ? kErrorInvalidParameter
                                                                 : FromErrno(err));
  }
  // A kernel thread has a pid but is no program anyone can wait for or end;
  // like a thread id it is not a process here.
  if (const auto fields = ReadStat(ProcPath(pid, "stat")); fields && fields->kernel_thread()) {
    return Fail(kErrorInvalidParameter);
  }
  auto object = std::make_shared<ProcessObject>();
  object->pidfd = std::move(fd);
  object->pid = pid;
  object->access = access;
  auto it = ChildTable().by_pid.find(pid);
  if (it != ChildTable().by_pid.end()) {
    object->record = it->second;
    ++object->record->handles;
  } else {
    object->record = std::make_shared<ExitRecord>();
  }
  return ProcessHandle(Handles().Insert(std::move(object)));
}

std::uint32_t WaitForProcess(RawProcess process, std::uint32_t timeout_ms, ErrorCode* error) {
  if (process == kCurrentProcess) {
    // Waiting for oneself never ends, as on Windows.
    do {
      SleepMs(timeout_ms == kInfinite ? 0x7FFFFFFF : timeout_ms);
    } while (timeout_ms == kInfinite);
    return kWaitTimeout;
  }
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  if (object == nullptr) {
    if (error) *error = kErrorInvalidHandle;
    return kWaitFailed;
  }
  if ((object->access & kSynchronize) == 0) {
    if (error) *error = kErrorAccessDenied;
    return kWaitFailed;
  }
  std::uint32_t result = WaitPidfd(object->pidfd.get(), timeout_ms, error);
  if (result == kWaitObject0) ObserveEnd(*object);  // reap our child now
  return result;
}

ErrorCode TerminateProcess(RawProcess process, std::uint32_t exit_code) {
  return g_terminate.load()(process, exit_code);
}

ErrorCode RealTerminateProcess(RawProcess process, std::uint32_t exit_code) {
  if (process == kCurrentProcess) _exit(static_cast<int>(exit_code));
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  if (object == nullptr) return kErrorInvalidHandle;
  if ((object->access & kProcessTerminate) == 0) return kErrorAccessDenied;

  std::lock_guard lock(ChildTable().mutex);
  ExitRecord& record = *object->record;
  // Windows refuses to terminate a process that has already ended.
  if (record.ended || PidfdEnded(object->pidfd.get())) return kErrorAccessDenied;
  const bool first = !record.terminate_sent;
  if (first) {
    // Recorded before the signal so that whoever reaps sees the code.
    record.terminate_sent = true;
    record.terminate_code = exit_code;
  }
  if (PidfdSendSignal(object->pidfd.get(), SIGKILL) != 0) {
    const int err = errno;
    if (first) record.terminate_sent = false;
    return err == ESRCH ? kErrorAccessDenied : FromErrno(err);
  }
  return kErrorSuccess;
}

TerminateFunction ExchangeTerminateFunction(TerminateFunction fn) {
  return g_terminate.exchange(fn != nullptr ? fn : &RealTerminateProcess);
}

ErrorCode RouteImportedTerminateCalls() { return kErrorSuccess; }

Result<std::uint32_t> GetExitCode(RawProcess process) {
  if (process == kCurrentProcess) return kStillActive;
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  if (object == nullptr) return Fail(kErrorInvalidHandle);
  if (!HasQueryRight(object->access)) return Fail(kErrorAccessDenied);
  std::uint32_t code = kStillActive;
  if (ObserveEnd(*object)) {
    std::lock_guard lock(ChildTable().mutex);
    // An own child not yet waitable this instant still counts as running.
    if (object->record->ended) code = object->record->exit_code;
  }
  return code;
}

Pid GetProcessId(RawProcess process) {
  if (process == kCurrentProcess) return CurrentProcessId();
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  return object ? object->pid : 0;
}

Result<std::filesystem::path> QueryImagePath(RawProcess process) {
  if (process == kCurrentProcess) {
    std::filesystem::path self = CurrentExecutablePath();
    if (self.empty()) return Fail(kErrorGenFailure);
    return self;
  }
  const std::shared_ptr<ProcessObject> object = Resolve(process);
  if (object == nullptr) return Fail(kErrorInvalidHandle);
  if (!HasQueryRight(object->access)) return Fail(kErrorAccessDenied);
  if (PidfdEnded(object->pidfd.get())) return Fail(kErrorInvalidParameter);
  std::string target;
  const int err = ReadExeLink(ProcPath(object->pid, "exe"), &target);
  // Checked again after reading: while the pidfd's process lives, the pid
  // cannot belong to anyone else, so the link we read was its own.
  if (PidfdEnded(object->pidfd.get())) return Fail(kErrorInvalidParameter);
  if (err != 0) return Fail(err == ENOENT ? kErrorGenFailure : FromErrno(err));
  return std::filesystem::path(std::move(target));
}

namespace {

// The environment of `pid` as the kernel shows it; errors as documented.
Result<std::string> ReadEnvironmentText(Pid pid) {
  // No real environment is larger than this.
  Result<std::string> text = ReadSystemText(ProcPath(pid, "environ"), 8u << 20);
  if (!text && text.error() == kErrorFileNotFound) return Fail(kErrorInvalidParameter);
  return text;
}

// Whether `pid` is between the start of its exec and the moment its new
// stack holds arguments and environment: its image already reads as the new
// program, but its environment is not there yet. A zombie's is gone for good.
bool ExecInProgress(Pid pid) {
  const auto fields = ReadStat(ProcPath(pid, "stat"));
  return fields && !fields->ended() && fields->env_start == 0ull;
}

}  // namespace

Result<EnvironmentValues> ReadProcessEnvironmentVariables(
    Pid pid, const std::vector<std::string_view>& names) {
  if (pid == 0) return Fail(kErrorInvalidParameter);
  Result<std::string> text = ReadEnvironmentText(pid);
  // Caught in its exec, a process shows no environment for a moment; an
  // empty answer then would misplace it (a fresh child of ours, say).
  for (int waited = 0; text && text->empty() && waited < 200; ++waited) {
    const bool in_exec = ExecInProgress(pid);
    // Read again after looking: the exec may have ended between the two.
    text = ReadEnvironmentText(pid);
    if (!in_exec) break;
    if (text && text->empty()) SleepMs(1);
  }
  if (!text) return Fail(text.error());
  EnvironmentValues result;
  result.empty = text->empty();
  result.values = proc::FindEnvironmentValues(*text, names);
  return result;
}

Result<std::optional<std::string>> ReadProcessEnvironmentVariable(Pid pid, std::string_view name) {
  Result<EnvironmentValues> read = ReadProcessEnvironmentVariables(pid, {name});
  if (!read) return Fail(read.error());
  return std::move(read->values.front());
}

Result<std::filesystem::path> QueryProcessWorkingDirectory(Pid pid) {
  if (pid == 0) return Fail(kErrorInvalidParameter);
  std::string target;
  const int err = ReadLink(ProcPath(pid, "cwd"), &target);
  if (err != 0) return Fail(err == ENOENT || err == ESRCH ? kErrorInvalidParameter : FromErrno(err));
  return std::filesystem::path(std::move(target));
}

Pid CurrentProcessId() { return static_cast<Pid>(getpid()); }

std::filesystem::path CurrentExecutablePath() {
  std::string target;
  if (ReadExeLink("/proc/self/exe", &target) != 0) return {};
  return std::filesystem::path(std::move(target));
}

std::uint64_t TickCount64() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(std::uint32_t ms) {
  if (ms == 0) {
    sched_yield();  // Sleep(0) gives up the rest of the time slice
    return;
  }
  // nanosleep leaves the time still to sleep in `left`, so a retry sleeps
  // only the rest.
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  posix::RetryAfterSignal([&] { return nanosleep(&left, &left); });
}

}  // namespace platform
