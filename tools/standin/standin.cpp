// One stand-in for the product's programs (client, launcher, emulator,
// assistant). It behaves by the file name it runs under; see README.md.
// Not product code: plain POSIX, no Qt.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef QUARRION_STANDIN_OPENGL
#include "opengl_probe.h"
#endif

namespace {

const char kEmulator[] = "QuarrionEmulator.exe";

volatile sig_atomic_t g_quit_requested = 0;
volatile sig_atomic_t g_quit_from = 0;

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// File name of a process's image ("" when it cannot be read); a file
// replaced or deleted under the process keeps its name.
std::string ImageName(const std::string& exe_link) {
  char buffer[4096];
  const ssize_t n = ::readlink(exe_link.c_str(), buffer, sizeof(buffer) - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.resize(path.size() - deleted.size());
  }
  return BaseName(path);
}

std::string SelfName(const char* argv0) {
  std::string name = ImageName("/proc/self/exe");
  return name.empty() ? BaseName(argv0 ? argv0 : "") : name;
}

std::string Home() {
  if (const char* home = std::getenv("QUARRION_HOME"); home && *home) return home;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/Quarrion";
  const char* user_home = std::getenv("HOME");
  return std::string(user_home ? user_home : "/tmp") + "/.local/share/Quarrion";
}

void MakeDirs(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0777);
  }
}

// Length of the valid UTF-8 sequence at `s` (0 when it is not one).
std::size_t Utf8Length(const unsigned char* s, std::size_t left) {
  const unsigned char c = s[0];
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
  else return 0;
  if (left < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
      cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return n;
}

// A JSON string. Valid UTF-8 passes through; a byte that is not part of valid
// UTF-8 is written as \u00XX (the hex form in "argv_hex" keeps the bytes exact).
std::string Json(const std::string& text) {
  std::string out = "\"";
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = s[i];
    char esc[8];
    if (c == '"') { out += "\\\""; ++i; continue; }
    if (c == '\\') { out += "\\\\"; ++i; continue; }
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      ++i;
      continue;
    }
    const std::size_t n = Utf8Length(s + i, text.size() - i);
    if (n == 0) {
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
      ++i;
      continue;
    }
    out.append(text, i, n);
    i += n;
  }
  return out + "\"";
}

std::string Hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// One whole line per write under an exclusive lock, so concurrent programs
// never interleave.
void AppendLine(const std::string& file, const std::string& line) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

void WriteFileAtomically(const std::string& file, const std::string& content) {
  const std::string temp = file + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  if (::write(fd, content.data(), content.size()) < 0) {}
  ::close(fd);
  ::rename(temp.c_str(), file.c_str());
}

std::string ReadFile(const std::string& file) {
  std::string out;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return out;
}

bool FileExists(const std::string& file) {
  struct stat st;
  return ::stat(file.c_str(), &st) == 0;
}

bool ParseLong(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) return false;
  while (*end == ' ' || *end == '\n' || *end == '\r' || *end == '\t') ++end;
  if (*end != '\0') return false;
  *value = v;
  return true;
}

bool EnvLong(const char* name, long* value) {
  const char* text = std::getenv(name);
  return text != nullptr && ParseLong(text, value);
}

// "--name=N" among the arguments.
bool ArgLong(const std::vector<std::string>& args, const std::string& name, long* value) {
  const std::string prefix = "--" + name + "=";
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i].compare(0, prefix.size(), prefix) == 0) return ParseLong(args[i].substr(prefix.size()), value);
  }
  return false;
}

bool HasArg(const std::vector<std::string>& args, const std::string& arg) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == arg) return true;
  }
  return false;
}

void SleepMs(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    if (g_quit_requested) return;
  }
}

long NowMs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Alive and not a zombie.
bool IsRunning(pid_t pid) {
  if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) return false;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// The pid file names an emulator only while that emulator runs: one killed
// outright leaves it behind, and its pid may since belong to another program,
// which a quit signal (SIGUSR1) would end.
bool IsEmulator(pid_t pid) {
  return ImageName("/proc/" + std::to_string(pid) + "/exe") == kEmulator;
}

void OnQuitSignal(int, siginfo_t* info, void*) {
  g_quit_from = info != nullptr ? info->si_pid : 0;
  g_quit_requested = 1;
}

struct Context {
  std::string name;
  std::string dir;  // $QUARRION_HOME/standin
  std::vector<std::string> args;
  pid_t pid = 0;
};

void Event(const Context& ctx, const std::string& event, const std::string& extra = "") {
  AppendLine(ctx.dir + "/events.jsonl", "{\"name\":" + Json(ctx.name) + ",\"pid\":" +
                                            std::to_string(ctx.pid) + ",\"event\":" + Json(event) +
                                            extra + "}");
}

// --quit: ask the running emulator to quit and wait until it has taken the
// request (acknowledged or gone). 0 taken, 1 no emulator running, 2 no answer.
int RunQuitCommand(const Context& ctx) {
  long wait_ms = 10000;
  EnvLong("QUARRION_STANDIN_QUIT_WAIT_MS", &wait_ms);
  long target = 0;
  if (!ParseLong(ReadFile(ctx.dir + "/QuarrionEmulator.pid"), &target) || !IsRunning(target) ||
      !IsEmulator(static_cast<pid_t>(target))) {
    Event(ctx, "quit_no_emulator");
    return 1;
  }
  const std::string ack = ctx.dir + "/quit_ack." + std::to_string(ctx.pid);
  if (::kill(static_cast<pid_t>(target), SIGUSR1) != 0) {
    Event(ctx, "quit_signal_failed", ",\"target\":" + std::to_string(target));
    return 1;
  }
  const long deadline = NowMs() + wait_ms;
  while (NowMs() < deadline) {
    if (FileExists(ack) || !IsRunning(static_cast<pid_t>(target))) {
      ::unlink(ack.c_str());
      Event(ctx, "quit_sent", ",\"target\":" + std::to_string(target));
      return 0;
    }
    SleepMs(10);
  }
  Event(ctx, "quit_unanswered", ",\"target\":" + std::to_string(target));
  return 2;
}

bool Stubborn(const Context& ctx) {
  const char* env = std::getenv("QUARRION_STANDIN_STUBBORN");
  return (env != nullptr && std::strcmp(env, "1") == 0) || FileExists(ctx.dir + "/stubborn");
}

int RunEmulator(const Context& ctx, long lifetime_ms) {
  const long deadline = lifetime_ms >= 0 ? NowMs() + lifetime_ms : -1;
  for (;;) {
    if (g_quit_requested) {
      const int from = g_quit_from;
      g_quit_requested = 0;
      const bool stubborn = Stubborn(ctx);
      Event(ctx, stubborn ? "quit_ignored" : "quit", ",\"from\":" + std::to_string(from));
      // The request is taken either way; the quitter may exit now.
      if (from > 0) WriteFileAtomically(ctx.dir + "/quit_ack." + std::to_string(from), "");
      if (!stubborn) {
        if (ReadFile(ctx.dir + "/QuarrionEmulator.pid") == std::to_string(ctx.pid)) {
          ::unlink((ctx.dir + "/QuarrionEmulator.pid").c_str());
        }
        return 0;
      }
    }
    if (deadline >= 0 && NowMs() >= deadline) return 0;
    SleepMs(20);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Context ctx;
  ctx.name = SelfName(argc > 0 ? argv[0] : nullptr);
  ctx.pid = ::getpid();
  ctx.dir = Home() + "/standin";
  for (int i = 0; i < argc; ++i) ctx.args.emplace_back(argv[i]);
  MakeDirs(ctx.dir);

  // Quit requests may arrive as soon as the pid file exists.
  struct sigaction action {};
  action.sa_sigaction = &OnQuitSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);

  const bool emulator = ctx.name == kEmulator;
  const bool quit_command = emulator && HasArg(ctx.args, "--quit");
  // The pid file comes before the command record, so a recorded emulator is
  // ready for quit requests.
  if (emulator && !quit_command) {
    WriteFileAtomically(ctx.dir + "/QuarrionEmulator.pid", std::to_string(ctx.pid));
  }

  char cwd[4096];
  const std::string cwd_text = ::getcwd(cwd, sizeof cwd) ? cwd : "";
  std::string argv_json, hex_json;
  for (std::size_t i = 0; i < ctx.args.size(); ++i) {
    argv_json += (i ? "," : "") + Json(ctx.args[i]);
    hex_json += (i ? "," : "") + Json(Hex(ctx.args[i]));
  }
  AppendLine(ctx.dir + "/commands.jsonl",
             "{\"name\":" + Json(ctx.name) + ",\"pid\":" + std::to_string(ctx.pid) +
                 ",\"argv\":[" + argv_json + "],\"argv_hex\":[" + hex_json +
                 "],\"cwd\":" + Json(cwd_text) + "}");

  if (quit_command) return RunQuitCommand(ctx);

  long code = 0;
  if (ArgLong(ctx.args, "standin-exit", &code) ||
      ParseLong(ReadFile(ctx.dir + "/" + ctx.name + ".exit"), &code) ||
      EnvLong("QUARRION_STANDIN_EXIT", &code)) {
    return static_cast<int>(code);
  }
  long lifetime_ms = -1;
  if (!ArgLong(ctx.args, "standin-lifetime-ms", &lifetime_ms)) {
    EnvLong("QUARRION_STANDIN_LIFETIME_MS", &lifetime_ms);
  }

  if (emulator) return RunEmulator(ctx, lifetime_ms);

  // The assistant's OpenGL probe: a set lifetime makes it slow first.
  if (ctx.name == "QuarrionAssistant.exe" && HasArg(ctx.args, "--check-opengl-process")) {
    if (lifetime_ms > 0) SleepMs(lifetime_ms);
#ifdef QUARRION_STANDIN_OPENGL
    return opengl_probe::CheckOpenglProcess();
#else
    return 3;
#endif
  }

  // Other programs simply run; a quit request ends them too.
  const long deadline = lifetime_ms >= 0 ? NowMs() + lifetime_ms : -1;
  while (!g_quit_requested && (deadline < 0 || NowMs() < deadline)) SleepMs(50);
  return 0;
}
