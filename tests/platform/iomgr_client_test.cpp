#include "zelhart/platform/iomgr_client.h"

#include "fake_iomgr_daemon.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace zelhart::platform;
using namespace zelhart::platform::iomgr;
using zelhart::testing::FakeIomgrDaemon;
using zelhart::testing::TempDir;

namespace {

class IomgrClient : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("ZELHART_RUNTIME_DIR", dir_.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("ZELHART_RUNTIME_DIR"); }

    std::unique_ptr<DeviceFile> OpenGood() {
        std::unique_ptr<DeviceFile> f;
        EXPECT_EQ(DeviceFile::Open("\\\\.\\good", GENERIC_READ | GENERIC_WRITE, 0, FILE_FLAG_OVERLAPPED, &f),
                  ERROR_SUCCESS);
        return f;
    }

    TempDir dir_;
};

// Bytes of a string literal, NULs included.
template <size_t N> std::vector<uint8_t> V(const char (&s)[N]) {
    return {s, s + N - 1};
}

} // namespace

TEST(IomgrEvent, ManualResetStaysSignalledUntilReset) {
    Event e;
    ASSERT_TRUE(e.valid());
    EXPECT_FALSE(e.IsSet());
    e.Set();
    e.Set();
    EXPECT_TRUE(e.IsSet());
    EXPECT_TRUE(e.IsSet()); // waiting does not consume it
    e.Reset();
    EXPECT_FALSE(e.IsSet());
    EXPECT_TRUE(Event(true).IsSet());
}

TEST(IomgrEvent, WaitReturnsTheLowestSignalledIndex) {
    Event a, b, c, d, e;
    const Event* events[] = {&a, &b, &c, &d, &e};
    EXPECT_EQ(WaitForMultipleEvents(events, 0), WAIT_TIMEOUT);
    d.Set();
    b.Set();
    EXPECT_EQ(WaitForMultipleEvents(events, INFINITE), WAIT_OBJECT_0 + 1);
    b.Reset();
    EXPECT_EQ(WaitForMultipleEvents(events, INFINITE), WAIT_OBJECT_0 + 3);
    a.Set();
    EXPECT_EQ(WaitForMultipleEvents(events, 10), WAIT_OBJECT_0);
}

TEST(IomgrEvent, WaitWakesWhenAnotherThreadSetsAndTimesOutOtherwise) {
    Event a, b;
    const Event* events[] = {&a, &b};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleEvents(events, 30), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    std::thread setter([&] { b.Set(); });
    EXPECT_EQ(WaitForMultipleEvents(events, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
}

TEST(IomgrEvent, BadWaitsFail) {
    Event a;
    const Event* withNull[] = {&a, nullptr};
    EXPECT_EQ(WaitForMultipleEvents(withNull, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleEvents({}, 0), WAIT_FAILED);
    std::vector<Event> many(MAXIMUM_WAIT_OBJECTS + 1);
    std::vector<const Event*> ptrs;
    for (auto& e : many)
        ptrs.push_back(&e);
    EXPECT_EQ(WaitForMultipleEvents(ptrs, 0), WAIT_FAILED);
    ptrs.pop_back();
    EXPECT_EQ(WaitForMultipleEvents(ptrs, 0), WAIT_TIMEOUT);
}

TEST_F(IomgrClient, WithoutADaemonNothingIsFound) {
    std::unique_ptr<DeviceFile> f;
    EXPECT_EQ(DeviceFile::Open("\\\\.\\good", GENERIC_READ, 0, 0, &f), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(f);
    std::string path;
    EXPECT_EQ(LookupDeviceInterface(zelhart::testing::kTestInterface, 0, &path), ERROR_NO_MORE_ITEMS);
}

TEST_F(IomgrClient, OpenReportsTheDriversVerdictAsWin32Error) {
    FakeIomgrDaemon daemon(dir_.path());
    std::unique_ptr<DeviceFile> f;
    EXPECT_EQ(DeviceFile::Open("\\\\.\\missing", GENERIC_READ, 0, 0, &f), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(DeviceFile::Open("\\\\.\\denied", GENERIC_READ, 0, 0, &f), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DeviceFile::Open("\\\\?\\good", GENERIC_READ, 0, 0, &f), ERROR_SUCCESS);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->objectName(), "good");
    EXPECT_EQ(DeviceFile::Open("\\\\.\\", GENERIC_READ, 0, 0, &f), ERROR_INVALID_NAME);
}

TEST_F(IomgrClient, AVersionTheDaemonDoesNotSpeakIsRefused) {
    FakeIomgrDaemon daemon(dir_.path(), kProtocolVersion + 1);
    std::unique_ptr<DeviceFile> f;
    EXPECT_EQ(DeviceFile::Open("\\\\.\\good", GENERIC_READ, 0, 0, &f), ERROR_REVISION_MISMATCH);
}

TEST_F(IomgrClient, InterfaceLookUpByGuid) {
    FakeIomgrDaemon daemon(dir_.path());
    std::string path;
    ASSERT_EQ(LookupDeviceInterface(zelhart::testing::kTestInterface, 0, &path), ERROR_SUCCESS);
    EXPECT_EQ(path, zelhart::testing::kTestInterfacePath);
    EXPECT_EQ(LookupDeviceInterface(zelhart::testing::kTestInterface, 1, &path), ERROR_NO_MORE_ITEMS);
    Guid other = zelhart::testing::kTestInterface;
    other.Data1 ^= 1;
    EXPECT_EQ(LookupDeviceInterface(other, 0, &path), ERROR_NO_MORE_ITEMS);
}

TEST_F(IomgrClient, OverlappedReadCompletesThroughItsEvent) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event readDone;
    Overlapped ov{};
    ov.hEvent = &readDone;
    uint8_t buffer[284] = {};
    EXPECT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->length, 284u);
    uint32_t n = 0;
    EXPECT_EQ(f->GetOverlappedResult(&ov, &n, false), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(readDone.IsSet());

    daemon.Complete(req->conn, req->requestId, STATUS_SUCCESS, 3, V("\x06\x80\x00"));
    ASSERT_EQ(WaitForSingleEvent(readDone, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(f->GetOverlappedResult(&ov, &n, true), ERROR_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buffer[0], 0x06);
    EXPECT_EQ(buffer[1], 0x80);
}

TEST_F(IomgrClient, FailedReadCarriesItsBytesAndTheMappedError) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event done;
    Overlapped ov{};
    ov.hEvent = &done;
    uint8_t buffer[16] = {};
    ASSERT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(req);
    daemon.Complete(req->conn, req->requestId, STATUS_CRC_ERROR, 2, V("\x06\x81"));
    uint32_t n = 0;
    EXPECT_EQ(f->GetOverlappedResult(&ov, &n, true), ERROR_CRC);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buffer[1], 0x81);
}

TEST_F(IomgrClient, RequestsCompleteInAnyOrder) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event e1, e2;
    Overlapped ov1{}, ov2{};
    ov1.hEvent = &e1;
    ov2.hEvent = &e2;
    uint8_t b1[8] = {};
    ASSERT_EQ(f->Read(b1, sizeof(b1), nullptr, &ov1), ERROR_IO_PENDING);
    ASSERT_EQ(f->Write("\xFF\x02", 2, nullptr, &ov2), ERROR_IO_PENDING);
    auto r1 = daemon.WaitFor(MessageType::Read);
    auto r2 = daemon.WaitFor(MessageType::Write);
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(r2->payload, V("\xFF\x02"));
    daemon.Complete(r2->conn, r2->requestId, STATUS_TRANSACTION_TIMED_OUT, 0);
    const Event* both[] = {&e1, &e2};
    EXPECT_EQ(WaitForMultipleEvents(both, 2000), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(e1.IsSet());
    uint32_t n = 0;
    EXPECT_EQ(f->GetOverlappedResult(&ov2, &n, false), ERROR_UNEXP_NET_ERR);
    daemon.Complete(r1->conn, r1->requestId, STATUS_SUCCESS, 1, V("A"));
    EXPECT_EQ(f->GetOverlappedResult(&ov1, &n, true), ERROR_SUCCESS);
    EXPECT_EQ(b1[0], 'A');
}

TEST_F(IomgrClient, SynchronousDeviceIoControlReturnsTheOutput) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    std::thread answer([&] {
        auto req = daemon.WaitFor(MessageType::DeviceControl);
        ASSERT_TRUE(req);
        EXPECT_EQ(req->code, 0x9C400E40u);
        EXPECT_EQ(req->length, 4u);
        daemon.Complete(req->conn, req->requestId, STATUS_SUCCESS, 4, V("\x00\x00\x80\x02"));
    });
    uint8_t in[4] = {}, out[4] = {};
    uint32_t returned = 0;
    EXPECT_EQ(f->DeviceIoControl(0x9C400E40, in, 4, out, 4, &returned), ERROR_SUCCESS);
    answer.join();
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[2], 0x80);
    EXPECT_EQ(out[3], 0x02);
}

// No request waits for the daemon without end: a synchronous one it leaves unanswered fails with
// ERROR_TIMEOUT and is cancelled, an overlapped one can be given up at once, and the answers that come
// for them later are dropped while the connection goes on.
TEST_F(IomgrClient, UnansweredRequestsAreGivenUpAndTheirLateAnswersDropped) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    uint8_t out[4] = {};
    uint32_t returned = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(f->DeviceIoControl(0x9C400E40, nullptr, 0, out, sizeof(out), &returned), ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kRequestTimeoutMs));
    auto control = daemon.WaitFor(MessageType::DeviceControl);
    auto cancel = daemon.WaitFor(MessageType::Cancel);
    ASSERT_TRUE(control && cancel);
    EXPECT_EQ(cancel->requestId, control->requestId);

    Event done;
    Overlapped ov{};
    ov.hEvent = &done;
    uint8_t buffer[8] = {};
    ASSERT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_IO_PENDING);
    auto read = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(read);
    EXPECT_EQ(f->GetOverlappedResultEx(&ov, nullptr, 20), WAIT_TIMEOUT);
    EXPECT_EQ(f->Abandon(&ov), ERROR_SUCCESS);
    EXPECT_TRUE(done.IsSet());
    EXPECT_EQ(f->GetOverlappedResult(&ov, nullptr, false), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(f->Abandon(&ov), ERROR_NOT_FOUND);
    cancel = daemon.WaitFor(MessageType::Cancel);
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->requestId, read->requestId);

    daemon.Complete(control->conn, control->requestId, STATUS_SUCCESS, 4, V("late"));
    daemon.Complete(read->conn, read->requestId, STATUS_SUCCESS, 3, V("abc"));
    std::thread answer([&] {
        auto req = daemon.WaitFor(MessageType::DeviceControl);
        ASSERT_TRUE(req);
        daemon.Complete(req->conn, req->requestId, STATUS_SUCCESS, 0);
    });
    EXPECT_EQ(f->DeviceIoControl(0x9C400E40, nullptr, 0, nullptr, 0, &returned), ERROR_SUCCESS)
        << "the connection goes on after the late answers";
    answer.join();
    EXPECT_EQ(out[0], 0) << "a late answer reached a buffer given up";
    EXPECT_EQ(buffer[0], 0) << "a late answer reached a buffer given up";
}

TEST_F(IomgrClient, ProbeTellsAbsentLeftBehindAndServingSockets) {
    const std::string path = dir_ / kSocketFileName;
    EXPECT_EQ(ProbeDaemonSocket(), DaemonSocketState::kAbsent);
    {
        // A socket file nobody listens on, as a killed daemon leaves it.
        UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    }
    EXPECT_EQ(ProbeDaemonSocket(), DaemonSocketState::kNotAccepting);
    EXPECT_EQ(ProbeDaemonSocket(path), DaemonSocketState::kNotAccepting);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    FakeIomgrDaemon daemon(dir_.path());
    EXPECT_EQ(ProbeDaemonSocket(), DaemonSocketState::kAccepting);
    EXPECT_EQ(ProbeDaemonSocket(dir_ / "elsewhere.sock"), DaemonSocketState::kAbsent);
}

TEST_F(IomgrClient, AnEventPassedWithDeviceIoControlCanBeSetByTheDriver) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event removal;
    uint32_t handle = static_cast<uint32_t>(removal.fd());
    Overlapped ov{};
    ASSERT_EQ(f->DeviceIoControl(0x9C400E64, &handle, 4, nullptr, 0, nullptr, &ov, &removal),
              ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::DeviceControl);
    ASSERT_TRUE(req && req->fd);
    EXPECT_EQ(req->handleValue, handle);
    EXPECT_NE(req->fd->get(), removal.fd()); // the daemon holds its own descriptor of the same event
    uint64_t one = 1;
    ASSERT_EQ(::write(req->fd->get(), &one, sizeof(one)), 8);
    EXPECT_EQ(WaitForSingleEvent(removal, 2000), WAIT_OBJECT_0);
    daemon.Complete(req->conn, req->requestId, STATUS_SUCCESS, 0);
    EXPECT_EQ(f->GetOverlappedResult(&ov, nullptr, true), ERROR_SUCCESS);
}

TEST_F(IomgrClient, CancelIoReachesTheDaemonAndTheReadEndsAborted) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event done;
    Overlapped ov{};
    ov.hEvent = &done;
    uint8_t buffer[8];
    ASSERT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(req);
    EXPECT_EQ(f->CancelIoEx(&ov), ERROR_SUCCESS);
    auto cancel = daemon.WaitFor(MessageType::Cancel);
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->requestId, req->requestId);
    EXPECT_EQ(f->CancelIo(), ERROR_SUCCESS);
    cancel = daemon.WaitFor(MessageType::Cancel);
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->requestId, 0u);
    daemon.Complete(req->conn, req->requestId, STATUS_CANCELLED, 0);
    EXPECT_EQ(f->GetOverlappedResult(&ov, nullptr, true), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(f->CancelIoEx(&ov), ERROR_NOT_FOUND); // nothing left to cancel
}

TEST_F(IomgrClient, ADaemonThatGoesAwayAbortsPendingRequests) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event done;
    Overlapped ov{};
    ov.hEvent = &done;
    uint8_t buffer[8];
    ASSERT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(req);
    daemon.Drop(req->conn);
    EXPECT_EQ(WaitForSingleEvent(done, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(f->GetOverlappedResult(&ov, nullptr, true), ERROR_OPERATION_ABORTED);
    Overlapped again{};
    EXPECT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &again), ERROR_NOT_READY);
    uint32_t n = 0;
    EXPECT_EQ(f->Write("x", 1, &n, nullptr), ERROR_NOT_READY);
}

TEST_F(IomgrClient, AnAnswerLargerThanTheBufferIsTreatedAsABrokenDaemon) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Overlapped ov{};
    uint8_t buffer[4] = {};
    ASSERT_EQ(f->Read(buffer, 2, nullptr, &ov), ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(req);
    daemon.Complete(req->conn, req->requestId, STATUS_SUCCESS, 4, V("abcd"));
    EXPECT_EQ(f->GetOverlappedResult(&ov, nullptr, true), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(buffer[2], 0); // nothing was written past the request's buffer
    EXPECT_TRUE(daemon.WaitForHangUp(req->conn));
}

TEST_F(IomgrClient, NoRequestReportsMoreBytesThanItHad) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    std::thread answer([&] {
        auto write = daemon.WaitFor(MessageType::Write);
        ASSERT_TRUE(write);
        daemon.Complete(write->conn, write->requestId, STATUS_SUCCESS, 85833);
        auto control = daemon.WaitFor(MessageType::DeviceControl);
        ASSERT_TRUE(control);
        daemon.Complete(control->conn, control->requestId, STATUS_SUCCESS, 9); // it asked for no output
    });
    uint32_t n = 0;
    EXPECT_EQ(f->Write("abc", 3, &n, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(f->DeviceIoControl(0x9C400E50, "\x02", 1, nullptr, 0, &n), ERROR_SUCCESS);
    EXPECT_EQ(n, 0u);
    answer.join();
}

TEST_F(IomgrClient, CloseEndsPendingRequestsAndTheConnection) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    Event done;
    Overlapped ov{};
    ov.hEvent = &done;
    uint8_t buffer[8];
    ASSERT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_IO_PENDING);
    auto req = daemon.WaitFor(MessageType::Read);
    ASSERT_TRUE(req);
    EXPECT_EQ(f->Close(), ERROR_SUCCESS);
    EXPECT_TRUE(done.IsSet()); // before Close returned
    EXPECT_EQ(f->GetOverlappedResult(&ov, nullptr, false), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(daemon.WaitForHangUp(req->conn));
    EXPECT_EQ(f->Read(buffer, sizeof(buffer), nullptr, &ov), ERROR_INVALID_HANDLE);
    EXPECT_EQ(f->Close(), ERROR_INVALID_HANDLE);
}

TEST_F(IomgrClient, OversizedRequestsAreRefusedLocally) {
    FakeIomgrDaemon daemon(dir_.path());
    auto f = OpenGood();
    std::vector<uint8_t> big(kMaxTransferLength + 1);
    Overlapped ov{};
    EXPECT_EQ(f->Read(big.data(), static_cast<uint32_t>(big.size()), nullptr, &ov), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(f->Write(big.data(), static_cast<uint32_t>(big.size()), nullptr, &ov), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(f->DeviceIoControl(1, big.data(), static_cast<uint32_t>(big.size()), nullptr, 0, nullptr, &ov),
              ERROR_INVALID_PARAMETER);
}
