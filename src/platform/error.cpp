#include "platform/error.h"

#include <cerrno>

namespace platform {

// The C library's errno values (what std::filesystem and the C runtime report
// on both systems) as Windows numbers; GetLastError values need none.
ErrorCode FromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case EPERM:
    case EACCES:
    case EISDIR:  // opening a directory as a file is "access denied" there
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case ESRCH:
    case EINVAL:
      return kErrorInvalidParameter;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorOutOfMemory;
    case EAGAIN:
      return kErrorNotEnoughMemory;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EXDEV:
      return kErrorNotSameDevice;
    case EROFS:
      return kErrorWriteProtect;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return kErrorDiskFull;
    case ENOEXEC:
      return kErrorBadExeFormat;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace platform
