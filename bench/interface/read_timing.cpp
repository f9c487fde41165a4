#include "read_timing.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace zelhart::bench {
namespace {

constexpr size_t kMaxLine = 4096;

// Splits text into lines; the last line may lack its newline.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return lines;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (at < line.size()) {
        size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        size_t end = line.find(' ', start);
        words.push_back(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        at = end == std::string_view::npos ? line.size() : end;
    }
    return words;
}

template <class T> bool Number(std::string_view word, T* out) {
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), *out);
    return ec == std::errc() && end == word.data() + word.size();
}

bool HexByte(std::string_view word) {
    unsigned value;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
    return word.size() == 2 && ec == std::errc() && end == word.data() + 2;
}

Ms Between(uint64_t fromNs, uint64_t toNs) {
    return Ms(toNs >= fromNs ? double(toNs - fromNs) / 1e6 : -double(fromNs - toNs) / 1e6);
}

std::string Line(const char* format, auto... values) {
    char buf[256];
    std::snprintf(buf, sizeof(buf), format, values...);
    return buf;
}

} // namespace

std::vector<LoggedFrame> ParseFrameLog(std::string_view text, std::string* error) {
    std::vector<LoggedFrame> frames;
    size_t number = 0;
    for (std::string_view line : Lines(text)) {
        ++number;
        if (line.empty()) continue;
        auto words = Words(line.substr(0, kMaxLine));
        bool ok = line.size() <= kMaxLine && words.size() >= 2 && (words[0] == "RX" || words[0] == "TX") &&
                  std::all_of(words.begin() + 1, words.end(), HexByte);
        if (!ok) {
            *error = "frame log line " + std::to_string(number) + " is not a frame";
            return {};
        }
        frames.push_back({words[0] == "RX", words.size() - 1});
    }
    return frames;
}

std::vector<ShimEvent> ParseShimLog(std::string_view text, std::string* error) {
    std::vector<ShimEvent> events;
    size_t number = 0;
    for (std::string_view line : Lines(text)) {
        ++number;
        if (line.empty()) continue;
        auto words = Words(line.substr(0, kMaxLine));
        ShimEvent e;
        bool ok = line.size() <= kMaxLine && words.size() == 6 && Number(words[0], &e.callNs) &&
                  Number(words[1], &e.returnNs) && Number(words[3], &e.index) && Number(words[4], &e.result) &&
                  Number(words[5], &e.length);
        if (!ok) {
            *error = "timing log line " + std::to_string(number) + " is malformed";
            return {};
        }
        e.function = std::string(words[2]);
        events.push_back(std::move(e));
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const ShimEvent& a, const ShimEvent& b) { return a.callNs < b.callNs; });
    return events;
}

ReadTiming AnalyseRead(const std::vector<ShimEvent>& events, const std::vector<LoggedFrame>& frames, Ms quiet,
                       Ms turnaround) {
    ReadTiming timing;
    // Exchanges on the line: a request and, when one came, its answer.
    std::vector<std::vector<const LoggedFrame*>> exchanges;
    for (const LoggedFrame& f : frames) {
        if (f.fromMaster || exchanges.empty()) exchanges.emplace_back();
        exchanges.back().push_back(&f);
    }
    size_t nextExchange = 0;
    // Times of CLOCK_MONOTONIC are never 0: 0 stands for "not yet".
    uint64_t firstOpen = 0, lastClose = 0, queuedAfterWrite = 0, takenAt = 0;
    const ShimEvent* open = nullptr;
    const ShimEvent* lastWrite = nullptr;
    for (const ShimEvent& e : events) {
        if (e.function == "open") {
            open = &e;
            lastWrite = nullptr;
            queuedAfterWrite = takenAt = 0;
            if (!firstOpen) firstOpen = e.callNs;
        } else if (!open) {
            continue;
        } else if (e.function == "write" && e.result == 0) {
            lastWrite = &e;
            queuedAfterWrite = takenAt = 0;
        } else if (e.function == "queued" && lastWrite && !queuedAfterWrite && e.callNs >= lastWrite->callNs) {
            queuedAfterWrite = e.callNs;
        } else if (e.function == "read" && e.result == 0 && e.length > 0 && queuedAfterWrite) {
            takenAt = e.callNs;
        } else if (e.function == "close") {
            TransactionTiming t;
            t.total = Between(open->callNs, e.returnNs);
            t.quiet = quiet;
            if (lastWrite) {
                t.turnaround = turnaround;
                if (queuedAfterWrite && takenAt) t.pollWait = Between(queuedAfterWrite, takenAt);
                if (nextExchange < exchanges.size()) {
                    for (const LoggedFrame* f : exchanges[nextExchange]) {
                        const Ms onLine(double(f->bytes) * kCharacterMs);
                        t.wire += onLine;
                        if (!f->fromMaster) t.answerWire += onLine;
                    }
                    t.frames = exchanges[nextExchange].size();
                    timing.framesMatch &= t.frames == 2;
                    ++nextExchange;
                } else {
                    timing.framesMatch = false;
                }
            }
            timing.transactions.push_back(t);
            lastClose = e.returnNs;
            open = nullptr;
        }
    }
    timing.framesMatch &= nextExchange == exchanges.size();
    if (firstOpen && lastClose) timing.span = Between(firstOpen, lastClose);
    return timing;
}

std::string FormatReport(const ReadTiming& timing, Ms wallTime) {
    std::string out = "transaction    total   wire (requests + answers)  turnaround  quiet  poll wait  remainder (ms)\n";
    TransactionTiming sum;
    std::optional<Ms> worst;
    size_t n = 0;
    for (const TransactionTiming& t : timing.transactions) {
        ++n;
        out += Line("%11zu  %7.1f  %6.1f (%6.1f + %6.1f)  %10.1f  %5.1f  %9.1f  %9.1f\n", n, t.total.count(),
                    t.wire.count(), (t.wire - t.answerWire).count(), t.answerWire.count(), t.turnaround.count(), t.quiet.count(), t.pollWait.value_or(Ms(0)).count(),
                    t.Remainder().count());
        sum.total += t.total;
        sum.wire += t.wire;
        sum.answerWire += t.answerWire;
        sum.turnaround += t.turnaround;
        sum.quiet += t.quiet;
        sum.pollWait = sum.pollWait.value_or(Ms(0)) + t.pollWait.value_or(Ms(0));
        worst = std::max(worst.value_or(t.Remainder()), t.Remainder());
    }
    if (n == 0) return out + "no transactions\n";
    const Ms poll = sum.pollWait.value_or(Ms(0));
    out += Line("%11s  %7.1f  %6.1f (%6.1f + %6.1f)  %10.1f  %5.1f  %9.1f  %9.1f\n", "sum", sum.total.count(),
                sum.wire.count(), (sum.wire - sum.answerWire).count(), sum.answerWire.count(), sum.turnaround.count(), sum.quiet.count(), poll.count(),
                sum.Remainder().count());
    out += Line("whole read: %.1f ms, %zu transactions (first open to last close %.1f ms)\n", wallTime.count(), n,
                timing.span.count());
    out += Line("wire time of every frame, both directions (the line's time): %.1f ms; the read took %.2f x that\n",
                sum.wire.count(), wallTime / sum.wire);
    const Ms floor = sum.wire + sum.turnaround + sum.quiet + poll;
    out += Line("the line and the design's waits: %.1f ms; the read took %.3f x that\n", floor.count(),
                wallTime / floor);
    out += Line("design waits: bus quiet after each open %.1f ms + 40 ms polling %.1f ms = %.1f ms; "
                "the transmitter's turnaround %.1f ms\n",
                sum.quiet.count(), poll.count(), (sum.quiet + poll).count(), sum.turnaround.count());
    out += Line("remainder (our code): %.1f ms a transaction on average, %.1f ms at most (%.1f%% of the read)\n",
                sum.Remainder().count() / double(n), worst->count(), 100.0 * (sum.Remainder() / wallTime));
    if (!timing.framesMatch) out += "note: the frames on the line are not one request and one answer a transaction\n";
    return out;
}

} // namespace zelhart::bench
