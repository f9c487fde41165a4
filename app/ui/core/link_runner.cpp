#include "core/link_runner.h"

#include <utility>

namespace zelhart::ui {

LinkRunner::LinkRunner(PostToUi post)
    : post_(std::move(post)), uiThread_(std::this_thread::get_id()), worker_([this] { WorkerLoop(); }) {}

LinkRunner::~LinkRunner() {
    Abort();
    token_.reset();
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

bool LinkRunner::Start(Call operation, Call done) {
    if (busy_) return false;
    busy_ = true;
    done_ = std::move(done);
    {
        std::lock_guard lock(mutex_);
        stop_ = false; // an abort ends the operation it was meant for, not this one
        job_ = std::move(operation);
    }
    changed_.notify_all();
    return true;
}

void LinkRunner::WorkerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || job_; });
        if (!job_) return;
        Call operation = std::move(job_);
        job_ = nullptr;
        lock.unlock();
        operation();
        operation = nullptr;
        lock.lock();
        stop_ = false; // a later operation runs normally
        jobFinished_ = true;
        changed_.notify_all();
        lock.unlock();
        post_([token = weakToken_, this] {
            if (token.lock()) FinishOnUi();
        });
        lock.lock();
    }
}

bool LinkRunner::CallOnUi(const Call& call) {
    if (IsUiThread()) {
        call();
        return true;
    }
    std::unique_lock lock(mutex_);
    if (stop_) return false;
    call_ = &call;
    callRunning_ = false;
    callDone_ = false;
    lock.unlock();
    changed_.notify_all(); // WaitUntilIdle may be waiting for it
    post_([token = weakToken_, this] {
        if (!token.lock()) return;
        std::unique_lock uiLock(mutex_);
        RunPendingCall(uiLock);
    });
    lock.lock();
    changed_.wait(lock, [this] { return callDone_ || (stop_ && !callRunning_); });
    const bool ran = callDone_;
    // Not started yet (aborted): the posted call finds nothing to run.
    call_ = nullptr;
    callRunning_ = false;
    callDone_ = false;
    return ran;
}

void LinkRunner::RunPendingCall(std::unique_lock<std::mutex>& lock) {
    // A call already running (a message box's own event loop lets another post through) or taken
    // back by an abort is left alone.
    if (!call_ || callRunning_ || callDone_) return;
    const Call* call = call_;
    callRunning_ = true;
    lock.unlock();
    (*call)();
    lock.lock();
    callDone_ = true;
    callRunning_ = false;
    changed_.notify_all();
}

void LinkRunner::Abort() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        if (!callRunning_) call_ = nullptr; // a call not started yet is taken back
    }
    changed_.notify_all();
}

void LinkRunner::FinishOnUi() {
    {
        std::lock_guard lock(mutex_);
        if (!jobFinished_) return;
        jobFinished_ = false;
    }
    busy_ = false;
    Call done = std::move(done_);
    done_ = nullptr;
    if (done) done();
}

void LinkRunner::WaitUntilIdle() {
    std::unique_lock lock(mutex_);
    while (busy_) {
        changed_.wait(lock, [this] { return jobFinished_ || (call_ && !callRunning_ && !callDone_); });
        if (call_ && !callRunning_ && !callDone_) {
            RunPendingCall(lock);
            continue;
        }
        lock.unlock();
        FinishOnUi();
        lock.lock();
    }
}

} // namespace zelhart::ui
