#include "zelhart/platform/win32_error.h"

#include <algorithm>
#include <iterator>

namespace zelhart::platform {
namespace {

struct Mapping {
    NTSTATUS status;
    uint32_t error;
};

// Sorted by status, as unsigned values.
constexpr Mapping kTable[] = {
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_CRC_ERROR, ERROR_CRC},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_REVISION_MISMATCH, ERROR_REVISION_MISMATCH},
    {STATUS_PRIVILEGE_NOT_HELD, ERROR_PRIVILEGE_NOT_HELD},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_OPEN_FAILED, ERROR_NET_OPEN_FAILED},
    {STATUS_PIPE_BROKEN, ERROR_BROKEN_PIPE},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_TRANSACTION_TIMED_OUT, ERROR_UNEXP_NET_ERR},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
};

constexpr bool Before(const Mapping& a, uint32_t status) {
    return static_cast<uint32_t>(a.status) < status;
}

constexpr bool TableIsSorted() {
    for (size_t i = 1; i < std::size(kTable); ++i)
        if (!Before(kTable[i - 1], static_cast<uint32_t>(kTable[i].status))) return false;
    return true;
}
static_assert(TableIsSorted(), "the mapping table is searched by bisection");

} // namespace

uint32_t NtStatusToWin32Error(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return ERROR_SUCCESS;
    if (status == STATUS_PENDING) return ERROR_IO_PENDING;
    const uint32_t value = static_cast<uint32_t>(status);
    auto it = std::lower_bound(std::begin(kTable), std::end(kTable), value, Before);
    if (it != std::end(kTable) && it->status == status) return it->error;
    const uint32_t high = value & 0xFFFF0000u;
    if (high == 0x80070000u || high == 0xC0070000u)
        return value & 0xFFFF; // a Win32 code wrapped (facility 7)
    if (NT_SUCCESS(status)) return ERROR_SUCCESS;
    return ERROR_MR_MID_NOT_FOUND;
}

} // namespace zelhart::platform
