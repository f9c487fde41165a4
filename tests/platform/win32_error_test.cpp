#include "zelhart/platform/win32_error.h"

#include <gtest/gtest.h>

using namespace zelhart::platform;

namespace {

struct Case {
    uint32_t status;
    uint32_t error;
};

// The translations the library and the program depend on, written with the raw numbers so that a wrong
// constant in either header shows up here as well.
constexpr Case kCases[] = {
    {0x00000000, 0},    // STATUS_SUCCESS
    {0x00000103, 997},  // STATUS_PENDING -> ERROR_IO_PENDING
    {0xC0000120, 995},  // STATUS_CANCELLED -> ERROR_OPERATION_ABORTED: "the device is gone"
    {0xC000003F, 23},   // STATUS_CRC_ERROR -> ERROR_CRC
    {0xC0000210, 59},   // STATUS_TRANSACTION_TIMED_OUT -> ERROR_UNEXP_NET_ERR
    {0xC0000010, 1},    // STATUS_INVALID_DEVICE_REQUEST -> ERROR_INVALID_FUNCTION
    {0xC0000023, 122},  // STATUS_BUFFER_TOO_SMALL -> ERROR_INSUFFICIENT_BUFFER
    {0xC000009D, 21},   // STATUS_DEVICE_NOT_CONNECTED -> ERROR_NOT_READY
    {0xC00000A3, 21},   // STATUS_DEVICE_NOT_READY -> ERROR_NOT_READY
    {0xC000000E, 2},    // STATUS_NO_SUCH_DEVICE -> ERROR_FILE_NOT_FOUND
    {0xC0000034, 2},    // STATUS_OBJECT_NAME_NOT_FOUND -> ERROR_FILE_NOT_FOUND
    {0xC0000043, 32},   // STATUS_SHARING_VIOLATION
    {0xC0000022, 5},    // STATUS_ACCESS_DENIED (a second open of an exclusive device)
    {0xC0000056, 5},    // STATUS_DELETE_PENDING -> ERROR_ACCESS_DENIED
    {0xC000000D, 87},   // STATUS_INVALID_PARAMETER
    {0xC00000BB, 50},   // STATUS_NOT_SUPPORTED
    {0xC0000001, 31},   // STATUS_UNSUCCESSFUL -> ERROR_GEN_FAILURE
    {0xC0000136, 570},  // STATUS_OPEN_FAILED -> ERROR_NET_OPEN_FAILED
    {0xC0000184, 22},   // STATUS_INVALID_DEVICE_STATE -> ERROR_BAD_COMMAND
    {0xC0000035, 183},  // STATUS_OBJECT_NAME_COLLISION -> ERROR_ALREADY_EXISTS
    {0xC0000059, 1306}, // STATUS_REVISION_MISMATCH
    {0x80000005, 234},  // STATUS_BUFFER_OVERFLOW -> ERROR_MORE_DATA (a warning still fails the call)
    {0x8000001A, 259},  // STATUS_NO_MORE_ENTRIES -> ERROR_NO_MORE_ITEMS
    {0xC000009A, 1450}, // STATUS_INSUFFICIENT_RESOURCES -> ERROR_NO_SYSTEM_RESOURCES
    {0xC0070005, 5},    // a Win32 code wrapped in facility 7
    {0x80070057, 87},   // the same as a warning
    {0xE0070005, 317},  // customer bit: not a wrapped Win32 code
    {0xC0001234, 317},  // not in the table -> ERROR_MR_MID_NOT_FOUND
    {0x00000001, 0},    // other success codes succeed
    {0x40000000, 0},    // information codes succeed
};

} // namespace

TEST(NtStatusToWin32Error, TranslatesLikeTheSystemTable) {
    for (const auto& c : kCases)
        EXPECT_EQ(NtStatusToWin32Error(static_cast<NTSTATUS>(c.status)), c.error)
            << std::hex << "status 0x" << c.status;
}

TEST(NtStatusToWin32Error, NamedConstantsHaveTheWindowsValues) {
    EXPECT_EQ(static_cast<uint32_t>(STATUS_CANCELLED), 0xC0000120u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_CRC_ERROR), 0xC000003Fu);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_TRANSACTION_TIMED_OUT), 0xC0000210u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_OBJECT_NAME_COLLISION), 0xC0000035u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_DEVICE_NOT_READY), 0xC00000A3u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_NOT_SUPPORTED), 0xC00000BBu);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), 0xC000009Au);
    EXPECT_TRUE(NT_SUCCESS(STATUS_PENDING));
    EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_OVERFLOW));
    EXPECT_FALSE(NT_ERROR(STATUS_BUFFER_OVERFLOW));
    EXPECT_TRUE(NT_ERROR(STATUS_CANCELLED));
}
