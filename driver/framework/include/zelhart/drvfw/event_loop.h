// The daemon's one event loop: epoll over the socket, the serial ports, the timers and a wake-up
// descriptor for work posted from other threads.
#pragma once

#include "zelhart/platform/unique_fd.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace zelhart::drvfw {

class EventLoop {
  public:
    using FdHandler = std::function<void(uint32_t events)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Watches `fd` for `events` (EPOLLIN, EPOLLOUT; hang-up and errors always). The handler runs on the
    // loop thread. Returns 0 or an errno value. Thread-safe, like ModifyFd and RemoveFd.
    int AddFd(int fd, uint32_t events, FdHandler handler);
    int ModifyFd(int fd, uint32_t events);
    // After RemoveFd returns, an event of `fd` already fetched by the loop is dropped, not delivered.
    void RemoveFd(int fd);

    // Runs `task` on the loop thread, after what was posted before it.
    void Post(std::function<void()> task);

    // Runs until Quit. Posted tasks still waiting at that point are dropped when the loop is destroyed.
    void Run();
    void Quit();
    bool IsLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

  private:
    struct Registration {
        uint64_t id;
        std::shared_ptr<FdHandler> handler;
    };

    void RunPosted();

    platform::UniqueFd epoll_;
    platform::UniqueFd wake_;
    std::mutex mutex_;
    std::map<int, Registration> byFd_;
    std::map<uint64_t, std::shared_ptr<FdHandler>> byId_;
    uint64_t nextId_ = 1;
    std::deque<std::function<void()>> posted_;
    std::atomic<bool> quit_{false};
    std::atomic<std::thread::id> loopThread_{};
};

} // namespace zelhart::drvfw
