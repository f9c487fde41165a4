// The serial port under a HART device: the 10 ms timer, the work items, the port-open sequence with
// the seven serial settings, purge, and the restart of the port after resume.
#include "contexts.h"
#include "hart_names.h"
#include "hart_trace.h"
#include "zelhart/platform/modem_lines.h"
#include "zelhart/platform/serial_port_map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <unistd.h>

namespace zelhart::hartdriver {
namespace {

constexpr uint32_t kTimerPeriodMs = 10;
constexpr int kMaxTickDeferrals = 300; // more than the characters of the longest frame
constexpr uint32_t STANDARD_RIGHTS_ALL = 0x001F0000;
constexpr uint32_t READ_CONTROL = 0x00020000;

template <class T> NTSTATUS SendSetting(const WDFIOTARGET& target, uint32_t code, const T& value) {
    if (!target) {
        HartTrace(HART_TRACE_ERROR, "Error: Invalid parameter!\n");
        return STATUS_INVALID_PARAMETER;
    }
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(&value), sizeof(T));
    return target->SendIoctlSynchronously(code, bytes, {}, nullptr);
}

NTSTATUS SendSetting(const WDFIOTARGET& target, uint32_t code) {
    if (!target) {
        HartTrace(HART_TRACE_ERROR, "Error: Invalid parameter!\n");
        return STATUS_INVALID_PARAMETER;
    }
    return target->SendIoctlSynchronously(code, {}, {}, nullptr);
}

NTSTATUS HartSerialSetHandFlow(const WDFIOTARGET& t) {
    // DTR on; RTS raised only while transmitting.
    return SendSetting(t, IOCTL_SERIAL_SET_HANDFLOW,
                       SERIAL_HANDFLOW{SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 0, 0});
}
NTSTATUS HartSerialSetTimeouts(const WDFIOTARGET& t) {
    return SendSetting(t, IOCTL_SERIAL_SET_TIMEOUTS,
                       SERIAL_TIMEOUTS{0, 0, 0, 0, 0}); // a read waits for its byte
}
NTSTATUS HartSetSerialBaudrate(const WDFIOTARGET& t) {
    return SendSetting(t, IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{1200});
}
NTSTATUS HartSetSerialLineControl(const WDFIOTARGET& t) {
    return SendSetting(t, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, ODD_PARITY, 8});
}
NTSTATUS HartSetSerialFIFOControl(const WDFIOTARGET& t) {
    return SendSetting(t, IOCTL_SERIAL_SET_FIFO_CONTROL, uint32_t{SERIAL_IOC_FCR_FIFO_ENABLE});
}
NTSTATUS HartSetSerialDtr(const WDFIOTARGET& t) {
    return SendSetting(t, IOCTL_SERIAL_SET_DTR);
}
NTSTATUS HartSerialSetWaitMask(const WDFIOTARGET& t) {
    return SendSetting(t, IOCTL_SERIAL_SET_WAIT_MASK, uint32_t{SERIAL_EV_ERR});
}

// A character that reached the port before this tick and not the receiver yet: the read loop's read
// has completed and its routine has not run. (That routine starts the next read, which completes at
// once while the target holds more input; while no read is in flight, nothing is owed to the receiver.)
bool ReceptionBehind(HARTDEVICE_CONTEXT* ctx) {
    return ctx->ReadRequestToSerial && ctx->ReadRequestToSerial->GetStatus() != STATUS_PENDING;
}

// One tick; `deferred`: the same tick again after waiting for received characters.
void RunTick(const WDFTIMER& timer, bool deferred) {
    WDFDEVICE device = HartDeviceOf(timer);
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device);
    if (!ctx) return;
    auto entry = ctx->Lock();
    if (!ctx->TimerEnabled || !ctx->TimerRunning) { // stopped while this tick waited for the lock
        ctx->TickDeferrals = 0;
        return;
    }
    if (!deferred && ctx->TickDeferrals > 0) return; // the last tick still waits: this one is it
    // A loop held up (a loaded machine) finds characters and the tick waiting together. The characters
    // came first: they go to the receiver before the tick counts, or the receive gap would expire
    // inside a frame that arrived without a pause. Each completion is posted, so the tick goes to the
    // back of the loop's queue until they are through (bounded: a flood cannot hold the clock).
    if (ReceptionBehind(ctx) && ctx->TickDeferrals < kMaxTickDeferrals) {
        ++ctx->TickDeferrals;
        device->framework().loop().Post([timer] {
            if (timer->IsDeleted()) return;
            auto keep = timer->KeepAlive(); // the device and its context, as for the tick itself
            RunTick(timer, true);
        });
        return;
    }
    ctx->TickDeferrals = 0;
    ctx->DataLink->HartEvtTimerFunc();
    if (!ctx->CountdownsRun()) {
        ctx->Timer->Stop(false); // nothing left to count: idle until a countdown is loaded again
        ctx->TimerRunning = false;
    }
}

void HartEvtTimerFunc(WDFTIMER timer) { RunTick(timer, false); }

NTSTATUS CreateWorkItem(const WDFDEVICE& device, void (*callback)(WDFWORKITEM), WDFWORKITEM* out) {
    ObjectAttributes attributes = ObjectAttributes::WithContext<WORKITEM_CONTEXT>();
    attributes.ParentObject = device;
    NTSTATUS status = WorkItem::Create({callback}, attributes, out);
    if (NT_SUCCESS(status)) WorkItemGetContext(*out)->HartDevice = device;
    return status;
}

// A port can be replaced while its HART device has no handle open (a simulator started again on
// another pseudo-terminal, an adapter moved to another USB socket): at each open the device follows
// its COM name to the device the serial port map has for it now. A COM name the map no longer has is
// not opened at all, whatever has taken its old path meanwhile.
NTSTATUS FollowThePort(HARTDEVICE_CONTEXT* ctx) {
    auto number = platform::ParseComName("COM" + ctx->PortNumber);
    if (!number) return STATUS_SUCCESS; // a name the map cannot look up: opened as it was made
    auto path = platform::LookupComPort(*number);
    if (!path) {
        HartTrace(HART_TRACE_ERROR, "HartEvtDeviceFileCreate Error: COM%s is no longer in the port map\n",
                  ctx->PortNumber.c_str());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::string now = SerialDeviceNameFor(*path);
    auto lock = ctx->Lock();
    if (now != ctx->TargetName) {
        HartTrace(HART_TRACE_DETAIL, "COM%s moved: Target %s -> %s\n", ctx->PortNumber.c_str(),
                  ctx->TargetName.c_str(), now.c_str());
        ctx->TargetName = now;
    }
    return STATUS_SUCCESS;
}

IoTargetOpenParams OpenParams(const HARTDEVICE_CONTEXT* ctx, uint32_t access) {
    IoTargetOpenParams params;
    params.TargetDeviceName = ctx->TargetName;
    params.DesiredAccess = access;
    params.ShareAccess = 0; // no sharing
    params.EvtIoTargetRemoveComplete = HartEvtIoTargetRemoveComplete;
    return params;
}

} // namespace

WDFDEVICE HartDeviceOf(const WDFOBJECT& child) {
    if (!child) return nullptr;
    if (auto* item = WorkItemGetContext(child))
        if (auto device = item->HartDevice.lock()) return device;
    return std::dynamic_pointer_cast<Device>(child->GetParentObject());
}

NTSTATUS HartInitializeTimer(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    ObjectAttributes attributes;
    attributes.ParentObject = device;
    TimerConfig config;
    config.EvtTimerFunc = HartEvtTimerFunc;
    config.Period = kTimerPeriodMs;
    config.AutomaticSerialization = false;
    NTSTATUS status = Timer::Create(config, attributes, &ctx->Timer);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "WdfTimerCreate Failed with Status: 0x%X\n",
                  static_cast<unsigned>(status));
    return status;
}

NTSTATUS HartInitializeWorkItems(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    if (!ctx) {
        HartTrace(HART_TRACE_ERROR, "Unable to get FilterContext! \n");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CreateWorkItem(device, HartEvtWorkItemRead, &ctx->WorkItemRead);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfWorkItemCreate for Read failed with Status: 0x%X\n",
                  __func__, static_cast<unsigned>(status));
        return status;
    }
    status = CreateWorkItem(device, HartEvtWorkItemWrite, &ctx->WorkItemWrite);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfWorkItemCreate for Write failed with Status: 0x%X\n",
                  __func__, static_cast<unsigned>(status));
        return status;
    }
    status = CreateWorkItem(device, HartEvtWorkItemTriggerTx, &ctx->WorkItemTriggerTx);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfWorkItemCreate for trigger TX failed with Status: 0x%X\n",
                  __func__, static_cast<unsigned>(status));
    return status;
}

NTSTATUS HartInitializeSerialPort(const WDFIOTARGET& t) {
    constexpr const char* kFn = "HartInitializeSerialPort";
    // A setting the port refuses is traced and the next one is applied anyway.
    if (NTSTATUS s = HartSerialSetHandFlow(t); !NT_SUCCESS(s))
        HartTrace(HART_TRACE_ERROR, "%s Error: HartSerialSetHandFlow failed with status 0x%2X!\n", kFn,
                  static_cast<unsigned>(s));
    if (NTSTATUS s = HartSerialSetTimeouts(t); !NT_SUCCESS(s))
        HartTrace(HART_TRACE_ERROR, "%s Error: HartSerialSetTimeouts failed with status 0x%2X!\n", kFn,
                  static_cast<unsigned>(s));
    if (NTSTATUS s = HartSetSerialBaudrate(t); !NT_SUCCESS(s))
        HartTrace(HART_TRACE_ERROR, "%s Error: HartSetSerialBaudrate failed with status 0x%2X!\n", kFn,
                  static_cast<unsigned>(s));
    if (NTSTATUS s = HartSetSerialLineControl(t); !NT_SUCCESS(s))
        HartTrace(HART_TRACE_ERROR, "%s Error: HartSetSerialLineControl failed with status 0x%2X!\n", kFn,
                  static_cast<unsigned>(s));
    if (NTSTATUS s = HartSetSerialFIFOControl(t); !NT_SUCCESS(s))
        HartTrace(HART_TRACE_ERROR, "%s Error: HartSetSerialFIFOControl failed with status %X!\n", kFn,
                  static_cast<unsigned>(s));
    if (NTSTATUS s = HartSetSerialDtr(t); !NT_SUCCESS(s))
        HartTrace(HART_TRACE_ERROR, "HartSetSerialDtr Failed with Status: 0x%X\n", static_cast<unsigned>(s));
    NTSTATUS status = HartSerialSetWaitMask(t);
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "%s Error: HartSerialSetWaitMask failed with status 0x%X!\n", kFn,
                  static_cast<unsigned>(status));
    return status;
}

NTSTATUS HartPurgeSerialPort(const WDFIOTARGET& target) {
    constexpr uint32_t kPurgeAll =
        SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    return SendSetting(target, IOCTL_SERIAL_PURGE, kPurgeAll);
}

// The line settings the port holds after HartInitializeSerialPort: 1200 baud, 8 data bits, odd parity,
// one stop bit. A port that did not take them (the target reads each setting back) would garble every
// frame: the open fails instead.
bool HartLineSettingsTook(const WDFIOTARGET& t) {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL lc{};
    size_t n = 0;
    bool took = NT_SUCCESS(t->SendIoctlSynchronously(IOCTL_SERIAL_GET_BAUD_RATE, {},
                                                     std::span(reinterpret_cast<uint8_t*>(&baud), sizeof baud), &n)) &&
                NT_SUCCESS(t->SendIoctlSynchronously(IOCTL_SERIAL_GET_LINE_CONTROL, {},
                                                     std::span(reinterpret_cast<uint8_t*>(&lc), sizeof lc), &n));
    if (took && baud.BaudRate == 1200 && lc.WordLength == 8 && lc.Parity == ODD_PARITY && lc.StopBits == STOP_BIT_1)
        return true;
    HartTrace(HART_TRACE_ERROR,
              "HartEvtDeviceFileCreate Error: the port did not take the HART line settings (holds %u baud, %u data "
              "bits, parity %u, stop bits %u; 1200 baud, 8 data bits, odd parity, 1 stop bit needed)\n",
              static_cast<unsigned>(baud.BaudRate), static_cast<unsigned>(lc.WordLength),
              static_cast<unsigned>(lc.Parity), static_cast<unsigned>(lc.StopBits));
    return false;
}

// A USB port delivers received characters in bursts (a latency timer of up to 32 ms where the adapter
// has one and ignores ASYNC_LOW_LATENCY): the receive gap there covers that latency and two
// characters, 50.3 ms. Counted on the shared 10 ms grid, a countdown of 7 ticks expires 60 to 70 ms
// after the last character.
constexpr uint16_t kUsbMinimumGapTicks = 7;

// For the journal, whatever DebugLevel says: the path and the system's reason (a terminal device of
// another user, a port another program holds), so that an administrator need not guess.
static void SayWhyThePortWouldNotOpen(HARTDEVICE_CONTEXT* ctx, NTSTATUS status) {
    std::string path;
    {
        auto lock = ctx->Lock();
        path = ctx->TargetName;
    }
    std::string reason;
    if (::access(path.c_str(), R_OK | W_OK) != 0)
        reason = std::strerror(errno);
    else if (status == STATUS_ACCESS_DENIED)
        reason = "another program has it open";
    else {
        char text[32];
        std::snprintf(text, sizeof(text), "status 0x%X", static_cast<unsigned>(status));
        reason = text;
    }
    DaemonNotice("COM%s: cannot open %s: %s", ctx->PortNumber.c_str(), path.c_str(), reason.c_str());
}

// Leaves the record the programs read (the port dialog's mark, the cause under "not found") of a real
// port whose modem lines cannot be driven, or removes it when the port has them.
static void LeaveModemLinesRecord(const HARTDEVICE_CONTEXT* ctx, bool missing) {
    auto number = platform::ParseComName("COM" + ctx->PortNumber);
    if (!number) return;
    const std::string dir = platform::ModemLinesDir();
    if (int e = platform::RecordModemLines(dir, *number, ctx->TargetName, missing); e != 0)
        HartTrace(HART_TRACE_ERROR,
                  "COM%s: cannot record in %s that the port has %s modem-control lines: %s\n",
                  ctx->PortNumber.c_str(), dir.c_str(), missing ? "no" : "its", std::strerror(e));
}

NTSTATUS HartOpenSerialPort(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    constexpr const char* kFn = "HartEvtDeviceFileCreate";
    if (NTSTATUS s = FollowThePort(ctx); !NT_SUCCESS(s)) return s;
    WDFIOTARGET target;
    NTSTATUS status = IoTarget::Create(device, {}, &target);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfIoTargetCreate failed with status: 0x%2X!\n", kFn,
                  static_cast<unsigned>(status));
        return status;
    }
    // Every queue serves from here on, whatever stopped or purged it before (a suspend whose resume
    // found the device closed, a close during the restart after a resume).
    HartStartQueues(ctx);
    HartTrace(HART_TRACE_DETAIL, "openning IO Target...\n");
    status = target->Open(OpenParams(ctx, STANDARD_RIGHTS_ALL));
    if (!NT_SUCCESS(status)) {
        target->Delete();
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfIoTargetOpen failed with status: %d\n", kFn, status);
        SayWhyThePortWouldNotOpen(ctx, status);
        return status;
    }
    HartTrace(HART_TRACE_DETAIL, "IO Target opened...\n");
    HartInitializeSerialPort(target);
    if (!HartLineSettingsTook(target)) {
        target->Close();
        target->Delete();
        return STATUS_NOT_SUPPORTED;
    }
    LeaveModemLinesRecord(ctx, target->LacksModemLines());

    auto lock = ctx->Lock();
    ctx->IoTarget = target;
    ctx->UsbPort = target->IsUsbPort();
    ctx->DataLink->SetMinimumReceiveGap(ctx->UsbPort ? kUsbMinimumGapTicks : 0);
    ctx->EchoTraced = false;
    ctx->RestartPending = ctx->WriteAfterRestart = false;
    ctx->Suspended = false; // opened while the function device is suspended: it runs, no resume of it
    ctx->DataLink->OnOpen(); // EVT_STARTUP, receiver reset
    ctx->EnableTimer();      // started with a 10 ms due time as the entry ends
    HartTrace(HART_TRACE_DETAIL, "%s Initiate read!\n", kFn);
    if (!HartReadDataFromPort(ctx)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: HartReadDataFromSerialPort Failed!\n", kFn);
        ctx->DisableTimer();
        ctx->IoTarget.reset();
        lock.unlock();
        target->Close();
        target->Delete();
        return STATUS_UNSUCCESSFUL;
    }
    ctx->ReadingActive = true;
    return STATUS_SUCCESS;
}

NTSTATUS HartReopenIoTarget(const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    WDFIOTARGET target;
    NTSTATUS status = IoTarget::Create(device, {}, &target);
    if (NT_SUCCESS(status)) {
        status = target->Open(OpenParams(ctx, READ_CONTROL));
        if (!NT_SUCCESS(status)) target->Delete();
    }
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfIoTargetOpen failed with status: 0x%2X!\n", __func__,
                  static_cast<unsigned>(status));
        ctx->IoTarget.reset();
        return status;
    }
    // A port opened afresh has the system's settings, not the HART ones: set them again.
    HartInitializeSerialPort(target);
    ctx->IoTarget = target;
    return STATUS_SUCCESS;
}

// The restart after resume: a stopped port is opened afresh, reading starts again, the queues
// stopped by the suspend start, and a pending frame is sent again.
void HartEvtWorkItemTriggerTx(WDFWORKITEM item) {
    WDFDEVICE device = HartDeviceOf(item);
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device);
    if (!ctx) return;
    auto lock = ctx->Lock();
    if (ctx->IoTarget) {
        if (ctx->IoTarget->GetState() == IoTargetState::Stopped) {
            WDFIOTARGET old;
            old.swap(ctx->IoTarget);
            old->Close();
            old->Delete();
            HartReopenIoTarget(device, ctx);
            HartTrace(HART_TRACE_DETAIL, "After Open stateIoTarget: %d\n",
                      ctx->IoTarget ? static_cast<int>(ctx->IoTarget->GetState()) : -1);
        }
        if (ctx->IoTarget) HartSetSerialFIFOControl(ctx->IoTarget);
        HartTrace(HART_TRACE_DETAIL, "%s Initiate read!\n", __func__);
        ctx->WorkItemRead->Enqueue();
        HartStartQueues(ctx); // the suspend purged the control queue
    }
    ctx->RestartPending = false;
    if (ctx->WriteAfterRestart) {
        ctx->WriteAfterRestart = false; // the transmit action already ran: carry it out now
        ctx->WorkItemWrite->Enqueue();
    } else if (ctx->PendingWriteRequest) {
        ctx->DataLink->FsmMasterProcessEvent(datalink::EVT_XMIT_REQ);
    }
}

} // namespace zelhart::hartdriver
