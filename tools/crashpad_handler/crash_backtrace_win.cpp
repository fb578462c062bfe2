// The backtrace of a crashed thread on Windows, read from outside: the
// thread's context comes from the EXCEPTION_POINTERS the agent sent (an
// address in the crashed process), and DbgHelp's StackWalk64 unwinds from
// there, with module and symbol names from DbgHelp as well.
#include "crash_backtrace.h"

#include <dbghelp.h>

#include <cstdio>
#include <memory>

namespace crash_handler {

namespace {

constexpr int kMaxFrames = 128;

std::string Utf8(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

template <typename T>
bool ReadRemote(HANDLE process, std::uint64_t address, T* out) {
  SIZE_T read = 0;
  return address != 0 &&
         ::ReadProcessMemory(process, reinterpret_cast<const void*>(address), out, sizeof(T), &read) &&
         read == sizeof(T);
}

}  // namespace

std::string ExceptionName(std::uint32_t code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "EXCEPTION_ACCESS_VIOLATION";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case EXCEPTION_BREAKPOINT: return "EXCEPTION_BREAKPOINT";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case EXCEPTION_IN_PAGE_ERROR: return "EXCEPTION_IN_PAGE_ERROR";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case EXCEPTION_PRIV_INSTRUCTION: return "EXCEPTION_PRIV_INSTRUCTION";
    case EXCEPTION_STACK_OVERFLOW: return "EXCEPTION_STACK_OVERFLOW";
    case 0x40000015: return "STATUS_FATAL_APP_EXIT";
    case 0xC0000409: return "STATUS_STACK_BUFFER_OVERRUN";
    default: {
      char text[32];
      std::snprintf(text, sizeof(text), "exception 0x%08x", code);
      return text;
    }
  }
}

std::vector<Frame> ReadBacktrace(HANDLE process, std::uint32_t tid, std::uint64_t pointers,
                                 std::string* error) {
  std::vector<Frame> frames;
  EXCEPTION_POINTERS remote {};
  if (!ReadRemote(process, pointers, &remote)) {
    *error = "cannot read the exception pointers";
    return frames;
  }
  auto context = std::make_unique<CONTEXT>();
  if (!ReadRemote(process, reinterpret_cast<std::uint64_t>(remote.ContextRecord), context.get())) {
    *error = "cannot read the thread context";
    return frames;
  }
  HANDLE thread = ::OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, tid);
  ::SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
  if (!::SymInitializeW(process, nullptr, TRUE)) {
    *error = "symbols unavailable";
  }
  STACKFRAME64 frame {};
#if defined(_M_X64) || defined(__x86_64__)
  const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
  frame.AddrPC.Offset = context->Rip;
  frame.AddrStack.Offset = context->Rsp;
  frame.AddrFrame.Offset = context->Rbp;
#elif defined(_M_ARM64) || defined(__aarch64__)
  const DWORD machine = IMAGE_FILE_MACHINE_ARM64;
  frame.AddrPC.Offset = context->Pc;
  frame.AddrStack.Offset = context->Sp;
  frame.AddrFrame.Offset = context->Fp;
#else
  const DWORD machine = IMAGE_FILE_MACHINE_I386;
  frame.AddrPC.Offset = context->Eip;
  frame.AddrStack.Offset = context->Esp;
  frame.AddrFrame.Offset = context->Ebp;
#endif
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrStack.Mode = AddrModeFlat;
  frame.AddrFrame.Mode = AddrModeFlat;
  alignas(SYMBOL_INFOW) unsigned char symbol_storage[sizeof(SYMBOL_INFOW) + 512 * sizeof(wchar_t)];
  for (int i = 0; i < kMaxFrames; ++i) {
    if (!::StackWalk64(machine, process, thread, &frame, context.get(), nullptr,
                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr) ||
        frame.AddrPC.Offset == 0) {
      break;
    }
    Frame out;
    out.pc = frame.AddrPC.Offset;
    // A return address points after the call; look the call itself up.
    const DWORD64 lookup = i == 0 ? out.pc : out.pc - 1;
    IMAGEHLP_MODULEW64 module {};
    module.SizeOfStruct = sizeof(module);
    if (::SymGetModuleInfoW64(process, lookup, &module)) {
      out.module = Utf8(module.ImageName);
      out.module_offset = out.pc - module.BaseOfImage;
    }
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(symbol_storage);
    *symbol = SYMBOL_INFOW {};
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 512;
    DWORD64 displacement = 0;
    if (::SymFromAddrW(process, lookup, &displacement, symbol)) out.function = Utf8(symbol->Name);
    IMAGEHLP_LINEW64 line {};
    line.SizeOfStruct = sizeof(line);
    DWORD line_displacement = 0;
    if (::SymGetLineFromAddrW64(process, lookup, &line_displacement, &line)) {
      out.source_file = Utf8(line.FileName);
      out.line = static_cast<int>(line.LineNumber);
    }
    frames.push_back(std::move(out));
  }
  ::SymCleanup(process);
  if (thread != nullptr) ::CloseHandle(thread);
  if (frames.empty() && error->empty()) *error = "no frame could be read";
  return frames;
}

}  // namespace crash_handler
