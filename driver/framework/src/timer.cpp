#include "zelhart/drvfw/timer.h"

#include "tick_group.h"
#include "zelhart/drvfw/framework.h"
#include "zelhart/drvfw/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace zelhart::drvfw {
namespace {

timespec FromNanoseconds(int64_t ns) {
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace

Timer::Timer(Framework& fw, const TimerConfig& config, const ObjectAttributes& attributes)
    : Object(fw, attributes, attributes.ParentObject), config_(config),
      fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}

Timer::~Timer() {
    if (group_) group_->Leave(this);
    if (registered_) framework().loop().RemoveFd(fd_.get());
}

NTSTATUS Timer::Create(const TimerConfig& config, const ObjectAttributes& attributes, WDFTIMER* out) {
    if (!attributes.ParentObject || !config.EvtTimerFunc) return STATUS_INVALID_PARAMETER;
    auto timer = std::make_shared<Timer>(attributes.ParentObject->framework(), config, attributes);
    if (!timer->fd_) return STATUS_INSUFFICIENT_RESOURCES;
    std::weak_ptr<Timer> weak = timer;
    if (timer->framework().loop().AddFd(timer->fd_.get(), EPOLLIN, [weak](uint32_t) {
            if (auto t = weak.lock()) t->OnExpired();
        }) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    timer->registered_ = true;
    if (NTSTATUS s = timer->AttachToParent(); !NT_SUCCESS(s)) return s;
    *out = timer;
    return STATUS_SUCCESS;
}

bool Timer::Start(int64_t dueTime) {
    if (IsDeleted()) return false;
    // Negative: relative, in 100-ns units. A positive (absolute) time is taken as relative as well.
    int64_t ns = std::max<int64_t>((dueTime < 0 ? -dueTime : dueTime) * 100, 1);
    const int64_t period = static_cast<int64_t>(config_.Period) * 1000000;
    TickGroup* group = period > 0 && ns == period ? framework().loop().Ticks(config_.Period) : nullptr;
    std::lock_guard lock(mutex_);
    bool was = started_;
    started_ = true;
    itimerspec spec{};
    if (!group) {
        spec.it_value = FromNanoseconds(ns);
        spec.it_interval = FromNanoseconds(period);
    }
    if (::timerfd_settime(fd_.get(), 0, &spec, nullptr) != 0)
        FrameworkTrace(TraceLevel::Error, "timer: timerfd_settime: %s", std::strerror(errno));
    if (group != group_) LeaveGroupLocked();
    if (group) {
        group_ = group;
        group_->Join(std::static_pointer_cast<Timer>(shared_from_this()));
    }
    return was;
}

void Timer::LeaveGroupLocked() {
    if (group_) group_->Leave(this);
    group_ = nullptr;
}

bool Timer::Stop(bool wait) {
    std::unique_lock lock(mutex_);
    bool was = started_;
    started_ = false;
    itimerspec off{};
    ::timerfd_settime(fd_.get(), 0, &off, nullptr);
    LeaveGroupLocked();
    // Ticks run on the loop thread: from there no other tick can be under way.
    if (wait && !framework().loop().IsLoopThread()) idle_.wait(lock, [&] { return !running_; });
    return was;
}

void Timer::OnExpired() {
    // However many periods went by while the loop was held up, the callback runs once: a tick that is
    // already due is not queued again. Missed ticks running back to back would make every countdown
    // expire early, before the input that arrived meanwhile has been seen.
    uint64_t expirations = 0;
    if (::read(fd_.get(), &expirations, sizeof(expirations)) != sizeof(expirations)) return;
    Tick();
}

void Timer::OnGroupTick() { Tick(); }

void Timer::Tick() {
    auto self = std::static_pointer_cast<Timer>(shared_from_this());
    auto keep = KeepAlive();
    {
        std::lock_guard lock(mutex_);
        if (!started_) return;
        if (config_.Period == 0) started_ = false;
        running_ = true;
    }
    config_.EvtTimerFunc(self);
    std::lock_guard lock(mutex_);
    running_ = false;
    idle_.notify_all();
}

void Timer::OnDelete() {
    Stop(true);
    framework().loop().RemoveFd(fd_.get());
    std::lock_guard lock(mutex_);
    registered_ = false;
}

} // namespace zelhart::drvfw
