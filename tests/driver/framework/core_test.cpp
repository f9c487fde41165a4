// The event loop, timers, work items and object deletion.
#include "framework_fixture.h"

#include <algorithm>
#include <mutex>
#include <sys/epoll.h>
#include <sys/eventfd.h>

using namespace zelhart::drvfw;
using namespace zelhart::testing;

namespace {

struct Flagged {
    std::shared_ptr<std::atomic<bool>> destroyed = std::make_shared<std::atomic<bool>>(false);
    ~Flagged() { *destroyed = true; }
};

// A framework with a driver and one control device to parent timers and work items.
class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fw_ = std::make_unique<Framework>(FrameworkOptions{});
        ASSERT_EQ(Driver::Create(*fw_, fw_->RegistryPath(), {}, {}, &driver_), STATUS_SUCCESS);
        PWDFDEVICE_INIT init = DeviceInit::ControlDeviceInitAllocate(driver_, "");
        ASSERT_EQ(init->AssignName("\\Device\\Core"), STATUS_SUCCESS);
        ASSERT_EQ(Device::Create(init, ObjectAttributes::WithContext<Flagged>(), &device_), STATUS_SUCCESS);
        fw_->Start();
    }
    void TearDown() override {
        device_.reset();
        driver_.reset();
        fw_->Shutdown();
    }
    ObjectAttributes Child() {
        ObjectAttributes a;
        a.ParentObject = device_;
        return a;
    }

    std::unique_ptr<Framework> fw_;
    WDFDRIVER driver_;
    WDFDEVICE device_;
};

} // namespace

TEST(EventLoop, RunsPostedTasksInOrderAndDescriptorHandlers) {
    EventLoop loop;
    std::vector<int> order;
    zelhart::platform::UniqueFd efd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    ASSERT_EQ(loop.AddFd(efd.get(), EPOLLIN,
                         [&](uint32_t) {
                             uint64_t v;
                             (void)!::read(efd.get(), &v, sizeof(v));
                             order.push_back(3);
                             loop.RemoveFd(efd.get());
                             loop.Quit();
                         }),
              0);
    EXPECT_EQ(loop.AddFd(efd.get(), EPOLLIN, [](uint32_t) {}), EEXIST);
    loop.Post([&] { order.push_back(1); });
    loop.Post([&] {
        order.push_back(2);
        uint64_t one = 1;
        (void)!::write(efd.get(), &one, sizeof(one));
    });
    std::thread runner([&] { loop.Run(); });
    runner.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(CoreTest, APeriodicTimerTicksEvery10MsUntilStopped) {
    std::atomic<int> ticks{0};
    std::atomic<bool> onLoop{true};
    WDFTIMER timer;
    ASSERT_EQ(Timer::Create({[&](WDFTIMER) {
                                 ticks++;
                                 if (!fw_->loop().IsLoopThread()) onLoop = false;
                             },
                             10},
                            Child(), &timer),
              STATUS_SUCCESS);
    EXPECT_FALSE(timer->Start(WDF_REL_TIMEOUT_IN_MS(10)));
    EXPECT_TRUE(timer->Start(WDF_REL_TIMEOUT_IN_MS(10))); // already running: restarted
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 10; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_TRUE(onLoop);
    EXPECT_TRUE(timer->Stop(true));
    int stoppedAt = ticks;
    EXPECT_FALSE(timer->Stop(true));
    fw_->RunOnLoop([] {}); // an expiry already fetched would have run by now
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks, stoppedAt);
    timer->Start(WDF_REL_TIMEOUT_IN_MS(10));
    EXPECT_TRUE(WaitUntil([&] { return ticks >= stoppedAt + 3; }));
}

TEST_F(CoreTest, ALoopHeldUpForTenPeriodsGetsOneTickNotABurst) {
    using Clock = std::chrono::steady_clock;
    std::mutex m;
    std::vector<Clock::time_point> at;
    Clock::time_point heldUntil;
    WDFTIMER timer;
    ASSERT_EQ(Timer::Create({[&](WDFTIMER) {
                                 std::lock_guard lock(m);
                                 at.push_back(Clock::now());
                                 if (at.size() == 3) {
                                     std::this_thread::sleep_for(100ms);
                                     heldUntil = Clock::now();
                                 }
                             },
                             10},
                            Child(), &timer),
              STATUS_SUCCESS);
    timer->Start(WDF_REL_TIMEOUT_IN_MS(10));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m);
        return at.size() >= 12;
    }));
    timer->Stop(true);
    std::lock_guard lock(m);
    // Ten periods were missed; without coalescing they would all run within the next millisecond.
    auto soon = std::count_if(at.begin() + 3, at.end(), [&](auto t) { return t <= heldUntil + 50ms; });
    EXPECT_LE(soon, 7);
}

TEST_F(CoreTest, PeriodicTimersOfOnePeriodTickTogetherOnOneGrid) {
    using Clock = std::chrono::steady_clock;
    std::mutex m;
    std::vector<Clock::time_point> at[2];
    WDFTIMER timers[2];
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(Timer::Create({[&, i](WDFTIMER) {
                                     std::lock_guard lock(m);
                                     at[i].push_back(Clock::now());
                                 },
                                 10},
                                Child(), &timers[i]),
                  STATUS_SUCCESS);
    timers[0]->Start(WDF_REL_TIMEOUT_IN_MS(10));
    std::this_thread::sleep_for(5ms); // half a period out of phase, had each its own timerfd
    timers[1]->Start(WDF_REL_TIMEOUT_IN_MS(10));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m);
        return at[1].size() >= 6;
    }));
    timers[0]->Stop(true);
    timers[1]->Stop(true);
    std::lock_guard lock(m);
    // One wake-up runs both: a tick of the second timer is a tick of the first one as well (apart from
    // a loop thread preempted between the two callbacks on a loaded machine).
    auto together = std::count_if(at[1].begin(), at[1].end(), [&](auto t) {
        return std::any_of(at[0].begin(), at[0].end(), [&](auto u) { return t - u < 1ms && u - t < 1ms; });
    });
    EXPECT_GE(together * 2, static_cast<long>(at[1].size())) << together << " of " << at[1].size();
}

TEST_F(CoreTest, AOneShotTimerFiresOnce) {
    std::atomic<int> ticks{0};
    WDFTIMER timer;
    ASSERT_EQ(Timer::Create({[&](WDFTIMER) { ticks++; }, 0}, Child(), &timer), STATUS_SUCCESS);
    timer->Start(WDF_REL_TIMEOUT_IN_MS(5));
    ASSERT_TRUE(WaitUntil([&] { return ticks == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(timer->Stop(false));
}

TEST_F(CoreTest, StoppingWithWaitWaitsForTheTickUnderWay) {
    std::atomic<bool> inTick{false}, release{false}, tickDone{false};
    WDFTIMER timer;
    ASSERT_EQ(Timer::Create({[&](WDFTIMER) {
                                 inTick = true;
                                 while (!release)
                                     std::this_thread::yield();
                                 tickDone = true;
                             },
                             10},
                            Child(), &timer),
              STATUS_SUCCESS);
    timer->Start(WDF_REL_TIMEOUT_IN_MS(1));
    ASSERT_TRUE(WaitUntil([&] { return inTick.load(); }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        timer->Stop(true);
        stopped = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(stopped); // still inside the tick
    release = true;
    stopper.join();
    EXPECT_TRUE(tickDone);
}

TEST_F(CoreTest, AWorkItemRunsOnAWorkerNeverTwiceAtOnceAndCoalesces) {
    std::atomic<int> runs{0}, concurrent{0}, maxConcurrent{0};
    std::atomic<bool> release{false}, onWorker{true};
    WDFWORKITEM item;
    ASSERT_EQ(WorkItem::Create({[&](WDFWORKITEM) {
                                   int now = ++concurrent;
                                   maxConcurrent = std::max(maxConcurrent.load(), now);
                                   if (!fw_->workers().IsWorkerThread()) onWorker = false;
                                   runs++;
                                   while (!release)
                                       std::this_thread::yield();
                                   --concurrent;
                               }},
                               Child(), &item),
              STATUS_SUCCESS);
    item->Enqueue();
    ASSERT_TRUE(WaitUntil([&] { return runs == 1; }));
    item->Enqueue(); // while running: runs once more afterwards
    item->Enqueue(); // already waiting: nothing more
    release = true;
    item->Flush();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(maxConcurrent, 1);
    EXPECT_TRUE(onWorker);
}

TEST_F(CoreTest, FlushInsideTheItemsOwnCallbackReturns) {
    std::atomic<int> runs{0};
    WDFWORKITEM item;
    ASSERT_EQ(WorkItem::Create({[&](WDFWORKITEM self) {
                                   self->Flush();
                                   runs++;
                               }},
                               Child(), &item),
              STATUS_SUCCESS);
    item->Enqueue();
    item->Flush();
    EXPECT_EQ(runs, 1);
}

TEST_F(CoreTest, DeletingADeviceStopsItsTimerFlushesItsWorkAndReleasesItsContext) {
    std::atomic<int> ticks{0}, work{0};
    std::atomic<bool> release{false};
    WDFTIMER timer;
    WDFWORKITEM item;
    ASSERT_EQ(Timer::Create({[&](WDFTIMER) { ticks++; }, 10}, Child(), &timer), STATUS_SUCCESS);
    ASSERT_EQ(WorkItem::Create({[&](WDFWORKITEM) {
                                   while (!release)
                                       std::this_thread::yield();
                                   work++;
                               }},
                               Child(), &item),
              STATUS_SUCCESS);
    auto destroyed = device_->GetContext<Flagged>()->destroyed;
    timer->Start(WDF_REL_TIMEOUT_IN_MS(10));
    ASSERT_TRUE(WaitUntil([&] { return ticks > 0; }));
    item->Enqueue();
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        release = true;
    });
    device_->Delete(); // waits for the running work item
    releaser.join();
    EXPECT_EQ(work, 1);
    EXPECT_TRUE(timer->IsDeleted() && item->IsDeleted());
    EXPECT_TRUE(*destroyed);
    EXPECT_EQ(device_->GetContext<Flagged>(), nullptr);
    int at = ticks;
    fw_->RunOnLoop([] {});
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks, at);
    item->Enqueue(); // a deleted work item does not run
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(work, 1);
    EXPECT_FALSE(timer->Start(WDF_REL_TIMEOUT_IN_MS(1)));
}

TEST_F(CoreTest, NamesCollideAndLinksNeedALinkPrefix) {
    PWDFDEVICE_INIT init = DeviceInit::ControlDeviceInitAllocate(driver_, "");
    init->AssignName("\\device\\CORE"); // names do not depend on case
    WDFDEVICE twin;
    EXPECT_EQ(Device::Create(init, {}, &twin), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(init); // not consumed
    EXPECT_EQ(device_->CreateSymbolicLink("\\DosDevices\\CORE1"), STATUS_SUCCESS);
    EXPECT_EQ(device_->CreateSymbolicLink("\\??\\core1"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(device_->CreateSymbolicLink("CORE2"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(device_->CreateDeviceInterface(kTestInterface),
              STATUS_INVALID_DEVICE_REQUEST); // control device
    EXPECT_EQ(device_->DeleteSymbolicLink("\\DosDevices\\CORE1"), STATUS_SUCCESS);
    EXPECT_EQ(device_->DeleteSymbolicLink("\\DosDevices\\CORE1"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(WaitLock, ATimedAcquireGivesUpWhileAnotherThreadHoldsIt) {
    WDFWAITLOCK lock;
    ASSERT_EQ(WaitLock::Create(&lock), STATUS_SUCCESS);
    lock->Acquire();
    std::atomic<NTSTATUS> tried{STATUS_PENDING}, waited{STATUS_PENDING};
    std::thread other([&] {
        int64_t now = 0, brief = WDF_REL_TIMEOUT_IN_MS(5);
        tried = lock->Acquire(&now);
        waited = lock->Acquire(&brief);
    });
    other.join();
    EXPECT_EQ(tried, STATUS_TIMEOUT);
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    lock->Release();
    std::thread again([&] {
        int64_t now = 0;
        tried = lock->Acquire(&now);
        if (tried == STATUS_SUCCESS) lock->Release();
    });
    again.join();
    EXPECT_EQ(tried, STATUS_SUCCESS);
}
