// A first-in-first-out queue of HartMessage records with its own lock, held only for list operations.
#pragma once

#include "zelhart/hart_api.h"

#include <cstddef>
#include <deque>
#include <mutex>

namespace zelhart::hartif {

class RecordQueue {
public:
    // Far more than any caller leaves unread; past it a record is refused like one without memory.
    static constexpr size_t kMaxRecords = 4096;

    // Appends a copy; false when the queue is full or no memory is left (the record is then lost).
    bool Push(const HartMessage& record);
    // Copies the oldest record out and removes it; false when empty (*record untouched).
    bool Pop(HartMessage* record, size_t* remaining = nullptr);
    // Copies the oldest record without removing it.
    bool Peek(HartMessage* record) const;
    void DropFront();
    size_t Size() const;
    void Clear();

private:
    mutable std::mutex lock_;
    std::deque<HartMessage> records_;
};

} // namespace zelhart::hartif
