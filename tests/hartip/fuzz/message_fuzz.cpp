// libFuzzer target: bytes as they come from the network, given to every parser of the HART-IP codec —
// as one datagram (Decode), as the body of a session initiate and of a token-passing PDU, and as a TCP
// stream cut at the places the input's first byte chooses (StreamReassembler).
//
// Checked for every input: a decoded message encodes back to the same bytes; a frame that passes the
// check has parts that add up to it; the reassembler gives out whole messages that are, in order, the
// start of the stream, holds no more than one message's bytes, and gives nothing once broken.
#include "zelhart/hartip/message.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

using namespace zelhart::hartip;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);

    Message message;
    if (Decode(input, message) == DecodeError::None) {
        const auto again = Encode(message.header, message.body);
        if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();
        if (message.body.size() > kMaxBodySize) std::abort();
        DecodeSessionInitiate(message.body);
    }
    FrameView view;
    if (CheckFrame(input, &view) == FrameError::None) {
        const std::size_t parts = 1 + view.address.size() + view.expansion.size() + 2 + view.data.size() + 1;
        if (parts != size || (view.address.size() != 1 && view.address.size() != 5)) std::abort();
        if (CheckByte(input.first(size - 1)) != view.checkByte) std::abort();
    }

    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    StreamReassembler stream;
    std::size_t at = 1, delivered = 1;
    while (at < size) {
        const std::size_t take = std::min(chunk, size - at);
        const std::size_t took = stream.Feed(input.subspan(at, take));
        at += took;
        if (stream.pending() > kMaxMessageSize) std::abort();
        while (auto whole = stream.Next()) {
            if (whole->size() < kHeaderSize || whole->size() > kMaxMessageSize) std::abort();
            if (delivered + whole->size() > size || std::memcmp(whole->data(), data + delivered, whole->size()) != 0)
                std::abort();
            delivered += whole->size();
        }
        if (stream.broken()) {
            if (stream.Feed(input) != 0 || stream.Next()) std::abort();
            break;
        }
        if (took == 0) std::abort(); // full, yet nothing whole to take out
    }
    return 0;
}
