// libFuzzer target: arbitrary bytes on the line into one data link, driven by the simulated daemon.
//
// Input: three settings bytes (retry count and master type, RT1DIFF, read mask), then line bytes, one
// tick after each. 0xFE escapes a command byte C (operation C & 0x0F, argument C >> 4):
//   0 the byte 0xFE itself     1 silence of 3 * (arg + 1) ticks    2 the next byte with a line error
//   3 a write                  4 an immediate read                 5 a waiting read
//   6 suspend                  7 resume                            8 close and reopen
//   9 read mask                10 serial write duration            11 serial writes fail / succeed
//   12 a long silence (200 + 50 * arg ticks)
// Any invariant the daemon checks, and the write completing after silence, must hold for every input.
#include "../sim_daemon.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using zelhart::STATUS_SUCCESS;
using zelhart::STATUS_UNSUCCESSFUL;
using zelhart::datalink::test::SimDaemon;

[[noreturn]] void Die(const char* what, const std::string& detail) {
    std::fprintf(stderr, "data link fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    SimDaemon::Settings s;
    s.RetryCount = data[0] & 0x03;
    s.MasterType = data[0] & 0x80;
    s.Timings.RT1DIFF = data[1] & 0x0F;
    s.ReadMask = data[2];
    s.Trace = (data[0] & 0x40) != 0;
    SimDaemon d(s);

    for (size_t i = 3; i < size && d.Violation().empty(); ++i) {
        if (data[i] != 0xFE || i + 1 >= size) {
            d.Byte(data[i]);
            d.Tick();
            continue;
        }
        const uint8_t command = data[++i];
        const int arg = command >> 4;
        switch (command & 0x0F) {
        case 0:
            d.Byte(0xFE);
            d.Tick();
            break;
        case 1:
            for (int t = 0; t < 3 * (arg + 1); ++t)
                d.Tick();
            break;
        case 2:
            if (i + 1 < size) d.Byte(data[++i], STATUS_UNSUCCESSFUL);
            d.Tick();
            break;
        case 3:
            d.PresentWrite();
            break;
        case 4:
            d.ImmediateRead(static_cast<size_t>(arg * 20 + 1));
            break;
        case 5:
            d.PostRead(static_cast<size_t>(arg * 20 + 1));
            break;
        case 6:
            d.Suspend();
            break;
        case 7:
            d.Resume();
            break;
        case 8:
            d.CloseAndOpen();
            break;
        case 9:
            d.SetReadMask(static_cast<uint8_t>(arg | arg << 4));
            break;
        case 10:
            d.TransmitTicks = arg + 1;
            break;
        case 11:
            d.TransmitStatus = d.TransmitStatus == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
            break;
        case 12:
            for (int t = 0; t < 200 + 50 * arg; ++t)
                d.Tick();
            break;
        default:
            d.Tick();
            break;
        }
    }
    if (!d.Violation().empty()) Die("invariant", d.Violation() + "; " + d.Describe());

    const int64_t bound = 200 + 1000 + 298 + (s.RetryCount + 1) * (1000 + 296 + 37 + 16 + 15 + 37);
    if (d.Settle(bound) < 0) Die("still busy after silence", d.Describe());
    if (!d.Violation().empty()) Die("invariant while settling", d.Violation());
    return 0;
}
