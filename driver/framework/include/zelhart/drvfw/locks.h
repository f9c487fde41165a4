// Wait locks and spin locks. In user space both are a mutex: usable from every context the framework
// calls into (queue handlers, timer ticks, completion routines, work items). Neither is recursive.
#pragma once

#include "zelhart/drvfw/types.h"

#include <chrono>
#include <mutex>

namespace zelhart::drvfw {

class WaitLock {
  public:
    static NTSTATUS Create(WDFWAITLOCK* out) {
        *out = std::make_shared<WaitLock>();
        return STATUS_SUCCESS;
    }
    // WdfWaitLockAcquire: without a time-out waits; with one (100-ns units, 0 = try) returns
    // STATUS_TIMEOUT when the lock did not come free in time.
    NTSTATUS Acquire(const int64_t* timeout = nullptr) {
        if (!timeout) {
            mutex_.lock();
            return STATUS_SUCCESS;
        }
        int64_t units = *timeout < 0 ? -*timeout : *timeout;
        if (units == 0) return mutex_.try_lock() ? STATUS_SUCCESS : STATUS_TIMEOUT;
        return mutex_.try_lock_for(std::chrono::microseconds(units / 10)) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    void Release() { mutex_.unlock(); }

    // BasicLockable, for std::lock_guard.
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

  private:
    std::timed_mutex mutex_;
};

class SpinLock {
  public:
    static NTSTATUS Create(WDFSPINLOCK* out) {
        *out = std::make_shared<SpinLock>();
        return STATUS_SUCCESS;
    }
    void Acquire() { mutex_.lock(); }
    void Release() { mutex_.unlock(); }
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

  private:
    std::mutex mutex_;
};

} // namespace zelhart::drvfw
