#include "platform/last_error.h"

#include <cerrno>

namespace platform {

namespace {
thread_local uint32_t t_last_error = kErrorSuccess;
}

uint32_t LastError()
{
    return t_last_error;
}

void SetLastError(uint32_t code)
{
    t_last_error = code;
}

uint32_t SetLastErrorFromErrno(int err)
{
    uint32_t code;
    switch (err) {
    case 0: code = kErrorSuccess; break;
    case ENOENT:
    case ENOTDIR: code = kErrorFileNotFound; break;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EROFS: code = kErrorAccessDenied; break;
    case EBADF: code = kErrorInvalidHandle; break;
    case ENOMEM: code = kErrorNotEnoughMemory; break;
    case EINVAL:
    case ERANGE: code = kErrorInvalidParameter; break;
    case EEXIST: code = kErrorAlreadyExists; break;
    case EFBIG: code = kErrorFileTooLarge; break;
    case EINTR:
    case ECANCELED: code = kErrorOperationAborted; break;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE: code = kErrorDeviceNotConnected; break;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP: code = kErrorNotSupported; break;
    default: code = kErrorGenFailure; break;
    }
    t_last_error = code;
    return code;
}

} // namespace platform
