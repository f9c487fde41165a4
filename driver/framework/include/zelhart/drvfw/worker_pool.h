// A small fixed pool of threads that run work items outside the event loop, so that a work item may
// wait (for a lock, a synchronous serial request) without stalling the loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zelhart::drvfw {

class WorkerPool {
  public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // False when the pool is shutting down and the task was dropped.
    bool Submit(std::function<void()> task);
    // Runs what is queued, then stops the threads; later submissions are dropped.
    void Shutdown();
    bool IsWorkerThread() const;

  private:
    void Run();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace zelhart::drvfw
