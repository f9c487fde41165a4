// libFuzzer target: a whole HART-IP session on the server's session engine. The input is a policy byte,
// then records: a length byte, and that many bytes that are either a message from the peer or (when
// the length is 0) the line's outcome for the PDU in flight, the next bytes giving the outcome and
// the device's frame. Two sessions share one endpoint, so the primary master's claim is exercised.
//
// Checked for every input: every reply decodes as one message no longer than the limit, is a response,
// error or NAK, repeats its request's sequence number; a PDU is answered with success only with a
// sound slave reply as its body; at most one session holds the primary master; a session that ended
// holds nothing.
#include "session.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

using namespace zelhart::hartip;
using namespace zelhart::hartip::server;

namespace {

class FakeEndpoint final : public Endpoint {
public:
    bool ClaimPrimary(const Session& s) override {
        if (primary && primary != &s) return false;
        primary = &s;
        return true;
    }
    void ReleasePrimary(const Session& s) override {
        if (primary == &s) primary = nullptr;
    }
    bool PlainSessionOpen(const Session&) const override { return plainOpen; }
    bool SessionAvailable() const override { return available; }
    const Session* primary = nullptr;
    bool plainOpen = false;
    bool available = true;
};

void CheckReply(const std::vector<std::uint8_t>& reply, const std::uint8_t* request, std::size_t requestSize) {
    if (reply.empty()) return;
    Message m;
    if (Decode(reply, m) != DecodeError::None) std::abort();
    const auto type = static_cast<MessageType>(m.header.type);
    if (type != MessageType::Response && type != MessageType::Error && type != MessageType::Nak) std::abort();
    if (requestSize >= kHeaderSize && m.header.sequence != ((request[4] << 8) | request[5])) std::abort();
    if (m.header.id == static_cast<std::uint8_t>(MessageId::TokenPassingPdu) && type == MessageType::Response &&
        m.header.status == status::kSuccess) {
        FrameView view;
        if (CheckFrame(m.body, &view) != FrameError::None || view.frameType() != kFrameTypeResponse) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    SessionPolicy policy;
    policy.transportSecurable = data[0] & 1;
    policy.plainAllowed = data[0] & 2;
    FakeEndpoint endpoint;
    endpoint.plainOpen = data[0] & 4;
    Session sessions[2] = {Session(policy, 0, 5000), Session(policy, 0, 5000)};
    std::uint64_t now = 0;
    std::vector<std::uint8_t> lastRequest;
    std::size_t at = 1;
    for (unsigned step = 0; at < size && step < 200; ++step) {
        Session& session = sessions[step & 1];
        now += 100;
        const std::size_t length = data[at++];
        if (length == 0) {
            if (at >= size) break;
            const auto outcome = static_cast<LineOutcome>(data[at++] % 5);
            const std::size_t frameSize = at < size ? data[at++] : 0;
            const std::size_t n = std::min(frameSize, size - at);
            const bool awaiting = session.awaitingLine();
            const auto reply = session.LineAnswer(outcome, std::span(data + at, n));
            if (!awaiting && !reply.empty()) std::abort();
            CheckReply(reply, lastRequest.data(), 0);
            at += n;
            continue;
        }
        const std::size_t n = std::min(length, size - at);
        lastRequest.assign(data + at, data + at + n);
        const auto result = session.OnMessage(lastRequest, now, endpoint);
        CheckReply(result.reply, lastRequest.data(), lastRequest.size());
        if (result.forward && (CheckFrame(result.frame) != FrameError::None || !session.awaitingLine())) std::abort();
        if (session.ended() && session.primary()) std::abort();
        at += n;
    }
    const int primaries = int(sessions[0].primary()) + int(sessions[1].primary());
    if (primaries > 1) std::abort();
    for (Session& s : sessions) s.End(endpoint);
    if (endpoint.primary) std::abort();
    return 0;
}
