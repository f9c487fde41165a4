// libZelHartLoopback.so as the program uses it: loaded with dlopen, bound by name.
#include "hart_test_util.h"
#include "temp_dir.h"
#include "zelhart/hart_api.h"
#include "zelhart/sim/packed_ascii.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace zelhart::sim {
namespace {

using namespace testing;

struct Api {
    hart_open_fn open;
    hart_configure_fn configure;
    hart_subscribe_fn subscribe;
    hart_register_fn reg;
    hart_write_fn write;
    hart_read_fn read;
    hart_close_fn close;
};

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test gets a transmitter of its own: a new state file makes a new one.
        ::setenv("ZELHART_LOOPBACK_STATE", (dir / "device.state").c_str(), 1);
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
        handle = ::dlopen(ZELHART_LOOPBACK_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        api.open = Bind<hart_open_fn>("hart_open");
        api.configure = Bind<hart_configure_fn>("hart_configure");
        api.subscribe = Bind<hart_subscribe_fn>("hart_subscribe");
        api.reg = Bind<hart_register_fn>("hart_register");
        api.write = Bind<hart_write_fn>("hart_write");
        api.read = Bind<hart_read_fn>("hart_read");
        api.close = Bind<hart_close_fn>("hart_close");
    }
    void TearDown() override {
        for (uint16_t i : opened) api.close(i);
        if (handle) ::dlclose(handle);
        ::unsetenv("ZELHART_LOOPBACK_STATE");
        ::unsetenv("ZELHART_LOOPBACK_SILENT");
    }
    template <class F>
    F Bind(const char* name) {
        void* p = ::dlsym(handle, name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<F>(p);
    }
    uint16_t Open(const char* name = "HART1") {
        uint16_t index = 0xFFFF;
        EXPECT_EQ(api.open(name, &index), HDRV_SUCCESS);
        opened.push_back(index);
        HartConfig config{0x00600000, 0x00060004}; // the program's words: secondary master, 4 retries
        EXPECT_EQ(api.configure(index, &config), HDRV_SUCCESS);
        return index;
    }
    static HartMessage Message(const Bytes& bytes, uint16_t tag) {
        HartMessage m{};
        if (!bytes.empty()) std::memcpy(m.Data, bytes.data(), bytes.size());
        m.Length = static_cast<uint16_t>(bytes.size());
        m.RequestTag = tag;
        return m;
    }
    // One transaction as the program runs it: the frame with six preambles, then the record.
    HartMessage Transact(uint16_t index, uint8_t command, const Bytes& data, uint16_t tag = 1) {
        Bytes frame(6, 0xFF);
        Bytes body = RequestBytes(command, data);
        frame.insert(frame.end(), body.begin(), body.end());
        HartMessage request = Message(frame, tag);
        EXPECT_EQ(api.write(index, &request), HDRV_SUCCESS);
        HartMessage record{};
        EXPECT_EQ(api.read(index, &record), HDRV_SUCCESS);
        return record;
    }
    static std::string Hex(const HartMessage& m) { return HexBytes(std::span<const uint8_t>(m.Data, m.Length)); }

    zelhart::testing::TempDir dir;
    void* handle = nullptr;
    Api api{};
    std::vector<uint16_t> opened;
};

TEST_F(Loopback, IdentityExchange) {
    uint16_t index = Open();
    HartMessage request = Message({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}, 77);
    ASSERT_EQ(api.write(index, &request), HDRV_SUCCESS);
    HartMessage record;
    std::memset(&record, 0xAB, sizeof record);
    ASSERT_EQ(api.read(index, &record), HDRV_SUCCESS);
    EXPECT_EQ(Hex(record), "06 00 f9 0e 00 20 fe 99 fc 05 05 01 03 10 00 3a 5f 21 1c");
    EXPECT_EQ(record.Status, HART_STATUS_SLAVE_REPLY);
    EXPECT_EQ(record.RequestTag, 77);
    EXPECT_EQ(record.Error, HART_ERROR_NONE);
    for (size_t i = record.Length; i < HART_MESSAGE_DATA_SIZE; ++i) ASSERT_EQ(record.Data[i], 0) << i;

    HartMessage untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    HartMessage copy = untouched;
    EXPECT_EQ(api.read(index, &untouched), HDRV_NO_MESSAGE);
    EXPECT_EQ(std::memcmp(&untouched, &copy, sizeof copy), 0);
}

TEST_F(Loopback, WrittenConfigurationIsKeptAcrossOpensAndInTheStateFile) {
    uint16_t index = Open();
    Bytes data = Cat({PackAscii("LOOP-1", 8), PackAscii("IN PROCESS", 16), {9, 9, 125}});
    HartMessage reply = Transact(index, 18, data);
    ASSERT_GE(reply.Length, 10);
    EXPECT_EQ(reply.Data[0], 0x86);
    EXPECT_EQ(reply.Data[8], 0); // response code
    ASSERT_EQ(api.close(index), HDRV_SUCCESS);
    opened.clear();

    uint16_t again = Open("HART2"); // any name: the same transmitter
    HartMessage back = Transact(again, 13, {});
    EXPECT_EQ(UnpackAscii(std::span<const uint8_t>(back.Data + 10, 6)), "LOOP-1  ");
    std::ifstream in(dir / "device.state");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("tag = LOOP-1"), std::string::npos);
}

TEST_F(Loopback, StateFileGivesAKnownConfiguration) {
    { std::ofstream(dir / "known.state") << "format = 1\ntag = KNOWN\nsensor_type = 132\nsensor_connection = 2\n"; }
    ::setenv("ZELHART_LOOPBACK_STATE", (dir / "known.state").c_str(), 1);
    uint16_t index = Open();
    EXPECT_EQ(UnpackAscii(std::span<const uint8_t>(Transact(index, 13, {}).Data + 10, 6)), "KNOWN   ");
    EXPECT_EQ(HexBytes(std::span<const uint8_t>(Transact(index, 140, {0}).Data + 10, 3)), "00 84 02");
}

TEST_F(Loopback, BadStateFileFailsTheOpen) {
    { std::ofstream(dir / "bad.state") << "format = 1\ntag = {}\n"; }
    ::setenv("ZELHART_LOOPBACK_STATE", (dir / "bad.state").c_str(), 1);
    uint16_t index = 0xBEEF;
    EXPECT_EQ(api.open("HART1", &index), HDRV_FAILURE);
    EXPECT_EQ(index, 0xBEEF);
}

TEST_F(Loopback, ReturnCodes) {
    uint16_t index = 0xBEEF;
    EXPECT_EQ(api.open("HART1", nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(api.open(nullptr, &index), HDRV_INVALID_PARAM);
    uint16_t first = Open("HART3");
    EXPECT_EQ(api.open("HART3", &index), HDRV_ALREADY_OPEN);
    EXPECT_EQ(index, first);

    HartConfig config{};
    HartMessage m{};
    AppRegistryInfo reg{};
    for (uint32_t bad : {256u, 0x10100u, 65535u, uint32_t(first + 1)}) {
        EXPECT_EQ(api.configure(bad, &config), HDRV_INVALID_INDEX) << bad;
        EXPECT_EQ(api.subscribe(bad, 0x1E), HDRV_INVALID_INDEX) << bad;
        EXPECT_EQ(api.reg(bad, &reg), HDRV_INVALID_INDEX) << bad;
        EXPECT_EQ(api.write(bad, &m), HDRV_INVALID_INDEX) << bad;
        EXPECT_EQ(api.read(bad, &m), HDRV_INVALID_INDEX) << bad;
    }
    EXPECT_EQ(api.close(256), HDRV_INVALID_INDEX);
    EXPECT_EQ(api.close(first + 1), HDRV_FAILURE); // empty slot
    EXPECT_EQ(api.configure(0x10000u + first, &config), HDRV_SUCCESS); // only the low 16 bits count
    EXPECT_EQ(api.configure(first, nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(api.write(first, nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(api.read(first, nullptr), HDRV_INVALID_PARAM);
    EXPECT_EQ(api.reg(first, nullptr), HDRV_SUCCESS);
    EXPECT_EQ(api.subscribe(first, 0x1E), HDRV_SUCCESS);
}

TEST_F(Loopback, TwoHundredFiftySixSlots) {
    std::vector<std::string> names;
    for (int i = 0; i < 256; ++i) names.push_back("HART" + std::to_string(i + 100));
    for (const auto& n : names) {
        uint16_t index;
        ASSERT_EQ(api.open(n.c_str(), &index), HDRV_SUCCESS);
        opened.push_back(index);
    }
    EXPECT_EQ(opened.back(), 255);
    uint16_t index = 0xBEEF;
    EXPECT_EQ(api.open("HART999", &index), HDRV_FAILURE);
    EXPECT_EQ(index, 0xBEEF);
    ASSERT_EQ(api.close(17), HDRV_SUCCESS);
    EXPECT_EQ(api.open("HART999", &index), HDRV_SUCCESS); // the lowest free slot
    EXPECT_EQ(index, 17);
}

TEST_F(Loopback, RequestsNobodyAnswersComeBackAsFailureRecords) {
    uint16_t index = Open();
    HartMessage empty = Message({}, 5);
    HartMessage tooLong = Message({0xFF}, 6);
    tooLong.Length = 300;
    HartMessage otherDevice = Message(Cat({{0xFF, 0xFF}, RequestBytes(13, {}, {0x19, 0xFC, 0, 0, 1})}), 7);
    for (HartMessage* m : {&empty, &tooLong, &otherDevice}) {
        ASSERT_EQ(api.write(index, m), HDRV_SUCCESS);
        HartMessage r{};
        ASSERT_EQ(api.read(index, &r), HDRV_SUCCESS);
        EXPECT_EQ(r.Length, 0);
        EXPECT_EQ(r.Status, HART_STATUS_SLAVE_REPLY);
        EXPECT_EQ(r.Error, HART_ERROR_WRITE);
        EXPECT_EQ(r.RequestTag, m->RequestTag);
    }
    ::setenv("ZELHART_LOOPBACK_SILENT", "1", 1);
    uint16_t silent = Open("HART2");
    HartMessage r = Transact(silent, 13, {}, 9);
    EXPECT_EQ(r.Length, 0);
    EXPECT_EQ(r.Error, HART_ERROR_WRITE);
    EXPECT_EQ(r.RequestTag, 9);
}

TEST_F(Loopback, StatusMarksTheOtherMaster) {
    uint16_t index = Open();
    HartConfig primary{0x80, 2};
    ASSERT_EQ(api.configure(index, &primary), HDRV_SUCCESS);
    HartMessage r = Transact(index, 13, {}); // the request carries the secondary master's bit
    EXPECT_EQ(r.Status, HART_STATUS_SLAVE_REPLY | HART_STATUS_OTHER_MASTER);
}

TEST_F(Loopback, RecordsComeOutInOrderAndEachOneIsAnnounced) {
    uint16_t index = Open();
    int p[2];
    ASSERT_EQ(::pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    AppRegistryInfo reg{p[1], 0x8001, 11, 22};
    ASSERT_EQ(api.reg(index, &reg), HDRV_SUCCESS);
    for (uint16_t tag : {1, 2}) {
        HartMessage m = Message({0xFF, 0xFF, 0x02, 0x00, 0xF9, 0x00, 0xFB}, tag);
        ASSERT_EQ(api.write(index, &m), HDRV_SUCCESS);
    }
    HartMessage r{};
    ASSERT_EQ(api.read(index, &r), HDRV_SUCCESS);
    EXPECT_EQ(r.RequestTag, 1);
    ASSERT_EQ(api.read(index, &r), HDRV_SUCCESS);
    EXPECT_EQ(r.RequestTag, 2);
    // Two records queued, one read with another still waiting: three notices.
    uint8_t notices[64];
    ssize_t n = ::read(p[0], notices, sizeof notices);
    EXPECT_EQ(n, 36);
    uint32_t msg;
    int32_t wParam, lParam;
    std::memcpy(&msg, notices, 4);
    std::memcpy(&wParam, notices + 4, 4);
    std::memcpy(&lParam, notices + 8, 4);
    EXPECT_EQ(msg, 0x8001u);
    EXPECT_EQ(wParam, 11);
    EXPECT_EQ(lParam, 22);
    ::close(p[0]);
    ::close(p[1]);
}

} // namespace
} // namespace zelhart::sim
