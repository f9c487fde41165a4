// Win32 error codes as user mode sees them, and the mapping from the NTSTATUS a request completed with.
//
// The client side of the driver's socket reports every failure the way the Windows I/O manager
// does: the request's NTSTATUS turned into a Win32 error code by the system's fixed table. Callers
// rely on particular codes (ERROR_OPERATION_ABORTED for a cancelled read means "the device is gone").
#pragma once

#include "zelhart/platform/ntstatus.h"

#include <cstdint>

namespace zelhart::platform {

enum : uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_NOT_READY = 21,
    ERROR_BAD_COMMAND = 22,
    ERROR_CRC = 23,
    ERROR_BAD_LENGTH = 24,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_DEV_NOT_EXIST = 55,
    ERROR_UNEXP_NET_ERR = 59,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BROKEN_PIPE = 109,
    ERROR_SEM_TIMEOUT = 121,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_BUSY = 170,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_MORE_DATA = 234,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_MR_MID_NOT_FOUND = 317,
    ERROR_NET_OPEN_FAILED = 570,
    ERROR_OPERATION_ABORTED = 995,
    ERROR_IO_INCOMPLETE = 996,
    ERROR_IO_PENDING = 997,
    ERROR_DEVICE_NOT_CONNECTED = 1167,
    ERROR_NOT_FOUND = 1168,
    ERROR_REVISION_MISMATCH = 1306,
    ERROR_PRIVILEGE_NOT_HELD = 1314,
    ERROR_NO_SYSTEM_RESOURCES = 1450,
    ERROR_TIMEOUT = 1460,
    ERROR_INVALID_USER_BUFFER = 1784,
};

// The system's NTSTATUS -> Win32 translation: STATUS_SUCCESS -> 0, STATUS_PENDING -> ERROR_IO_PENDING,
// the fixed table for warnings and errors, a Win32 code wrapped as an NTSTATUS (facility 7) unwrapped,
// any other success or information code -> 0, and any other code -> ERROR_MR_MID_NOT_FOUND.
uint32_t NtStatusToWin32Error(NTSTATUS status);

} // namespace zelhart::platform
