// The program's one way to the transmitter: every operation that uses the HART link (reading,
// sending, checking the connection, releasing the link, the monitoring polls) runs on one worker
// thread, one at a time, so that the window keeps painting while a whole read takes its 12 s.
//
// An operation reaches the user interface only through CallOnUi, which runs the call on the
// user-interface thread and waits for it. So the model is written by one thread at a time and read
// by the user interface only while the worker waits: no lock is needed around it.
//
// Free of Qt: the program hands in how to queue a call to its user-interface thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zelhart::ui {

class LinkRunner {
  public:
    using Call = std::function<void()>;
    // Queues `call` to run on the user-interface thread; called from the worker.
    using PostToUi = std::function<void(Call call)>;

    // Construct on the user-interface thread.
    explicit LinkRunner(PostToUi post);
    // Aborts a running operation, waits until it has returned (without running its `done`), ends
    // the worker.
    ~LinkRunner();
    LinkRunner(const LinkRunner&) = delete;
    LinkRunner& operator=(const LinkRunner&) = delete;

    // User-interface thread. Starts `operation` on the worker; `done` runs on the user-interface
    // thread after it returned. False, and nothing started, while another operation runs.
    bool Start(Call operation, Call done = {});
    // User-interface thread: from Start until just before `done` runs.
    bool Busy() const { return busy_; }

    // Runs `call` on the user-interface thread and returns when it has run there (at once when
    // called on that thread). From the worker, after Abort: returns false without running it.
    bool CallOnUi(const Call& call);

    // Any thread. The running operation is to end after its current transaction: StopFlag() is set
    // (the transmitter sends nothing more) and CallOnUi runs nothing more until it has returned.
    void Abort();
    bool Aborting() const { return stop_.load(); }
    const std::atomic<bool>& StopFlag() const { return stop_; }

    // User-interface thread: waits until no operation runs, running the operation's user-interface
    // calls and then its `done` meanwhile. Not from inside such a call.
    void WaitUntilIdle();

    bool IsUiThread() const { return std::this_thread::get_id() == uiThread_; }

  private:
    void WorkerLoop();
    void RunPendingCall(std::unique_lock<std::mutex>& lock);
    void FinishOnUi();

    PostToUi post_;
    const std::thread::id uiThread_;
    // Posted calls hold it weakly: once the runner is gone they do nothing. The worker copies the
    // weak reference, which never changes, while the destructor drops the token.
    std::shared_ptr<int> token_ = std::make_shared<int>(0);
    const std::weak_ptr<int> weakToken_ = token_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    bool quit_ = false;
    Call job_;                     // handed to the worker
    bool jobFinished_ = false;     // the operation returned, its `done` has not run yet
    const Call* call_ = nullptr;   // the worker's call waiting for the user-interface thread
    bool callRunning_ = false;
    bool callDone_ = false;

    // User-interface thread only.
    bool busy_ = false;
    Call done_;

    std::thread worker_; // last: starts when everything above exists
};

} // namespace zelhart::ui
