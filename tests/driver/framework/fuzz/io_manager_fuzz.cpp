// libFuzzer target: what a client sends the driver daemon over its socket, handled by the real I/O
// manager and the real HART driver. The process runs the driver as ZelHartDriver does (framework,
// DriverEntry, the function device, the socket) on a private runtime directory whose one serial port,
// COM200, is a pseudo-terminal the target holds the far end of. Each input is one connection: its
// packets are sent as they stand, the connection is shut for writing, and everything the daemon sends
// is read until it hangs up.
//
// Input: chunks, each led by two bytes P (little-endian):
//   P & 0x1FFF   length of the chunk (less when the input ends first)
//   P & 0x8000   the harness sets the packet's size field (its first four bytes) to its length
//   P & 0x4000   an eventfd goes along with the packet (SCM_RIGHTS)
//   P & 0x2000   not a packet: bytes the line answers with, written to the port's far end once the
//                driver has sent something there (or 30 ms have passed)
// A Create naming another HART device than COM200's is pointed at COM200's: the machine's own serial
// ports are not the fuzzer's to open.
//
// Checked for every input: the daemon hangs up once the connection is shut (within the input's time
// limit); every packet it sends is a well-formed HelloReply or Complete; no request is completed more
// often than it was sent, none that was never sent, and no completion carries more data than its
// request asked for.
#include "contexts.h"
#include "fuzz_support.h"
#include "hart_trace.h"
#include "zelhart/drvfw/framework.h"
#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/iomgr_socket.h"
#include "zelhart/platform/runtime_dir.h"
#include "zelhart/platform/serial_port_map.h"
#include "zelhart/platform/unique_fd.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelhart;
using namespace zelhart::platform::iomgr;
using platform::UniqueFd;

constexpr int kComNumber = 200; // no real port takes it
constexpr char kHartLinkPrefix[] = "{76F2EE18-E6E6-437E-A495-DDAD2DA743EA}_HART";
// Longer than libFuzzer's time-out of an input (-timeout=5), which reports a daemon that hangs with
// its threads' stacks; this one only keeps a lost hang-up from blocking for ever.
constexpr std::chrono::milliseconds kHangUpDeadline{20000};
constexpr std::chrono::milliseconds kLineWait{30};

[[noreturn]] void Die(const char* what, long long detail = 0) {
    std::fprintf(stderr, "io manager fuzz: %s (%lld)\n", what, detail);
    std::abort();
}

struct World {
    std::string root;
    UniqueFd master, slave; // the far end of COM200, and a hold on the port itself
    std::unique_ptr<drvfw::Framework> fw;
};

World* g_world = nullptr;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// A Create naming another HART device than COM200's gets COM200's name instead.
void KeepToOurPort(std::vector<uint8_t>& packet) {
    Message m;
    if (Decode(packet, Sender::Client, &m) != DecodeError::None || m.type() != MessageType::Create) return;
    const std::string name(m.payload.begin(), m.payload.end());
    const std::string prefix = kHartLinkPrefix;
    if (Upper(name).rfind(prefix, 0) != 0 || name.substr(prefix.size()) == std::to_string(kComNumber)) return;
    const std::string ours = prefix + std::to_string(kComNumber);
    CreateRecord r = std::get<CreateRecord>(m.record);
    r.nameLength = static_cast<uint32_t>(ours.size());
    packet = Encode(r, std::span(reinterpret_cast<const uint8_t*>(ours.data()), ours.size()));
}

// What the requests sent on this connection allow the daemon to complete.
class Ledger {
  public:
    void Sent(std::span<const uint8_t> packet) {
        Message m;
        if (Decode(packet, Sender::Client, &m) != DecodeError::None) return;
        std::visit(
            [&](const auto& r) {
                using R = std::decay_t<decltype(r)>;
                if constexpr (std::is_same_v<R, HelloRecord>)
                    ++hellos_;
                else if constexpr (std::is_same_v<R, CreateRecord>)
                    Request(r.requestId, 0);
                else if constexpr (std::is_same_v<R, ReadRecord>)
                    Request(r.requestId, r.length);
                else if constexpr (std::is_same_v<R, WriteRecord>)
                    Request(r.requestId, 0);
                else if constexpr (std::is_same_v<R, DeviceControlRecord>)
                    Request(r.requestId, r.outputLength);
                else if constexpr (std::is_same_v<R, LookupInterfaceRecord>)
                    Request(r.requestId, kMaxTransferLength);
            },
            m.record);
    }

    void Received(std::span<const uint8_t> packet) {
        Message m;
        if (DecodeError e = Decode(packet, Sender::Daemon, &m); e != DecodeError::None)
            Die("the daemon sent a malformed packet", static_cast<int>(e));
        if (m.type() == MessageType::HelloReply) {
            if (hellos_-- <= 0) Die("a hello reply without a hello");
            return;
        }
        const auto& c = std::get<CompleteRecord>(m.record);
        auto it = requests_.find(c.requestId);
        if (it == requests_.end() || it->second.count == 0)
            Die("a completion of a request not sent or completed already",
                static_cast<long long>(c.requestId));
        if (--it->second.count == 0 && it->second.sent == 1 && c.dataLength > it->second.limit)
            Die("a completion with more data than asked for", c.dataLength);
    }

  private:
    struct Expected {
        int count = 0, sent = 0;
        uint32_t limit = 0;
    };
    void Request(uint64_t id, uint32_t limit) {
        Expected& e = requests_[id];
        ++e.count;
        ++e.sent;
        e.limit = limit;
    }
    int hellos_ = 0;
    std::map<uint64_t, Expected> requests_;
};

bool WaitReadable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

void DrainLine() {
    uint8_t buffer[512];
    while (::read(g_world->master.get(), buffer, sizeof buffer) > 0) {
    }
}

void Answer(std::span<const uint8_t> bytes) {
    if (WaitReadable(g_world->master.get(), kLineWait)) DrainLine();
    (void)!::write(g_world->master.get(), bytes.data(), bytes.size());
}

UniqueFd Connect() {
    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = g_world->fw->SocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (!sock || ::connect(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Die("cannot connect to the daemon", errno);
    return sock;
}

// Reads what the daemon sends until it hangs up.
void ReadUntilHangUp(int sock, Ledger& ledger) {
    std::vector<uint8_t> buffer(kMaxMessageSize + 1);
    const auto deadline = std::chrono::steady_clock::now() + kHangUpDeadline;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitReadable(sock, left)) Die("the daemon did not hang up");
        size_t length = 0;
        UniqueFd fd;
        const ReceiveResult r = ReceivePacket(sock, buffer, &length, &fd);
        if (r == ReceiveResult::Again) continue;
        if (r == ReceiveResult::Closed || r == ReceiveResult::Failed) return; // hung up (or reset)
        if (r != ReceiveResult::Packet || fd) Die("the daemon sent an oversized packet or a descriptor");
        ledger.Received(std::span(buffer.data(), length));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static World world;
    g_world = &world;
    world.root = zelhart::fuzz::MakePrivateDir("iomgr-fuzz");
    ::setenv("ZELHART_RUNTIME_DIR", (world.root + "/run").c_str(), 1);
    ::setenv("ZELHART_CONFIG_DIR", (world.root + "/etc").c_str(), 1);
    platform::MakeDirs(world.root + "/etc");
    std::ofstream(world.root + "/etc/ZelHartDriver.reg")
        << "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ZelHartDriver]\n"
           "\"QUIETTIME\"=dword:00000001\n";

    world.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!world.master || ::grantpt(world.master.get()) != 0 || ::unlockpt(world.master.get()) != 0)
        Die("no pseudo-terminal", errno);
    const std::string pts = ::ptsname(world.master.get());
    world.slave.reset(::open(pts.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!world.slave || platform::RegisterComPort(platform::PortsDir(), kComNumber, pts) != 0)
        Die("cannot register COM200", errno);

    hartdriver::SetHartTraceWriter([](std::string_view) {});
    world.fw = std::make_unique<drvfw::Framework>(drvfw::FrameworkOptions{});
    if (!NT_SUCCESS(hartdriver::DriverEntry(*world.fw, world.fw->RegistryPath()))) Die("DriverEntry failed");
    if (!NT_SUCCESS(world.fw->AddDevice("ROOT\\ZELHARTDRIVER\\0000"))) Die("no function device");
    if (!NT_SUCCESS(world.fw->Listen())) Die("cannot listen");
    world.fw->Start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UniqueFd sock = Connect();
    Ledger ledger;
    for (size_t at = 0; at + 2 <= size;) {
        const unsigned p = data[at] | data[at + 1] << 8;
        at += 2;
        const size_t length = std::min<size_t>(p & 0x1FFF, size - at);
        std::vector<uint8_t> bytes(data + at, data + at + length);
        at += length;
        if (p & 0x2000) {
            Answer(bytes);
            continue;
        }
        if ((p & 0x8000) && bytes.size() >= 4) {
            const auto n = static_cast<uint32_t>(bytes.size());
            std::memcpy(bytes.data(), &n, sizeof n);
        }
        KeepToOurPort(bytes);
        UniqueFd event;
        if (p & 0x4000) event.reset(::eventfd(0, EFD_CLOEXEC));
        if (SendPacket(sock.get(), bytes, event ? event.get() : -1) != 0) break; // hung up on us already
        ledger.Sent(bytes);
    }
    ::shutdown(sock.get(), SHUT_WR);
    ReadUntilHangUp(sock.get(), ledger);
    DrainLine();
    return 0;
}
