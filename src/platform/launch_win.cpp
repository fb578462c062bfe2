// Launching on Windows: the shell's "open" (ShellExecuteExW), CreateProcessW,
// and the restricted start: the process's own token without the
// Administrators group (CreateRestrictedToken) given to CreateProcessAsUserW.
// The parameter text reaches the child's command line unchanged, so the
// child's own split reads exactly what the caller quoted.
#include <windows.h>
#include <shellapi.h>

#include <system_error>

#include "platform/launch.h"
#include "platform/text.h"
#include "platform/win_util_win.h"

namespace platform {

namespace {

// Enough to make a restricted copy and hand it to a child.
constexpr DWORD kRestrictableTokenAccess =
    TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | READ_CONTROL;

struct SidTraits {
  static PSID InvalidValue() { return nullptr; }
  static void Free(PSID sid) { ::FreeSid(sid); }
};
using ScopedSid = ScopedGeneric<PSID, SidTraits>;

// "NAME=value\0...\0\0", as CreateProcessW takes a wide environment.
std::wstring EnvironmentBlock(const std::vector<std::string>& entries) {
  std::wstring block;
  for (const std::string& entry : entries) {
    block += text::FromUtf8(entry);
    block.push_back(L'\0');
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

// The whole command line: the program in quotes (the program-name rule
// takes quotes only as grouping), then the parameters as given.
std::wstring CommandLine(const std::wstring& program, const LaunchRequest& request) {
  if (request.parameters_include_program && !request.parameters.empty()) {
    return request.parameters;
  }
  std::wstring line = L"\"" + program + L"\"";
  if (!request.parameters.empty()) line += L" " + request.parameters;
  return line;
}

// The current process's token without the Administrators group.
Result<win::ScopedHandle> RestrictedToken() {
  HANDLE own = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), kRestrictableTokenAccess, &own)) {
    return Fail(win::LastError());
  }
  win::ScopedHandle token(own);
  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!::AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    return Fail(kErrorOutOfMemory);
  }
  ScopedSid sid(administrators);
  SID_AND_ATTRIBUTES disable{};
  disable.Sid = sid.get();
  disable.Attributes = 0;
  HANDLE restricted = nullptr;
  if (!::CreateRestrictedToken(token.get(), DISABLE_MAX_PRIVILEGE, 1, &disable, 0, nullptr, 0,
                               nullptr, &restricted)) {
    return Fail(win::LastError());
  }
  return win::ScopedHandle(restricted);
}

ErrorCode ShellOpen(const std::wstring& program, const LaunchRequest& request,
                    const std::wstring& directory, bool want_handle, ProcessHandle* process) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI | (want_handle ? SEE_MASK_NOCLOSEPROCESS : 0);
  info.lpVerb = L"open";
  info.lpFile = program.c_str();
  // The shell puts the program name in front by itself.
  std::wstring parameters = request.parameters;
  if (request.parameters_include_program) {
    const std::vector<std::wstring> split = SplitCommandLine(parameters, true);
    std::vector<std::wstring> rest(split.empty() ? split.begin() : split.begin() + 1, split.end());
    parameters = JoinCommandLine(rest);
  }
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) return win::LastError();
  // The shell may hand the request to a program already running; then
  // there is no process of ours to give out.
  if (info.hProcess != nullptr) {
    if (want_handle) {
      *process = win::AdoptProcess(info.hProcess, kProcessAllAccess);
    } else {
      ::CloseHandle(info.hProcess);
    }
  }
  return kErrorSuccess;
}

}  // namespace

ErrorCode Launch(const LaunchRequest& request, ProcessHandle* process) {
  if (request.file.empty()) return kErrorFileNotFound;
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(request.file, ec);
  if (ec) return kErrorFileNotFound;
  const std::wstring program = text::WideFromPath(file.lexically_normal());
  const DWORD attributes = ::GetFileAttributesW(program.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? kErrorFileNotFound : win::LastError();
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kErrorAccessDenied;
  std::wstring directory;
  if (!request.directory.empty()) {
    directory = text::WideFromPath(std::filesystem::absolute(request.directory, ec));
    const DWORD dir_attributes = ::GetFileAttributesW(directory.c_str());
    if (ec || dir_attributes == INVALID_FILE_ATTRIBUTES ||
        (dir_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return kErrorDirectory;
    }
  }
  const bool want_handle = request.want_handle && process != nullptr;
  if (request.shell_open && !request.environment && !request.restricted) {
    return ShellOpen(program, request, directory, want_handle, process);
  }

  std::wstring command_line = CommandLine(program, request);
  std::wstring environment;
  if (request.environment) environment = EnvironmentBlock(*request.environment);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT;
  void* env = request.environment ? environment.data() : nullptr;
  const wchar_t* cwd = directory.empty() ? nullptr : directory.c_str();
  BOOL started;
  if (request.restricted) {
    Result<win::ScopedHandle> token = RestrictedToken();
    if (!token) return token.error();
    started = ::CreateProcessAsUserW(token->get(), program.c_str(), command_line.data(), nullptr,
                                     nullptr, FALSE, flags, env, cwd, &startup, &info);
  } else {
    started = ::CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                               flags, env, cwd, &startup, &info);
  }
  if (!started) return win::LastError();
  ::CloseHandle(info.hThread);
  if (want_handle) {
    *process = win::AdoptProcess(info.hProcess, kProcessAllAccess);
  } else {
    ::CloseHandle(info.hProcess);
  }
  return kErrorSuccess;
}

}  // namespace platform
