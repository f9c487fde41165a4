#include "test_driver.h"

#include <algorithm>
#include <cstring>

namespace zelhart::testing {

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(EchoContext, EchoGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TickContext, TickGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DriverContext, DriverGetContext)

namespace {

TestDriverLog* LogOf(const WDFDEVICE& device) {
    return DriverGetContext(device->GetDriver())->log;
}

// Moves buffered bytes into a read; the device lock is held.
void FillRead(EchoContext* ctx, const WDFREQUEST& read) {
    void* buffer;
    size_t length;
    if (!NT_SUCCESS(read->RetrieveOutputBuffer(1, &buffer, &length)))
        return read->Complete(STATUS_INVALID_PARAMETER);
    size_t n = std::min(length, ctx->data.size());
    std::copy_n(ctx->data.begin(), n, static_cast<uint8_t*>(buffer));
    ctx->data.erase(ctx->data.begin(), ctx->data.begin() + static_cast<std::ptrdiff_t>(n));
    read->CompleteWithInformation(STATUS_SUCCESS, n);
}

void EchoRead(WDFQUEUE queue, WDFREQUEST request, size_t) {
    auto* ctx = EchoGetContext(queue->GetDevice());
    std::lock_guard lock(ctx->lock);
    if (!ctx->data.empty()) return FillRead(ctx, request);
    if (NTSTATUS s = request->ForwardToIoQueue(ctx->readWait); !NT_SUCCESS(s)) request->Complete(s);
}

void EchoWrite(WDFQUEUE queue, WDFREQUEST request, size_t length) {
    WDFDEVICE device = queue->GetDevice();
    auto* ctx = EchoGetContext(device);
    TestDriverLog* log = LogOf(device);
    std::lock_guard lock(ctx->lock);
    log->writesSeen++;
    int inDriver = ++ctx->writesInDriver;
    log->maxConcurrentWrites = std::max(log->maxConcurrentWrites.load(), inDriver);
    void* buffer;
    if (!NT_SUCCESS(request->RetrieveInputBuffer(1, &buffer, nullptr)))
        return request->Complete(STATUS_INVALID_PARAMETER);
    auto* bytes = static_cast<const uint8_t*>(buffer);
    if (length == 4 && std::memcmp(bytes, "hold", 4) == 0) {
        ctx->heldWrite = request; // completed by IOCTL_TEST_RELEASE; the sequential queue waits meanwhile
        return;
    }
    ctx->data.insert(ctx->data.end(), bytes, bytes + length);
    ctx->writesInDriver--;
    request->CompleteWithInformation(STATUS_SUCCESS, length);
    WDFREQUEST waiting;
    while (!ctx->data.empty() && NT_SUCCESS(ctx->readWait->RetrieveNextRequest(&waiting)))
        FillRead(ctx, waiting);
}

void CanceledOnQueue(WDFQUEUE queue, WDFREQUEST request) {
    LogOf(queue->GetDevice())->canceledOnQueue++;
    request->Complete(STATUS_CANCELLED);
}

void EchoIoctl(WDFQUEUE queue, WDFREQUEST request, size_t outLength, size_t inLength, uint32_t code) {
    auto* ctx = EchoGetContext(queue->GetDevice());
    switch (code) {
    case IOCTL_TEST_ECHO: {
        void *in = nullptr, *out = nullptr;
        if (inLength) request->RetrieveInputBuffer(1, &in, nullptr);
        if (outLength) request->RetrieveOutputBuffer(1, &out, nullptr);
        size_t n = std::min(inLength, outLength);
        // METHOD_BUFFERED: input and output are one buffer, so the echo is already in place.
        return request->CompleteWithInformation(STATUS_SUCCESS, n);
    }
    case IOCTL_TEST_RELEASE: {
        WDFREQUEST held;
        {
            std::lock_guard lock(ctx->lock);
            held.swap(ctx->heldWrite);
            if (held) ctx->writesInDriver--;
        }
        if (held) held->CompleteWithInformation(STATUS_SUCCESS, 4);
        return request->Complete(held ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    case IOCTL_TEST_REVERSE_READS: {
        std::vector<WDFREQUEST> reads;
        WDFREQUEST r;
        while (NT_SUCCESS(ctx->readWait->RetrieveNextRequest(&r)))
            reads.push_back(r);
        for (size_t i = reads.size(); i-- > 0;) {
            void* buffer;
            if (NT_SUCCESS(reads[i]->RetrieveOutputBuffer(1, &buffer, nullptr)))
                static_cast<uint8_t*>(buffer)[0] = static_cast<uint8_t>(i);
            reads[i]->CompleteWithInformation(STATUS_SUCCESS, 1);
        }
        return request->CompleteWithInformation(STATUS_SUCCESS, 0);
    }
    case IOCTL_TEST_PURGE_READS:
        ctx->readWait->PurgeSynchronously();
        ctx->readWait->Start();
        return request->Complete(STATUS_SUCCESS);
    case IOCTL_TEST_STOP_READS:
        ctx->readQueue->Stop();
        return request->Complete(STATUS_SUCCESS);
    case IOCTL_TEST_START_READS:
        ctx->readQueue->Start();
        return request->Complete(STATUS_SUCCESS);
    case IOCTL_TEST_SUBSCRIBE: {
        void* in;
        if (NTSTATUS s = request->RetrieveInputBuffer(4, &in, nullptr); !NT_SUCCESS(s))
            return request->Complete(s);
        uint32_t handle;
        std::memcpy(&handle, in, 4);
        PKEVENT event;
        NTSTATUS s = request->ReferenceEventByHandle(handle, &event);
        if (NT_SUCCESS(s)) {
            std::lock_guard lock(ctx->lock);
            ctx->subscribed = event;
        }
        return request->Complete(s);
    }
    case IOCTL_TEST_SIGNAL: {
        PKEVENT event;
        {
            std::lock_guard lock(ctx->lock);
            event.swap(ctx->subscribed);
        }
        if (event) event->Set();
        return request->Complete(event ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    case IOCTL_TEST_WAITING_READS: {
        void* out;
        if (NTSTATUS s = request->RetrieveOutputBuffer(4, &out, nullptr); !NT_SUCCESS(s))
            return request->Complete(s);
        uint32_t n = ctx->readWait->GetState().QueueRequests;
        std::memcpy(out, &n, 4);
        return request->CompleteWithInformation(STATUS_SUCCESS, 4);
    }
    default:
        return request->Complete(STATUS_NOT_SUPPORTED);
    }
}

void CountCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT) {
    LogOf(device)->creates++;
    request->Complete(STATUS_SUCCESS);
}

void EchoCleanup(WDFFILEOBJECT file) {
    WDFDEVICE device = file->GetDevice();
    LogOf(device)->cleanups++;
    EchoGetContext(device)->readWait->Purge();
}

void CountClose(WDFFILEOBJECT file) {
    LogOf(file->GetDevice())->closes++;
}

void TickTimer(WDFTIMER timer) {
    auto device = std::static_pointer_cast<Device>(timer->GetParentObject());
    auto* ctx = TickGetContext(device);
    std::lock_guard lock(ctx->lock);
    ctx->ticks++;
    WDFREQUEST read;
    if (!NT_SUCCESS(ctx->readWait->RetrieveNextRequest(&read))) return;
    void* buffer;
    if (!NT_SUCCESS(read->RetrieveOutputBuffer(4, &buffer, nullptr)))
        return read->Complete(STATUS_BUFFER_TOO_SMALL);
    std::memcpy(buffer, &ctx->ticks, 4);
    read->CompleteWithInformation(STATUS_SUCCESS, 4);
}

void TickCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT) {
    TickGetContext(device)->timer->Start(WDF_REL_TIMEOUT_IN_MS(10));
    request->Complete(STATUS_SUCCESS);
}

void TickCleanup(WDFFILEOBJECT file) {
    auto* ctx = TickGetContext(file->GetDevice());
    ctx->timer->Stop(true);
    ctx->readWait->Purge();
}

void TickRead(WDFQUEUE queue, WDFREQUEST request, size_t) {
    auto* ctx = TickGetContext(queue->GetDevice());
    if (NTSTATUS s = request->ForwardToIoQueue(ctx->readWait); !NT_SUCCESS(s)) request->Complete(s);
}

NTSTATUS CreateControlDevice(const WDFDRIVER& driver, const char* name, const char* link, bool exclusive,
                             const FileObjectConfig& files, const ObjectAttributes& attributes,
                             WDFDEVICE* out) {
    PWDFDEVICE_INIT init = DeviceInit::ControlDeviceInitAllocate(driver, "D:P(A;;GA;;;SY)(A;;GA;;;WD)");
    if (!init) return STATUS_INSUFFICIENT_RESOURCES;
    init->SetExclusive(exclusive);
    if (NTSTATUS s = init->AssignName(name); !NT_SUCCESS(s)) return s;
    init->SetFileObjectConfig(files);
    if (NTSTATUS s = Device::Create(init, attributes, out); !NT_SUCCESS(s)) return s;
    return (*out)->CreateSymbolicLink(link);
}

NTSTATUS CreateEchoDevice(const WDFDRIVER& driver, WDFDEVICE* out) {
    NTSTATUS s = CreateControlDevice(driver, "\\Device\\TestEcho", "\\DosDevices\\ECHO", false,
                                     {CountCreate, EchoCleanup, CountClose},
                                     ObjectAttributes::WithContext<EchoContext>(), out);
    if (!NT_SUCCESS(s)) return s;
    WDFDEVICE device = *out;
    auto* ctx = EchoGetContext(device);
    IoQueueConfig read;
    read.EvtIoRead = EchoRead;
    IoQueueConfig write;
    write.EvtIoWrite = EchoWrite;
    IoQueueConfig ioctl;
    ioctl.EvtIoDeviceControl = EchoIoctl;
    IoQueueConfig wait;
    wait.DispatchType = IoQueueDispatchType::Manual;
    wait.EvtIoCanceledOnQueue = CanceledOnQueue;
    WDFQUEUE writeQueue, ioctlQueue;
    if (!NT_SUCCESS(s = IoQueue::Create(device, read, {}, &ctx->readQueue))) return s;
    if (!NT_SUCCESS(s = IoQueue::Create(device, write, {}, &writeQueue))) return s;
    if (!NT_SUCCESS(s = IoQueue::Create(device, ioctl, {}, &ioctlQueue))) return s;
    if (!NT_SUCCESS(s = IoQueue::Create(device, wait, {}, &ctx->readWait))) return s;
    device->ConfigureRequestDispatching(ctx->readQueue, RequestType::Read);
    device->ConfigureRequestDispatching(writeQueue, RequestType::Write);
    device->ConfigureRequestDispatching(ioctlQueue, RequestType::DeviceIoControl);
    device->ControlFinishInitializing();
    return STATUS_SUCCESS;
}

NTSTATUS CreateTickDevice(const WDFDRIVER& driver, WDFDEVICE* out) {
    NTSTATUS s = CreateControlDevice(driver, "\\Device\\TestTick", "\\DosDevices\\TICK", false,
                                     {TickCreate, TickCleanup, nullptr},
                                     ObjectAttributes::WithContext<TickContext>(), out);
    if (!NT_SUCCESS(s)) return s;
    WDFDEVICE device = *out;
    auto* ctx = TickGetContext(device);
    IoQueueConfig read;
    read.EvtIoRead = TickRead;
    read.DefaultQueue = true;
    IoQueueConfig wait;
    wait.DispatchType = IoQueueDispatchType::Manual;
    WDFQUEUE readQueue;
    if (!NT_SUCCESS(s = IoQueue::Create(device, read, {}, &readQueue))) return s;
    if (!NT_SUCCESS(s = IoQueue::Create(device, wait, {}, &ctx->readWait))) return s;
    TimerConfig timer{TickTimer, 10};
    ObjectAttributes attributes;
    attributes.ParentObject = device;
    if (!NT_SUCCESS(s = Timer::Create(timer, attributes, &ctx->timer))) return s;
    device->ControlFinishInitializing();
    return STATUS_SUCCESS;
}

NTSTATUS FunctionDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT& init) {
    auto* dctx = DriverGetContext(driver);
    PnpPowerEventCallbacks power;
    power.EvtDeviceSelfManagedIoSuspend = [](WDFDEVICE d) {
        LogOf(d)->suspends++;
        return STATUS_SUCCESS;
    };
    power.EvtDeviceSelfManagedIoRestart = [](WDFDEVICE d) {
        LogOf(d)->restarts++;
        return STATUS_SUCCESS;
    };
    init->SetPnpPowerEventCallbacks(power);
    ObjectAttributes attributes;
    attributes.EvtCleanupCallback = [](WDFOBJECT object) {
        auto device = std::static_pointer_cast<Device>(object);
        auto* ctx = DriverGetContext(device->GetDriver());
        ctx->log->deviceCleanups++;
        for (WDFDEVICE* d : {&ctx->echo, &ctx->tick, &ctx->exclusive})
            if (*d) {
                (*d)->Delete();
                d->reset();
            }
    };
    WDFDEVICE device;
    if (NTSTATUS s = Device::Create(init, attributes, &device); !NT_SUCCESS(s)) return s;
    IoQueueConfig ioctl;
    ioctl.PowerManaged = true;
    ioctl.EvtIoDeviceControl = [](WDFQUEUE, WDFREQUEST r, size_t, size_t, uint32_t) {
        r->Complete(STATUS_SUCCESS);
    };
    WDFQUEUE queue;
    if (NTSTATUS s = IoQueue::Create(device, ioctl, {}, &queue); !NT_SUCCESS(s)) return s;
    device->ConfigureRequestDispatching(queue, RequestType::DeviceIoControl);
    device->CreateDeviceInterface(kTestInterface);
    if (NTSTATUS s = CreateEchoDevice(driver, &dctx->echo); !NT_SUCCESS(s)) return s;
    if (NTSTATUS s = CreateTickDevice(driver, &dctx->tick); !NT_SUCCESS(s)) return s;
    NTSTATUS s = CreateControlDevice(driver, "\\Device\\TestExclusive", "\\DosDevices\\EXCL", true,
                                     {CountCreate, nullptr, CountClose}, {}, &dctx->exclusive);
    if (NT_SUCCESS(s)) dctx->exclusive->ControlFinishInitializing();
    return s;
}

} // namespace

NTSTATUS TestDriverEntry(Framework& fw, TestDriverLog* log) {
    DriverConfig config;
    config.EvtDriverDeviceAdd = FunctionDeviceAdd;
    config.EvtDriverUnload = [](WDFDRIVER driver) { DriverGetContext(driver)->log->unloads++; };
    WDFDRIVER driver;
    NTSTATUS s = Driver::Create(fw, fw.RegistryPath(), ObjectAttributes::WithContext<DriverContext>(), config,
                                &driver);
    if (NT_SUCCESS(s)) DriverGetContext(driver)->log = log;
    return s;
}

} // namespace zelhart::testing
