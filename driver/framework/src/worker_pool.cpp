#include "zelhart/drvfw/worker_pool.h"

#include <algorithm>

namespace zelhart::drvfw {
namespace {
thread_local const WorkerPool* tlsPool = nullptr;
}

WorkerPool::WorkerPool(unsigned threads) {
    for (unsigned i = 0; i < std::max(threads, 1u); ++i)
        threads_.emplace_back([this] { Run(); });
}

WorkerPool::~WorkerPool() {
    Shutdown();
}

bool WorkerPool::Submit(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
    return true;
}

void WorkerPool::Shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id())
            t.detach(); // a task that shuts the pool down
        else
            t.join();
    }
    threads_.clear();
}

bool WorkerPool::IsWorkerThread() const {
    return tlsPool == this;
}

void WorkerPool::Run() {
    tlsPool = this;
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

} // namespace zelhart::drvfw
