#include "platform/posix/PosixError.h"

#include <cerrno>

#include "platform/ErrorCodes.h"

namespace Vantor::platform {

std::uint32_t win32FromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EXDEV:
      return kErrorNotSameDevice;
    case EROFS:
      return kErrorWriteProtect;
    case EIO:
      return kErrorGenFailure;
    case EAGAIN:
      return kErrorLockViolation;
    case EEXIST:
      return kErrorAlreadyExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case EPIPE:
      return kErrorBrokenPipe;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ENOSYS:
      return kErrorCallNotImplemented;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EBUSY:
    case ETXTBSY:
      return kErrorBusy;
    case ELOOP:
      return kErrorCantResolveFilename;
    case ESRCH:
      return kErrorInvalidParameter;
    case ETIMEDOUT:
      return kErrorTimeout;
    case ECONNREFUSED:
      return kErrorConnectionRefused;
    case ENETUNREACH:
      return kErrorNetUnreachable;
    case ENOTCONN:
      return kErrorNotConnected;
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case ECANCELED:
      return kErrorOperationAborted;
    case EMSGSIZE:
      return kErrorMoreData;
    case EFBIG:
      return kErrorDiskFull;
    case ENOBUFS:
      return kErrorNoSystemResources;
    default:
      return kErrorGenFailure;
  }
}

bool failWith(int error) {
  setLastError(win32FromErrno(error));
  return false;
}

}  // namespace Vantor::platform
