// libFuzzer target: the text of the simulator's state file (--state FILE), parsed as korvel4810-sim
// loads it, and the transmitter built from what loaded answering the program's whole read.
//
// Checked for every input: a refused file leaves the configuration untouched and says which line is
// wrong; a loaded one is valid, writes back to a text that loads to the same text again, and the
// transmitter answers every request of the read with a well-formed frame.
#include "zelhart/sim/korvel_device.h"
#include "zelhart/sim/state_file.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace zelhart::sim;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "state file fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

struct Request {
    uint8_t command;
    std::vector<uint8_t> data;
};

// The requests of the program's read (identification, the six read steps, monitoring), in order.
const std::vector<Request>& ReadRequests() {
    static const std::vector<Request> requests = {
        {13, {}},
        {140, {0}},
        {15, {}},
        {14, {}},
        {150, {}},
        {16, {}},
        {189, {}},
        {33, {1, 2, 250, 250}},
        {3, {}},
        {48, {}},
        {139, {1, 0, 108, 0, 0, 0, 0}},
        {139, {1, 0, 76, 0, 0, 0, 0}},
        {139, {1, 0, 77, 0, 0, 0, 0}},
        {139, {1, 0, 194, 0, 0, 0, 0}},
        {142, {32}},
        {1, {}},
        {2, {}},
    };
    return requests;
}

void Answers(KorvelDevice& device, const Frame& request, std::chrono::seconds at) {
    const auto reply = device.Handle(request, at);
    if (!reply) Die("no answer to a request for the transmitter", std::to_string(request.command()));
    if (!reply->checkOk() || reply->type() != FrameType::Reply || reply->command() != request.command() ||
        reply->byteCount() < 2)
        Die("a malformed answer", HexBytes(reply->bytes()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    DeviceConfig config = FactoryConfig();
    config.tag = "UNTOUCHED";
    if (const std::string error = ParseState(text, config); !error.empty()) {
        if (config.tag != "UNTOUCHED") Die("a refused file changed the configuration", error);
        return 0;
    }
    if (const std::string invalid = ValidateConfig(config); !invalid.empty())
        Die("a loaded file is not valid", invalid);
    const std::string written = FormatState(config);
    DeviceConfig again = FactoryConfig();
    if (const std::string error = ParseState(written, again); !error.empty())
        Die("its own text does not load", error);
    if (FormatState(again) != written) Die("its own text loads to another configuration", written);

    KorvelDevice device(config);
    const uint8_t identify[] = {0x02, 0x00, 0xF9, 0x00};
    const uint8_t zero = 0;
    Answers(device, BuildFrame(0x02, std::span(&zero, 1), 0, {}), std::chrono::seconds(1));
    Answers(device, BuildFrame(identify[0], std::span(&identify[1], 1), identify[2], {}),
            std::chrono::seconds(2));
    auto address = device.LongAddress();
    address[0] |= kAddressMasterBit;
    std::chrono::seconds at(3);
    for (const Request& r : ReadRequests()) {
        Answers(device, BuildFrame(0x82, address, r.command, r.data), at);
        at += std::chrono::seconds(7);
    }
    return 0;
}
