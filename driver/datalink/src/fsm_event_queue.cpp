#include "zelhart/datalink/fsm_event_queue.h"

namespace zelhart::datalink {

size_t FsmEventQueue::size() const {
    size_t n = 0;
    while (n < kBytes && bytes_[n] != 0)
        ++n;
    return n;
}

bool FsmEventQueue::Append(uint8_t event) {
    const size_t n = size();
    if (event == 0 || n >= kCapacity) return false; // the last byte always stays the terminator
    bytes_[n] = event;
    return true;
}

int FsmEventQueue::FindFirst(uint8_t mask) const {
    for (size_t i = 0; i < kBytes && bytes_[i] != 0; ++i) {
        if ((bytes_[i] & mask) != 0) return static_cast<int>(i);
    }
    return -1;
}

void FsmEventQueue::RemoveAt(int index) {
    if (index < 0 || static_cast<size_t>(index) >= kBytes || bytes_[index] == 0) return;
    for (size_t i = static_cast<size_t>(index); i + 1 < kBytes; ++i)
        bytes_[i] = bytes_[i + 1];
    bytes_[kBytes - 1] = 0;
}

void FsmEventQueue::RemoveAll(uint8_t mask) {
    for (int i = FindFirst(mask); i >= 0; i = FindFirst(mask))
        RemoveAt(i);
}

} // namespace zelhart::datalink
