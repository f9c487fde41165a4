#include "zelhart/datalink/echo_filter.h"

namespace zelhart::datalink {

void EchoFilter::Transmitting(std::span<const uint8_t> frame) {
    frame_.assign(frame.begin(), frame.end());
    held_.clear();
    matched_ = 0;
    armed_ = mode_ != EchoMode::Off && !frame_.empty();
    done_ = false;
}

void EchoFilter::TransmitDone(int64_t nowNs, int64_t windowNs) {
    done_ = true;
    windowEndNs_ = nowNs + windowNs;
}

void EchoFilter::Release(std::vector<Char>* out) {
    if (mode_ == EchoMode::Automatic) out->insert(out->end(), held_.begin(), held_.end());
    held_.clear();
    matched_ = 0;
    armed_ = false;
}

bool EchoFilter::Feed(uint8_t c, bool lineError, int64_t nowNs, std::vector<Char>* out) {
    if (armed_ && matched_ == 0 && !InWindow(nowNs)) armed_ = false; // no echo came in time
    if (!armed_) {
        out->push_back({c, lineError});
        return false;
    }
    const bool same = !lineError && c == frame_[matched_];
    if (!same && mode_ == EchoMode::Automatic) { // not an echo: everything held was traffic
        Release(out);
        out->push_back({c, lineError});
        return false;
    }
    held_.push_back({c, lineError});
    if (++matched_ < frame_.size()) return false;
    held_.clear(); // the whole frame came back: the echo
    matched_ = 0;
    armed_ = false;
    ++echoes_;
    return true;
}

} // namespace zelhart::datalink
