// Why an exchange of driver_soak_bench was lost: what the simulator's frame log (--log-times) shows
// for its port while the exchange was under way, against what the client got.
// No I/O here: the log comes in as lines.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::bench {

struct LostExchange {
    int port = 0;
    double start = 0, end = 0;        // CLOCK_MONOTONIC seconds
    unsigned written = 0, read = 0;    // NTSTATUS of the write and of the read
    bool writeTimedOut = false;        // the write did not complete within the client's wait
};

struct LineView {
    int requests = 0, answers = 0;
    double lateMs = 0; // the longest the simulator's output was held beyond its line time
};

// The frames and late output of one port's log within [from, to].
inline LineView ViewLine(const std::vector<std::string>& log, double from, double to) {
    LineView v;
    for (const std::string& line : log) {
        char* rest = nullptr;
        double t = std::strtod(line.c_str(), &rest);
        if (rest == line.c_str() || t < from || t > to) continue;
        std::string_view what(rest);
        while (!what.empty() && what.front() == ' ') what.remove_prefix(1);
        if (what.starts_with("RX")) ++v.requests;
        else if (what.starts_with("TX")) ++v.answers;
        else if (what.starts_with("LATE")) v.lateMs = std::max(v.lateMs, std::atof(what.data() + 4));
    }
    return v;
}

// One line: the cause, as far as the client and the line can tell it. `gapMs` is the receive gap
// (GAP ticks of 10 ms): a pause that long inside a frame ends the frame for the daemon's receiver.
inline std::string LossCause(const LostExchange& loss, const LineView& line, double gapMs) {
    char text[320];
    std::string lateText;
    if (line.lateMs >= gapMs - 10) {
        char l[160];
        std::snprintf(l, sizeof l, "; the simulator's output was held up to %.0f ms, a pause inside its answer "
                                   "that a real line never has", line.lateMs);
        lateText = l;
    }
    if (loss.writeTimedOut)
        std::snprintf(text, sizeof text,
                      "the write was still pending when the client gave up (%d requests, %d answers on the line)%s",
                      line.requests, line.answers, lateText.c_str());
    else if (loss.written != 0 && line.requests == 0)
        std::snprintf(text, sizeof text, "write failed (0x%X) and nothing reached the line", loss.written);
    else if (loss.written != 0 && line.answers == 0)
        std::snprintf(text, sizeof text, "write failed (0x%X): %d requests went unanswered by the simulator",
                      loss.written, line.requests);
    else if (loss.written != 0)
        std::snprintf(text, sizeof text,
                      "write failed (0x%X): %d requests, %d answers on the line, none accepted by the daemon%s",
                      loss.written, line.requests, line.answers, lateText.c_str());
    else
        std::snprintf(text, sizeof text, "write completed but the read failed (0x%X): the reply was not handed over",
                      loss.read);
    return text;
}

} // namespace zelhart::bench
