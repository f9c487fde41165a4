// Creation and deletion of the HART devices: one exclusive control device per serial port.
#include "contexts.h"
#include "hart_names.h"
#include "hart_trace.h"
#include "zelhart/platform/serial_port_map.h"

namespace zelhart::hartdriver {
namespace {

// All access for SYSTEM, administrators, everyone and restricted code.
constexpr char kHartDeviceSddl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;WD)(A;;GA;;;RC)";
constexpr uint16_t kMaxMessageLength = 265;

datalink::DataLinkTimings TimingsFrom(const DRIVER_CONTEXT& d) {
    datalink::DataLinkTimings t;
    t.RT1PRIMARY = d.RT1PRIMARY;
    t.RT1SECONDARY = d.RT1SECONDARY;
    t.RT2 = d.RT2;
    t.STO = d.STO;
    t.QUIETTIME = d.QUIETTIME;
    t.BGTIMESTART = d.BGTIMESTART;
    t.BGTIMEERROR = d.BGTIMEERROR;
    t.RT1DIFF = d.RT1DIFF;
    t.PRE2 = d.PRE2;
    t.MISSEDTRANSMITWINDOW = d.MISSEDTRANSMITWINDOW;
    t.MaxMessageLength = kMaxMessageLength;
    t.HOLD = d.HOLD;
    t.GAP = d.GAP;
    return t;
}

// Undoes a creation that failed after the device came into being, so that its name does not block
// a later attempt for the same port.
void DiscardHalfMadeDevice(DRIVER_CONTEXT* dctx, const WDFDEVICE& device, HARTDEVICE_CONTEXT* ctx) {
    {
        std::lock_guard lock(*dctx->HartDevicesLock);
        dctx->HartDevices->Remove(device);
    }
    if (ctx->SymbolicLinkCreated) device->DeleteSymbolicLink(ctx->SymbolicLinkName);
    device->Delete();
}

} // namespace

NTSTATUS CreateHartDevices(const WDFDEVICE& functionDevice) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);
    // The serial port map stands for HARDWARE\DEVICEMAP\SERIALCOMM: value name = device, data = COM name.
    for (const platform::SerialPortEntry& entry : platform::ReadSerialPortMap()) {
        HartPortNames names;
        switch (ParseSerialCommValue(entry.devicePath, entry.comName, &names)) {
        case SerialCommValue::TooShort:
            HartTrace(HART_TRACE_ERROR, "%s Error: Ignoring bad-named COM port\n", __func__);
            continue;
        case SerialCommValue::BadName:
            HartTrace(HART_TRACE_ERROR, "%s Error: Ignoring bad-named COM port (2).\n", __func__);
            continue;
        case SerialCommValue::Ok:
            break;
        }
        HartTrace(HART_TRACE_DETAIL, "%s %d portName: %s Len: %d!\n", __func__,
                  SerialDeviceNameTakenAsIs(entry.devicePath) ? 1 : 2, names.SerialDeviceName.c_str(),
                  static_cast<int>(names.SerialDeviceName.size()));
        // A port that has its HART device already fails with a name collision and is skipped.
        HartInitializeDeviceObject(functionDevice, names);
    }
    HartTrace(HART_TRACE_ENTRY, "%s <<<< \n", __func__);
    return STATUS_SUCCESS;
}

NTSTATUS HartInitializeDeviceObject(const WDFDEVICE& functionDevice, const HartPortNames& names) {
    const std::string& deviceName = names.DeviceName;
    const std::string& linkName = names.LinkName;
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);
    WDFDRIVER driver = functionDevice->GetDriver();
    DRIVER_CONTEXT* dctx = DriverGetContext(driver);
    PWDFDEVICE_INIT init = DeviceInit::ControlDeviceInitAllocate(driver, kHartDeviceSddl);
    if (!init) {
        HartTrace(HART_TRACE_ERROR, "%s WdfPdoInitAllocate returned NULL \n", __func__);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    init->SetExclusive(true);
    NTSTATUS status = init->AssignName(deviceName);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s WdfDeviceInitAssignName failed! 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        return status;
    }
    init->SetFileObjectConfig({HartEvtDeviceFileCreate, HartEvtFileCleanup, HartEvtFileClose});

    WDFDEVICE device;
    status = Device::Create(init, ObjectAttributes::WithContext<HARTDEVICE_CONTEXT>(), &device);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s WdfDeviceCreate failed! 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        return status; // a duplicate name gives STATUS_OBJECT_NAME_COLLISION
    }
    HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device);
    if (!ctx) {
        device->Delete();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ctx->lOpenedFileHandleCount = 0;
    ctx->MainDevice = functionDevice;
    ctx->Device = device;
    ctx->TargetName = names.SerialDeviceName;
    ctx->PortNumber = names.PortNumber;
    ctx->SymbolicLinkName = linkName;
    status = device->CreateSymbolicLink(linkName);
    ctx->SymbolicLinkCreated = NT_SUCCESS(status);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s WdfDeviceCreateSymbolicLink failed! 0x%X\n", __func__,
                  static_cast<unsigned>(status));
        DiscardHalfMadeDevice(dctx, device, ctx);
        return status;
    }

    {
        std::lock_guard lock(*dctx->HartDevicesLock);
        status = dctx->HartDevices->Add(device);
    }
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Error: WdfCollectionAdd failed with status: 0x%2X\n", __func__,
                  static_cast<unsigned>(status));
        DiscardHalfMadeDevice(dctx, device, ctx);
        return status;
    }
    HartTrace(HART_TRACE_DETAIL, "Successfully added Device Object...\n");

    // The data link first: nothing below can call into it before the device accepts opens.
    ctx->TimeInterval = dctx->TIMEINTERVAL;
    ctx->DataLink = std::make_unique<datalink::HartDataLink>(*ctx, TimingsFrom(*dctx)); // EVT_STARTUP
    ctx->Echo.SetMode(dctx->EchoSuppression);

    status = HartCreateReadWriteQueues(device, ctx);
    if (NT_SUCCESS(status)) status = HartCreateQueueIoctl(device, ctx);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "%s Failed to create the ReadWrite Queue! Status: 0x%X \n", __func__,
                  static_cast<unsigned>(status));
        DiscardHalfMadeDevice(dctx, device, ctx);
        return status;
    }
    status = HartInitializeTimer(device, ctx);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "Failed to initialize timer with Status: 0x%X \n",
                  static_cast<unsigned>(status));
        DiscardHalfMadeDevice(dctx, device, ctx);
        return status;
    }
    status = HartInitializeWorkItems(device, ctx);
    if (!NT_SUCCESS(status)) {
        HartTrace(HART_TRACE_ERROR, "Failed to initialize WorkItems with Status: 0x%X \n",
                  static_cast<unsigned>(status));
        DiscardHalfMadeDevice(dctx, device, ctx);
        return status;
    }

    HartTrace(HART_TRACE_ENTRY, "%s <<<< \n", __func__);
    device->ControlFinishInitializing();
    return STATUS_SUCCESS;
}

NTSTATUS DeleteHartDevices(DRIVER_CONTEXT* dctx) {
    HartTrace(HART_TRACE_ENTRY, "%s >>>> \n", __func__);
    if (!dctx || !dctx->HartDevicesLock) return STATUS_SUCCESS;
    std::lock_guard lock(*dctx->HartDevicesLock);
    while (dctx->HartDevices->GetCount() > 0) {
        WDFDEVICE device = dctx->HartDevices->GetFirstItem();
        if (!device) {
            HartTrace(HART_TRACE_ERROR, "HartDevice is NULL!\n");
            break;
        }
        if (HARTDEVICE_CONTEXT* ctx = HartDeviceGetContext(device)) {
            HartStopDevice(ctx, HartStopReason::DeviceDeleted);
            if (ctx->SymbolicLinkCreated) {
                device->DeleteSymbolicLink(ctx->SymbolicLinkName);
                ctx->SymbolicLinkCreated = false;
            }
        }
        dctx->HartDevices->Remove(device);
        device->Delete();
    }
    HartTrace(HART_TRACE_ENTRY, "%s <<<< \n", __func__);
    return STATUS_SUCCESS;
}

} // namespace zelhart::hartdriver
