#include "zelhart/drvfw/serial_input.h"

namespace zelhart::drvfw {

void ParmrkDecoder::Feed(std::span<const uint8_t> raw, std::deque<SerialChar>* out) {
    for (uint8_t b : raw) {
        switch (state_) {
        case State::Normal:
            if (b == 0xFF)
                state_ = State::AfterFF;
            else
                out->push_back({b, false});
            break;
        case State::AfterFF:
            if (b == 0xFF) {
                out->push_back({0xFF, false});
                state_ = State::Normal;
            } else if (b == 0x00) {
                state_ = State::ErrorChar;
            } else { // not a mark the kernel makes; keep both bytes
                out->push_back({0xFF, false});
                out->push_back({b, false});
                state_ = State::Normal;
            }
            break;
        case State::ErrorChar:
            out->push_back({b, true});
            state_ = State::Normal;
            break;
        }
    }
}

} // namespace zelhart::drvfw
