// The function device: creation, its I/O control queue, the open-handle count that creates and
// deletes the HART devices, self-managed I/O suspend and restart, and the clean-up work item that
// deletes the HART devices of removed ports.
#include "contexts.h"
#include "hart_names.h"
#include "hart_trace.h"
#include "zelhart/hart_ioctl.h"
#include "zelhart/platform/serial_port_map.h"

#include <cstring>

namespace zelhart::hartdriver {
namespace {

DRIVER_CONTEXT* DriverContextOf(const WDFDEVICE& device) {
    return device ? DriverGetContext(device->GetDriver()) : nullptr;
}

// The record names a port the serial port map has under that COM name: a HART device is made only
// for a serial port the system knows, never for an arbitrary file.
bool PortIsMapped(const HartPortNames& names) {
    auto com = platform::ComNameForPath(names.SerialDeviceName, platform::DefaultSerialPortMapSources());
    if (!com) return false;
    auto mapped = platform::ParseComName(*com);
    auto asked = platform::ParseComName("COM" + names.PortNumber);
    return mapped && asked && *mapped == *asked;
}

void ModemInit(const WDFDEVICE& device, const WDFREQUEST& request) {
    void* buffer;
    NTSTATUS status = request->RetrieveInputBuffer(sizeof(HartModemInitInfo), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR,
                  "IOCTL_HART_MODEM_INIT Error: Failed to retrieve Input buffer with status: 0x%X\n",
                  static_cast<unsigned>(status));
        return request->Complete(status);
    }
    HartModemInitInfo info;
    std::memcpy(&info, buffer, sizeof(info));
    HartPortNames names;
    ModemInitRecord parsed = ParseModemInitInfo(info, &names);
    if (parsed != ModemInitRecord::Ok || !PortIsMapped(names)) {
        HartTrace(HART_TRACE_ERROR, "IOCTL_HART_MODEM_INIT Error: %s\n",
                  parsed == ModemInitRecord::BadLength ? "a name length is outside its field"
                  : parsed == ModemInitRecord::BadName ? "the port name is not COM and a number"
                                                       : "the serial port map has no such port");
        return request->Complete(STATUS_INVALID_PARAMETER);
    }
    status = HartInitializeDeviceObject(device, names);
    request->CompleteWithInformation(
        status == STATUS_OBJECT_NAME_COLLISION ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS, 0);
}

// The HART devices belong to the driver, not to one function device: with several device nodes
// bound to the driver, the last close or the removal of one function device must not delete the
// HART devices that programs reach through another one still open. Every caller runs on the loop
// thread, so the other devices' counts cannot change meanwhile.
bool AnotherFunctionDeviceIsOpen(const WDFDEVICE& device) {
    for (const WDFDEVICE& other : device->framework().Devices()) {
        if (other == device || other->IsControlDevice() || other->IsDeleted()) continue;
        DEVICE_CONTEXT* ctx = DeviceGetContext(other);
        if (!ctx || !ctx->DeviceCountLock) continue;
        std::lock_guard lock(*ctx->DeviceCountLock);
        if (ctx->lDeviceCount > 0) return true;
    }
    return false;
}

void DeleteHartDevicesOf(const WDFDEVICE& device) {
    if (AnotherFunctionDeviceIsOpen(device)) {
        HartTrace(HART_TRACE_DETAIL, "HART devices kept: another function device is open\n");
        return;
    }
    DeleteHartDevices(DriverContextOf(device));
}

} // namespace

NTSTATUS HartEvtDriverDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT& init) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);
    init->SetFileObjectConfig({HartMainEvtDeviceFileCreate, HartMainEvtFileCleanup, HartMainEvtFileClose});
    PnpPowerEventCallbacks power;
    power.EvtDeviceSelfManagedIoCleanup = HartMainEvtDeviceSelfManagedIoCleanup;
    power.EvtDeviceSelfManagedIoFlush = HartMainEvtDeviceSelfManagedIoFlush;
    power.EvtDeviceSelfManagedIoSuspend = HartMainEvtDeviceSelfManagedIoSuspend;
    power.EvtDeviceSelfManagedIoRestart = HartMainEvtDeviceSelfManagedIoRestart;
    init->SetPnpPowerEventCallbacks(power);
    init->SetPowerPolicyOwnership(true);

    ObjectAttributes attributes = ObjectAttributes::WithContext<DEVICE_CONTEXT>();
    attributes.EvtCleanupCallback = HartEvtDeviceContextCleanup;
    WDFDEVICE device;
    NTSTATUS status = Device::Create(init, attributes, &device);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Failed to create the Device Object! Status: 0x%X \n", __func__,
                  static_cast<unsigned>(status));
        return status;
    }
    DEVICE_CONTEXT* ctx = DeviceGetContext(device);
    ctx->Device = device;
    ctx->Driver = driver;

    IoQueueConfig ioctl;
    ioctl.DispatchType = IoQueueDispatchType::Sequential;
    ioctl.PowerManaged = true;
    ioctl.EvtIoDeviceControl = HartFuncDeviceQueueEvtIoDeviceControl;
    status = IoQueue::Create(device, ioctl, {}, &ctx->QueueIoctl);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfIoQueueCreate for IO Control queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }
    status = device->ConfigureRequestDispatching(ctx->QueueIoctl, RequestType::DeviceIoControl);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "WdfDeviceConfigureRequestDispatching for Ioctl Queue failed 0x%X\n",
                  static_cast<unsigned>(status));
        return status;
    }

    status = device->CreateDeviceInterface(*platform::ParseGuid(kHartFunctionDeviceInterface));
    if (!NT_SUCCESS(status))
        HartTrace(HART_TRACE_ERROR, "WdfDeviceCreateDeviceInterface FAILED! Status: 0x%X\n",
                  static_cast<unsigned>(status));
    else
        HartTrace(HART_TRACE_DETAIL, "Successfully created a Device Interface for the Filter DO...\n");

    ObjectAttributes itemAttributes = ObjectAttributes::WithContext<CLEANUP_WORKITEM_CONTEXT>();
    itemAttributes.ParentObject = device;
    status = WorkItem::Create({HartEvtWorkItemCleanup}, itemAttributes, &ctx->CleanupWorkItem);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfWorkItemCreate for Cleanup failed with Status: 0x%X\n",
                  __func__, static_cast<unsigned>(status));
        return status;
    }
    CleanupWorkItemGetContext(ctx->CleanupWorkItem)->MainDevice = device;

    ctx->lDeviceCount = 0;
    status = WaitLock::Create(&ctx->DeviceCountLock);
    HartTrace(HART_TRACE_ENTRY, "%s <<<< \n", __func__);
    return status;
}

void HartFuncDeviceQueueEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t,
                                           uint32_t ioControlCode) {
    WDFDEVICE device = queue->GetDevice();
    switch (ioControlCode) {
    case IOCTL_HART_ENUMERATE_DEVICES: {
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_ENUMERATE_DEVICES 0x%X\n", ioControlCode);
        void* buffer;
        NTSTATUS status = request->RetrieveInputBuffer(1, &buffer, nullptr);
        if (!NT_SUCCESS(status)) {
            HartTrace(
                HART_TRACE_ERROR,
                "IOCTL_HART_ENUMERATE_DEVICES Error: Failed to retrieve Input buffer with status: 0x%X\n",
                static_cast<unsigned>(status));
            return request->Complete(status);
        }
        status = CreateHartDevices(device);
        if (!NT_SUCCESS(status))
            HartTrace(HART_TRACE_ERROR, "Create failed with status: 0x%2X\n", static_cast<unsigned>(status));
        return request->CompleteWithInformation(status, 0);
    }
    case IOCTL_HART_MODEM_INIT:
        HartTrace(HART_TRACE_IOCTL, "IOCTL_HART_MODEM_INIT 0x%X\n", ioControlCode);
        return ModemInit(device, request);
    default:
        HartTrace(HART_TRACE_ERROR, "%s Error - Unknown IOCTL...\n", __func__);
        return request->Complete(STATUS_NOT_SUPPORTED);
    }
}

void HartMainEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT) {
    DEVICE_CONTEXT* ctx = DeviceGetContext(device);
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(*ctx->DeviceCountLock);
        HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lDeviceCount: %d \n", __func__, ctx->lDeviceCount);
        if (++ctx->lDeviceCount == 1) {
            NTSTATUS created = CreateHartDevices(device);
            if (!NT_SUCCESS(created)) {
                HartTrace(HART_TRACE_ERROR, "CreateHartDevices ERROR %d \n", created);
                // The handle does not come into being, so it must not be counted: no close will
                // take the count down again.
                --ctx->lDeviceCount;
                status = STATUS_UNSUCCESSFUL;
            }
        }
    }
    request->Complete(status);
}

void HartMainEvtFileCleanup(WDFFILEOBJECT file) {
    WDFDEVICE device = file->GetDevice();
    DEVICE_CONTEXT* ctx = DeviceGetContext(device);
    std::lock_guard lock(*ctx->DeviceCountLock);
    HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lDeviceCount: %d <<<<< Decremented. \n", __func__,
              ctx->lDeviceCount);
    if (ctx->lDeviceCount == 0) {
        HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lDeviceCount: %d <<<<< Not Decremented. \n",
                  __func__, ctx->lDeviceCount);
        DeleteHartDevicesOf(device);
    }
}

void HartMainEvtFileClose(WDFFILEOBJECT file) {
    WDFDEVICE device = file->GetDevice();
    DEVICE_CONTEXT* ctx = DeviceGetContext(device);
    std::lock_guard lock(*ctx->DeviceCountLock);
    HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lDeviceCount: %d \n", __func__, ctx->lDeviceCount);
    if (ctx->lDeviceCount > 0 && --ctx->lDeviceCount == 0) {
        HartTrace(HART_TRACE_DETAIL, "%s: pDeviceContext->lDeviceCount: %d <<<<< Not Decremented. \n",
                  __func__, ctx->lDeviceCount);
        DeleteHartDevicesOf(device);
    }
}

NTSTATUS HartMainEvtDeviceSelfManagedIoSuspend(WDFDEVICE device) {
    HartTrace(HART_TRACE_ERROR, "HartMainEvtDeviceSelfManagedIoSuspend >>>>> \n");
    DRIVER_CONTEXT* dctx = DriverContextOf(device);
    std::lock_guard lock(*dctx->HartDevicesLock);
    size_t count = dctx->HartDevices->GetCount();
    HartTrace(HART_TRACE_DETAIL, "iCount: %d\n", static_cast<int>(count));
    for (size_t i = 0; i < count; ++i) {
        WDFDEVICE hart = dctx->HartDevices->GetItem(i);
        if (!hart) {
            HartTrace(HART_TRACE_ERROR, "HartDevice[%d] is NOT VALID!\n", static_cast<int>(i));
            continue;
        }
        HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(hart);
        if (!ctx) {
            HartTrace(HART_TRACE_ERROR, "pHartDeviceContext is NULL!\n");
            continue;
        }
        HartSuspendDevice(ctx);
    }
    return STATUS_SUCCESS;
}

NTSTATUS HartMainEvtDeviceSelfManagedIoRestart(WDFDEVICE device) {
    HartTrace(HART_TRACE_ERROR, "HartMainEvtDeviceSelfManagedIoRestart >>>>> \n");
    DRIVER_CONTEXT* dctx = DriverContextOf(device);
    std::lock_guard lock(*dctx->HartDevicesLock);
    for (size_t i = 0; i < dctx->HartDevices->GetCount(); ++i)
        if (HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(dctx->HartDevices->GetItem(i)))
            HartRestartDevice(ctx);
    return STATUS_SUCCESS;
}

void HartMainEvtDeviceSelfManagedIoFlush(WDFDEVICE) {
    HartTrace(HART_TRACE_ENTRY, "HartMainEvtDeviceSelfManagedIoFlush >>>>> \n");
}

void HartMainEvtDeviceSelfManagedIoCleanup(WDFDEVICE) {
    HartTrace(HART_TRACE_ENTRY, "HartMainEvtDeviceSelfManagedIoCleanup >>>>> \n");
}

void HartEvtDeviceContextCleanup(WDFOBJECT object) {
    DeleteHartDevicesOf(std::static_pointer_cast<Device>(object));
}

void HartEvtWorkItemCleanup(WDFWORKITEM item) {
    CLEANUP_WORKITEM_CONTEXT* ctx = CleanupWorkItemGetContext(item);
    WDFDEVICE mainDevice = ctx ? ctx->MainDevice.lock() : nullptr;
    DRIVER_CONTEXT* dctx = DriverContextOf(mainDevice);
    if (!dctx) {
        HartTrace(HART_TRACE_ERROR, "%s Error: INVALID PARAMETER!\n", __func__);
        return;
    }
    std::lock_guard lock(*dctx->HartDevicesLock);
    std::vector<WDFDEVICE> removed;
    removed.swap(ctx->HartDevicesToDelete);
    for (const WDFDEVICE& hart : removed) {
        HARTDEVICE_CONTEXT* hctx = HartDeviceGetContext(hart);
        if (!hctx) continue; // deleted meanwhile (the function device's last handle closed)
        if (hctx->SymbolicLinkCreated) {
            hart->DeleteSymbolicLink(hctx->SymbolicLinkName);
            hctx->SymbolicLinkCreated = false;
        }
        if (dctx->HartDevices->GetCount() > 0) {
            dctx->HartDevices->Remove(hart);
            hart->Delete();
            HartTrace(HART_TRACE_DETAIL, "Hart Device Object deleted...\n");
        }
    }
}

} // namespace zelhart::hartdriver
