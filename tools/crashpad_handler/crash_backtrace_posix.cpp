// The backtrace of a crashed thread, read from outside through ptrace with
// elfutils' unwinder.
#include "crash_backtrace.h"

#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>

namespace crash_handler {

namespace {

constexpr int kMaxFrames = 128;

std::string Demangle(const char* name) {
  if (name == nullptr) return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return name;
  std::string out = demangled;
  std::free(demangled);
  return out;
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

}  // namespace crash_handler
