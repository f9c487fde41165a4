// libFuzzer target: one packet of the driver's socket protocol, decoded as the daemon decodes what a
// client sends and as a client decodes what the daemon sends (Decode). The daemon's handling of the
// messages behind the decoder is drvfw_io_manager_fuzz's.
//
// Checked for every input: a packet that decodes encodes back to exactly its bytes (so nothing of it
// is ignored or invented), its payload lies inside the packet, its request id is not 0 where one is
// needed, and the lengths it states are within their bounds; a packet is never taken by both sides.
#include "zelhart/platform/iomgr_protocol.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace zelhart::platform::iomgr;

[[noreturn]] void Die(const char* what, int detail = 0) {
    std::fprintf(stderr, "iomgr protocol fuzz: %s (%d)\n", what, detail);
    std::abort();
}

std::vector<uint8_t> Reencode(const Message& m) {
    return std::visit(
        [&](const auto& r) -> std::vector<uint8_t> {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, CreateRecord> || std::is_same_v<R, WriteRecord> ||
                          std::is_same_v<R, DeviceControlRecord> || std::is_same_v<R, CompleteRecord>)
                return Encode(r, m.payload);
            else
                return Encode(r);
        },
        m.record);
}

uint64_t RequestIdOf(const Message& m) {
    return std::visit(
        [](const auto& r) -> uint64_t {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, HelloRecord> || std::is_same_v<R, HelloReplyRecord>)
                return 1;
            else if constexpr (std::is_same_v<R, CancelRecord> || std::is_same_v<R, CompleteRecord>)
                return 1; // 0 is allowed: every request of the handle, or an answer to nothing
            else
                return r.requestId;
        },
        m.record);
}

void Check(std::span<const uint8_t> packet, const Message& m) {
    if (m.payload.size() > kMaxTransferLength) Die("a payload over the bound", int(m.payload.size()));
    if (!m.payload.empty() && (m.payload.data() < packet.data() ||
                               m.payload.data() + m.payload.size() != packet.data() + packet.size()))
        Die("a payload that is not the packet's tail");
    if (RequestIdOf(m) == 0) Die("a request with id 0", int(m.type()));
    if (const auto* r = std::get_if<ReadRecord>(&m.record); r && r->length > kMaxTransferLength)
        Die("a read over the bound");
    if (const auto* c = std::get_if<DeviceControlRecord>(&m.record);
        c && c->outputLength > kMaxTransferLength)
        Die("a control request with an output over the bound");
    const std::vector<uint8_t> again = Reencode(m);
    if (!std::equal(again.begin(), again.end(), packet.begin(), packet.end()))
        Die("a decoded packet does not encode back to its bytes", int(m.type()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> packet(data, size);
    Message fromClient, fromDaemon;
    const DecodeError client = Decode(packet, Sender::Client, &fromClient);
    const DecodeError daemon = Decode(packet, Sender::Daemon, &fromDaemon);
    if (client == DecodeError::None && daemon == DecodeError::None) Die("a packet both sides send");
    if (client == DecodeError::None) Check(packet, fromClient);
    if (daemon == DecodeError::None) Check(packet, fromDaemon);
    for (DecodeError e : {client, daemon})
        if (DecodeErrorText(e) == nullptr) Die("a decode error without a text", int(e));
    return 0;
}
