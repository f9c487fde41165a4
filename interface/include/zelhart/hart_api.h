// Records, codes and signatures at the boundary of libZelHartDriverInterface.so.
//
// One definition, used by the library itself, by the configuration program that binds it at run time,
// and by the test doubles that stand in for it. Every record is little-endian without padding; the
// static assertions below pin each size and offset, because other processes (and other languages, through
// ctypes) read these bytes as laid out here. Valid C11 and C++: the constants are plain enumerations in
// C, enumerations of the named fixed type in C++.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ZELHART_CONSTANTS(type) enum : type
#define ZELHART_STATIC_ASSERT(condition, text) static_assert(condition, text)
extern "C" {
#else
#define ZELHART_CONSTANTS(type) enum
#define ZELHART_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

ZELHART_CONSTANTS(int32_t) {
    HDRV_SUCCESS = 0,
    HDRV_FAILURE = -1,
    HDRV_EMPTY_NAME = -2,      // connect step only; never returned by an export
    HDRV_INVALID_INDEX = -3,
    HDRV_INVALID_PARAM = -4,
    HDRV_NO_MESSAGE = -6,
    HDRV_ALREADY_OPEN = -7,
};

ZELHART_CONSTANTS(uint32_t) {
    HART_MAX_DEVICES = 256,     // slots 0..255
    HART_MESSAGE_DATA_SIZE = 284,
};

// Frame kinds in HartMessage::Status (low three bits, from the start delimiter).
ZELHART_CONSTANTS(uint16_t) {
    HART_STATUS_BURST = 1,
    HART_STATUS_MASTER_REQUEST = 2,
    HART_STATUS_SLAVE_REPLY = 6,
    HART_STATUS_OTHER_MASTER = 0x80,
};

// Error values of a failure record.
ZELHART_CONSTANTS(int16_t) {
    HART_ERROR_NONE = 0,
    HART_ERROR_WRITE = -1,
    HART_ERROR_READ = -2,
};

// Subscription flags of hart_subscribe.
ZELHART_CONSTANTS(uint8_t) {
    HART_SUBSCRIBE_OTHER_MASTER_REQUESTS = 0x02,
    HART_SUBSCRIBE_OTHER_MASTER_REPLIES = 0x04,
    HART_SUBSCRIBE_BURST_THIS_MASTER = 0x08,
    HART_SUBSCRIBE_BURST_OTHER_MASTER = 0x10,
};

#pragma pack(push, 1)
typedef struct HartMessage {
    uint8_t Data[HART_MESSAGE_DATA_SIZE];
    uint16_t Length;     // bytes of Data to send / received; 0 for a failure or marker record
    uint16_t Status;     // frame kind of a received record; 6 for a failure record
    uint16_t RequestTag; // caller's tag, echoed on the record that answers or reports it
    int16_t Error;       // 0, HART_ERROR_WRITE or HART_ERROR_READ
} HartMessage;

typedef struct HartConfig {
    uint32_t MasterType; // low byte: 0x80 primary master, 0x00 secondary master
    uint32_t Retries;    // low byte: retry count
} HartConfig;

typedef struct AppRegistryInfo {
    int32_t hWnd;    // on Linux a file descriptor owned by the caller; 0 switches notification off
    uint32_t Msg;
    int32_t wParam;
    int32_t lParam;
} AppRegistryInfo;
#pragma pack(pop)

ZELHART_STATIC_ASSERT(sizeof(HartMessage) == 292, "HartMessage layout");
ZELHART_STATIC_ASSERT(offsetof(HartMessage, Data) == 0, "HartMessage layout");
ZELHART_STATIC_ASSERT(offsetof(HartMessage, Length) == 284, "HartMessage layout");
ZELHART_STATIC_ASSERT(offsetof(HartMessage, Status) == 286, "HartMessage layout");
ZELHART_STATIC_ASSERT(offsetof(HartMessage, RequestTag) == 288, "HartMessage layout");
ZELHART_STATIC_ASSERT(offsetof(HartMessage, Error) == 290, "HartMessage layout");
ZELHART_STATIC_ASSERT(sizeof(HartConfig) == 8, "HartConfig layout");
ZELHART_STATIC_ASSERT(offsetof(HartConfig, MasterType) == 0, "HartConfig layout");
ZELHART_STATIC_ASSERT(offsetof(HartConfig, Retries) == 4, "HartConfig layout");
ZELHART_STATIC_ASSERT(sizeof(AppRegistryInfo) == 16, "AppRegistryInfo layout");
ZELHART_STATIC_ASSERT(offsetof(AppRegistryInfo, hWnd) == 0, "AppRegistryInfo layout");
ZELHART_STATIC_ASSERT(offsetof(AppRegistryInfo, Msg) == 4, "AppRegistryInfo layout");
ZELHART_STATIC_ASSERT(offsetof(AppRegistryInfo, wParam) == 8, "AppRegistryInfo layout");
ZELHART_STATIC_ASSERT(offsetof(AppRegistryInfo, lParam) == 12, "AppRegistryInfo layout");

// The seven exports. Of the index only the low 16 bits count, of the flags only the low 8.
typedef int32_t (*hart_open_fn)(const char* name, uint16_t* index);
typedef int32_t (*hart_configure_fn)(uint32_t index, const HartConfig* config);
typedef int32_t (*hart_subscribe_fn)(uint32_t index, uint32_t flags);
typedef int32_t (*hart_register_fn)(uint32_t index, const AppRegistryInfo* reg);
typedef int32_t (*hart_write_fn)(uint32_t index, const HartMessage* request);
typedef int32_t (*hart_read_fn)(uint32_t index, HartMessage* record);
typedef int32_t (*hart_close_fn)(uint32_t index);

#define ZELHART_EXPORT __attribute__((visibility("default")))

ZELHART_EXPORT int32_t hart_open(const char* name, uint16_t* index);
ZELHART_EXPORT int32_t hart_configure(uint32_t index, const HartConfig* config);
ZELHART_EXPORT int32_t hart_subscribe(uint32_t index, uint32_t flags);
ZELHART_EXPORT int32_t hart_register(uint32_t index, const AppRegistryInfo* reg);
ZELHART_EXPORT int32_t hart_write(uint32_t index, const HartMessage* request);
ZELHART_EXPORT int32_t hart_read(uint32_t index, HartMessage* record);
ZELHART_EXPORT int32_t hart_close(uint32_t index);

#ifdef __cplusplus
} // extern "C"

namespace zelhart {

// Name of the interface library as the program loads it, and the variable that names a stand-in.
inline constexpr const char* kInterfaceLibraryName = "libZelHartDriverInterface.so";
inline constexpr const char* kInterfaceLibraryEnv = "ZELHART_INTERFACE_LIBRARY";

// HART device names: this prefix, then the caller's name ("HART3"); opened with "\\.\" in front.
inline constexpr const char* kDeviceNameGuidPrefix = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_";
inline constexpr const char* kDevicePathPrefix = "\\\\.\\";

} // namespace zelhart

#endif
