// The daemon's I/O manager end to end: the test driver behind the real socket, reached with the
// platform client.
#include "framework_fixture.h"
#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/iomgr_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace zelhart::platform;
using namespace zelhart::platform::iomgr;
using namespace zelhart::testing;

namespace {

class IoManagerTest : public FrameworkFixture {};

std::string Text(const uint8_t* p, uint32_t n) {
    return {reinterpret_cast<const char*>(p), n};
}

// A write, then a synchronous round trip on another queue: afterwards every message sent before has
// been taken in and dispatched as far as the driver lets it.
void RoundTrip(DeviceFile& f) {
    uint8_t in[1] = {1}, out[1] = {};
    uint32_t n = 0;
    ASSERT_EQ(f.DeviceIoControl(IOCTL_TEST_ECHO, in, 1, out, 1, &n), ERROR_SUCCESS);
}

uint32_t WaitingReads(DeviceFile& f) {
    uint32_t count = 0, n = 0;
    EXPECT_EQ(f.DeviceIoControl(IOCTL_TEST_WAITING_READS, nullptr, 0, &count, 4, &n), ERROR_SUCCESS);
    return count;
}

struct PendingRead {
    Event done;
    Overlapped ov{};
    uint8_t buffer[32] = {};
    uint32_t Start(DeviceFile& f, uint32_t length = 32) {
        ov = {};
        ov.hEvent = &done;
        return f.Read(buffer, length, nullptr, &ov);
    }
};

// A raw connection that speaks the protocol by hand, to send what the client library never would.
class RawClient {
  public:
    explicit RawClient(const std::string& path) : sock_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        connected_ = ::connect(sock_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    bool connected() const { return connected_; }
    int fd() const { return sock_.get(); }
    void Send(const std::vector<uint8_t>& packet, int fd = -1) { SendPacket(sock_.get(), packet, fd); }
    bool Hello() {
        Send(Encode(HelloRecord{kProtocolMagic, kProtocolVersion, 0}));
        auto m = Receive();
        return m && m->type() == MessageType::HelloReply &&
               std::get<HelloReplyRecord>(m->record).status == STATUS_SUCCESS;
    }
    std::optional<Message> Receive() {
        pollfd p{sock_.get(), POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) return std::nullopt;
        size_t length = 0;
        if (ReceivePacket(sock_.get(), buffer_, &length, nullptr) != ReceiveResult::Packet)
            return std::nullopt;
        Message m;
        if (Decode(std::span(buffer_.data(), length), Sender::Daemon, &m) != DecodeError::None)
            return std::nullopt;
        return m;
    }
    // The daemon hung up (within three seconds).
    bool ClosedByPeer() {
        for (;;) {
            pollfd p{sock_.get(), POLLIN, 0};
            if (::poll(&p, 1, 3000) <= 0) return false;
            size_t length = 0;
            auto r = ReceivePacket(sock_.get(), buffer_, &length, nullptr);
            if (r == ReceiveResult::Closed || r == ReceiveResult::Failed) return true;
            if (r != ReceiveResult::Packet) return false;
        }
    }

  private:
    UniqueFd sock_;
    bool connected_ = false;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kMaxMessageSize + 1);
};

std::vector<uint8_t> Bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

} // namespace

TEST_F(IoManagerTest, OpenWriteReadIoctlAndCloseReachTheDriver) {
    auto f = Open("ECHO");
    ASSERT_TRUE(f);
    EXPECT_EQ(log_.creates, 1);
    uint32_t n = 0;
    ASSERT_EQ(f->Write("abc", 3, &n, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(n, 3u);
    uint8_t buffer[16] = {};
    ASSERT_EQ(f->Read(buffer, sizeof(buffer), &n, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Text(buffer, n), "abc");
    uint8_t out[8] = {};
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_ECHO, "xyz", 3, out, sizeof(out), &n), ERROR_SUCCESS);
    EXPECT_EQ(Text(out, n), "xyz");
    f->Close();
    EXPECT_TRUE(WaitUntil([&] { return log_.cleanups == 1 && log_.closes == 1; }));
}

TEST_F(IoManagerTest, RequestsTheDriverDoesNotServeFailAsWindowsWould) {
    uint32_t error = 0;
    EXPECT_FALSE(Open("NOPE", &error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    auto echo = Open("ECHO");
    uint32_t n = 0;
    EXPECT_EQ(echo->DeviceIoControl(0x9C40FFFC, nullptr, 0, nullptr, 0, &n), ERROR_NOT_SUPPORTED);
    auto excl = Open("excl"); // names do not depend on case
    ASSERT_TRUE(excl);
    uint8_t buffer[4];
    EXPECT_EQ(excl->Read(buffer, sizeof(buffer), &n, nullptr), ERROR_INVALID_FUNCTION); // no read queue
    EXPECT_EQ(echo->Read(buffer, 0, &n, nullptr), ERROR_SUCCESS); // zero length: done without the driver
}

TEST_F(IoManagerTest, SequentialQueuePresentsTheNextWriteOnlyAfterCompletion) {
    auto f = Open("ECHO");
    Overlapped held{}, next{};
    ASSERT_EQ(f->Write("hold", 4, nullptr, &held), ERROR_IO_PENDING);
    ASSERT_EQ(f->Write("x", 1, nullptr, &next), ERROR_IO_PENDING);
    RoundTrip(*f);
    EXPECT_EQ(log_.writesSeen, 1);
    EXPECT_EQ(f->GetOverlappedResult(&next, nullptr, false), ERROR_IO_INCOMPLETE);
    uint32_t n = 0;
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_RELEASE, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    EXPECT_EQ(f->GetOverlappedResult(&held, &n, true), ERROR_SUCCESS);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(f->GetOverlappedResult(&next, &n, true), ERROR_SUCCESS);
    EXPECT_EQ(log_.writesSeen, 2);
    EXPECT_EQ(log_.maxConcurrentWrites, 1);
}

TEST_F(IoManagerTest, WaitingReadsCompleteInAnyOrderEachWithItsOwnData) {
    auto f = Open("ECHO");
    PendingRead reads[3];
    for (auto& r : reads)
        ASSERT_EQ(r.Start(*f), ERROR_IO_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*f) == 3; }));
    uint32_t n = 0;
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_REVERSE_READS, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    for (uint8_t i = 0; i < 3; ++i) {
        ASSERT_EQ(f->GetOverlappedResult(&reads[i].ov, &n, true), ERROR_SUCCESS);
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(reads[i].buffer[0], i); // the driver completed the newest first
        EXPECT_TRUE(reads[i].done.IsSet());
    }
}

TEST_F(IoManagerTest, AWaitingReadIsCompletedByALaterWrite) {
    auto reader = Open("ECHO");
    PendingRead read;
    ASSERT_EQ(read.Start(*reader), ERROR_IO_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*reader) == 1; }));
    uint32_t n = 0;
    ASSERT_EQ(reader->Write("\x06\x80", 2, &n, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(WaitForSingleEvent(read.done, 3000), WAIT_OBJECT_0);
    ASSERT_EQ(reader->GetOverlappedResult(&read.ov, &n, false), ERROR_SUCCESS);
    EXPECT_EQ(Text(read.buffer, n), "\x06\x80");
}

TEST_F(IoManagerTest, CancelIoEndsAWaitingReadThroughTheQueuesCancelCallback) {
    auto f = Open("ECHO");
    PendingRead read;
    ASSERT_EQ(read.Start(*f), ERROR_IO_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*f) == 1; }));
    ASSERT_EQ(f->CancelIo(), ERROR_SUCCESS);
    EXPECT_EQ(f->GetOverlappedResult(&read.ov, nullptr, true), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(log_.canceledOnQueue, 1);
    EXPECT_EQ(WaitingReads(*f), 0u);
}

TEST_F(IoManagerTest, ARequestTheDriverNeverSawIsCancelledByTheFramework) {
    auto f = Open("ECHO");
    uint32_t n = 0;
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_STOP_READS, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    PendingRead read;
    ASSERT_EQ(read.Start(*f), ERROR_IO_PENDING);
    RoundTrip(*f);
    EXPECT_EQ(f->GetOverlappedResult(&read.ov, nullptr, false),
              ERROR_IO_INCOMPLETE); // kept by the stopped queue
    ASSERT_EQ(f->CancelIoEx(&read.ov), ERROR_SUCCESS);
    EXPECT_EQ(f->GetOverlappedResult(&read.ov, nullptr, true), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(log_.canceledOnQueue, 0);
}

TEST_F(IoManagerTest, AStoppedQueueKeepsRequestsUntilStarted) {
    auto f = Open("ECHO");
    uint32_t n = 0;
    ASSERT_EQ(f->Write("ab", 2, &n, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_STOP_READS, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    PendingRead read;
    ASSERT_EQ(read.Start(*f), ERROR_IO_PENDING);
    RoundTrip(*f);
    EXPECT_FALSE(read.done.IsSet());
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_START_READS, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    ASSERT_EQ(f->GetOverlappedResult(&read.ov, &n, true), ERROR_SUCCESS);
    EXPECT_EQ(Text(read.buffer, n), "ab");
}

TEST_F(IoManagerTest, PurgeCancelsEveryWaitingRead) {
    auto f = Open("ECHO");
    PendingRead a, b;
    ASSERT_EQ(a.Start(*f), ERROR_IO_PENDING);
    ASSERT_EQ(b.Start(*f), ERROR_IO_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*f) == 2; }));
    uint32_t n = 0;
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_PURGE_READS, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    EXPECT_EQ(f->GetOverlappedResult(&a.ov, nullptr, true), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(f->GetOverlappedResult(&b.ov, nullptr, true), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(log_.canceledOnQueue, 2);
    ASSERT_EQ(a.Start(*f), ERROR_IO_PENDING); // the queue was started again after the purge
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*f) == 1; }));
}

TEST_F(IoManagerTest, ClosingAHandleCancelsItsReadsThenCleansUpAndCloses) {
    auto other = Open("TICK");
    auto f = Open("ECHO");
    PendingRead read;
    ASSERT_EQ(read.Start(*f), ERROR_IO_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*f) == 1; }));
    f->Close();
    EXPECT_TRUE(read.done.IsSet());
    EXPECT_EQ(f->GetOverlappedResult(&read.ov, nullptr, false), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(WaitUntil([&] { return log_.closes == 1; }));
    EXPECT_EQ(log_.cleanups, 1);
    EXPECT_EQ(log_.canceledOnQueue, 1);
    uint8_t tick[4];
    uint32_t n = 0;
    EXPECT_EQ(other->Read(tick, 4, &n, nullptr), ERROR_SUCCESS); // the other handle is unaffected
}

TEST_F(IoManagerTest, APeriodicTimerCompletesOneReadPerTick) {
    auto f = Open("TICK");
    uint32_t last = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        uint32_t tick = 0, n = 0;
        ASSERT_EQ(f->Read(&tick, 4, &n, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(n, 4u);
        EXPECT_GT(tick, last);
        last = tick;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms); // five reads take at least four periods
}

TEST_F(IoManagerTest, AnExclusiveDeviceRefusesASecondOpenFromAnyProcess) {
    auto first = Open("EXCL");
    ASSERT_TRUE(first);
    uint32_t error = 0;
    EXPECT_FALSE(Open("EXCL", &error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    {
        ClientProcess second("open", "EXCL");
        EXPECT_EQ(second.ReadLine(), std::to_string(ERROR_ACCESS_DENIED));
        EXPECT_EQ(second.Wait(), 1);
    }
    EXPECT_EQ(log_.creates, 1); // refused before the driver saw it
    first->Close();
    ASSERT_TRUE(WaitUntil([&] { return log_.closes == 1; }));
    ClientProcess third("open", "EXCL");
    EXPECT_EQ(third.ReadLine(), "0");
    uint32_t again = 0;
    EXPECT_FALSE(Open("EXCL", &again)); // now the other process holds it
    EXPECT_EQ(again, ERROR_ACCESS_DENIED);
    third.CloseInput();
    EXPECT_EQ(third.Wait(), 0);
    EXPECT_TRUE(WaitUntil([&] { return log_.closes == 2; }));
}

TEST_F(IoManagerTest, AClientKilledMidRequestLeavesTheDaemonServingOthers) {
    auto survivor = Open("TICK");
    auto watcher = Open("ECHO");
    {
        ClientProcess victim("read", "ECHO");
        ASSERT_EQ(victim.ReadLine(), "0");
        ASSERT_EQ(victim.ReadLine(), "pending");
        // Killed only once the driver holds the read; before that the framework alone would cancel it.
        ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*watcher) == 1; }));
        victim.Kill();
    }
    EXPECT_TRUE(WaitUntil([&] { return log_.closes == 1; }));
    EXPECT_EQ(log_.cleanups, 1);
    EXPECT_EQ(log_.canceledOnQueue, 1); // its read was cancelled like any other
    uint32_t tick = 0, n = 0;
    EXPECT_EQ(survivor->Read(&tick, 4, &n, nullptr), ERROR_SUCCESS);
    auto again = Open("ECHO");
    EXPECT_TRUE(again);
}

TEST_F(IoManagerTest, TheFunctionDeviceIsFoundByItsInterfaceGuid) {
    std::string path;
    ASSERT_EQ(LookupDeviceInterface(kTestInterface, 0, &path), ERROR_SUCCESS);
    EXPECT_EQ(path, "\\\\?\\ROOT#TESTDRIVER#0000#{dd2540c5-808a-4461-89fe-9cce766b8e77}");
    EXPECT_EQ(LookupDeviceInterface(kTestInterface, 1, &path), ERROR_NO_MORE_ITEMS);
    std::unique_ptr<DeviceFile> f;
    ASSERT_EQ(DeviceFile::Open(path, GENERIC_READ, FILE_SHARE_READ, 0, &f), ERROR_SUCCESS);
    uint32_t n = 0;
    EXPECT_EQ(f->DeviceIoControl(IOCTL_TEST_ECHO, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
}

TEST_F(IoManagerTest, AnEventPassedWithARequestCanBeSetByTheDriverLater) {
    auto f = Open("ECHO");
    Event removal;
    uint32_t handle = static_cast<uint32_t>(removal.fd());
    uint32_t n = 0;
    EXPECT_EQ(f->DeviceIoControl(IOCTL_TEST_SUBSCRIBE, &handle, 4, nullptr, 0, &n),
              ERROR_INVALID_HANDLE); // not passed
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_SUBSCRIBE, &handle, 4, nullptr, 0, &n, nullptr, &removal),
              ERROR_SUCCESS);
    uint32_t wrong = handle + 1;
    EXPECT_EQ(f->DeviceIoControl(IOCTL_TEST_SUBSCRIBE, &wrong, 4, nullptr, 0, &n, nullptr, &removal),
              ERROR_INVALID_HANDLE); // the input names another handle than the one passed
    EXPECT_FALSE(removal.IsSet());
    ASSERT_EQ(f->DeviceIoControl(IOCTL_TEST_SIGNAL, nullptr, 0, nullptr, 0, &n), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleEvent(removal, 3000), WAIT_OBJECT_0);
}

TEST_F(IoManagerTest, MalformedMessagesEndOnlyTheirOwnConnection) {
    auto good = Open("ECHO");
    std::string path = fw_->SocketPath();
    auto expectDropped = [&](const char* what, const std::function<void(RawClient&)>& send,
                             bool hello = true) {
        RawClient raw(path);
        ASSERT_TRUE(raw.connected()) << what;
        if (hello) {
            ASSERT_TRUE(raw.Hello()) << what;
        }
        send(raw);
        EXPECT_TRUE(raw.ClosedByPeer()) << what;
    };
    expectDropped("short", [](RawClient& c) { c.Send({1, 2, 3}); });
    expectDropped("oversized", [](RawClient& c) {
        std::vector<uint8_t> huge(kMaxMessageSize + 100, 0);
        uint32_t size = static_cast<uint32_t>(huge.size());
        std::memcpy(huge.data(), &size, 4);
        huge[4] = static_cast<uint8_t>(MessageType::Write);
        c.Send(huge);
    });
    expectDropped("unknown type", [](RawClient& c) {
        auto p = Encode(ReadRecord{1, 4});
        p[4] = 42;
        c.Send(p);
    });
    expectDropped("length disagrees", [](RawClient& c) { c.Send(Encode(WriteRecord{1, 9}, Bytes("abc"))); });
    expectDropped("size field lies", [](RawClient& c) {
        auto p = Encode(ReadRecord{1, 4});
        p[0] = 200;
        c.Send(p);
    });
    expectDropped("message of the daemon", [](RawClient& c) {
        c.Send(Encode(CompleteRecord{1, 0, 0, 0}, {}));
    });
    expectDropped(
        "request before hello",
        [](RawClient& c) {
            c.Send(Encode(ReadRecord{1, 4}));
        },
        false);
    expectDropped("I/O before create", [](RawClient& c) { c.Send(Encode(ReadRecord{1, 4})); });
    expectDropped("descriptor on a read", [](RawClient& c) {
        Event e;
        c.Send(Encode(ReadRecord{1, 4}), e.fd());
    });
    expectDropped("duplicate request id", [](RawClient& c) {
        std::string name = "ECHO";
        c.Send(Encode(CreateRecord{1, 0, 0, 4}, Bytes(name)));
        auto created = c.Receive();
        ASSERT_TRUE(created && std::get<CompleteRecord>(created->record).status == STATUS_SUCCESS);
        c.Send(Encode(ReadRecord{5, 4}));
        c.Send(Encode(ReadRecord{5, 4}));
    });
    {
        RawClient old(path);
        old.Send(Encode(HelloRecord{kProtocolMagic, kProtocolVersion + 1, 0}));
        auto reply = old.Receive();
        ASSERT_TRUE(reply && reply->type() == MessageType::HelloReply);
        EXPECT_EQ(std::get<HelloReplyRecord>(reply->record).status, STATUS_REVISION_MISMATCH);
        EXPECT_TRUE(old.ClosedByPeer());
    }
    // The well-behaved client never noticed.
    uint32_t n = 0;
    ASSERT_EQ(good->Write("ok", 2, &n, nullptr), ERROR_SUCCESS);
    uint8_t buffer[4];
    ASSERT_EQ(good->Read(buffer, sizeof(buffer), &n, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Text(buffer, n), "ok");
    EXPECT_TRUE(WaitUntil([&] { return log_.closes == 1; })); // the raw client that had opened ECHO
}

TEST_F(IoManagerTest, ShutdownClosesEveryHandleDeletesDevicesAndUnloads) {
    auto f = Open("ECHO");
    PendingRead read;
    ASSERT_EQ(read.Start(*f), ERROR_IO_PENDING);
    ASSERT_TRUE(WaitUntil([&] { return WaitingReads(*f) == 1; }));
    fw_->Shutdown();
    EXPECT_EQ(WaitForSingleEvent(read.done, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(f->GetOverlappedResult(&read.ov, nullptr, false), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(log_.cleanups, 1);
    EXPECT_EQ(log_.closes, 1);
    EXPECT_EQ(log_.deviceCleanups, 1);
    EXPECT_EQ(log_.unloads, 1);
    EXPECT_NE(::access(fw_->SocketPath().c_str(), F_OK), 0); // the socket is gone
}

TEST_F(IoManagerTest, ASecondDaemonDoesNotTakeOverTheSocket) {
    FrameworkOptions options;
    Framework second(options);
    EXPECT_EQ(second.Listen(), STATUS_OBJECT_NAME_COLLISION);
    auto f = Open("ECHO"); // the first one still serves
    EXPECT_TRUE(f);
}

// Connections are bounded: by the whole and by a user's share (every client here is the same user),
// and each must say hello in time. A refused client is hung up on at once, before its hello.
TEST_F(IoManagerTest, ConnectionsOverEitherLimitAreRefusedAndSilentOnesClosedAfterTheHelloDeadline) {
    struct Case {
        size_t all, perUser, admitted;
    };
    for (const Case& c : {Case{6, 4, 4}, Case{3, 4, 3}}) {
        SCOPED_TRACE(::testing::Message() << "limits " << c.all << " and " << c.perUser << " per user");
        fw_->Shutdown();
        options_.maxConnections = c.all;
        options_.maxConnectionsPerUser = c.perUser;
        options_.helloDeadline = 1000ms;
        StartDaemon(false);
        std::string path = fw_->SocketPath();
        std::vector<std::unique_ptr<RawClient>> admitted;
        for (size_t i = 0; i < c.admitted; ++i) {
            admitted.push_back(std::make_unique<RawClient>(path));
            ASSERT_TRUE(admitted.back()->Hello());
        }
        RawClient refused(path);
        EXPECT_FALSE(refused.Hello());
        admitted.pop_back(); // a place comes free once the daemon has seen this one go
        EXPECT_TRUE(WaitUntil([&] { return RawClient(path).Hello(); }));

        RawClient silent(path);
        ASSERT_TRUE(silent.connected());
        EXPECT_TRUE(silent.ClosedByPeer()); // within three seconds
        for (auto& client : admitted) {     // those that said hello stay
            pollfd p{client->fd(), POLLIN, 0};
            EXPECT_EQ(::poll(&p, 1, 0), 0);
        }
    }
}

class SignalTest : public FrameworkFixture {
  protected:
    void SetUp() override { StartDaemon(true); }
};

TEST_F(SignalTest, Usr1SuspendsUsr2ResumesAndTermShutsDown) {
    auto function = [&] {
        std::string path;
        EXPECT_EQ(LookupDeviceInterface(kTestInterface, 0, &path), ERROR_SUCCESS);
        std::unique_ptr<DeviceFile> f;
        EXPECT_EQ(DeviceFile::Open(path, GENERIC_READ, 0, 0, &f), ERROR_SUCCESS);
        return f;
    }();
    auto echo = Open("ECHO");
    ASSERT_TRUE(function && echo);
    ::kill(::getpid(), SIGUSR1);
    ASSERT_TRUE(WaitUntil([&] { return log_.suspends == 1; }));
    Overlapped ov{};
    ASSERT_EQ(function->DeviceIoControl(IOCTL_TEST_ECHO, nullptr, 0, nullptr, 0, nullptr, &ov),
              ERROR_IO_PENDING);
    RoundTrip(*echo); // a queue that is not power-managed keeps serving
    EXPECT_EQ(function->GetOverlappedResult(&ov, nullptr, false), ERROR_IO_INCOMPLETE);
    ::kill(::getpid(), SIGUSR2);
    EXPECT_EQ(function->GetOverlappedResult(&ov, nullptr, true), ERROR_SUCCESS);
    EXPECT_EQ(log_.restarts, 1);
    ::kill(::getpid(), SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return log_.unloads == 1; }));
    EXPECT_EQ(log_.closes, 1); // the echo handle was cleaned up and closed
    fw_->Shutdown();           // already done; returns once the loop has ended
}
