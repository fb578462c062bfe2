// Processes on Linux: /proc for the list, a pidfd per handle.
//
// A handle is a heap object holding its own pidfd, the pid, the access mask
// and an exit record. Children started by Launch share one exit record among
// all handles (found through a table keyed by pid): the first handle that sees
// the child end reaps it with waitid(P_PIDFD), so every handle reports the same
// code and the pid cannot be reused while a handle could still confuse it.

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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/process.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr std::uint32_t kHandleMagic = 0x50724f63;
constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
constexpr std::string_view kDeletedSuffix = " (deleted)";

// What is known about how a process ended. Guarded by ChildTable().mutex.
struct ExitRecord {
  bool own_child = false;  // started by Launch: we reap it
  int reap_fd = -1;        // own children: the pidfd we reap through
  int handles = 0;         // own children: open handles sharing this record
  bool ended = false;
  std::uint32_t exit_code = 0;
  bool terminate_sent = false;
  std::uint32_t terminate_code = 0;
};

struct ProcessObject {
  std::uint32_t magic = kHandleMagic;
  int pidfd = -1;
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

const RawProcess kCurrentProcess = reinterpret_cast<RawProcess>(static_cast<std::intptr_t>(-1));

std::atomic<TerminateFunction> g_terminate{&RealTerminateProcess};

int PidfdOpen(Pid pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

int PidfdSendSignal(int fd, int sig) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0));
}

ProcessObject* Resolve(RawProcess raw) {
  if (raw == nullptr || raw == kCurrentProcess) return nullptr;
  auto* object = static_cast<ProcessObject*>(raw);
  return object->magic == kHandleMagic ? object : nullptr;
}

bool HasQueryRight(std::uint32_t access) {
  return (access & (kProcessQueryInformation | kProcessQueryLimitedInformation)) != 0;
}

// Readable means the process has ended (it may still be an unreaped zombie).
bool PidfdEnded(int fd) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
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
  if (record.reap_fd >= 0) {
    close(record.reap_fd);
    record.reap_fd = -1;
  }
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
    int r;
    do {
      r = waitid(P_PIDFD, static_cast<id_t>(record.reap_fd), &info, WEXITED | WNOHANG);
    } while (r < 0 && errno == EINTR);
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
  int r;
  do {
    r = waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  record.ended = true;
  if (r == 0 && info.si_pid != 0) {
    record.exit_code = CodeFromSiginfo(info, record);
  } else {
    record.exit_code = record.terminate_sent ? record.terminate_code : 0;
  }
}

// True when the process has ended; then its exit record is settled if possible.
bool ObserveEnd(ProcessObject& object) {
  if (!PidfdEnded(object.pidfd)) return false;
  std::lock_guard lock(ChildTable().mutex);
  SettleEndedLocked(object.pid, object.pidfd, *object.record);
  return true;
}

// A closed-over child that still runs must be reaped when it ends, or it would
// stay a zombie for the life of this process.
void ReapInBackground(Pid pid, std::shared_ptr<ExitRecord> record, int watch_fd) {
  try {
    std::thread([pid, record = std::move(record), watch_fd] {
      pollfd p{watch_fd, POLLIN, 0};
      while (poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      {
        std::lock_guard lock(ChildTable().mutex);
        // Settling needs the process to be waitable; poll said it is.
        SettleEndedLocked(pid, watch_fd, *record);
      }
      close(watch_fd);
    }).detach();
  } catch (...) {
    close(watch_fd);  // no thread: the zombie stays until someone opens and waits for it
  }
}

// 0, or the errno of the open or read that failed.
int ReadSmallFileError(const std::string& path, std::string* out, std::size_t limit) {
  out->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[4096];
  int err = 0;
  while (out->size() < limit) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    out->append(buffer, static_cast<std::size_t>(n));
    // cmdline: argv[0] is all we need.
    if (out->find('\0') != std::string::npos && path.ends_with("/cmdline")) break;
  }
  close(fd);
  return err;
}

bool ReadSmallFile(const std::string& path, std::string* out, std::size_t limit) {
  return ReadSmallFileError(path, out, limit) == 0;
}

// The kernel marks the image of a replaced or deleted executable with a
// suffix; strip it so a process keeps its name while an update replaces files.
std::string StripDeletedSuffix(std::string target) {
  if (target.ends_with(kDeletedSuffix)) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) target.resize(target.size() - kDeletedSuffix.size());
  }
  return target;
}

bool ReadExeLink(const std::string& link, std::string* target, int* err) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
    if (n < 0) {
      *err = errno;
      return false;
    }
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      *target = StripDeletedSuffix(std::move(buffer));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string FileNameOf(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

struct StatFields {
  char state = '?';
  Pid ppid = 0;
  unsigned long flags = 0;
  // Where the environment starts (field 50): 0 until an exec has put it in
  // place, and when the kernel hides it from us; none on old kernels.
  std::optional<unsigned long long> env_start;
};

// "pid (comm) S ppid pgrp session tty tpgid flags ..."; comm may hold
// blanks and parentheses, so the fields start after the last ')'.
bool ParseStat(std::string_view text, StatFields* out) {
  auto close_paren = text.rfind(')');
  if (close_paren == std::string_view::npos) return false;
  std::string rest(text.substr(close_paren + 1));
  char state = 0;
  unsigned long ppid = 0, flags = 0;
  int pgrp = 0, session = 0, tty = 0, tpgid = 0;
  if (std::sscanf(rest.c_str(), " %c %lu %d %d %d %d %lu", &state, &ppid, &pgrp, &session, &tty,
                  &tpgid, &flags) != 7) {
    return false;
  }
  out->state = state;
  out->ppid = static_cast<Pid>(ppid);
  out->flags = flags;
  out->env_start = {};
  std::string_view fields = text.substr(close_paren + 1);
  for (int field = 3; field <= 50; ++field) {
    const std::size_t start = fields.find_first_not_of(" \n");
    if (start == std::string_view::npos) break;
    fields.remove_prefix(start);
    const std::size_t len = std::min(fields.find_first_of(" \n"), fields.size());
    if (field == 50)
      out->env_start = std::strtoull(std::string(fields.substr(0, len)).c_str(), nullptr, 10);
    fields.remove_prefix(len);
  }
  return true;
}

std::wstring ImageNameOf(const std::string& dir) {
  std::string target;
  int err = 0;
  if (ReadExeLink(dir + "/exe", &target, &err) && !target.empty()) {
    return text::FromUtf8(FileNameOf(target));
  }
  // Another user's process: the link is unreadable, the command line is not.
  std::string cmdline;
  if (!ReadSmallFile(dir + "/cmdline", &cmdline, 1 << 20)) return {};
  auto nul = cmdline.find('\0');
  if (nul != std::string::npos) cmdline.resize(nul);
  return text::FromUtf8(FileNameOf(cmdline));
}

// Listing failures are told to the log once per process and kind, not on
// every listing.
bool FirstTimeNoted(const std::string& what) {
  static std::mutex mutex;
  static std::set<std::string>* noted = new std::set<std::string>;
  std::lock_guard lock(mutex);
  return noted->insert(what).second;
}

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
  int fd = PidfdOpen(pid);
  if (fd < 0) {
    if (error) *error = FromErrno(errno);
    return {};
  }
  int reap_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (reap_fd < 0) {
    if (error) *error = FromErrno(errno);
    close(fd);
    return {};
  }
  auto record = std::make_shared<ExitRecord>();
  record->own_child = true;
  record->reap_fd = reap_fd;
  record->handles = 1;
  ChildTable().by_pid[pid] = record;
  auto* object = new ProcessObject;
  object->pidfd = fd;
  object->pid = pid;
  object->access = kProcessAllAccess;
  object->record = std::move(record);
  return ProcessHandle(object);
}

}  // namespace posix_internal

RawProcess CurrentProcess() { return kCurrentProcess; }

void CloseProcess(RawProcess process) {
  ProcessObject* object = Resolve(process);
  if (object == nullptr) return;
  std::shared_ptr<ExitRecord> orphan;
  int watch_fd = -1;
  {
    std::lock_guard lock(ChildTable().mutex);
    ExitRecord& record = *object->record;
    if (record.own_child && --record.handles == 0 && !record.ended) {
      if (PidfdEnded(object->pidfd)) {
        SettleEndedLocked(object->pid, object->pidfd, record);
      }
      if (!record.ended) {
        watch_fd = fcntl(object->pidfd, F_DUPFD_CLOEXEC, 0);
        if (watch_fd >= 0) orphan = object->record;
      }
    }
  }
  if (orphan) ReapInBackground(object->pid, std::move(orphan), watch_fd);
  close(object->pidfd);
  object->magic = 0;
  delete object;
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
    std::string stat_text;
    StatFields fields;
    const int err = ReadSmallFileError(base + "/stat", &stat_text, 4096);
    if (err != 0 || !ParseStat(stat_text, &fields)) {
      // Entries vanish while we read them; that is no failure. Anything
      // else is skipped too, but told.
      struct stat st;
      const bool vanished = err == ENOENT || err == ESRCH || ::stat(base.c_str(), &st) != 0;
      if (!vanished && unreadable++ == 0) {
        first_unreadable = base + "/stat: " +
                           (err != 0 ? std::string(std::strerror(err))
                                     : std::string("not in the kernel's format"));
      }
      continue;
    }
    if (fields.state == 'Z' || fields.state == 'X') continue;
    // Kernel threads have no image; they are not processes a caller can act on.
    if (fields.flags & kKernelThreadFlag) continue;
    ProcessEntry item;
    item.pid = static_cast<Pid>(pid);
    item.parent_pid = fields.ppid;
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

ProcessHandle OpenProcess(Pid pid, std::uint32_t access, ErrorCode* error) {
  if (pid == 0) {
    if (error) *error = kErrorInvalidParameter;
    return {};
  }
  std::lock_guard lock(ChildTable().mutex);
  // No permission check here: as on Windows, rights are checked by the call
  // that needs them (a process we may not signal can still be opened).
  int fd = PidfdOpen(pid);
  if (fd < 0) {
    // ESRCH: no such process; a thread id, not a process: EINVAL, or
    // ENOENT on newer kernels.
    const int err = errno;
    if (error) {
      *error = (err == ESRCH || err == EINVAL || err == ENOENT) ? kErrorInvalidParameter
                                                                : FromErrno(err);
    }
    return {};
  }
  // A kernel thread has a pid but is no program anyone can wait for or end;
  // like a thread id it is not a process here.
  {
    std::string stat_text;
    StatFields fields;
    if (ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", &stat_text, 4096) &&
        ParseStat(stat_text, &fields) && (fields.flags & kKernelThreadFlag) != 0) {
      close(fd);
      if (error) *error = kErrorInvalidParameter;
      return {};
    }
  }
  auto* object = new ProcessObject;
  object->pidfd = fd;
  object->pid = pid;
  object->access = access;
  auto it = ChildTable().by_pid.find(pid);
  if (it != ChildTable().by_pid.end()) {
    object->record = it->second;
    ++object->record->handles;
  } else {
    object->record = std::make_shared<ExitRecord>();
  }
  if (error) *error = kErrorSuccess;
  return ProcessHandle(object);
}

std::uint32_t WaitForProcess(RawProcess process, std::uint32_t timeout_ms, ErrorCode* error) {
  if (process == kCurrentProcess) {
    // Waiting for oneself never ends, as on Windows.
    do {
      SleepMs(timeout_ms == kInfinite ? 0x7FFFFFFF : timeout_ms);
    } while (timeout_ms == kInfinite);
    return kWaitTimeout;
  }
  ProcessObject* object = Resolve(process);
  if (object == nullptr) {
    if (error) *error = kErrorInvalidHandle;
    return kWaitFailed;
  }
  if ((object->access & kSynchronize) == 0) {
    if (error) *error = kErrorAccessDenied;
    return kWaitFailed;
  }
  std::uint32_t result = WaitPidfd(object->pidfd, timeout_ms, error);
  if (result == kWaitObject0) ObserveEnd(*object);  // reap our child now
  return result;
}

ErrorCode TerminateProcess(RawProcess process, std::uint32_t exit_code) {
  return g_terminate.load()(process, exit_code);
}

ErrorCode RealTerminateProcess(RawProcess process, std::uint32_t exit_code) {
  if (process == kCurrentProcess) _exit(static_cast<int>(exit_code));
  ProcessObject* object = Resolve(process);
  if (object == nullptr) return kErrorInvalidHandle;
  if ((object->access & kProcessTerminate) == 0) return kErrorAccessDenied;

  std::lock_guard lock(ChildTable().mutex);
  ExitRecord& record = *object->record;
  // Windows refuses to terminate a process that has already ended.
  if (record.ended || PidfdEnded(object->pidfd)) return kErrorAccessDenied;
  const bool first = !record.terminate_sent;
  if (first) {
    // Recorded before the signal so that whoever reaps sees the code.
    record.terminate_sent = true;
    record.terminate_code = exit_code;
  }
  if (PidfdSendSignal(object->pidfd, SIGKILL) != 0) {
    const int err = errno;
    if (first) record.terminate_sent = false;
    return err == ESRCH ? kErrorAccessDenied : FromErrno(err);
  }
  return kErrorSuccess;
}

TerminateFunction ExchangeTerminateFunction(TerminateFunction fn) {
  return g_terminate.exchange(fn != nullptr ? fn : &RealTerminateProcess);
}

ErrorCode GetExitCode(RawProcess process, std::uint32_t* exit_code) {
  if (process == kCurrentProcess) {
    if (exit_code) *exit_code = kStillActive;
    return kErrorSuccess;
  }
  ProcessObject* object = Resolve(process);
  if (object == nullptr) return kErrorInvalidHandle;
  if (!HasQueryRight(object->access)) return kErrorAccessDenied;
  std::uint32_t code = kStillActive;
  if (ObserveEnd(*object)) {
    std::lock_guard lock(ChildTable().mutex);
    // An own child not yet waitable this instant still counts as running.
    if (object->record->ended) code = object->record->exit_code;
  }
  if (exit_code) *exit_code = code;
  return kErrorSuccess;
}

Pid GetProcessId(RawProcess process) {
  if (process == kCurrentProcess) return CurrentProcessId();
  ProcessObject* object = Resolve(process);
  return object ? object->pid : 0;
}

ErrorCode QueryImagePath(RawProcess process, std::filesystem::path* image) {
  if (process == kCurrentProcess) {
    std::filesystem::path self = CurrentExecutablePath();
    if (self.empty()) return kErrorGenFailure;
    if (image) *image = std::move(self);
    return kErrorSuccess;
  }
  ProcessObject* object = Resolve(process);
  if (object == nullptr) return kErrorInvalidHandle;
  if (!HasQueryRight(object->access)) return kErrorAccessDenied;
  if (PidfdEnded(object->pidfd)) return kErrorInvalidParameter;
  std::string target;
  int err = 0;
  const bool read = ReadExeLink("/proc/" + std::to_string(object->pid) + "/exe", &target, &err);
  // Checked again after reading: while the pidfd's process lives, the pid
  // cannot belong to anyone else, so the link we read was its own.
  if (PidfdEnded(object->pidfd)) return kErrorInvalidParameter;
  if (!read) return err == ENOENT ? kErrorGenFailure : FromErrno(err);
  if (image) *image = std::filesystem::path(std::move(target));
  return kErrorSuccess;
}

ErrorCode ReadProcessEnvironmentVariable(Pid pid, std::string_view name,
                                         std::optional<std::string>* value, bool* empty) {
  std::vector<std::optional<std::string>> values;
  const ErrorCode err = ReadProcessEnvironmentVariables(pid, {name}, &values, empty);
  *value = values.empty() ? std::nullopt : std::move(values.front());
  return err;
}

namespace {

// The environment of `pid` as the kernel shows it; errors as documented.
ErrorCode ReadEnvironmentText(Pid pid, std::string* text) {
  const int err = ReadSmallFileError("/proc/" + std::to_string(pid) + "/environ", text,
                                     8u << 20);  // no real environment is this large
  if (err == 0) return kErrorSuccess;
  return err == ENOENT || err == ESRCH ? kErrorInvalidParameter : FromErrno(err);
}

// Whether `pid` is between the start of its exec and the moment its new
// stack holds arguments and environment: its image already reads as the new
// program, but its environment is not there yet. A zombie's is gone for good.
bool ExecInProgress(Pid pid) {
  std::string stat_text;
  StatFields fields;
  if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", &stat_text, 4096) ||
      !ParseStat(stat_text, &fields)) {
    return false;
  }
  return fields.state != 'Z' && fields.state != 'X' && fields.env_start == 0ull;
}

}  // namespace

ErrorCode ReadProcessEnvironmentVariables(Pid pid, const std::vector<std::string_view>& names,
                                          std::vector<std::optional<std::string>>* values,
                                          bool* empty) {
  values->assign(names.size(), std::nullopt);
  if (empty) *empty = false;
  if (pid == 0) return kErrorInvalidParameter;
  std::string text;
  ErrorCode err = ReadEnvironmentText(pid, &text);
  // Caught in its exec, a process shows no environment for a moment; an
  // empty answer then would misplace it (a fresh child of ours, say).
  for (int waited = 0; err == kErrorSuccess && text.empty() && waited < 200; ++waited) {
    const bool in_exec = ExecInProgress(pid);
    // Read again after looking: the exec may have ended between the two.
    err = ReadEnvironmentText(pid, &text);
    if (!in_exec) break;
    if (text.empty()) SleepMs(1);
  }
  if (err != kErrorSuccess) return err;
  if (empty) *empty = text.empty();
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    std::string_view entry(text.data() + start, end - start);
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::string_view name = names[i];
      // The first definition counts, as getenv finds it.
      if (!(*values)[i] && entry.size() > name.size() && entry.substr(0, name.size()) == name &&
          entry[name.size()] == '=') {
        (*values)[i] = std::string(entry.substr(name.size() + 1));
      }
    }
    start = end + 1;
  }
  return kErrorSuccess;
}

ErrorCode QueryProcessWorkingDirectory(Pid pid, std::filesystem::path* directory) {
  directory->clear();
  if (pid == 0) return kErrorInvalidParameter;
  const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink(link.c_str(), target.data(), target.size());
    if (n < 0) return errno == ENOENT || errno == ESRCH ? kErrorInvalidParameter : FromErrno(errno);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  *directory = std::filesystem::path(std::move(target));
  return kErrorSuccess;
}

Pid CurrentProcessId() { return static_cast<Pid>(getpid()); }

std::filesystem::path CurrentExecutablePath() {
  std::string target;
  int err = 0;
  if (!ReadExeLink("/proc/self/exe", &target, &err)) return {};
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
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
