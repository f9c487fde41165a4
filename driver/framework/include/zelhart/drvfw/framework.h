// The driver framework: the daemon's event loop, worker threads, object namespace and I/O manager,
// and the driver object they serve.
//
// A daemon runs:
//     Framework fw(options);
//     DriverEntry(fw, fw.RegistryPath());     // Driver::Create, tunables, ...
//     fw.AddDevice("ROOT\\ZELHARTDRIVER\\0000"); // EvtDriverDeviceAdd for each device node
//     fw.Listen();                             // <runtime dir>/zelhart.sock, for socketGroup
//     return fw.Run();                         // until SIGTERM or SIGINT
//
// Threads: every callback of the driver runs on the event loop thread (queue handlers, file create,
// cleanup and close, cancel callbacks of cancelled requests, timer ticks, completion routines,
// remove-complete callbacks, power callbacks), except work items, which run on the worker threads, and
// cancel callbacks of a purge, which run on the thread that purges. So the driver's per-device lock is
// contended only between the loop and the workers. Never wait (WorkItem::Flush, Timer::Stop(true),
// IoQueue::PurgeSynchronously) while holding a lock the awaited callback takes.
#pragma once

#include "zelhart/drvfw/event_loop.h"
#include "zelhart/drvfw/types.h"
#include "zelhart/drvfw/worker_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelhart::drvfw {

class ObjectNamespace;
class IoManager;

struct FrameworkOptions {
    std::string socketPath;   // empty: <runtime dir>/zelhart.sock
    std::string registryFile; // empty: <config dir>/<serviceName>.reg
    std::string serviceName = "ZelHartDriver";
    unsigned workerThreads = 4;
    // Run() takes SIGTERM and SIGINT (shutdown), SIGUSR1 (suspend), SIGUSR2 (resume) and SIGHUP (for
    // onSignal alone) through a signalfd. The signals are blocked from construction on, so that no
    // thread takes them by default and one sent before Run() waits for it.
    bool handleSignals = false;
    // Called on the loop thread for each of those signals, before the framework acts on it.
    std::function<void(int signo)> onSignal;

    // Connections of the socket. A program holds one per open handle (the interface library: one for
    // the function device and one per open HART device), so one user's share must fit 256 open HART
    // devices in each of two programs; the whole, several such users. A connection over either limit
    // is closed as soon as it is accepted.
    size_t maxConnections = 2048;
    size_t maxConnectionsPerUser = 640;
    // A connection that has not said hello by then is closed.
    std::chrono::milliseconds helloDeadline{3000};
    // Out of descriptors (EMFILE, ENFILE): the socket is not watched for so long, instead of being
    // found ready again and again while nothing can be accepted.
    std::chrono::milliseconds acceptPause{100};

    // Who may use the socket (zelhart/platform/socket_access.h): it is given to this group with this
    // mode, and each client is checked against the group. Empty, or a group the system does not
    // have: only the daemon's own user (and root); the socket is then made without group access.
    std::string socketGroup;
    unsigned socketMode = 0660;
};

class Framework {
  public:
    explicit Framework(FrameworkOptions options = {});
    ~Framework(); // shuts down if still serving
    Framework(const Framework&) = delete;
    Framework& operator=(const Framework&) = delete;

    const FrameworkOptions& options() const { return options_; }
    // "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>": the driver's service key.
    std::string RegistryPath() const;
    const std::string& RegistryFile() const { return registryFile_; }
    const std::string& SocketPath() const { return socketPath_; }

    // A device node bound to the driver: runs EvtDriverDeviceAdd (on the loop thread) with a Plug and
    // Play init record, then starts the device (its interfaces become visible). Not from a work item.
    NTSTATUS AddDevice(const std::string& instanceId);
    // The device node went away (surprise removal): the function device's self-managed I/O is flushed
    // and cleaned up, then the device is deleted. Its interfaces are gone at once; handles still open
    // on it stay valid, their waiting requests are cancelled and new ones fail with
    // STATUS_DELETE_PENDING until they are closed. STATUS_NO_SUCH_DEVICE when no device has that id.
    NTSTATUS RemoveDevice(const std::string& instanceId);
    // The instance IDs of the Plug and Play devices, in the order they were added.
    std::vector<std::string> DeviceInstanceIds() const;

    // Serves the socket. STATUS_OBJECT_NAME_COLLISION when another daemon already does.
    NTSTATUS Listen();
    // Who may use the socket, as the start line says it ("group zelhart, mode 0660"); after Listen.
    std::string SocketAccessText();

    int Run();              // serves on this thread until shutdown
    void Start();           // serves on a thread of its own
    void RequestShutdown(); // from anywhere; returns at once
    // Ends serving and waits: every handle is cleaned up and closed, every device deleted (PnP
    // devices get flush and cleanup of their self-managed I/O first), the driver unloaded.
    void Shutdown();

    // Self-managed I/O suspend and restart of every Plug and Play device, with its power-managed queues
    // stopped meanwhile. Run on the loop thread; wait for it.
    void Suspend();
    void Resume();
    bool IsSuspended() const { return suspended_; }

    // Runs `fn` on the loop thread and waits for it (at once when already there or when not serving).
    void RunOnLoop(const std::function<void()>& fn);

    EventLoop& loop() { return loop_; }
    WorkerPool& workers() { return *workers_; }
    WDFDRIVER GetDriver() const;

    // Framework-internal.
    std::mutex& ioLock() { return ioLock_; }
    std::condition_variable& ioChanged() { return ioChanged_; }
    ObjectNamespace& names() { return *names_; }
    NTSTATUS SetDriver(const WDFDRIVER& driver);
    void AddDeviceObject(const WDFDEVICE& device);
    void RemoveDeviceObject(const Device* device);
    std::vector<WDFDEVICE> Devices() const;

  private:
    void DoShutdown();
    void OnSignal();
    void DoSuspend(bool suspend);

    FrameworkOptions options_;
    std::string registryFile_;
    std::string socketPath_;
    EventLoop loop_;
    std::unique_ptr<WorkerPool> workers_;
    std::unique_ptr<ObjectNamespace> names_;
    std::unique_ptr<IoManager> ioManager_;
    platform::UniqueFd signalFd_;

    std::mutex ioLock_;
    std::condition_variable ioChanged_;

    mutable std::mutex mutex_; // guards the fields below
    std::condition_variable stopped_;
    WDFDRIVER driver_;
    std::vector<WDFDEVICE> devices_;
    bool shutDown_ = false;

    std::atomic<bool> running_{false};
    std::atomic<bool> suspended_{false};
    std::thread thread_;
};

} // namespace zelhart::drvfw
