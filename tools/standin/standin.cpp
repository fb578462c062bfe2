// One stand-in for the product's programs (client, launcher, emulator,
// assistant). It behaves by the file name it runs under; see README.md.
// Not product code: no Qt. How a quit request travels differs per OS
// (standin_posix.cpp, standin_win.cpp); everything else is shared.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/multi_inst.h"
#include "platform/append_file.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/session.h"
#include "standin_os.h"

#ifdef QUARRION_STANDIN_OPENGL
#include "opengl_probe.h"
#endif

namespace {

namespace fs = std::filesystem;
using standin::Pid;

const char kEmulator[] = "QuarrionEmulator.exe";

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

// One whole line per append: the platform's append-only file writes it at
// the end in one piece, so lines of concurrent programs never interleave.
void AppendLine(const fs::path& file, const std::string& line) {
  platform::Result<platform::AppendFile> opened = platform::AppendFile::Open(file);
  if (!opened) return;
  platform::AppendFile out = std::move(opened).value_or(platform::AppendFile());
  (void)out.Append(line + "\n");
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const fs::path& file) {
  std::error_code ec;
  return fs::exists(file, ec);
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
  const std::optional<std::string> text = platform::ReadEnvironmentVariable(name);
  return text && ParseLong(*text, value);
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

// 64 bits: a long has 32 on Windows, and the count is the system's uptime.
std::int64_t NowMs() { return static_cast<std::int64_t>(platform::TickCount64()); }

// The name of the program file, as the product's programs tell one another
// apart by it.
std::string SelfName(const char* argv0) {
  const fs::path self = platform::CurrentExecutablePath();
  if (!self.empty()) return standin::PathText(self.filename());
  return argv0 ? standin::PathText(fs::path(argv0).filename()) : std::string();
}

// The arguments exactly as the OS holds them (on Windows the wide command
// line, which argv only approximates in the ANSI code page).
std::vector<std::string> Arguments(int argc, char** argv) {
  platform::Result<std::vector<std::string>> raw = platform::RawArguments();
  if (raw && !raw->empty()) return *raw;
  return std::vector<std::string>(argv, argv + argc);
}

// The pid file names an emulator only while that emulator runs: one killed
// outright leaves it behind, and its pid may since belong to another program,
// which a quit request would end. Open while it is that emulator.
platform::ProcessHandle OpenRunningEmulator(long pid) {
  if (pid <= 0 || pid > 0x7FFFFFFFL) return {};
  platform::Result<platform::ProcessHandle> opened = platform::OpenProcess(
      static_cast<Pid>(pid), platform::kSynchronize | platform::kProcessQueryLimitedInformation);
  if (!opened) return {};
  platform::ProcessHandle process = std::move(opened).value_or(platform::ProcessHandle());
  if (platform::WaitForProcess(process.get(), 0) != platform::kWaitTimeout) return {};
  const platform::Result<fs::path> image = platform::QueryImagePath(process.get());
  if (!image || image->filename() != fs::path(kEmulator)) return {};
  return process;
}

bool Ended(platform::RawProcess process) {
  return platform::WaitForProcess(process, 0) != platform::kWaitTimeout;
}

struct Context {
  std::string name;
  fs::path dir;  // $QUARRION_HOME/standin
  std::vector<std::string> args;
  Pid pid = 0;
};

void Event(const Context& ctx, const std::string& event, const std::string& extra = "") {
  AppendLine(ctx.dir / "events.jsonl", "{\"name\":" + Json(ctx.name) + ",\"pid\":" +
                                           std::to_string(ctx.pid) + ",\"event\":" + Json(event) +
                                           extra + "}");
}

// --quit: ask the running emulator to quit and wait until it has taken the
// request (acknowledged or gone). 0 taken, 1 no emulator running, 2 no answer.
int RunQuitCommand(const Context& ctx) {
  long wait_ms = 10000;
  EnvLong("QUARRION_STANDIN_QUIT_WAIT_MS", &wait_ms);
  long target = 0;
  platform::ProcessHandle emulator;
  if (ParseLong(ReadFile(ctx.dir / "QuarrionEmulator.pid"), &target)) {
    emulator = OpenRunningEmulator(target);
  }
  if (!emulator.valid()) {
    Event(ctx, "quit_no_emulator");
    return 1;
  }
  const std::string target_field = ",\"target\":" + std::to_string(target);
  const Pid target_pid = static_cast<Pid>(target);
  if (!standin::SendQuitRequest(ctx.dir, target_pid, ctx.pid)) {
    Event(ctx, "quit_signal_failed", target_field);
    return 1;
  }
  const fs::path ack = ctx.dir / ("quit_ack." + std::to_string(ctx.pid));
  const std::int64_t deadline = NowMs() + wait_ms;
  while (NowMs() < deadline) {
    if (FileExists(ack) || Ended(emulator.get())) {
      std::error_code ec;
      fs::remove(ack, ec);
      standin::WithdrawQuitRequest(ctx.dir, target_pid, ctx.pid);
      Event(ctx, "quit_sent", target_field);
      return 0;
    }
    standin::Nap(10);
  }
  standin::WithdrawQuitRequest(ctx.dir, target_pid, ctx.pid);
  Event(ctx, "quit_unanswered", target_field);
  return 2;
}

bool Stubborn(const Context& ctx) {
  return platform::ReadEnvironmentVariable("QUARRION_STANDIN_STUBBORN") == std::optional<std::string>("1") ||
         FileExists(ctx.dir / "stubborn");
}

int RunEmulator(const Context& ctx, long lifetime_ms) {
  const std::int64_t deadline = lifetime_ms >= 0 ? NowMs() + lifetime_ms : -1;
  for (;;) {
    if (const std::optional<Pid> from = standin::TakeQuitRequest(ctx.dir, ctx.pid)) {
      const bool stubborn = Stubborn(ctx);
      Event(ctx, stubborn ? "quit_ignored" : "quit", ",\"from\":" + std::to_string(*from));
      // The request is taken either way; the quitter may exit now.
      if (*from > 0) standin::Acknowledge(ctx.dir, *from);
      if (!stubborn) {
        if (ReadFile(ctx.dir / "QuarrionEmulator.pid") == std::to_string(ctx.pid)) {
          std::error_code ec;
          fs::remove(ctx.dir / "QuarrionEmulator.pid", ec);
        }
        return 0;
      }
    }
    if (deadline >= 0 && NowMs() >= deadline) return 0;
    standin::Nap(20);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Context ctx;
  ctx.name = SelfName(argc > 0 ? argv[0] : nullptr);
  ctx.pid = platform::CurrentProcessId();
  ctx.dir = ProductHomeFromEnvironment([](const char* name) {
              return platform::ReadEnvironmentVariable(name);
            }) / "standin";
  ctx.args = Arguments(argc, argv);
  std::error_code ec;
  fs::create_directories(ctx.dir, ec);

  // Quit requests may arrive as soon as the pid file exists.
  standin::ListenForQuitRequests(ctx.dir, ctx.pid);

  const bool emulator = ctx.name == kEmulator;
  const bool quit_command = emulator && HasArg(ctx.args, "--quit");
  // The pid file comes before the command record, so a recorded emulator is
  // ready for quit requests.
  if (emulator && !quit_command) {
    // Readers see no pid or the whole one, never a part.
    (void)platform::files::ReplaceWholeFile(ctx.dir, "QuarrionEmulator.pid", std::to_string(ctx.pid));
  }

  const fs::path cwd = fs::current_path(ec);
  std::string argv_json, hex_json;
  for (std::size_t i = 0; i < ctx.args.size(); ++i) {
    argv_json += (i ? "," : "") + Json(ctx.args[i]);
    hex_json += (i ? "," : "") + Json(Hex(ctx.args[i]));
  }
  AppendLine(ctx.dir / "commands.jsonl",
             "{\"name\":" + Json(ctx.name) + ",\"pid\":" + std::to_string(ctx.pid) +
                 ",\"argv\":[" + argv_json + "],\"argv_hex\":[" + hex_json +
                 "],\"cwd\":" + Json(ec ? std::string() : standin::PathText(cwd)) + "}");

  if (quit_command) return RunQuitCommand(ctx);

  long code = 0;
  if (ArgLong(ctx.args, "standin-exit", &code) ||
      ParseLong(ReadFile(ctx.dir / (ctx.name + ".exit")), &code) ||
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
    if (lifetime_ms > 0) standin::Nap(lifetime_ms);
#ifdef QUARRION_STANDIN_OPENGL
    return opengl_probe::CheckOpenglProcess();
#else
    return 3;
#endif
  }

  // Other programs simply run; a quit request ends them too.
  const std::int64_t deadline = lifetime_ms >= 0 ? NowMs() + lifetime_ms : -1;
  while (!standin::TakeQuitRequest(ctx.dir, ctx.pid) && (deadline < 0 || NowMs() < deadline)) {
    standin::Nap(50);
  }
  return 0;
}
