#include "tick_group.h"

#include "zelhart/drvfw/event_loop.h"
#include "zelhart/drvfw/timer.h"

#include <algorithm>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace zelhart::drvfw {

TickGroup::TickGroup(EventLoop& loop, uint32_t periodMs)
    : loop_(loop), periodMs_(periodMs), fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
    if (fd_ && loop_.AddFd(fd_.get(), EPOLLIN, [this](uint32_t) { OnTick(); }) == 0) registered_ = true;
}

TickGroup::~TickGroup() {
    if (registered_) loop_.RemoveFd(fd_.get());
}

void TickGroup::ArmLocked(bool on) {
    itimerspec spec{};
    if (on) {
        const long ns = static_cast<long>(periodMs_) * 1'000'000L;
        spec.it_value = timespec{ns / 1'000'000'000L, ns % 1'000'000'000L};
        spec.it_interval = spec.it_value;
    }
    ::timerfd_settime(fd_.get(), 0, &spec, nullptr);
}

void TickGroup::Join(const std::shared_ptr<Timer>& timer) {
    std::lock_guard lock(mutex_);
    if (std::find(keys_.begin(), keys_.end(), timer.get()) != keys_.end()) return;
    members_.push_back(timer);
    keys_.push_back(timer.get());
    if (members_.size() == 1) ArmLocked(true);
}

void TickGroup::Leave(const Timer* timer) {
    std::lock_guard lock(mutex_);
    auto it = std::find(keys_.begin(), keys_.end(), timer);
    if (it == keys_.end()) return;
    size_t i = static_cast<size_t>(it - keys_.begin());
    members_[i] = std::move(members_.back());
    keys_[i] = keys_.back();
    members_.pop_back();
    keys_.pop_back();
    if (members_.empty()) ArmLocked(false);
}

void TickGroup::OnTick() {
    // However many periods went by while the loop was held up, each member ticks once: after the
    // other events the loop woke up for, so input that arrived before the tick is taken in first.
    uint64_t expirations = 0;
    if (::read(fd_.get(), &expirations, sizeof(expirations)) != sizeof(expirations)) return;
    loop_.Post([this] { RunDue(); });
}

void TickGroup::RunDue() {
    due_.clear();
    {
        std::lock_guard lock(mutex_);
        for (const auto& weak : members_)
            if (auto timer = weak.lock()) due_.push_back(std::move(timer));
    }
    for (const auto& timer : due_) timer->OnGroupTick();
    due_.clear();
}

} // namespace zelhart::drvfw
