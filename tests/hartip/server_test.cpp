// zelhart-hartipd end to end: korvel4810-sim -> ZelHartDriver -> the interface library -> the server,
// each started here on a private runtime directory (the simulator unpaced), and HART-IP clients on
// loopback written here on sockets (and, for version 2, on OpenSSL's own API).
#include "temp_dir.h"
#include "zelhart/driver/daemon_process.h"
#include "zelhart/hartip/message.h"
#include "zelhart/sim/child_process.h"
#include "zelhart/sim/sim_process.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zelhart::hartip {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr int kCom = 202;
constexpr auto kNoReply = 300ms;
const char* const kKeyHex = "00112233445566778899aabbccddeeff";
const char* const kIdentity = "desk-1";

Bytes WithCheck(Bytes frame) {
    frame.push_back(CheckByte(frame));
    return frame;
}
// Command 0 to polling address 0 from the primary master, short frame, no preambles.
const Bytes kCommand0 = WithCheck({0x02, 0x80, 0x00, 0x00});
const Bytes kCommand0Secondary = WithCheck({0x02, 0x00, 0x00, 0x00});

Bytes Request(MessageId id, std::uint16_t sequence, Bytes body = {}, std::uint8_t version = 1) {
    return Encode(Header{version, 0, static_cast<std::uint8_t>(id), 0, sequence, 0}, body);
}
Bytes Initiate(std::uint16_t sequence, std::uint8_t master = 1, std::uint32_t ms = 30000, std::uint8_t version = 1) {
    const auto body = EncodeSessionInitiate({master, ms});
    return Request(MessageId::SessionInitiate, sequence, Bytes(body.begin(), body.end()), version);
}

// A HART-IP client on one socket (UDP or TCP) to 127.0.0.1.
class Client {
public:
    Client(bool udp, std::uint16_t port) : udp_(udp) {
        fd_ = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void Send(const Bytes& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    // The next whole message, or nothing within `timeout` (or when the connection ended).
    std::optional<Message> Receive(std::chrono::milliseconds timeout = 8000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (!udp_)
                if (auto whole = stream_.Next()) {
                    Message m;
                    if (Decode(*whole, m) != DecodeError::None) return std::nullopt;
                    return m;
                }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) return std::nullopt;
            std::uint8_t buffer[2048];
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                ended_ = true;
                return std::nullopt;
            }
            if (udp_) {
                Message m;
                if (Decode(std::span(buffer, size_t(n)), m) != DecodeError::None) return std::nullopt;
                return m;
            }
            stream_.Feed(std::span(buffer, size_t(n)));
        }
    }
    // True when the server closed the connection within `timeout`.
    bool Closed(std::chrono::milliseconds timeout) {
        while (Receive(timeout)) {
        }
        return ended_;
    }
    std::optional<Message> Exchange(const Bytes& request) {
        Send(request);
        return Receive();
    }

private:
    bool udp_;
    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
    StreamReassembler stream_;
};

class HartIpServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        stack_ = new Stack;
        std::filesystem::create_directories(stack_->run);
        ASSERT_TRUE(hartdriver::WriteServiceKey(stack_->run, "\"QUIETTIME\"=dword:00000002\n"));
        ASSERT_EQ(stack_->sim.Start(stack_->run, {"--port", std::to_string(kCom), "--no-pace", "--turnaround", "2"}), "");
        hartdriver::DaemonLaunch launch;
        launch.runtimeDir = stack_->run;
        ASSERT_EQ(stack_->daemon.Start(launch), "");
    }
    static void TearDownTestSuite() {
        delete stack_;
        stack_ = nullptr;
    }
    void TearDown() override {
        if (server_.running()) {
            EXPECT_EQ(server_.Terminate(), 0);
        }
        if (HasFailure()) std::fprintf(stderr, "zelhart-hartipd said:\n%s", server_.Output().c_str());
    }

    // Starts zelhart-hartipd on COM<kCom> with a port of its choosing; the port.
    std::uint16_t StartServer(std::vector<std::string> args = {}) {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("zelhart-hartipd");
        spec.args = {"--first-message-timeout", "500"};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.args.push_back("COM" + std::to_string(kCom) + "=0");
        spec.env = {{"ZELHART_RUNTIME_DIR", stack_->run}, {"ZELHART_CONFIG_DIR", stack_->run}};
#ifdef ZELHART_HARTIP_TEST_LIBRARY
        spec.env.emplace_back("ZELHART_INTERFACE_LIBRARY", ZELHART_HARTIP_TEST_LIBRARY);
#endif
        spec.captureOutput = true;
        std::string line;
        const std::string error = server_.StartAndAwaitReadyLine(spec, "zelhart-hartipd", 10s, &line);
        EXPECT_EQ(error, "");
        const auto eq = line.find('=');
        return eq == std::string::npos ? 0 : std::uint16_t(std::stoi(line.substr(eq + 1)));
    }
    std::string ServerLog() { return server_.Output(); }

    struct Stack {
        testing::TempDir root;
        std::string run = root / "run";
        sim::SimProcess sim;
        hartdriver::DaemonProcess daemon;
    };
    static Stack* stack_;
    sim::ChildProcess server_;
};
HartIpServerTest::Stack* HartIpServerTest::stack_ = nullptr;

void ExpectReply(const std::optional<Message>& reply, MessageId id, std::uint16_t sequence, std::uint8_t status,
                 MessageType type = MessageType::Response) {
    ASSERT_TRUE(reply) << "no reply to id " << int(id);
    EXPECT_EQ(reply->header.type, std::uint8_t(type));
    EXPECT_EQ(reply->header.id, std::uint8_t(id));
    EXPECT_EQ(reply->header.sequence, sequence);
    EXPECT_EQ(reply->header.status, status);
}

// A whole session on each transport: initiate, the identity by short and by long address as the
// device sent it, keep-alive, close; every reply repeats its sequence number.
TEST_F(HartIpServerTest, PlainSessionOverUdpAndTcpCarriesTheDevicesAnswers) {
    const std::uint16_t port = StartServer();
    ASSERT_NE(port, 0);
    for (bool udp : {true, false}) {
        SCOPED_TRACE(udp ? "UDP" : "TCP");
        Client client(udp, port);
        ASSERT_TRUE(client.connected());
        auto reply = client.Exchange(Initiate(7, 1, 30000));
        ExpectReply(reply, MessageId::SessionInitiate, 7, status::kSuccess);
        EXPECT_EQ(reply->body, (Bytes{1, 0, 0, 0x75, 0x30}));

        reply = client.Exchange(Request(MessageId::TokenPassingPdu, 8, kCommand0));
        ExpectReply(reply, MessageId::TokenPassingPdu, 8, status::kSuccess);
        FrameView view;
        ASSERT_EQ(CheckFrame(reply->body, &view), FrameError::None);
        EXPECT_EQ(view.frameType(), kFrameTypeResponse);
        EXPECT_EQ(view.command, 0);
        ASSERT_GE(view.data.size(), 14u);
        EXPECT_EQ(view.data[0], 0) << "response code";
        EXPECT_EQ(view.data[2], 254) << "command 0 answer";
        // The unique address: manufacturer/type bits of the device type, then the device id.
        const Bytes address{std::uint8_t(0x80 | (view.data[3] & 0x3F)), view.data[4], view.data[11], view.data[12],
                            view.data[13]};
        Bytes longRequest{0x82};
        longRequest.insert(longRequest.end(), address.begin(), address.end());
        longRequest.insert(longRequest.end(), {0x00, 0x00});
        reply = client.Exchange(Request(MessageId::TokenPassingPdu, 9, WithCheck(longRequest)));
        ExpectReply(reply, MessageId::TokenPassingPdu, 9, status::kSuccess);
        ASSERT_EQ(CheckFrame(reply->body, &view), FrameError::None);
        EXPECT_TRUE(view.longAddress());
        EXPECT_EQ(Bytes(view.address.begin() + 1, view.address.end()), Bytes(address.begin() + 1, address.end()));

        ExpectReply(client.Exchange(Request(MessageId::KeepAlive, 10)), MessageId::KeepAlive, 10, status::kSuccess);
        ExpectReply(client.Exchange(Request(MessageId::SessionClose, 11)), MessageId::SessionClose, 11, status::kSuccess);
        if (!udp) {
            EXPECT_TRUE(client.Closed(2s));
        }
    }
    server_.Terminate();
    const std::string log = ServerLog();
    EXPECT_NE(log.find("over UDP, version 1, plain"), std::string::npos) << log;
    EXPECT_NE(log.find("5 messages, 2 writes (session closed)"), std::string::npos) << log;
}

// What the server cannot take, each answered or dropped as documented; then a good session.
TEST_F(HartIpServerTest, MalformedMessagesAreAnsweredOrDroppedAndTheNextSessionIsServed) {
    const std::uint16_t port = StartServer();
    struct Case {
        const char* name;
        bool inSession;
        Bytes datagram;
        std::optional<MessageType> type; // nothing: dropped
        std::uint8_t status = 0;
    };
    Bytes oversize = Request(MessageId::TokenPassingPdu, 5, Bytes(600, 0));
    oversize[6] = 0x02, oversize[7] = 0x60; // 608
    const Bytes badCheck{0x02, 0x80, 0x00, 0x00, 0x00};
    const Case cases[] = {
        {"short header", false, {1, 0, 0, 0, 0, 1}, std::nullopt},
        {"byte count beyond the datagram", false, {1, 0, 2, 0, 0, 2, 0, 20, 0}, MessageType::Nak, status::kTooFewDataBytes},
        {"byte count below the header", true, {1, 0, 2, 0, 0, 3, 0, 4}, MessageType::Nak, status::kTooFewDataBytes},
        {"oversize", true, oversize, MessageType::Nak, status::kTooLarge},
        {"PDU before session initiate", false, Request(MessageId::TokenPassingPdu, 6, kCommand0), MessageType::Error,
         status::kNoSession},
        {"unknown id", true, Request(MessageId(9), 7), MessageType::Error, status::kInvalidSelection},
        {"direct PDU (not served)", true, Request(MessageId::DirectPdu, 8, {0, 0}), MessageType::Error,
         status::kInvalidSelection},
        {"a response sent to the server", true, Encode(Header{1, 1, 2, 0, 9, 0}, {}), MessageType::Nak,
         status::kInvalidSelection},
        {"initiate body too short", false, Request(MessageId::SessionInitiate, 10, {1, 0}), MessageType::Response,
         status::kTooFewDataBytes},
        {"initiate with master type 5", false, Initiate(11, 5), MessageType::Response, status::kInvalidSelection},
        {"secured initiate over UDP", false, Initiate(12, 1, 30000, 2), MessageType::Response,
         status::kSecurityNotInitialised},
        {"second initiate", true, Initiate(13), MessageType::Error, status::kSessionAlreadyExists},
        {"PDU with a bad check byte", true, Request(MessageId::TokenPassingPdu, 14, badCheck), MessageType::Response,
         status::kInvalidFrame},
        {"PDU with the primary master's bit from a secondary", true,
         Request(MessageId::TokenPassingPdu, 16, kCommand0), MessageType::Response, status::kInvalidFrame},
        {"PDU that is a slave reply", true, Request(MessageId::TokenPassingPdu, 15, WithCheck({0x06, 0x80, 0, 0})),
         MessageType::Response, status::kInvalidFrame},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(true, port);
        if (c.inSession) ExpectReply(client.Exchange(Initiate(1, 0)), MessageId::SessionInitiate, 1, status::kSuccess);
        client.Send(c.datagram);
        const auto reply = client.Receive(c.type ? 8000ms : kNoReply);
        if (!c.type) {
            EXPECT_FALSE(reply);
            continue;
        }
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header.type, std::uint8_t(*c.type));
        EXPECT_EQ(reply->header.status, c.status);
        EXPECT_EQ(reply->header.id, c.datagram[2]);
        EXPECT_EQ(reply->header.sequence, (c.datagram[4] << 8) | c.datagram[5]);
        if (c.inSession) ExpectReply(client.Exchange(Request(MessageId::SessionClose, 99)), MessageId::SessionClose, 99, 0);
    }
    // TCP: a byte count that cannot be is NAKed and ends the connection (the stream cannot be resynchronised).
    {
        Client client(false, port);
        client.Send({1, 0, 3, 0, 0, 4, 0xFF, 0xFF});
        const auto reply = client.Receive();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->header.type, std::uint8_t(MessageType::Nak));
        EXPECT_EQ(reply->header.status, status::kTooLarge);
        EXPECT_TRUE(client.Closed(2s));
    }
    // TCP: a peer that sends nothing, or half a header, is closed after the first-message time.
    for (const Bytes& stall : {Bytes{}, Bytes{1, 0, 0}}) {
        Client client(false, port);
        if (!stall.empty()) client.Send(stall);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(client.Closed(3s));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    }
    // A message split across writes and two in one write.
    Client client(false, port);
    const Bytes initiate = Initiate(20);
    client.Send(Bytes(initiate.begin(), initiate.begin() + 3));
    std::this_thread::sleep_for(20ms);
    Bytes rest(initiate.begin() + 3, initiate.end());
    const Bytes keepAlive = Request(MessageId::KeepAlive, 21);
    rest.insert(rest.end(), keepAlive.begin(), keepAlive.end());
    client.Send(rest);
    ExpectReply(client.Receive(), MessageId::SessionInitiate, 20, status::kSuccess);
    ExpectReply(client.Receive(), MessageId::KeepAlive, 21, status::kSuccess);
    const auto reply = client.Exchange(Request(MessageId::TokenPassingPdu, 22, kCommand0));
    ExpectReply(reply, MessageId::TokenPassingPdu, 22, status::kSuccess);
    EXPECT_EQ(CheckFrame(reply->body), FrameError::None);
}

// No answer and a busy port are said through the status, never as success; one primary master per
// port; at most --max-sessions sessions; the inactivity time is enforced.
TEST_F(HartIpServerTest, NoAnswerBusyPortAndSessionLimits) {
    const std::uint16_t port = StartServer({"--max-sessions", "2"});
    Client first(true, port), second(false, port), third(true, port), secondPrimary(true, port);
    ExpectReply(first.Exchange(Initiate(1, 1, 30000)), MessageId::SessionInitiate, 1, status::kSuccess);
    ExpectReply(secondPrimary.Exchange(Initiate(1, 1, 30000)), MessageId::SessionInitiate, 1,
                status::kSessionAlreadyExists);
    ExpectReply(second.Exchange(Initiate(1, 0, 30000)), MessageId::SessionInitiate, 1, status::kSuccess);
    ExpectReply(third.Exchange(Initiate(1, 0, 30000)), MessageId::SessionInitiate, 1, status::kAllSessionsInUse);

    // A long address no device has: the line stays silent through the driver's retries.
    const Bytes nobody = WithCheck({0x82, 0xBF, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00});
    first.Send(Request(MessageId::TokenPassingPdu, 2, nobody));
    std::this_thread::sleep_for(50ms);
    ExpectReply(second.Exchange(Request(MessageId::TokenPassingPdu, 2, kCommand0Secondary)), MessageId::TokenPassingPdu, 2,
                status::kBusy);
    const auto silent = first.Receive(10s);
    ExpectReply(silent, MessageId::TokenPassingPdu, 2, status::kNoResponse);
    EXPECT_TRUE(silent->body.empty()) << "no invented frame";
    // The port serves again once the line is free.
    ExpectReply(second.Exchange(Request(MessageId::TokenPassingPdu, 3, kCommand0Secondary)), MessageId::TokenPassingPdu, 3,
                status::kSuccess);

    // The shortest inactivity time is 1000 ms (asked 10 ms: warning 8 and the server's value).
    Client brief(true, port);
    ExpectReply(first.Exchange(Request(MessageId::SessionClose, 4)), MessageId::SessionClose, 4, status::kSuccess);
    auto reply = brief.Exchange(Initiate(1, 0, 10));
    ExpectReply(reply, MessageId::SessionInitiate, 1, status::kSetToNearest);
    EXPECT_EQ(reply->body, (Bytes{0, 0, 0, 0x03, 0xE8}));
    std::this_thread::sleep_for(1300ms);
    ExpectReply(brief.Exchange(Request(MessageId::KeepAlive, 2)), MessageId::KeepAlive, 2, status::kNoSession,
                MessageType::Error);
    EXPECT_NE(ServerLog().find("(inactivity time passed)"), std::string::npos) << ServerLog();
}

TEST_F(HartIpServerTest, RefusesToStartWhereItMustNot) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {{"--bind", "0.0.0.0", "COM202=0"}, 1, "is not a loopback address"},
        {{"--bind", "localhost", "COM202=0"}, 1, "not an IPv4 or IPv6 address"},
        {{"COM202=70000"}, 2, "not a port mapping"},
        {{"COM202=0", "COM202=0"}, 2, "mapped twice"},
        {{"--max-sessions", "0", "COM202=0"}, 2, "--max-sessions"},
        {{}, 2, "no port to serve"},
        {{"--psk-file", stack_->root / "missing.psk", "COM202=0"}, 2, "missing.psk"},
    };
    for (const Case& c : cases) {
        sim::ChildSpec spec;
        spec.executable = sim::ExecutableBesideThisProgram("zelhart-hartipd");
        spec.args = c.args;
        spec.env = {{"ZELHART_RUNTIME_DIR", stack_->run}};
        spec.captureOutput = true;
        const auto result = sim::RunToExit(spec, 10s);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->first, c.status) << result->second;
        EXPECT_NE(result->second.find(c.says), std::string::npos) << result->second;
    }
    // A key file others may read is refused.
    const std::string keys = stack_->root / "open.psk";
    std::ofstream(keys) << kIdentity << ":" << kKeyHex << "\n";
    ::chmod(keys.c_str(), 0644);
    sim::ChildSpec spec;
    spec.executable = sim::ExecutableBesideThisProgram("zelhart-hartipd");
    spec.args = {"--psk-file", keys, "COM202=0"};
    spec.captureOutput = true;
    const auto result = sim::RunToExit(spec, 10s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->first, 2);
    EXPECT_NE(result->second.find("readable or writable by others"), std::string::npos) << result->second;
}

// A whole session as it crossed the loopback, written as a capture (IPv4/UDP records around the
// datagrams exactly as they were sent and received) and decoded by Wireshark's HART-IP dissector:
// no malformed packet, and the fields carry what was sent.
// A capture file of IPv4 packets between 127.0.0.1:<client> and 127.0.0.1:<server>, one HART-IP
// message a packet: UDP datagrams, or TCP segments of connections that each begin with a handshake.
struct CapturedMessage {
    int connection; // the client's port is 40000 + connection
    bool toServer;
    Bytes bytes;
};
void WriteCapture(const std::string& path, std::uint16_t serverPort, bool udp, const std::vector<CapturedMessage>& messages) {
    std::ofstream out(path, std::ios::binary);
    auto put32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    put32(0xA1B2C3D4), put16(2), put16(4), put32(0), put32(0), put32(65535), put32(228); // LINKTYPE_IPV4
    std::uint32_t second = 1;
    std::map<std::pair<int, bool>, std::uint32_t> nextSequence; // TCP: each direction's next byte
    auto packet = [&](int connection, bool toServer, std::uint8_t flags, const Bytes& payload) {
        Bytes p{0x45, 0, 0, 0, 0, 0, 0x40, 0, 64, std::uint8_t(udp ? 17 : 6), 0, 0, 127, 0, 0, 1, 127, 0, 0, 1};
        const std::uint16_t total = std::uint16_t(20 + (udp ? 8 : 20) + payload.size());
        p[2] = std::uint8_t(total >> 8), p[3] = std::uint8_t(total);
        std::uint32_t sum = 0;
        for (size_t i = 0; i < 20; i += 2) sum += (p[i] << 8) | p[i + 1];
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        p[10] = std::uint8_t(~sum >> 8), p[11] = std::uint8_t(~sum);
        const std::uint16_t client = std::uint16_t(40000 + connection);
        const std::uint16_t from = toServer ? client : serverPort, to = toServer ? serverPort : client;
        p.insert(p.end(), {std::uint8_t(from >> 8), std::uint8_t(from), std::uint8_t(to >> 8), std::uint8_t(to)});
        if (udp) {
            const std::uint16_t length = std::uint16_t(8 + payload.size());
            p.insert(p.end(), {std::uint8_t(length >> 8), std::uint8_t(length), 0, 0});
        } else {
            auto& seq = nextSequence[{connection, toServer}];
            const std::uint32_t ack = nextSequence[{connection, !toServer}];
            for (std::uint32_t v : {seq, ack})
                p.insert(p.end(), {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
            p.insert(p.end(), {0x50, flags, 0xFF, 0xFF, 0, 0, 0, 0});
            seq += std::uint32_t(payload.size()) + ((flags & 0x02) ? 1 : 0);
        }
        p.insert(p.end(), payload.begin(), payload.end());
        put32(second++), put32(0), put32(std::uint32_t(p.size())), put32(std::uint32_t(p.size()));
        out.write(reinterpret_cast<const char*>(p.data()), std::streamsize(p.size()));
    };
    std::set<int> opened;
    for (const auto& m : messages) {
        if (!udp && opened.insert(m.connection).second) {
            nextSequence[{m.connection, true}] = 1000, nextSequence[{m.connection, false}] = 5000;
            packet(m.connection, true, 0x02, {});        // SYN
            packet(m.connection, false, 0x12, {});       // SYN, ACK
            packet(m.connection, true, 0x10, {});        // ACK
        }
        packet(m.connection, m.toServer, udp ? 0 : 0x18, m.bytes); // PSH, ACK
    }
}

// tshark's reading of the capture: "type,id,sequence,command,malformed" a HART-IP packet.
std::string TsharkFields(const std::string& capture, const std::string& home, std::uint16_t port, bool udp) {
    sim::ChildSpec tshark;
    tshark.executable = "/usr/bin/tshark";
    tshark.args = {"-n", "-r", capture, "-d", std::string(udp ? "udp" : "tcp") + ".port==" + std::to_string(port) + ",hart_ip",
                   "-Y", "hart_ip || _ws.malformed", "-T", "fields", "-E", "separator=,", "-e", "hart_ip.message_type",
                   "-e", "hart_ip.message_id", "-e", "hart_ip.transaction_id", "-e", "hart_ip.pt.command", "-e",
                   "_ws.malformed"};
    tshark.env = {{"HOME", home}};
    tshark.captureOutput = true;
    const auto result = sim::RunToExit(tshark, 60s);
    if (!result || result->first != 0) {
        ADD_FAILURE() << (result ? result->second : "tshark did not end");
        return {};
    }
    std::string lines;
    std::istringstream text(result->second);
    for (std::string line; std::getline(text, line);)
        if (!line.empty() && line.find("Running as user") == std::string::npos) lines += line + "\n";
    return lines;
}

TEST_F(HartIpServerTest, TsharkDecodesAWholeSessionWithNoMalformedPacket) {
    if (::access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
    const std::uint16_t port = StartServer();
    Client client(true, port);
    std::vector<CapturedMessage> datagrams;
    auto exchange = [&](const Bytes& request) {
        datagrams.push_back({0, true, request});
        const auto reply = client.Exchange(request);
        EXPECT_TRUE(reply && reply->header.status == status::kSuccess);
        datagrams.push_back({0, false, reply ? Encode(reply->header, reply->body) : Bytes{}});
        return reply ? reply->body : Bytes{};
    };
    exchange(Initiate(1, 1, 30000));
    const Bytes identity = exchange(Request(MessageId::TokenPassingPdu, 2, kCommand0));
    ASSERT_GE(identity.size(), 4u + 14u);
    const std::uint8_t* data = identity.data() + 4; // after delimiter, address, command, byte count
    exchange(Request(MessageId::TokenPassingPdu, 3, // command 13 to the unique address
                     WithCheck({0x82, std::uint8_t(0x80 | (data[3] & 0x3F)), data[4], data[11], data[12], data[13], 0x0D, 0x00})));
    exchange(Request(MessageId::KeepAlive, 4));
    exchange(Request(MessageId::SessionClose, 5));

    const std::string capture = stack_->root / "session.pcap";
    WriteCapture(capture, port, true, datagrams);
    // type/id/sequence/command/malformed, one line a datagram; an empty last field: not malformed.
    EXPECT_EQ(TsharkFields(capture, stack_->root.path(), port, true),
              "0,0,1,,\n1,0,1,,\n0,3,2,0,\n1,3,2,0,\n0,3,3,13,\n1,3,3,13,\n0,2,4,,\n1,2,4,,\n0,1,5,,\n1,1,5,,\n");
}

// Relays TCP connections from a loopback port of its own to the server's, one thread, and keeps
// every message that passed (split into messages as the stream carried them).
class RecordingRelay {
public:
    explicit RecordingRelay(std::uint16_t serverPort) : serverPort_(serverPort) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        socklen_t length = sizeof(a);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && ::listen(listen_, 8) == 0 &&
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~RecordingRelay() {
        stop_ = true;
        thread_.join();
        for (auto& c : connections_) ::close(c.client), ::close(c.server);
        ::close(listen_);
    }
    std::uint16_t port() const { return port_; }
    // After the relay has stopped (the destructor's join) or while nothing flows.
    std::vector<CapturedMessage> Messages() {
        std::lock_guard lock(m_);
        return messages_;
    }

private:
    struct Connection {
        int client, server;
        StreamReassembler fromClient, fromServer;
        bool reading[2] = {true, true}; // from the server, from the client
    };
    static sockaddr_in Loopback(std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    void Run() {
        while (!stop_) {
            std::vector<pollfd> fds{{listen_, POLLIN, 0}};
            std::vector<size_t> owner{0}; // the connection of each descriptor polled
            for (size_t k = 0; k < connections_.size(); ++k) // one end's end of stream, the other's goes on
                for (const bool toServer : {true, false})
                    if (connections_[k].reading[toServer]) {
                        fds.push_back({toServer ? connections_[k].client : connections_[k].server, POLLIN, 0});
                        owner.push_back(k);
                    }
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in a = Loopback(serverPort_);
                if (client >= 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0)
                    connections_.push_back({client, server, {}, {}, {true, true}});
                else
                    ::close(client), ::close(server);
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const int number = int(owner[i]);
                Connection* c = &connections_[owner[i]];
                const bool toServer = fds[i].fd == c->client;
                std::uint8_t buffer[4096];
                const ssize_t n = ::recv(toServer ? c->client : c->server, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    ::shutdown(toServer ? c->server : c->client, SHUT_WR);
                    c->reading[toServer] = false;
                    continue;
                }
                ::send(toServer ? c->server : c->client, buffer, size_t(n), MSG_NOSIGNAL);
                StreamReassembler& stream = toServer ? c->fromClient : c->fromServer;
                stream.Feed(std::span(buffer, size_t(n)));
                std::lock_guard lock(m_);
                while (auto whole = stream.Next())
                    messages_.push_back({number, toServer, std::move(*whole)});
            }
        }
    }

    std::uint16_t serverPort_, port_ = 0;
    int listen_ = -1;
    std::deque<Connection> connections_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<CapturedMessage> messages_;
};

// A whole configuration read by 4810cli over plain TCP, captured message by message: tshark finds no
// malformed packet and reads every header and every command as this codec does.
TEST_F(HartIpServerTest, TsharkDecodesAWholeReadOverTcpWithNoMalformedPacket) {
    if (::access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
    const std::uint16_t port = StartServer();
    std::vector<CapturedMessage> messages;
    {
        RecordingRelay relay(port);
        ASSERT_NE(relay.port(), 0);
        const std::string desk = stack_->root / "desk";
        std::filesystem::create_directories(desk + "/run");
        std::ofstream(desk + "/ports.conf") << "COM250=hartip+tcp://127.0.0.1:" << relay.port() << "\n";
        sim::ChildSpec cli;
        cli.executable = sim::ExecutableBesideThisProgram("4810cli");
        cli.args = {"--port", "250", "read"};
        cli.env = {{"ZELHART_RUNTIME_DIR", desk + "/run"}, {"ZELHART_CONFIG_DIR", desk}, {"HOME", desk},
                   {"XDG_CONFIG_HOME", desk}};
#ifdef ZELHART_HARTIP_TEST_LIBRARY
        cli.env.emplace_back("ZELHART_INTERFACE_LIBRARY", ZELHART_HARTIP_TEST_LIBRARY);
#endif
        cli.captureOutput = true;
        const auto result = sim::RunToExit(cli, 60s);
        ASSERT_TRUE(result && result->first == 0) << (result ? result->second : "4810cli did not end");
        messages = relay.Messages();
    }
    // What this codec reads of the same messages, in tshark's form.
    std::string expected;
    std::set<int> commands;
    for (const auto& m : messages) {
        Message decoded;
        ASSERT_EQ(Decode(m.bytes, decoded), DecodeError::None);
        std::string command;
        const bool longFrame = !decoded.body.empty() && (decoded.body[0] & 0x80);
        if (decoded.header.id == std::uint8_t(MessageId::TokenPassingPdu) && decoded.body.size() > (longFrame ? 6u : 2u)) {
            const int c = decoded.body[longFrame ? 6 : 2]; // after a long or short address
            command = std::to_string(c);
            commands.insert(c);
        }
        expected += std::to_string(decoded.header.type) + "," + std::to_string(decoded.header.id) + "," +
                    std::to_string(decoded.header.sequence) + "," + command + ",\n";
    }
    EXPECT_TRUE(commands.count(13) && commands.size() >= 5) << expected; // the read's several commands
    const std::string capture = stack_->root / "read.pcap";
    WriteCapture(capture, port, false, messages);
    EXPECT_EQ(TsharkFields(capture, stack_->root.path(), port, false), expected);
}

// ---- Version 2: a client written on OpenSSL's API alone ----

struct PskClientKey {
    std::string identity;
    Bytes key;
};
thread_local PskClientKey clientKey;

unsigned int ClientPsk(SSL*, const char*, char* identity, unsigned int maxIdentity, unsigned char* psk,
                       unsigned int maxPsk) {
    if (clientKey.identity.size() + 1 > maxIdentity || clientKey.key.size() > maxPsk) return 0;
    std::memcpy(identity, clientKey.identity.c_str(), clientKey.identity.size() + 1);
    std::memcpy(psk, clientKey.key.data(), clientKey.key.size());
    return static_cast<unsigned int>(clientKey.key.size());
}

Bytes KeyBytes(const char* hex) {
    Bytes out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(std::uint8_t(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

// Plain initiate with version 2, its plain answer, then SSL_connect on the same socket; the SSL when
// the handshake succeeded (the caller frees it), null when it failed.
SSL* SecuredSession(SSL_CTX* ctx, Client& client, int maxVersion) {
    auto reply = client.Exchange(Initiate(1, 1, 30000, 2));
    if (!reply || reply->header.version != 2 || reply->header.status != status::kSuccess) {
        ADD_FAILURE() << "no plain answer of version 2 to the secured initiate";
        return nullptr;
    }
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, client.fd());
    if (SSL_connect(ssl) == 1) return ssl;
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
}

TEST_F(HartIpServerTest, SecuredSessionNeedsTheRightKeyAndRefusesPlainBytes) {
    const std::string keys = stack_->root / "hartip.psk";
    std::ofstream(keys) << "# identity:key\n" << kIdentity << ":" << kKeyHex << "\n";
    ASSERT_EQ(::chmod(keys.c_str(), 0600), 0);
    const std::uint16_t port = StartServer({"--psk-file", keys});
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(ctx, nullptr);
    SSL_CTX_set_cipher_list(ctx, "PSK");
    SSL_CTX_set_psk_client_callback(ctx, ClientPsk);

    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version == TLS1_2_VERSION ? "TLS 1.2" : "TLS 1.3");
        // The right key: the handshake completes and the session is served inside TLS.
        clientKey = {kIdentity, KeyBytes(kKeyHex)};
        {
            Client client(false, port);
            SSL* ssl = SecuredSession(ctx, client, version);
            ASSERT_NE(ssl, nullptr) << ServerLog();
            const Bytes pdu = Request(MessageId::TokenPassingPdu, 2, kCommand0, 2);
            ASSERT_EQ(SSL_write(ssl, pdu.data(), int(pdu.size())), int(pdu.size()));
            StreamReassembler stream;
            std::uint8_t buffer[512];
            std::optional<std::vector<std::uint8_t>> whole;
            while (!whole) {
                const int n = SSL_read(ssl, buffer, sizeof(buffer));
                ASSERT_GT(n, 0);
                stream.Feed(std::span(buffer, size_t(n)));
                whole = stream.Next();
            }
            Message reply;
            ASSERT_EQ(Decode(*whole, reply), DecodeError::None);
            ExpectReply(reply, MessageId::TokenPassingPdu, 2, status::kSuccess);
            EXPECT_EQ(reply.header.version, 2);
            EXPECT_EQ(CheckFrame(reply.body), FrameError::None);
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        // A wrong key, or an identity the server does not know: the handshake fails.
        for (const PskClientKey& wrong : {PskClientKey{kIdentity, KeyBytes("ffeeddccbbaa99887766554433221100")},
                                          PskClientKey{"stranger", KeyBytes(kKeyHex)}}) {
            clientKey = wrong;
            Client client(false, port);
            SSL* ssl = SecuredSession(ctx, client, version);
            EXPECT_EQ(ssl, nullptr) << "handshake with " << wrong.identity;
            if (ssl) SSL_free(ssl);
            EXPECT_TRUE(client.Closed(2s));
        }
    }
    SSL_CTX_free(ctx);

    // A plain message where the handshake should begin is refused: no answer, the connection closed.
    {
        Client client(false, port);
        ASSERT_TRUE(client.Exchange(Initiate(1, 1, 30000, 2)));
        client.Send(Request(MessageId::TokenPassingPdu, 2, kCommand0, 2));
        EXPECT_FALSE(client.Receive(1s));
        EXPECT_TRUE(client.Closed(2s));
    }
    // A handshake that stalls is given up after the first-message time; meanwhile it holds neither
    // the primary master nor a session place.
    {
        Client client(false, port);
        ASSERT_TRUE(client.Exchange(Initiate(1, 1, 30000, 2)));
        Client primary(true, port);
        ExpectReply(primary.Exchange(Initiate(1, 1, 30000)), MessageId::SessionInitiate, 1, status::kSuccess);
        ExpectReply(primary.Exchange(Request(MessageId::SessionClose, 2)), MessageId::SessionClose, 2, status::kSuccess);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(client.Closed(3s));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    }
    // A plain session is still served on loopback; the next secured peer is told (status 30).
    Client plain(false, port);
    ExpectReply(plain.Exchange(Initiate(1, 0, 30000)), MessageId::SessionInitiate, 1, status::kSuccess);
    Client secured(false, port);
    const auto reply = secured.Exchange(Initiate(1, 1, 30000, 2));
    ExpectReply(reply, MessageId::SessionInitiate, 1, status::kInsecureSessionExists);
    server_.Terminate();
    const std::string log = ServerLog();
    EXPECT_NE(log.find("secured (identity desk-1)"), std::string::npos) << log;
    EXPECT_EQ(log.find("(identity )"), std::string::npos) << log; // TLS 1.3 names its peer too
    EXPECT_NE(log.find("TLS handshake not completed in time"), std::string::npos) << log;
}

} // namespace
} // namespace zelhart::hartip
