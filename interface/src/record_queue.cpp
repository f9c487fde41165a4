#include "record_queue.h"

#include <new>

namespace zelhart::hartif {

bool RecordQueue::Push(const HartMessage& record) {
    std::lock_guard lock(lock_);
    if (records_.size() >= kMaxRecords) return false;
    try {
        records_.push_back(record);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool RecordQueue::Pop(HartMessage* record, size_t* remaining) {
    std::lock_guard lock(lock_);
    if (records_.empty()) return false;
    *record = records_.front();
    records_.pop_front();
    if (remaining) *remaining = records_.size();
    return true;
}

bool RecordQueue::Peek(HartMessage* record) const {
    std::lock_guard lock(lock_);
    if (records_.empty()) return false;
    *record = records_.front();
    return true;
}

void RecordQueue::DropFront() {
    std::lock_guard lock(lock_);
    if (!records_.empty()) records_.pop_front();
}

size_t RecordQueue::Size() const {
    std::lock_guard lock(lock_);
    return records_.size();
}

void RecordQueue::Clear() {
    std::lock_guard lock(lock_);
    records_.clear();
}

} // namespace zelhart::hartif
