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

class TickGroup;

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

    // Runs `task` on the loop thread, after what was posted before it. Posted from the loop thread
    // itself, it runs once the events at hand are handled, without a wake-up of its own.
    void Post(std::function<void()> task);

    // The shared grid of periodic timers of `periodMs` (tick_group.h), made on first use; null when
    // no timerfd could be had.
    TickGroup* Ticks(uint32_t periodMs);

    // Runs until Quit. Posted tasks still waiting at that point are dropped when the loop is destroyed.
    void Run();
    void Quit();
    bool IsLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

  private:
    struct Registration {
        uint64_t id;
        std::shared_ptr<FdHandler> handler;
    };

    // Runs what is posted now (not what those tasks post); whether anything was left for later.
    bool RunPosted();

    platform::UniqueFd epoll_;
    platform::UniqueFd wake_;
    std::mutex mutex_;
    std::map<int, Registration> byFd_;
    std::map<uint64_t, std::shared_ptr<FdHandler>> byId_;
    uint64_t nextId_ = 1;
    std::deque<std::function<void()>> posted_;
    std::atomic<bool> quit_{false};
    std::atomic<std::thread::id> loopThread_{};
    std::mutex groupsMutex_;
    std::map<uint32_t, std::unique_ptr<TickGroup>> groups_; // destroyed first: they remove their fds
};

} // namespace zelhart::drvfw
