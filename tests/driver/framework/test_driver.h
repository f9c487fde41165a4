// A small driver written against the framework, to exercise every path through the real socket:
//
//   \\.\ECHO   control device. Writes are kept as data and complete at once, except the payload "hold",
//              which the driver keeps until IOCTL_TEST_RELEASE. Reads take the data, or wait in a
//              manual queue (cancel callback: completes them STATUS_CANCELLED). Cleanup purges it.
//   \\.\TICK   control device. Reads wait in a manual queue; a 10 ms periodic timer, running while a
//              handle is open, completes one waiting read per tick with the tick number.
//   \\.\EXCL   exclusive control device; opens are counted.
//   function device of ROOT\TESTDRIVER\0000 with the interface kTestInterface; self-managed I/O
//              suspend and restart are counted; its IOCTL queue is power-managed.
#pragma once

#include "zelhart/drvfw/wdf.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace zelhart::testing {

using namespace zelhart::drvfw;

inline const Guid kTestInterface = *platform::ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E77}");

constexpr uint32_t TestIoctl(uint32_t function) {
    return (0x9C40u << 16) | (function << 2);
}
inline constexpr uint32_t IOCTL_TEST_ECHO = TestIoctl(0x900);
inline constexpr uint32_t IOCTL_TEST_RELEASE = TestIoctl(0x901);       // complete the held write
inline constexpr uint32_t IOCTL_TEST_REVERSE_READS = TestIoctl(0x902); // complete waiting reads, newest first
inline constexpr uint32_t IOCTL_TEST_PURGE_READS = TestIoctl(0x903);   // PurgeSynchronously the wait queue
inline constexpr uint32_t IOCTL_TEST_STOP_READS = TestIoctl(0x904);    // stop the read queue
inline constexpr uint32_t IOCTL_TEST_START_READS = TestIoctl(0x905);   // start the read queue
inline constexpr uint32_t IOCTL_TEST_SUBSCRIBE = TestIoctl(0x906);     // input: an event handle
inline constexpr uint32_t IOCTL_TEST_SIGNAL = TestIoctl(0x907);        // set the subscribed event
inline constexpr uint32_t IOCTL_TEST_WAITING_READS = TestIoctl(0x908); // output: 4 bytes, the count

// What the driver saw; read by the tests.
struct TestDriverLog {
    std::atomic<int> creates{0};
    std::atomic<int> cleanups{0};
    std::atomic<int> closes{0};
    std::atomic<int> canceledOnQueue{0};
    std::atomic<int> writesSeen{0};
    std::atomic<int> maxConcurrentWrites{0};
    std::atomic<int> suspends{0};
    std::atomic<int> restarts{0};
    std::atomic<int> unloads{0};
    std::atomic<int> deviceCleanups{0};
};

struct EchoContext {
    std::mutex lock; // the per-device lock
    std::deque<uint8_t> data;
    WDFQUEUE readQueue;
    WDFQUEUE readWait;
    WDFREQUEST heldWrite;
    PKEVENT subscribed;
    int writesInDriver = 0;
};

struct TickContext {
    std::mutex lock;
    WDFQUEUE readWait;
    WDFTIMER timer;
    uint32_t ticks = 0;
};

struct DriverContext {
    TestDriverLog* log = nullptr;
    WDFDEVICE echo, tick, exclusive;
};

// DriverEntry of the test driver: creates the driver object. Control devices come with the function
// device (EvtDriverDeviceAdd), as the HART devices come with the real one.
NTSTATUS TestDriverEntry(Framework& fw, TestDriverLog* log);

} // namespace zelhart::testing
