#pragma once
// One way to set and read the last system error, in the Windows error codes that the bus
// layer tests for.  The value is per thread, like the system's own.

#include <cstdint>

namespace platform {

enum : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorGenFailure = 31,
    kErrorInvalidParameter = 87,
    kErrorSemTimeout = 121, // a wait ran past its time-out
    kErrorAlreadyExists = 183,
    kErrorFileTooLarge = 223, // a file beyond the cap of its reader
    kErrorOperationAborted = 995,
    kErrorIoDevice = 1117,
    kErrorDeviceNotConnected = 1167,
    kErrorNotSupported = 50,
};

uint32_t LastError();
void SetLastError(uint32_t code);
// Maps an errno value to the nearest Windows code (ENOENT -> 2, EACCES/EBUSY -> 5, EFBIG -> 223,
// EIO/ENXIO/ENODEV -> 1167, ...) and stores it as the last error; returns the code.
uint32_t SetLastErrorFromErrno(int err);

} // namespace platform
