// The library attached in-process over the fake driver, with private port directories.
#pragma once

#include "fake_driver.h"
#include "library.h"

#include "temp_dir.h"
#include "zelhart/hart_api.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/unique_fd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace zelhart::hartif::testing {

inline constexpr auto kWait = std::chrono::seconds(5);

// A request frame whose command byte carries the tag, so replies can be told apart.
inline HartMessage Request(uint16_t tag, uint16_t length = 9) {
    HartMessage m{};
    for (uint16_t i = 0; i < length && i < HART_MESSAGE_DATA_SIZE; ++i) m.Data[i] = uint8_t(0xFF);
    if (length > 7) {
        m.Data[5] = 0x82; // delimiter after the preambles
        m.Data[6] = uint8_t(tag);
    }
    m.Length = length;
    m.RequestTag = tag;
    return m;
}

// A slave reply addressed to the primary master: delimiter 0x86, address with the master bit.
inline Bytes SlaveReply(uint8_t command, uint8_t masterBit = 0x80) {
    return {0x86, uint8_t(masterBit | 0x26), 0x4E, 0x12, 0x34, 0x56, 0x78, command, 0x02, 0x00, 0x00, 0x55};
}

// A pipe registered as the notification target: every post is 12 bytes on it.
class Notifications {
public:
    Notifications() {
        int fds[2];
        if (::pipe(fds) != 0) std::abort();
        read_.reset(fds[0]);
        write_.reset(fds[1]);
    }
    AppRegistryInfo Registration(uint32_t msg = 0x8001, int32_t wParam = 7, int32_t lParam = -9) const {
        return {write_.get(), msg, wParam, lParam};
    }
    // Waits for the next post; false when none came in time.
    bool Next(AppRegistryInfo* got = nullptr, int timeoutMs = 5000) {
        pollfd p{read_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        unsigned char buf[12];
        if (::read(read_.get(), buf, sizeof(buf)) != 12) return false;
        if (got) {
            std::memcpy(&got->Msg, buf, 4);
            std::memcpy(&got->wParam, buf + 4, 4);
            std::memcpy(&got->lParam, buf + 8, 4);
        }
        return true;
    }
    bool Empty() const {
        pollfd p{read_.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    int writeFd() const { return write_.get(); }

private:
    platform::UniqueFd read_, write_;
};

class LibraryFixture : public ::testing::Test {
protected:
    zelhart::testing::TempDir root;
    std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();
    platform::SerialPortMapSources sources;

    void SetUp() override {
        ASSERT_TRUE(platform::MakeDirs(root / "ports"));
        ASSERT_TRUE(platform::MakeDirs(root / "dev"));
        sources = {root / "ports", "", root / "dev", ""};
    }
    void TearDown() override { LibraryDetach(); }

    void Attach(bool watchPorts = false) { LibraryAttach({driver, sources, watchPorts, root / "zelhart.sock"}); }
    Library& Lib() { return *CurrentLibrary(); }
    std::shared_ptr<CHartModemController> Controller(uint16_t index) { return Lib().Table().Get(index); }

    uint16_t Open(const char* name) {
        uint16_t index = 0xFFFF;
        EXPECT_EQ(hart_open(name, &index), HDRV_SUCCESS) << name;
        return index;
    }
    // Opens HART<port> with its device present and waits until its first read is pending.
    uint16_t OpenPresent(int port) {
        driver->AddDevice(FakeDriver::HartPath(port));
        uint16_t index = Open(("HART" + std::to_string(port)).c_str());
        EXPECT_TRUE(driver->WaitUntil([&] { return driver->ReadPending(FakeDriver::HartPath(port)); }));
        return index;
    }
    // The next record of a device, waiting (bounded) for the communication thread to queue it.
    bool NextRecord(uint16_t index, HartMessage* record) {
        int32_t rc = HDRV_NO_MESSAGE;
        driver->WaitUntil([&] { return (rc = hart_read(index, record)) != HDRV_NO_MESSAGE; }, kWait);
        return rc == HDRV_SUCCESS;
    }
    // True when no record is waiting for the device right now.
    bool NoRecord(uint16_t index) {
        HartMessage record{};
        return hart_read(index, &record) == HDRV_NO_MESSAGE;
    }
};

} // namespace zelhart::hartif::testing
