#include "zelhart/sim/line_engine.h"

#include "zelhart/sim/text_numbers.h"

#include <algorithm>
#include <cmath>

namespace zelhart::sim {
namespace {

constexpr uint64_t kMaxCount = 1'000'000;
constexpr uint64_t kMaxIntervalMs = 3'600'000;
constexpr uint64_t kMaxTurnaroundMs = 10'000;
constexpr uint64_t kMaxPreambles = 1000;
constexpr uint64_t kMaxNoise = 255;

// Splits "word argument" at the first run of blanks.
std::pair<std::string_view, std::string_view> Words(std::string_view line) {
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
        return s;
    };
    line = trim(line);
    auto sp = line.find_first_of(" \t");
    if (sp == std::string_view::npos) return {line, {}};
    return {line.substr(0, sp), trim(line.substr(sp))};
}

} // namespace

LineEngine::LineEngine(KorvelDevice& device, const LineSettings& settings, TimePoint start)
    : device_(device), settings_(settings), start_(start), lineFreeAt_(start) {
    device_.SetBurstMode(settings_.burstInterval.count() > 0);
    SetListening(true, start);
}

void LineEngine::SetListening(bool listening, TimePoint now) {
    listening_ = listening;
    queue_.clear();
    received_.clear();
    lineFreeAt_ = now;
    receivingUntil_ = now;
    framer_.Reset();
    nextBurst_.reset();
    nextOtherMaster_.reset();
    if (!listening) return;
    if (settings_.burstInterval.count() > 0) nextBurst_ = now + settings_.burstInterval;
    if (settings_.otherMasterInterval.count() > 0) nextOtherMaster_ = now + settings_.otherMasterInterval;
}

void LineEngine::Receive(std::span<const uint8_t> bytes, TimePoint now) {
    if (!settings_.pace) {
        for (uint8_t b : bytes) Hear(b, now);
        return;
    }
    for (uint8_t b : bytes) {
        if (received_.size() >= kMaxQueuedBytes) {
            ++droppedReceived_;
            continue;
        }
        receivingUntil_ = std::max(receivingUntil_, now) + kCharacterTime;
        received_.push_back({receivingUntil_, b});
    }
    HearArrived(now);
}

void LineEngine::Hear(uint8_t byte, TimePoint at) {
    if (auto frame = framer_.Feed(byte, at)) OnFrame(*frame, at);
}

void LineEngine::HearArrived(TimePoint now) {
    while (!received_.empty() && received_.front().at <= now) {
        Due d = received_.front();
        received_.pop_front();
        Hear(d.byte, d.at);
    }
}

void LineEngine::OnFrame(const Frame& frame, TimePoint now) {
    Log("RX", frame.preambles(), frame.bytes());
    if (!device_.Hears(frame)) return;
    lastMasterPrimary_ = frame.masterBit();
    if (settings_.silent > 0) {
        --settings_.silent;
        return;
    }
    auto reply = device_.Handle(frame, Uptime(now));
    if (!reply) return;
    bool corrupt = settings_.badCheck > 0;
    if (corrupt) --settings_.badCheck;
    Send(*reply, now + settings_.turnaround, corrupt);
}

LineEngine::TimePoint LineEngine::Send(const Frame& frame, TimePoint earliest, bool corruptCheck) {
    std::vector<uint8_t> bytes;
    bytes.reserve(settings_.noise + settings_.preambles + frame.size());
    for (unsigned i = 0; i < settings_.noise; ++i) bytes.push_back(NoiseByte());
    size_t frameStart = bytes.size();
    bytes.insert(bytes.end(), settings_.preambles, kPreamble);
    bytes.insert(bytes.end(), frame.bytes().begin(), frame.bytes().end());
    if (corruptCheck) bytes.back() ^= 0xFF;
    if (queue_.size() + bytes.size() > kMaxQueuedBytes) {
        ++dropped_;
        return lineFreeAt_;
    }
    Log("TX", 0, std::span<const uint8_t>(bytes).subspan(frameStart));

    TimePoint t = std::max(earliest, lineFreeAt_);
    for (uint8_t b : bytes) {
        if (settings_.pace) t += kCharacterTime;
        queue_.push_back({t, b});
    }
    lineFreeAt_ = t;
    return t;
}

void LineEngine::Tick(TimePoint now) {
    if (!listening_) return;
    HearArrived(now);
    if (nextBurst_ && *nextBurst_ <= now) {
        if (LineIdle(now)) {
            device_.SetBurstMode(true);
            Send(device_.BurstFrame(burstPrimary_, Uptime(now)), now);
            burstPrimary_ = !burstPrimary_;
            nextBurst_ = lineFreeAt_ + settings_.burstInterval;
        } else {
            nextBurst_ = std::max(lineFreeAt_, receivingUntil_) + settings_.turnaround;
        }
    }
    if (nextOtherMaster_ && *nextOtherMaster_ <= now) {
        if (LineIdle(now)) {
            // The other master reads the dynamic variables; the transmitter answers it. Faults meant
            // for our master's requests are kept for them.
            auto address = device_.LongAddress();
            if (!lastMasterPrimary_) address[0] |= kAddressMasterBit;
            Frame request = BuildFrame(0x82, address, 3, {});
            TimePoint requestEnd = Send(request, now);
            unsigned busy = device_.busy();
            device_.SetBusy(0);
            auto reply = device_.Handle(request, Uptime(now));
            device_.SetBusy(busy);
            if (reply) Send(*reply, requestEnd + settings_.turnaround);
            nextOtherMaster_ = lineFreeAt_ + settings_.otherMasterInterval;
        } else {
            nextOtherMaster_ = std::max(lineFreeAt_, receivingUntil_) + settings_.turnaround;
        }
    }
}

std::chrono::nanoseconds LineEngine::TakeDue(TimePoint now, std::vector<uint8_t>& out) {
    std::chrono::nanoseconds late{0};
    if (!queue_.empty() && queue_.front().at <= now) late = now - queue_.front().at;
    while (!queue_.empty() && queue_.front().at <= now) {
        out.push_back(queue_.front().byte);
        queue_.pop_front();
    }
    return late;
}

std::optional<LineEngine::TimePoint> LineEngine::NextWake() const {
    std::optional<TimePoint> next;
    auto consider = [&](std::optional<TimePoint> t) {
        if (t && (!next || *t < *next)) next = t;
    };
    if (!queue_.empty()) consider(queue_.front().at);
    if (!received_.empty()) consider(received_.front().at);
    if (listening_) {
        consider(nextBurst_);
        consider(nextOtherMaster_);
    }
    return next;
}

std::string LineEngine::Control(std::string_view line, TimePoint now) {
    Instruction in;
    if (auto e = ParseInstruction(line, in); !e.empty()) return e;
    using K = Instruction::Kind;
    switch (in.kind) {
    case K::Busy: device_.SetBusy(static_cast<unsigned>(in.number)); break;
    case K::Process: device_.SetProcessValue(in.value); break;
    case K::Burst:
        ApplyToSettings(in, settings_);
        device_.SetBurstMode(in.interval.count() > 0);
        nextBurst_.reset();
        if (listening_ && in.interval.count() > 0) nextBurst_ = now + in.interval;
        break;
    case K::OtherMaster:
        ApplyToSettings(in, settings_);
        nextOtherMaster_.reset();
        if (listening_ && in.interval.count() > 0) nextOtherMaster_ = now + in.interval;
        break;
    default: ApplyToSettings(in, settings_); break;
    }
    return {};
}

std::string ParseInstruction(std::string_view line, Instruction& out) {
    using K = Instruction::Kind;
    auto [word, arg] = Words(line);
    struct Spec {
        std::string_view word;
        K kind;
        uint64_t max; // 0: takes milliseconds or "off"; for process unused
    } specs[] = {
        {"silent", K::Silent, kMaxCount},       {"bad-check", K::BadCheck, kMaxCount},
        {"busy", K::Busy, kMaxCount},           {"noise", K::Noise, kMaxNoise},
        {"preambles", K::Preambles, kMaxPreambles}, {"turnaround", K::Turnaround, kMaxTurnaroundMs},
        {"burst", K::Burst, 0},                 {"other-master", K::OtherMaster, 0},
        {"process", K::Process, 0},
    };
    for (const auto& spec : specs) {
        if (word != spec.word) continue;
        Instruction in;
        in.kind = spec.kind;
        if (spec.kind == K::Process) {
            auto v = ParseFiniteFloat(arg);
            if (!v || std::fabs(*v) > 1.0e6f) return "process takes a number";
            in.value = *v;
        } else if (spec.max == 0) {
            if (arg != "off") {
                auto v = ParseUnsigned(arg, kMaxIntervalMs);
                if (!v || *v == 0) return std::string(word) + " takes milliseconds 1..3600000 or off";
                in.interval = std::chrono::milliseconds(*v);
            }
        } else {
            auto v = ParseUnsigned(arg, spec.max);
            if (!v) return std::string(word) + " takes a whole number 0.." + std::to_string(spec.max);
            in.number = *v;
        }
        out = in;
        return {};
    }
    if (word.empty()) return "empty instruction";
    return "unknown instruction \"" + std::string(word) + "\"";
}

void ApplyToSettings(const Instruction& in, LineSettings& s) {
    using K = Instruction::Kind;
    switch (in.kind) {
    case K::Silent: s.silent = static_cast<unsigned>(in.number); break;
    case K::BadCheck: s.badCheck = static_cast<unsigned>(in.number); break;
    case K::Noise: s.noise = static_cast<unsigned>(in.number); break;
    case K::Preambles: s.preambles = static_cast<unsigned>(in.number); break;
    case K::Turnaround: s.turnaround = std::chrono::milliseconds(in.number); break;
    case K::Burst: s.burstInterval = in.interval; break;
    case K::OtherMaster: s.otherMasterInterval = in.interval; break;
    case K::Busy:
    case K::Process: break;
    }
}

void LineEngine::Log(const char* direction, size_t preambles, std::span<const uint8_t> frame) {
    if (!log_) return;
    std::string line = direction;
    line.reserve(3 + 3 * (preambles + frame.size()));
    for (size_t i = 0; i < preambles; ++i) line += " ff";
    if (!frame.empty()) line += " " + HexBytes(frame);
    log_(line);
}

uint8_t LineEngine::NoiseByte() {
    // xorshift32; a noise byte is never a preamble character.
    for (;;) {
        noiseState_ ^= noiseState_ << 13;
        noiseState_ ^= noiseState_ >> 17;
        noiseState_ ^= noiseState_ << 5;
        uint8_t b = static_cast<uint8_t>(noiseState_);
        if (b != kPreamble) return b;
    }
}

} // namespace zelhart::sim
