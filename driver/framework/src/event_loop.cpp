#include "zelhart/drvfw/event_loop.h"

#include "tick_group.h"
#include "zelhart/drvfw/trace.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zelhart::drvfw {
namespace {
constexpr uint64_t kWakeId = 0;
}

EventLoop::EventLoop()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!epoll_ || !wake_) {
        FrameworkTrace(TraceLevel::Error, "event loop: cannot create epoll or eventfd: %s",
                       std::strerror(errno));
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &ev);
}

EventLoop::~EventLoop() = default;

int EventLoop::AddFd(int fd, uint32_t events, FdHandler handler) {
    std::lock_guard lock(mutex_);
    if (byFd_.count(fd)) return EEXIST;
    uint64_t id = nextId_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return errno;
    auto h = std::make_shared<FdHandler>(std::move(handler));
    byFd_[fd] = {id, h};
    byId_[id] = h;
    return 0;
}

int EventLoop::ModifyFd(int fd, uint32_t events) {
    std::lock_guard lock(mutex_);
    auto it = byFd_.find(fd);
    if (it == byFd_.end()) return ENOENT;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = it->second.id;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : errno;
}

void EventLoop::RemoveFd(int fd) {
    std::lock_guard lock(mutex_);
    auto it = byFd_.find(fd);
    if (it == byFd_.end()) return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    byId_.erase(it->second.id);
    byFd_.erase(it);
}

void EventLoop::Post(std::function<void()> task) {
    const bool fromLoop = IsLoopThread();
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
    }
    if (fromLoop) return; // Run looks at the queue before it waits again
    uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof(one));
}

TickGroup* EventLoop::Ticks(uint32_t periodMs) {
    std::lock_guard lock(groupsMutex_);
    auto& group = groups_[periodMs];
    if (!group) group = std::make_unique<TickGroup>(*this, periodMs);
    return group->valid() ? group.get() : nullptr;
}

void EventLoop::Quit() {
    quit_ = true;
    uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof(one));
}

bool EventLoop::RunPosted() {
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) {
        if (quit_) return false;
        task();
    }
    std::lock_guard lock(mutex_);
    return !posted_.empty();
}

void EventLoop::Run() {
    loopThread_ = std::this_thread::get_id();
    epoll_event events[32];
    bool pending = false;
    while (!quit_) {
        // Tasks posted meanwhile (by the loop itself: completions) are due: look for events without
        // waiting, so they run next and input is not starved either.
        int n = ::epoll_wait(epoll_.get(), events, 32, pending ? 0 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            FrameworkTrace(TraceLevel::Error, "event loop: epoll_wait: %s", std::strerror(errno));
            break;
        }
        for (int i = 0; i < n && !quit_; ++i) {
            // epoll_event is packed: its 64-bit data lies misaligned and is copied, not referred to.
            const uint64_t id = events[i].data.u64;
            if (id == kWakeId) {
                uint64_t count;
                (void)!::read(wake_.get(), &count, sizeof(count));
                continue;
            }
            std::shared_ptr<FdHandler> handler;
            {
                std::lock_guard lock(mutex_);
                auto it = byId_.find(id);
                if (it != byId_.end()) handler = it->second;
            }
            if (handler) (*handler)(events[i].events);
        }
        if (!quit_) pending = RunPosted();
    }
    loopThread_ = std::thread::id();
}

} // namespace zelhart::drvfw
