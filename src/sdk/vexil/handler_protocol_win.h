// What the agent and its handler program say to each other over the
// handler's named pipe (\\.\pipe\<name>, byte mode). Frames are a one-byte
// type, a 32-bit length and the payload, as on every system; the crash
// message carries what the handler needs to read the crashed thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace vexil::protocol {

inline constexpr char kFrameRegister = 'R';
inline constexpr char kFrameCrash = 'C';
inline constexpr char kAckWritten = 'A';
inline constexpr char kAckFailed = 'F';

struct CrashMessage {
  std::uint32_t magic = 0x56584c57;  // "VXLW"
  std::uint32_t pid = 0;
  std::uint32_t tid = 0;
  std::uint32_t exception_code = 0;
  std::uint64_t fault_address = 0;
  // The crashing process's EXCEPTION_POINTERS, an address in that process:
  // the handler reads the record and the thread's context through it.
  std::uint64_t exception_pointers = 0;
};

// A pipe name as given (\\.\pipe\<name>), or just <name>: the full name.
// Empty when the name is empty or holds a further separator.
inline std::wstring FullPipeName(const std::wstring& pipe) {
  static const wchar_t kPrefix[] = L"\\\\.\\pipe\\";
  std::wstring name = pipe;
  if (name.compare(0, std::wcslen(kPrefix), kPrefix) == 0) name = name.substr(std::wcslen(kPrefix));
  if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) return {};
  return kPrefix + name;
}

// Writes all of `size` bytes on an overlapped handle, waiting at most
// `timeout_ms` for each write. Safe in an exception filter: no allocation.
inline bool WriteAll(HANDLE pipe, HANDLE event, const void* data, DWORD size, DWORD timeout_ms) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED overlapped {};
    overlapped.hEvent = event;
    DWORD written = 0;
    if (!::WriteFile(pipe, p, size, &written, &overlapped)) {
      if (::GetLastError() != ERROR_IO_PENDING) return false;
      if (::WaitForSingleObject(event, timeout_ms) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &written, TRUE);
        return false;
      }
      if (!::GetOverlappedResult(pipe, &overlapped, &written, FALSE)) return false;
    }
    if (written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

inline bool SendFrame(HANDLE pipe, HANDLE event, char type, const void* payload, std::uint32_t size,
                      DWORD timeout_ms) {
  char header[5];
  header[0] = type;
  std::memcpy(header + 1, &size, sizeof(size));
  return WriteAll(pipe, event, header, sizeof(header), timeout_ms) &&
         WriteAll(pipe, event, payload, size, timeout_ms);
}

// Reads one byte, waiting at most `timeout_ms`; 0 when none came.
inline char ReadByte(HANDLE pipe, HANDLE event, DWORD timeout_ms) {
  char byte = 0;
  OVERLAPPED overlapped {};
  overlapped.hEvent = event;
  DWORD read = 0;
  if (!::ReadFile(pipe, &byte, 1, &read, &overlapped)) {
    if (::GetLastError() != ERROR_IO_PENDING) return 0;
    if (::WaitForSingleObject(event, timeout_ms) != WAIT_OBJECT_0) {
      ::CancelIoEx(pipe, &overlapped);
      ::GetOverlappedResult(pipe, &overlapped, &read, TRUE);
      return 0;
    }
    if (!::GetOverlappedResult(pipe, &overlapped, &read, FALSE)) return 0;
  }
  return read == 1 ? byte : 0;
}

}  // namespace vexil::protocol
