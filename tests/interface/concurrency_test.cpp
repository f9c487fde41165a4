// The exports from several threads at once, against port events from the watcher's side.
#include "library_fixture.h"

#include <atomic>
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
