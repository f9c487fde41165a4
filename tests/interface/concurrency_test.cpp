// The exports from several threads at once, against port events from the watcher's side.
#include "library_fixture.h"
#include "write_hook.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

namespace zelhart::hartif::testing {
namespace {

using Concurrency = LibraryFixture;

TEST_F(Concurrency, CloseRacesPortEventsAndWritesWithoutHarm) {
    Attach();
    const std::string path = FakeDriver::HartPath(3);
    driver->AddDevice(path);
    driver->SetResponder(path, [](const Bytes& frame) { return SlaveReply(frame.size() > 6 ? frame[6] : 0); });
    std::atomic<bool> stop{false};
    std::atomic<int> opens{0}, badCodes{0};

    std::thread openClose([&] {
        for (int i = 0; i < 150; ++i) {
            uint16_t index = 0xFFFF;
            int32_t rc = hart_open("HART3", &index);
            ++opens;
            // -1: the device went away between opening it and setting it up.
            if (rc == HDRV_FAILURE) continue;
            if (rc != HDRV_SUCCESS) ++badCodes;
            rc = hart_close(index);
            if (rc != HDRV_SUCCESS && rc != HDRV_FAILURE) ++badCodes;
        }
        stop = true;
    });
    std::thread ports([&] {
        for (bool arrival = true; !stop; arrival = !arrival) Lib().OnDeviceChange("COM3", "/dev/ttyUSB2", arrival);
    });
    std::thread device([&] {
        for (bool present = false; !stop; present = !present) {
            if (present) driver->AddDevice(path);
            else driver->RemoveDevice(path);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < 2; ++t) {
        callers.emplace_back([&, t] {
            HartMessage m = Request(uint16_t(100 + t)), record{};
            HartConfig config{0x80, 2};
            while (!stop) {
                int32_t rc = hart_write(0, &m);
                if (rc != HDRV_SUCCESS && rc != HDRV_INVALID_INDEX) ++badCodes;
                rc = hart_read(0, &record);
                if (rc != HDRV_SUCCESS && rc != HDRV_NO_MESSAGE && rc != HDRV_INVALID_INDEX) ++badCodes;
                rc = t == 0 ? hart_configure(0, &config) : hart_subscribe(0, 0x1E);
                if (rc != HDRV_SUCCESS && rc != HDRV_FAILURE && rc != HDRV_INVALID_INDEX) ++badCodes;
            }
        });
    }
    openClose.join();
    ports.join();
    device.join();
    for (auto& c : callers) c.join();
    EXPECT_EQ(opens, 150);
    EXPECT_EQ(badCodes, 0);
    EXPECT_EQ(Lib().Table().Get(0), nullptr);
    EXPECT_TRUE(driver->WaitUntil([&] { return driver->OpenFiles(path) == 0; }));
}

TEST_F(Concurrency, DevicesExchangeInParallelWithoutMixingRecords) {
    Attach();
    constexpr int kDevices = 4, kExchanges = 40;
    std::vector<uint16_t> indexes;
    for (int port = 1; port <= kDevices; ++port) {
        indexes.push_back(OpenPresent(port));
        driver->SetResponder(FakeDriver::HartPath(port),
                             [port](const Bytes& frame) { return SlaveReply(uint8_t(frame[6] + port * 50)); });
    }
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int d = 0; d < kDevices; ++d) {
        threads.emplace_back([&, d] {
            for (uint16_t tag = 1; tag <= kExchanges; ++tag) {
                HartMessage m = Request(tag), record{};
                if (hart_write(indexes[d], &m) != HDRV_SUCCESS) ++mismatches;
                if (!NextRecord(indexes[d], &record) || record.RequestTag != tag ||
                    record.Data[7] != uint8_t(tag + (d + 1) * 50))
                    ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches, 0);
    for (auto index : indexes) EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

// A caller of hart_configure or hart_subscribe waits for the write on its way, not for the queue: the
// communication thread lets it have the device before the next queued write.
TEST_F(Concurrency, ConfigureAndSubscribeGoBeforeTheNextQueuedWrite) {
    Attach();
    const std::string path = FakeDriver::HartPath(3);
    const uint16_t index = OpenPresent(3);
    auto controller = Controller(index);
    for (uint32_t code : {IOCTL_HART_SET_PROTOCOL, IOCTL_HART_SET_READ_MASK}) {
        const size_t written = driver->Writes(path).size(), started = driver->WritesStarted(path);
        driver->HoldWrites(true);
        for (uint16_t tag = 1; tag <= 20; ++tag) {
            HartMessage m = Request(tag);
            ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
        }
        ASSERT_TRUE(driver->WaitUntil([&] { return driver->WritesStarted(path) == started + 1; }));
        std::thread caller([&] {
            HartConfig config{0x00, 4};
            EXPECT_EQ(code == IOCTL_HART_SET_PROTOCOL ? hart_configure(index, &config)
                                                      : hart_subscribe(index, HART_SUBSCRIBE_OTHER_MASTER_REQUESTS),
                      HDRV_SUCCESS);
        });
        ASSERT_TRUE(driver->WaitUntil([&] { return controller->DeviceCallersWaiting() > 0; }));
        driver->HoldWrites(false);
        caller.join();
        auto calls = driver->Ioctls(path);
        auto last = std::find_if(calls.rbegin(), calls.rend(), [&](const IoctlCall& c) { return c.code == code; });
        ASSERT_NE(last, calls.rend());
        EXPECT_EQ(last->writesBefore, written + 1) << "frames written before the request";
        ASSERT_TRUE(driver->WaitUntil([&] { return driver->Writes(path).size() == written + 20; }));
    }
    EXPECT_EQ(hart_close(index), HDRV_SUCCESS);
}

// hart_close does not wait for the queue: the write on its way is cancelled, nothing queued is sent;
// and while a device is being closed, only an open of that same device waits for it.
TEST_F(Concurrency, CloseCancelsTheWriteOnItsWayAndHoldsUpOnlyOpensOfItsDevice) {
    Attach();
    const std::string path = FakeDriver::HartPath(3);
    const uint16_t index = OpenPresent(3);
    driver->HoldWrites(true);
    for (uint16_t tag = 1; tag <= 10; ++tag) {
        HartMessage m = Request(tag);
        ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    }
    ASSERT_TRUE(driver->WaitUntil([&] { return driver->WritesStarted(path) == 1; }));
    auto closed = std::async(std::launch::async, [&] { return hart_close(index); });
    EXPECT_EQ(closed.wait_for(kWait), std::future_status::ready) << "hart_close waits for the held write";
    driver->HoldWrites(false);
    EXPECT_EQ(closed.get(), HDRV_SUCCESS);
    EXPECT_EQ(driver->WritesStarted(path), 1u);
    EXPECT_TRUE(driver->Writes(path).empty());
    EXPECT_EQ(driver->OpenFiles(path), 0);

    // A close held up in the driver: another device opens meanwhile, the same one waits for it.
    const uint16_t again = OpenPresent(3);
    driver->HoldCloses(true);
    auto closing = std::async(std::launch::async, [&] { return hart_close(again); });
    ASSERT_TRUE(driver->WaitUntil([&] { return driver->ClosesStarted(path) == 2; }));
    driver->AddDevice(FakeDriver::HartPath(4));
    uint16_t other = 0xFFFF, same = 0xFFFF;
    auto openOther = std::async(std::launch::async, [&] { return hart_open("HART4", &other); });
    EXPECT_EQ(openOther.wait_for(kWait), std::future_status::ready) << "an open waits for another device's close";
    auto openSame = std::async(std::launch::async, [&] { return hart_open("HART3", &same); });
    EXPECT_EQ(openSame.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "the device opened again before its close had let go of it";
    driver->HoldCloses(false);
    EXPECT_EQ(closing.get(), HDRV_SUCCESS);
    EXPECT_EQ(openOther.get(), HDRV_SUCCESS);
    EXPECT_EQ(openSame.get(), HDRV_SUCCESS);
    EXPECT_EQ(hart_close(other), HDRV_SUCCESS);
    EXPECT_EQ(hart_close(same), HDRV_SUCCESS);
}

// The communication thread held after taking its first request and before writing it, until the
// test lets it go.
class FirstWriteHeld {
public:
    FirstWriteHeld() {
        current_ = this;
        g_beforeWriteHook = &Hook;
    }
    ~FirstWriteHeld() {
        Release();
        g_beforeWriteHook = nullptr;
    }
    bool Taken() { return taken_.get_future().wait_for(kWait) == std::future_status::ready; }
    void Release() {
        if (!released_.exchange(true)) release_.set_value();
    }

private:
    static void Hook(const HartMessage&) {
        FirstWriteHeld& self = *current_;
        if (self.held_.exchange(true)) return;
        self.taken_.set_value();
        self.release_.get_future().wait();
    }
    static inline FirstWriteHeld* current_ = nullptr;
    std::promise<void> taken_, release_;
    std::atomic<bool> held_{false}, released_{false};
};

// A close that comes after the thread has taken a request but before it writes it: the thread looks
// at the stop before the write, so neither that request nor any queued behind it reaches the device.
TEST_F(Concurrency, CloseBetweenTakingARequestAndWritingItSendsNothing) {
    Attach();
    const std::string path = FakeDriver::HartPath(3);
    const uint16_t index = OpenPresent(3);
    auto controller = Controller(index);
    FirstWriteHeld hold;
    for (uint16_t tag = 1; tag <= 5; ++tag) {
        HartMessage m = Request(tag);
        ASSERT_EQ(hart_write(index, &m), HDRV_SUCCESS);
    }
    ASSERT_TRUE(hold.Taken());
    auto closed = std::async(std::launch::async, [&] { return hart_close(index); });
    EXPECT_TRUE(driver->WaitUntil([&] { return controller->EventSignalled(EVT_STOP_THREAD); }));
    hold.Release();
    EXPECT_EQ(closed.get(), HDRV_SUCCESS);
    EXPECT_EQ(driver->WritesStarted(path), 0u) << "requests written after hart_close stopped the thread";
    EXPECT_EQ(driver->OpenFiles(path), 0);
}

TEST_F(Concurrency, WatcherThreadFollowsPortsWhileDevicesOpenAndClose) {
    Attach(true);
    std::string tty = root / "dev/pts-6";
    std::ofstream(tty) << "";
    std::atomic<bool> stop{false};
    std::thread links([&] {
        while (!stop) {
            platform::RegisterComPort(sources.portsDir, 6, tty);
            platform::UnregisterComPort(sources.portsDir, 6);
        }
    });
    for (int i = 0; i < 60; ++i) {
        uint16_t index = 0xFFFF;
        ASSERT_EQ(hart_open("HART6", &index), HDRV_SUCCESS);
        HartMessage m = Request(1);
        EXPECT_EQ(hart_write(index, &m), HDRV_SUCCESS);
        int32_t rc = hart_close(index);
        EXPECT_TRUE(rc == HDRV_SUCCESS || rc == HDRV_FAILURE);
    }
    stop = true;
    links.join();
    EXPECT_TRUE(Lib().WatcherRunning());
}

} // namespace
} // namespace zelhart::hartif::testing
