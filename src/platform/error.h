// Error values shared by every facility: Windows error-code numbers, because
// the callers report them in events and the numbers must mean the same on
// every OS.
#pragma once

#include <cstdint>

namespace platform {

using ErrorCode = std::uint32_t;

inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorOutOfMemory = 14;
inline constexpr ErrorCode kErrorSharingViolation = 32;
inline constexpr ErrorCode kErrorFileExists = 80;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorDirNotEmpty = 145;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kStillActive = 259;
inline constexpr ErrorCode kErrorGenFailure = 31;
inline constexpr ErrorCode kErrorTooManyOpenFiles = 4;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorNotSameDevice = 17;
inline constexpr ErrorCode kErrorWriteProtect = 19;
inline constexpr ErrorCode kErrorDiskFull = 112;
inline constexpr ErrorCode kErrorBadExeFormat = 193;
inline constexpr ErrorCode kErrorFilenameExcedRange = 206;
inline constexpr ErrorCode kErrorDirectory = 267;
// A link at the last component of a name that must not be followed.
inline constexpr ErrorCode kErrorStoppedOnSymlink = 681;
inline constexpr ErrorCode kErrorIoDevice = 1117;
inline constexpr ErrorCode kErrorUnsupportedType = 1630;
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorResourceTypeNotFound = 1813;

// errno -> Windows number (EPERM/EACCES -> 5, ESRCH -> 87, ENOENT -> 2, ...).
ErrorCode FromErrno(int err);

}  // namespace platform
