// monitor: the information page's polling without a window.
#include "cli.h"
#include "report.h"

#include <chrono>
#include <cmath>

namespace zelhart::cli {

namespace {
constexpr double kMaxIntervalSeconds = 86400.0;
constexpr long long kMaxCount = 100000000;
} // namespace

int RunMonitor(Context& c) {
    long long count = 0; // 0: until interrupted
    double interval = 4.0;
    for (size_t i = 0; i < c.args.size(); ++i) {
        const std::string_view a = c.args[i];
        const bool hasValue = i + 1 < c.args.size();
        if (a == "--count" && hasValue) {
            const auto n = ParseCount(c.args[++i], 1, kMaxCount);
            if (!n) return c.UsageError("--count needs a whole number from 1 to 100000000");
            count = *n;
        } else if (a == "--interval" && hasValue) {
            const auto s = ParseFloat(c.args[++i]);
            if (!s || *s < 0 || *s > kMaxIntervalSeconds)
                return c.UsageError("--interval needs seconds from 0 to 86400, e.g. 0.5");
            interval = *s;
        } else {
            return c.UsageError("monitor: unexpected '" + std::string(a) + "'");
        }
    }
    if (!c.doc.CheckConnection(false)) return kExitFailure;
    const auto pause = std::chrono::milliseconds(std::llround(interval * 1000.0));
    bool allRead = true;
    for (long long poll = 0; count == 0 || poll < count; ++poll) {
        if (poll > 0) {
            c.io.clock->Sleep(pause);
            std::fputc('\n', c.io.out);
        }
        allRead = c.doc.RefreshMonitor() && allRead; // a failed poll has been reported; polling goes on
        PrintInformation(c.io.out, c.transmitter());
        std::fflush(c.io.out);
    }
    return allRead ? kExitOk : kExitFailure;
}

} // namespace zelhart::cli
