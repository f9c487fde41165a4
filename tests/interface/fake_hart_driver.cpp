#include "fake_hart_driver.h"

#include "zelhart/hart_ioctl.h"

#include "zelhart/platform/runtime_dir.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zelhart::hartif::testing {

using namespace zelhart::drvfw;

namespace {

const Guid kFunctionInterface = *platform::ParseGuid(kHartFunctionDeviceInterface);
constexpr const char* kHartName = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_Hart";
constexpr const char* kHartLink = "{76F2EE18-E6E6-437e-A495-DDAD2DA743EA}_HART";

struct HartContext {
    uint32_t port = 0;
    std::mutex lock; // the device's fields below
    WDFQUEUE readWait;
    std::optional<std::pair<std::vector<uint8_t>, NTSTATUS>> buffered;
    uint8_t mask = RCV_MASK_ACK_THIS_MASTER;
    HartProtocolInfo protocol{0, HART_PRIMARY_MASTER, 2};
    uint32_t writes = 0;
};

struct FakeDriverContext {
    std::mutex lock;
    std::map<uint32_t, WDFDEVICE> devices; // by port number
    std::vector<uint32_t> initialPorts;
};

} // namespace

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HartContext, HartGetContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FakeDriverContext, FakeDriverGetContext)

namespace {

// Copies the frame into a read and completes it; with the device's lock held or not.
void CompleteRead(const WDFREQUEST& read, const std::vector<uint8_t>& frame, NTSTATUS status) {
    void* buffer;
    size_t length;
    if (!NT_SUCCESS(read->RetrieveOutputBuffer(1, &buffer, &length))) return read->Complete(STATUS_UNSUCCESSFUL);
    size_t n = std::min(length, frame.size());
    if (n) std::memcpy(buffer, frame.data(), n);
    read->CompleteWithInformation(status, n);
}

// The frame goes to the read waiting on the device, or waits for the next read (a newer one replaces it).
void Deliver(HartContext* ctx, std::vector<uint8_t> frame, NTSTATUS status) {
    WDFREQUEST read;
    if (NT_SUCCESS(ctx->readWait->RetrieveNextRequest(&read))) return CompleteRead(read, frame, status);
    ctx->buffered.emplace(std::move(frame), status);
}

void HartRead(WDFQUEUE queue, WDFREQUEST request, size_t) {
    auto* ctx = HartGetContext(queue->GetDevice());
    std::lock_guard lock(ctx->lock);
    if (ctx->buffered) {
        auto [frame, status] = std::move(*ctx->buffered);
        ctx->buffered.reset();
        return CompleteRead(request, frame, status);
    }
    if (NTSTATUS s = request->ForwardToIoQueue(ctx->readWait); !NT_SUCCESS(s)) request->Complete(s);
}

void HartWrite(WDFQUEUE queue, WDFREQUEST request, size_t length) {
    auto* ctx = HartGetContext(queue->GetDevice());
    void* buffer;
    if (NTSTATUS s = request->RetrieveInputBuffer(1, &buffer, nullptr); !NT_SUCCESS(s)) return request->Complete(s);
    std::vector<uint8_t> reply = FakeReplyTo(static_cast<const uint8_t*>(buffer), length);
    {
        std::lock_guard lock(ctx->lock);
        ctx->writes++;
        if (!reply.empty() && (ctx->mask & RCV_MASK_ACK_THIS_MASTER)) Deliver(ctx, reply, STATUS_SUCCESS);
    }
    if (reply.empty()) return request->Complete(STATUS_TRANSACTION_TIMED_OUT);
    request->CompleteWithInformation(STATUS_SUCCESS, length);
}

void HartIoctl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, uint32_t code) {
    auto* ctx = HartGetContext(queue->GetDevice());
    void *in = nullptr, *out = nullptr;
    std::lock_guard lock(ctx->lock);
    switch (code) {
    case IOCTL_HART_GET_PROTOCOL:
        if (NTSTATUS s = request->RetrieveOutputBuffer(sizeof(HartProtocolInfo), &out, nullptr); !NT_SUCCESS(s))
            return request->Complete(s);
        std::memcpy(out, &ctx->protocol, sizeof(HartProtocolInfo));
        return request->CompleteWithInformation(STATUS_SUCCESS, sizeof(HartProtocolInfo));
    case IOCTL_HART_SET_PROTOCOL: {
        if (NTSTATUS s = request->RetrieveInputBuffer(sizeof(HartProtocolInfo), &in, nullptr); !NT_SUCCESS(s))
            return request->Complete(s);
        HartProtocolInfo p;
        std::memcpy(&p, in, sizeof(p));
        if ((p.MasterType & 0x7F) == 0) ctx->protocol.MasterType = p.MasterType;
        ctx->protocol.RetryCount = p.RetryCount;
        return request->Complete(STATUS_SUCCESS);
    }
    case IOCTL_HART_GET_READ_MASK:
        if (NTSTATUS s = request->RetrieveOutputBuffer(1, &out, nullptr); !NT_SUCCESS(s)) return request->Complete(s);
        *static_cast<uint8_t*>(out) = ctx->mask;
        return request->CompleteWithInformation(STATUS_SUCCESS, 1);
    case IOCTL_HART_SET_READ_MASK:
        if (NTSTATUS s = request->RetrieveInputBuffer(1, &in, nullptr); !NT_SUCCESS(s)) return request->Complete(s);
        ctx->mask = *static_cast<const uint8_t*>(in);
        return request->Complete(STATUS_SUCCESS);
    default:
        return request->Complete(STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS CreateHartDevice(const WDFDRIVER& driver, uint32_t port) {
    auto* dctx = FakeDriverGetContext(driver);
    PWDFDEVICE_INIT init = DeviceInit::ControlDeviceInitAllocate(driver, "D:P(A;;GA;;;SY)(A;;GA;;;WD)");
    if (!init) return STATUS_INSUFFICIENT_RESOURCES;
    const std::string digits = std::to_string(port);
    if (NTSTATUS s = init->AssignName(std::string("\\Device\\") + kHartName + digits); !NT_SUCCESS(s)) return s;
    // Letting go of a handle takes the device a while; then it says so in the runtime directory.
    init->SetFileObjectConfig({nullptr, [](WDFFILEOBJECT file) {
                                   std::this_thread::sleep_for(std::chrono::milliseconds(30));
                                   std::ofstream(FakeReleaseMarker(HartGetContext(file->GetDevice())->port));
                               },
                               nullptr});
    WDFDEVICE device;
    if (NTSTATUS s = Device::Create(init, ObjectAttributes::WithContext<HartContext>(), &device); !NT_SUCCESS(s))
        return s;
    auto* ctx = HartGetContext(device);
    ctx->port = port;
    IoQueueConfig read, write, ioctl, wait;
    read.EvtIoRead = HartRead;
    write.EvtIoWrite = HartWrite;
    ioctl.EvtIoDeviceControl = HartIoctl;
    wait.DispatchType = IoQueueDispatchType::Manual;
    wait.EvtIoCanceledOnQueue = [](WDFQUEUE, WDFREQUEST r) { r->Complete(STATUS_CANCELLED); };
    WDFQUEUE readQueue, writeQueue, ioctlQueue;
    NTSTATUS s;
    if (!NT_SUCCESS(s = IoQueue::Create(device, read, {}, &readQueue)) ||
        !NT_SUCCESS(s = IoQueue::Create(device, write, {}, &writeQueue)) ||
        !NT_SUCCESS(s = IoQueue::Create(device, ioctl, {}, &ioctlQueue)) ||
        !NT_SUCCESS(s = IoQueue::Create(device, wait, {}, &ctx->readWait)) ||
        !NT_SUCCESS(s = device->CreateSymbolicLink(std::string("\\DosDevices\\") + kHartLink + digits))) {
        device->Delete();
        return s;
    }
    device->ConfigureRequestDispatching(readQueue, RequestType::Read);
    device->ConfigureRequestDispatching(writeQueue, RequestType::Write);
    device->ConfigureRequestDispatching(ioctlQueue, RequestType::DeviceIoControl);
    device->ControlFinishInitializing();
    std::lock_guard lock(dctx->lock);
    dctx->devices[port] = device;
    return STATUS_SUCCESS;
}

WDFDEVICE FindDevice(const WDFDRIVER& driver, uint32_t port) {
    auto* dctx = FakeDriverGetContext(driver);
    std::lock_guard lock(dctx->lock);
    auto it = dctx->devices.find(port);
    return it == dctx->devices.end() ? WDFDEVICE{} : it->second;
}

// The port number of a modem-init record: the digits after "COM".
std::optional<uint32_t> PortOf(const HartModemInitInfo& info) {
    if (info.PortNameLength < 10 || info.PortNameLength > sizeof(info.PortName)) return std::nullopt;
    size_t characters = info.PortNameLength / 2 - 1;
    uint32_t port = 0;
    for (size_t i = 3; i < characters; ++i) {
        char16_t c = info.PortName[i];
        if (c < u'0' || c > u'9' || port > 100000) return std::nullopt;
        port = port * 10 + uint32_t(c - u'0');
    }
    return port;
}

void FunctionIoctl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t inLength, uint32_t code) {
    WDFDRIVER driver = queue->GetDevice()->GetDriver();
    void* in = nullptr;
    if (NTSTATUS s = request->RetrieveInputBuffer(4, &in, nullptr); !NT_SUCCESS(s)) return request->Complete(s);
    uint32_t port;
    std::memcpy(&port, in, 4);
    if (code == IOCTL_HART_MODEM_INIT) {
        if (inLength < sizeof(HartModemInitInfo)) return request->Complete(STATUS_BUFFER_TOO_SMALL);
        HartModemInitInfo info;
        std::memcpy(&info, in, sizeof(info));
        std::optional<uint32_t> number = PortOf(info);
        if (!number) return request->Complete(STATUS_INVALID_PARAMETER);
        if (FindDevice(driver, *number)) return request->Complete(STATUS_OBJECT_NAME_COLLISION);
        return request->Complete(CreateHartDevice(driver, *number));
    }
    WDFDEVICE device = FindDevice(driver, port);
    if (!device) return request->Complete(STATUS_NOT_FOUND);
    auto* ctx = HartGetContext(device);
    switch (code) {
    case IOCTL_FAKE_REMOVE_DEVICE: {
        {
            auto* dctx = FakeDriverGetContext(driver);
            std::lock_guard lock(dctx->lock);
            dctx->devices.erase(port);
        }
        ctx->readWait->Purge(); // the waiting read ends with STATUS_CANCELLED, as on a port removal
        device->Delete();
        return request->Complete(STATUS_SUCCESS);
    }
    case IOCTL_FAKE_DELIVER_FRAME: {
        if (inLength < 8) return request->Complete(STATUS_BUFFER_TOO_SMALL);
        NTSTATUS status;
        std::memcpy(&status, static_cast<const uint8_t*>(in) + 4, 4);
        const auto* frame = static_cast<const uint8_t*>(in) + 8;
        std::lock_guard lock(ctx->lock);
        Deliver(ctx, std::vector<uint8_t>(frame, frame + (inLength - 8)), status);
        return request->Complete(STATUS_SUCCESS);
    }
    case IOCTL_FAKE_WRITE_COUNT: {
        void* out;
        if (NTSTATUS s = request->RetrieveOutputBuffer(4, &out, nullptr); !NT_SUCCESS(s)) return request->Complete(s);
        std::lock_guard lock(ctx->lock);
        std::memcpy(out, &ctx->writes, 4);
        return request->CompleteWithInformation(STATUS_SUCCESS, 4);
    }
    default:
        return request->Complete(STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS FunctionDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT& init) {
    WDFDEVICE device;
    if (NTSTATUS s = Device::Create(init, {}, &device); !NT_SUCCESS(s)) return s;
    IoQueueConfig ioctl;
    ioctl.EvtIoDeviceControl = FunctionIoctl;
    WDFQUEUE queue;
    if (NTSTATUS s = IoQueue::Create(device, ioctl, {}, &queue); !NT_SUCCESS(s)) return s;
    device->ConfigureRequestDispatching(queue, RequestType::DeviceIoControl);
    if (NTSTATUS s = device->CreateDeviceInterface(kFunctionInterface); !NT_SUCCESS(s)) return s;
    for (uint32_t port : FakeDriverGetContext(driver)->initialPorts)
        if (NTSTATUS s = CreateHartDevice(driver, port); !NT_SUCCESS(s)) return s;
    return STATUS_SUCCESS;
}

} // namespace

std::string FakeReleaseMarker(uint32_t port) {
    return platform::RuntimeDir() + "/released-HART" + std::to_string(port);
}

std::vector<uint8_t> FakeReplyTo(const uint8_t* frame, size_t length) {
    size_t start = 0;
    while (start < length && frame[start] == 0xFF) ++start;
    if (start == length) return {};
    const uint8_t delimiter = frame[start];
    const size_t addressLength = (delimiter & 0x80) ? 5 : 1;
    if (length - start < 1 + addressLength + 2) return {}; // delimiter, address, command, byte count
    const uint8_t command = frame[start + 1 + addressLength];
    if (command == kSilentCommand) return {};
    std::vector<uint8_t> reply{uint8_t(0x06 | (delimiter & 0x80))};
    reply.insert(reply.end(), frame + start + 1, frame + start + 1 + addressLength);
    reply.insert(reply.end(), {command, 0x02, 0x00, 0x00});
    uint8_t check = 0;
    for (uint8_t b : reply) check ^= b;
    reply.push_back(check);
    return reply;
}

NTSTATUS FakeHartDriverEntry(Framework& fw, std::vector<uint32_t> ports) {
    DriverConfig config;
    config.EvtDriverDeviceAdd = FunctionDeviceAdd;
    WDFDRIVER driver;
    NTSTATUS s = Driver::Create(fw, fw.RegistryPath(), ObjectAttributes::WithContext<FakeDriverContext>(), config,
                                &driver);
    if (NT_SUCCESS(s)) FakeDriverGetContext(driver)->initialPorts = std::move(ports);
    return s;
}

} // namespace zelhart::hartif::testing
