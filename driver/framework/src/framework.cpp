#include "zelhart/drvfw/framework.h"

#include "io_manager.h"
#include "object_namespace.h"
#include "zelhart/drvfw/device.h"
#include "zelhart/drvfw/driver.h"
#include "zelhart/drvfw/io_queue.h"
#include "zelhart/drvfw/trace.h"
#include "zelhart/platform/iomgr_protocol.h"
#include "zelhart/platform/runtime_dir.h"

#include <csignal>
#include <future>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace zelhart::drvfw {
namespace {

sigset_t HandledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

Framework::Framework(FrameworkOptions options) : options_(std::move(options)) {
    registryFile_ = options_.registryFile.empty()
                        ? platform::ConfigDir() + "/" + options_.serviceName + ".reg"
                        : options_.registryFile;
    socketPath_ = options_.socketPath.empty() ? platform::iomgr::SocketPath() : options_.socketPath;
    if (options_.handleSignals) {
        // Before any thread starts, so that every thread inherits the mask and only the signalfd sees them.
        sigset_t set = HandledSignals();
        ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
    }
    workers_ = std::make_unique<WorkerPool>(options_.workerThreads);
    names_ = std::make_unique<ObjectNamespace>();
    ioManager_ = std::make_unique<IoManager>(*this);
}

Framework::~Framework() {
    Shutdown();
    workers_->Shutdown();
    ioManager_.reset();
}

std::string Framework::RegistryPath() const {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + options_.serviceName;
}

NTSTATUS Framework::SetDriver(const WDFDRIVER& driver) {
    std::lock_guard lock(mutex_);
    if (driver_) return STATUS_OBJECT_NAME_COLLISION;
    driver_ = driver;
    return STATUS_SUCCESS;
}

WDFDRIVER Framework::GetDriver() const {
    std::lock_guard lock(mutex_);
    return driver_;
}

void Framework::AddDeviceObject(const WDFDEVICE& device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(device);
}

void Framework::RemoveDeviceObject(const Device* device) {
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [&](const WDFDEVICE& d) { return d.get() == device; });
}

std::vector<WDFDEVICE> Framework::Devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

NTSTATUS Framework::AddDevice(const std::string& instanceId) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunOnLoop([&] {
        WDFDRIVER driver = GetDriver();
        if (!driver || !driver->config().EvtDriverDeviceAdd) {
            status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        auto byId = [&] {
            for (auto& d : Devices())
                if (!d->IsControlDevice() && d->InstanceId() == instanceId) return d;
            return WDFDEVICE();
        };
        if (byId()) {
            status = STATUS_OBJECT_NAME_COLLISION;
            return;
        }
        PWDFDEVICE_INIT init = std::make_unique<DeviceInit>(driver, false, instanceId);
        status = driver->config().EvtDriverDeviceAdd(driver, init);
        WDFDEVICE device = byId();
        if (!NT_SUCCESS(status)) {
            if (device) device->Delete();
            return;
        }
        if (!device) {
            FrameworkTrace(TraceLevel::Error, "device add for %s created no device", instanceId.c_str());
            return;
        }
        device->MarkStarted();
    });
    return status;
}

NTSTATUS Framework::RemoveDevice(const std::string& instanceId) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnLoop([&] {
        for (auto& d : Devices()) {
            if (d->IsControlDevice() || d->IsDeleted() || d->InstanceId() != instanceId) continue;
            auto keep = d->KeepAlive();
            if (d->pnpPower().EvtDeviceSelfManagedIoFlush) d->pnpPower().EvtDeviceSelfManagedIoFlush(d);
            if (d->pnpPower().EvtDeviceSelfManagedIoCleanup) d->pnpPower().EvtDeviceSelfManagedIoCleanup(d);
            d->Delete();
            status = STATUS_SUCCESS;
        }
    });
    return status;
}

std::vector<std::string> Framework::DeviceInstanceIds() const {
    std::vector<std::string> ids;
    for (auto& d : Devices())
        if (!d->IsControlDevice() && !d->IsDeleted()) ids.push_back(d->InstanceId());
    return ids;
}

NTSTATUS Framework::Listen() {
    NTSTATUS status;
    RunOnLoop([&] { status = ioManager_->Listen(socketPath_); });
    return status;
}

std::string Framework::SocketAccessText() {
    std::string text;
    RunOnLoop([&] { text = ioManager_->AccessText(); });
    return text;
}

int Framework::Run() {
    if (options_.handleSignals) {
        sigset_t set = HandledSignals();
        signalFd_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
        if (signalFd_) loop_.AddFd(signalFd_.get(), EPOLLIN, [this](uint32_t) { OnSignal(); });
    }
    running_ = true;
    loop_.Run();
    if (signalFd_) {
        loop_.RemoveFd(signalFd_.get());
        signalFd_.reset();
    }
    std::lock_guard lock(mutex_);
    running_ = false;
    stopped_.notify_all();
    return 0;
}

void Framework::Start() {
    std::promise<void> started;
    auto ready = started.get_future();
    loop_.Post([&started] { started.set_value(); });
    thread_ = std::thread([this] { Run(); });
    ready.wait();
}

void Framework::RequestShutdown() {
    loop_.Post([this] { DoShutdown(); });
}

void Framework::Shutdown() {
    if (loop_.IsLoopThread()) return DoShutdown();
    if (running_) {
        RequestShutdown();
        std::unique_lock lock(mutex_);
        stopped_.wait(lock, [&] { return !running_; });
    } else {
        DoShutdown(); // never served: tear down here
    }
    if (thread_.joinable()) thread_.join();
}

void Framework::DoShutdown() {
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) return;
        shutDown_ = true;
    }
    ioManager_->CloseAll();
    auto devices = Devices();
    for (auto& d : devices) {
        if (d->IsControlDevice() || d->IsDeleted()) continue;
        auto keep = d->KeepAlive();
        if (d->pnpPower().EvtDeviceSelfManagedIoFlush) d->pnpPower().EvtDeviceSelfManagedIoFlush(d);
        if (d->pnpPower().EvtDeviceSelfManagedIoCleanup) d->pnpPower().EvtDeviceSelfManagedIoCleanup(d);
    }
    for (auto& d : devices)
        if (!d->IsControlDevice()) d->Delete();
    for (auto it = devices.rbegin(); it != devices.rend(); ++it)
        (*it)->Delete(); // what the driver left
    devices.clear();
    if (WDFDRIVER driver = GetDriver()) {
        if (driver->config().EvtDriverUnload) driver->config().EvtDriverUnload(driver);
        driver->Delete();
        std::lock_guard lock(mutex_);
        driver_.reset();
    }
    loop_.Quit();
}

void Framework::OnSignal() {
    signalfd_siginfo info;
    while (::read(signalFd_.get(), &info, sizeof(info)) == sizeof(info)) {
        int signo = static_cast<int>(info.ssi_signo);
        if (options_.onSignal) options_.onSignal(signo);
        if (signo == SIGTERM || signo == SIGINT)
            DoShutdown();
        else if (signo == SIGUSR1)
            DoSuspend(true);
        else if (signo == SIGUSR2)
            DoSuspend(false);
        if (!signalFd_) return;
    }
}

void Framework::Suspend() {
    RunOnLoop([this] { DoSuspend(true); });
}

void Framework::Resume() {
    RunOnLoop([this] { DoSuspend(false); });
}

void Framework::DoSuspend(bool suspend) {
    if (suspended_ == suspend) return;
    suspended_ = suspend;
    for (auto& d : Devices()) {
        if (d->IsControlDevice() || d->IsDeleted()) continue;
        auto keep = d->KeepAlive();
        const auto& pnp = d->pnpPower();
        if (suspend) {
            for (auto& q : d->Queues())
                if (q->config().PowerManaged) q->Stop();
            if (pnp.EvtDeviceSelfManagedIoSuspend) {
                NTSTATUS s = pnp.EvtDeviceSelfManagedIoSuspend(d);
                if (!NT_SUCCESS(s))
                    FrameworkTrace(TraceLevel::Error, "suspend of %s failed: 0x%X", d->InstanceId().c_str(),
                                   static_cast<unsigned>(s));
            }
        } else {
            if (pnp.EvtDeviceSelfManagedIoRestart) {
                NTSTATUS s = pnp.EvtDeviceSelfManagedIoRestart(d);
                if (!NT_SUCCESS(s))
                    FrameworkTrace(TraceLevel::Error, "restart of %s failed: 0x%X", d->InstanceId().c_str(),
                                   static_cast<unsigned>(s));
            }
            for (auto& q : d->Queues())
                if (q->config().PowerManaged) q->Start();
        }
    }
}

void Framework::RunOnLoop(const std::function<void()>& fn) {
    if (!running_ || loop_.IsLoopThread()) return fn();
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    loop_.Post([&fn, done] {
        fn();
        done->set_value();
    });
    future.wait(); // a loop that quits first drops the task, which breaks the promise: no hang
}

} // namespace zelhart::drvfw
