#include "crash_record.h"

#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace crash_handler {

namespace {

constexpr int kMaxFrames = 128;

std::string Hex(std::uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string Demangle(const char* name) {
  if (name == nullptr) return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return name;
  std::string out = demangled;
  std::free(demangled);
  return out;
}

std::string IsoTime(std::int64_t time_ms) {
  const std::time_t seconds = static_cast<std::time_t>(time_ms / 1000);
  std::tm utc {};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(time_ms % 1000));
  return text;
}

struct UnwindState {
  Dwfl* dwfl = nullptr;
  std::vector<Frame>* frames = nullptr;
};

int OnFrame(Dwfl_Frame* state, void* arg) {
  auto* unwind = static_cast<UnwindState*>(arg);
  Dwarf_Addr pc = 0;
  bool activation = false;
  if (!dwfl_frame_pc(state, &pc, &activation)) return DWARF_CB_ABORT;
  // A return address points after the call; look the call itself up.
  const Dwarf_Addr lookup = activation ? pc : pc - 1;
  Frame frame;
  frame.pc = pc;
  if (Dwfl_Module* module = dwfl_addrmodule(unwind->dwfl, lookup)) {
    Dwarf_Addr start = 0;
    const char* file = nullptr;
    const char* name = dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr,
                                        &file, nullptr);
    frame.module = file != nullptr ? file : (name != nullptr ? name : "");
    frame.module_offset = pc - start;
    frame.function = Demangle(dwfl_module_addrname(module, lookup));
    if (Dwfl_Line* line = dwfl_module_getsrc(module, lookup)) {
      int number = 0;
      const char* source = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
      if (source != nullptr) frame.source_file = source;
      frame.line = number;
    }
  }
  unwind->frames->push_back(std::move(frame));
  return unwind->frames->size() >= kMaxFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
}

}  // namespace

std::string SignalName(int signo) {
  switch (signo) {
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGSYS: return "SIGSYS";
    default: return "signal " + std::to_string(signo);
  }
}

std::vector<Frame> ReadBacktrace(int pid, int tid, std::string* error) {
  std::vector<Frame> frames;
  static char* debuginfo_path = nullptr;
  static const Dwfl_Callbacks callbacks = {
      dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr, &debuginfo_path};
  Dwfl* dwfl = dwfl_begin(&callbacks);
  if (dwfl == nullptr) {
    *error = dwfl_errmsg(-1);
    return frames;
  }
  dwfl_report_begin(dwfl);
  if (dwfl_linux_proc_report(dwfl, pid) != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0) {
    *error = std::string("modules: ") + dwfl_errmsg(-1);
    dwfl_end(dwfl);
    return frames;
  }
  if (dwfl_linux_proc_attach(dwfl, pid, false) != 0) {
    *error = std::string("attach: ") + dwfl_errmsg(-1);
    dwfl_end(dwfl);
    return frames;
  }
  UnwindState state {dwfl, &frames};
  // Stops at the outermost frame with an error that only says so.
  if (dwfl_getthread_frames(dwfl, tid, OnFrame, &state) != 0 && frames.empty()) {
    *error = std::string("unwind: ") + dwfl_errmsg(-1);
  }
  dwfl_end(dwfl);  // detaches: the thread goes on where it stopped
  return frames;
}

std::string BuildCrashRecord(const nlohmann::json& registration,
                             const vexil::protocol::CrashMessage& crash,
                             const std::vector<Frame>& frames, std::int64_t time_ms,
                             std::uint64_t limit) {
  auto text_of = [&](const char* key) -> std::string {
    const auto it = registration.find(key);
    return it != registration.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  nlohmann::json record = {
      {"component", text_of("component")},
      {"pid", crash.pid},
      {"tid", crash.tid},
      {"signal", crash.signo},
      {"signal_name", SignalName(crash.signo)},
      {"signal_code", crash.code},
      {"fault_address", Hex(crash.fault_address)},
      {"time", IsoTime(time_ms)},
      {"time_ms", time_ms},
      {"version", text_of("version")},
      {"main_version", text_of("main_version")},
      {"package", text_of("package")},
      {"app_id", text_of("app_id")},
      {"machine_guid", text_of("machine_guid")},
      {"pipe", text_of("pipe")},
      {"truncated", false},
  };
  const auto object_of = [&](const char* key) {
    const auto it = registration.find(key);
    return it != registration.end() && it->is_object() ? *it : nlohmann::json::object();
  };
  record["custom"] = object_of("custom");
  record["process_registration"] = object_of("registration");
  nlohmann::json backtrace = nlohmann::json::array();
  for (const Frame& frame : frames) {
    nlohmann::json entry = {{"pc", Hex(frame.pc)},
                            {"function", frame.function},
                            {"module", frame.module},
                            {"module_offset", Hex(frame.module_offset)}};
    if (!frame.source_file.empty()) {
      entry["file"] = frame.source_file;
      entry["line"] = frame.line;
    }
    backtrace.push_back(std::move(entry));
  }
  record["backtrace"] = std::move(backtrace);

  const auto dump = [&] {
    return record.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  std::string text = dump();
  if (limit == 0 || text.size() <= limit) return text;

  record["truncated"] = true;
  // Innermost frames say most about the crash: the outer ones go first.
  auto& frames_json = record["backtrace"];
  while (!frames_json.empty()) {
    frames_json.erase(frames_json.size() - 1);
    text = dump();
    if (text.size() <= limit) return text;
  }
  record["custom"] = nlohmann::json::object();
  text = dump();
  if (text.size() <= limit) return text;
  record["process_registration"] = nlohmann::json::object();
  text = dump();
  return text.size() <= limit ? text : std::string();
}

}  // namespace crash_handler
