// libFuzzer target: what the daemon sends a client, handled by the real I/O manager client. The target
// plays the daemon on a private runtime directory's socket: each input is its side of two sessions,
// one connection each. The client opens a HART device, starts an overlapped read, makes a control
// request and a write, waits for the read and closes the handle; then it looks up the function
// device's interface.
//
// Input: chunks, each led by two bytes P (little-endian):
//   P & 0x0FFF   length of the packet (less when the input ends first)
//   P & 0x8000   the target sets the packet's size field (its first four bytes) to its length
//   P & 0x4000   before sending it, the target waits (at most 200 ms, eight times an input) for the
//                client's next packet
//   P & 0x2000   the packet's request id (bytes 8..15) is set to that of the client's last request
//   P & 0x1000   the session ends here: the target hangs up (the packet is not sent)
// A session also ends when the input does.
//
// Checked for every input: every call returns (the target hangs up at the end of each session, so no
// call may wait for more), and no call reports more bytes than its buffer holds.
#include "fuzz_support.h"
#include "zelhart/platform/guid.h"
#include "zelhart/platform/iomgr_client.h"
#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/iomgr_socket.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace zelhart::platform;
using namespace zelhart::platform::iomgr;

constexpr int kWaitMs = 200;
constexpr int kMaxWaits = 8;

[[noreturn]] void Die(const char* what, long long detail = 0) {
    std::fprintf(stderr, "iomgr client fuzz: %s (%lld)\n", what, detail);
    std::abort();
}

UniqueFd g_listener;

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

// The daemon's side: the input's chunks, session after session.
class FakeDaemon {
  public:
    FakeDaemon(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    void Serve() {
        for (int session = 0; session < 2; ++session) {
            if (!Readable(g_listener.get(), 3000)) return; // the client did not come
            UniqueFd conn(::accept4(g_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn) return;
            Session(conn.get());
        }
    }

  private:
    void Session(int conn) {
        while (at_ + 2 <= size_) {
            const unsigned p = data_[at_] | data_[at_ + 1] << 8;
            at_ += 2;
            const size_t length = std::min<size_t>(p & 0x0FFF, size_ - at_);
            std::vector<uint8_t> packet(data_ + at_, data_ + at_ + length);
            at_ += length;
            if (p & 0x1000) return;
            if ((p & 0x4000) && waits_ < kMaxWaits) {
                ++waits_;
                if (Readable(conn, kWaitMs) && !Take(conn)) return; // the client hung up
            }
            if ((p & 0x8000) && packet.size() >= 4) {
                const auto n = static_cast<uint32_t>(packet.size());
                std::memcpy(packet.data(), &n, sizeof n);
            }
            if ((p & 0x2000) && packet.size() >= 16) std::memcpy(packet.data() + 8, &lastId_, sizeof lastId_);
            if (SendPacket(conn, packet) != 0) return;
        }
    }

    // Reads the client's next packet and remembers its request id; false when the client hung up.
    bool Take(int conn) {
        std::vector<uint8_t> buffer(kMaxMessageSize + 1);
        size_t length = 0;
        UniqueFd fd;
        const ReceiveResult r = ReceivePacket(conn, buffer, &length, &fd);
        if (r != ReceiveResult::Packet) return r == ReceiveResult::Again;
        if (length >= 16) std::memcpy(&lastId_, buffer.data() + 8, sizeof lastId_);
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    int waits_ = 0;
    uint64_t lastId_ = 0;
};

void UseADevice() {
    std::unique_ptr<DeviceFile> file;
    if (DeviceFile::Open("\\\\.\\{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART3", GENERIC_READ | GENERIC_WRITE,
                         0, FILE_FLAG_OVERLAPPED, &file) != ERROR_SUCCESS)
        return;
    Event readDone;
    Overlapped read{};
    read.hEvent = &readDone;
    uint8_t frame[64] = {};
    uint32_t got = 0;
    const uint32_t started = file->Read(frame, sizeof frame, &got, &read);

    uint8_t protocol[16] = {};
    uint32_t returned = 0;
    if (file->DeviceIoControl(0x9C400E40, nullptr, 0, protocol, sizeof protocol, &returned) ==
            ERROR_SUCCESS &&
        returned > sizeof protocol)
        Die("a control request returned more than its buffer holds", returned);
    const uint8_t request[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    uint32_t written = 0;
    if (file->Write(request, sizeof request, &written, nullptr) == ERROR_SUCCESS && written > sizeof request)
        Die("a write reported more bytes than it had", written);

    if (started == ERROR_IO_PENDING && file->GetOverlappedResult(&read, &got, true) == ERROR_SUCCESS &&
        got > sizeof frame)
        Die("a read returned more than its buffer holds", got);
    file->Close();
}

void LookUpTheFunctionDevice() {
    std::string path;
    const auto guid = ParseGuid("{DD2540C5-808A-4461-89FE-9CCE766B8E77}");
    if (LookupDeviceInterface(*guid, 0, &path) == ERROR_SUCCESS && path.size() > kMaxTransferLength)
        Die("an interface path over the bound", static_cast<long long>(path.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string run = zelhart::fuzz::MakePrivateDir("iomgr-client-fuzz");
    ::setenv("ZELHART_RUNTIME_DIR", run.c_str(), 1);
    g_listener.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = SocketPath();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (!g_listener || ::bind(g_listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(g_listener.get(), 4) != 0)
        Die("cannot listen", errno);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FakeDaemon daemon(data, size);
    std::thread server([&] { daemon.Serve(); });
    UseADevice();
    LookUpTheFunctionDevice();
    server.join();
    return 0;
}
