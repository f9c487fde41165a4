#include "win32.h"

namespace zelhart::hartif {

std::string SystemErrorText(Win32Error code) {
    switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERROR_NOT_READY: return "The device is not ready.";
    case ERROR_CRC: return "Data error (cyclic redundancy check).";
    case ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
    case ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ERROR_UNEXP_NET_ERR: return "An unexpected network error occurred.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_SEM_TIMEOUT: return "The semaphore timeout period has expired.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case ERROR_OPERATION_ABORTED:
        return "The I/O operation has been aborted because of either a thread exit or an application request.";
    case ERROR_IO_INCOMPLETE: return "Overlapped I/O event is not in a signaled state.";
    case ERROR_IO_PENDING: return "Overlapped I/O operation is in progress.";
    case ERROR_DEVICE_NOT_CONNECTED: return "The device is not connected.";
    case ERROR_TIMEOUT: return "This operation returned because the timeout period expired.";
    default: return "Error " + std::to_string(code);
    }
}

} // namespace zelhart::hartif
