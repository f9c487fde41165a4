// The link runner: operations on the worker, their user-interface calls on the user-interface
// thread, one operation at a time, abort, and a whole read of the document through it.
#include "core/link_runner.h"
#include "core/marshalled_services.h"

#include "fake_clock.h"
#include "recording_ui.h"
#include "temp_dir.h"

#include "hart/document.h"
#include "hart/strings.h"

#include <zelhart/hart_api.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/serial_port_map.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

namespace zelhart::ui {
namespace {

using namespace std::chrono_literals;

// The test's thread plays the user-interface thread: posted calls wait in a queue until it pumps.
class UiQueue {
  public:
    LinkRunner::PostToUi Poster() {
        return [this](LinkRunner::Call call) {
            {
                std::lock_guard lock(mutex_);
                calls_.push_back(std::move(call));
            }
            posted_.notify_all();
        };
    }
    // Runs posted calls until `until` holds; false when it did not within the deadline.
    template <class Pred> bool PumpUntil(Pred until, std::chrono::milliseconds deadline = 20s) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!until()) {
            LinkRunner::Call call;
            {
                std::unique_lock lock(mutex_);
                if (!posted_.wait_until(lock, end, [this] { return !calls_.empty(); })) return until();
                call = std::move(calls_.front());
                calls_.pop_front();
            }
            call();
        }
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<LinkRunner::Call> calls_;
};

TEST(LinkRunnerTest, OperationsRunOnTheWorkerAndTheirCallsOnTheUiThreadOneAtATime) {
    UiQueue ui;
    LinkRunner runner(ui.Poster());
    const auto uiThread = std::this_thread::get_id();
    std::vector<int> order;
    std::thread::id operationThread;
    bool done = false;
    ASSERT_TRUE(runner.Start(
        [&] {
            operationThread = std::this_thread::get_id();
            for (int i = 1; i <= 3; ++i)
                EXPECT_TRUE(runner.CallOnUi([&] {
                    EXPECT_EQ(std::this_thread::get_id(), uiThread);
                    order.push_back(i);
                }));
        },
        [&] {
            EXPECT_EQ(std::this_thread::get_id(), uiThread);
            EXPECT_FALSE(runner.Busy());
            done = true;
        }));
    EXPECT_TRUE(runner.Busy());
    EXPECT_FALSE(runner.Start([] { ADD_FAILURE() << "a second operation ran"; }));
    ASSERT_TRUE(ui.PumpUntil([&] { return done; }));
    EXPECT_NE(operationThread, uiThread);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(runner.CallOnUi([&] { order.push_back(4); })); // on the ui thread: at once
    EXPECT_EQ(order.size(), 4u);
    EXPECT_TRUE(runner.Start([] {}));
    runner.WaitUntilIdle();
    EXPECT_FALSE(runner.Busy());
}

TEST(LinkRunnerTest, AbortTakesBackACallNotYetRunAndEndsTheOperation) {
    UiQueue ui;
    LinkRunner runner(ui.Poster());
    std::atomic<bool> stopSeen{false};
    bool ran = false, done = false;
    std::atomic<int> result{-1};
    ASSERT_TRUE(runner.Start(
        [&] {
            result = runner.CallOnUi([&] { ran = true; }) ? 1 : 0; // nobody pumps: it waits
            stopSeen = runner.StopFlag().load();
            EXPECT_FALSE(runner.CallOnUi([&] { ran = true; })); // nothing runs once aborting
        },
        [&] { done = true; }));
    std::this_thread::sleep_for(20ms); // let the worker post its call (the test holds either way)
    runner.Abort();
    ASSERT_TRUE(ui.PumpUntil([&] { return done; }));
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(stopSeen);
    EXPECT_FALSE(runner.Aborting()); // cleared once the operation returned
    bool second = false;
    ASSERT_TRUE(runner.Start([&] { second = runner.CallOnUi([] {}); }));
    runner.WaitUntilIdle(); // runs the call itself
    EXPECT_TRUE(second);
}

TEST(LinkRunnerTest, DestructionDuringAnOperationAbortsAndWaitsForIt) {
    UiQueue ui;
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    {
        LinkRunner runner(ui.Poster());
        ASSERT_TRUE(runner.Start([&] {
            while (runner.CallOnUi([] {})) ++calls; // until the runner aborts
            returned = true;
        }));
        ui.PumpUntil([&] { return calls.load() >= 3; });
    }
    EXPECT_TRUE(returned);
    ui.PumpUntil([] { return false; }, 10ms); // posted leftovers do nothing once the runner is gone
}

// --- the document through the runner, against the simulator's transmitter in-process

class RunnerDocumentTest : public ::testing::Test {
  protected:
    RunnerDocumentTest()
        : runner(queue.Poster()), ui(runner, recording), wait(runner, recordedWait),
          doc(settings, ui, wait, clock) {
        ::setenv("ZELHART_RUNTIME_DIR", (dir / "run").c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", (dir / "etc").c_str(), 1);
        ::setenv(kInterfaceLibraryEnv, ZELHART_LOOPBACK, 1);
        std::ofstream(dir / "state.txt") << "format = 1\ndrift = 0\n";
        ::setenv("ZELHART_LOOPBACK_STATE", (dir / "state.txt").c_str(), 1);
        const std::string port = dir / "port1";
        std::ofstream(port).put('\0');
        EXPECT_EQ(platform::RegisterComPort(platform::PortsDir(), 1, port), 0);
        doc.SetUpdateHandler(MarshalledHints(runner, [this](int hint) {
            EXPECT_TRUE(runner.IsUiThread());
            hints.push_back(hint);
            if (hint == hart::kHintData) progress.push_back(doc.GetProgress());
            if (onHint) onHint(hint);
        }));
        doc.Transmitter().SetStopFlag(&runner.StopFlag());
    }
    ~RunnerDocumentTest() override {
        for (const char* v : {"ZELHART_RUNTIME_DIR", "ZELHART_CONFIG_DIR", kInterfaceLibraryEnv, "ZELHART_LOOPBACK_STATE"})
            ::unsetenv(v);
    }

    class NoWait : public hart::IProgressWait {
      public:
        void Wait(hart::ProgressWaitMode) override {}
    };

    testing::TempDir dir;
    UiQueue queue;
    LinkRunner runner;
    hart::testing::RecordingUi recording;
    NoWait recordedWait;
    MarshalledUi ui;
    MarshalledProgressWait wait;
    hart::MemorySettings settings;
    hart::testing::FakeClock clock;
    hart::CLrxDoc doc;
    std::vector<int> hints, progress;
    std::function<void(int)> onHint;
};

TEST_F(RunnerDocumentTest, AWholeReadSendsItsHintsInOrderOnTheUiThread) {
    bool done = false;
    int result = -1;
    ASSERT_TRUE(runner.Start([&] { result = doc.ReadFromDevice(); }, [&] { done = true; }));
    ASSERT_TRUE(queue.PumpUntil([&] { return done; }));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(hints, (std::vector<int>{4, 0, 0, 0, 0, 0, 0, 2, 0, 3}));
    EXPECT_EQ(progress, (std::vector<int>{16, 32, 48, 64, 80, 100, 0}));
    EXPECT_EQ(recording.Ids(), std::vector<int>{hart::str::kReceiveComplete});
    EXPECT_EQ(recording.waitDepth, 0);
    EXPECT_EQ(doc.Transmitter().GetTag(), u"TT-101  ");
}

TEST_F(RunnerDocumentTest, AnAbortedReadSendsNothingMoreAndShowsNothing) {
    size_t sleepsAtAbort = 0;
    onHint = [&](int hint) {
        if (hint != hart::kHintData || doc.GetProgress() != 32) return;
        runner.Abort(); // the window closes
        sleepsAtAbort = clock.sleeps.size();
    };
    bool done = false;
    ASSERT_TRUE(runner.Start([&] { doc.ReadFromDevice(); }, [&] { done = true; }));
    ASSERT_TRUE(queue.PumpUntil([&] { return done; }));
    EXPECT_EQ(hints, (std::vector<int>{4, 0, 0})); // nothing reached the window after the abort
    EXPECT_TRUE(recording.shown.empty());
    // No transaction after the abort: each would have slept before its first poll.
    EXPECT_GT(sleepsAtAbort, 0u);
    EXPECT_EQ(clock.sleeps.size(), sleepsAtAbort);
    EXPECT_FALSE(doc.Transmitter().IsLinkOpen());
}

} // namespace
} // namespace zelhart::ui
