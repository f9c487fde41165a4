// WDFDEVICE and its initialisation record.
//
// Two kinds: a Plug and Play device (the function device of a device node bound to the driver; it gets
// device interfaces and self-managed I/O power callbacks), and a control device (created by the driver
// on demand, with a name, symbolic links and optionally an exclusive flag: one open handle at a time;
// a second open is refused with STATUS_ACCESS_DENIED before the driver sees it).
//
// Names: "\Device\X" device names and "\DosDevices\X" (also "\??\X") links; user mode opens a link as
// "\\.\X". Names compare without regard to case. Device interfaces get the path
// "\\?\<instance id with # for \>#<{class guid}>", opened as it stands.
#pragma once

#include "zelhart/drvfw/file_object.h"
#include "zelhart/drvfw/io_queue.h"
#include "zelhart/drvfw/object.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::drvfw {

struct FileObjectConfig {
    // The driver completes the create request (now or later); until then the open is pending.
    std::function<void(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> EvtDeviceFileCreate;
    // When the handle is closed: cleanup, then close, one after the other on the event loop.
    std::function<void(WDFFILEOBJECT)> EvtFileCleanup;
    std::function<void(WDFFILEOBJECT)> EvtFileClose;
};

struct PnpPowerEventCallbacks {
    std::function<NTSTATUS(WDFDEVICE)> EvtDeviceSelfManagedIoSuspend;
    std::function<NTSTATUS(WDFDEVICE)> EvtDeviceSelfManagedIoRestart;
    std::function<void(WDFDEVICE)> EvtDeviceSelfManagedIoFlush;   // at shutdown, before cleanup
    std::function<void(WDFDEVICE)> EvtDeviceSelfManagedIoCleanup; // at shutdown, before deletion
};

class DeviceInit {
  public:
    // WdfControlDeviceInitAllocate. The security descriptor is kept for the record: the socket is
    // open to every user, as the descriptor the driver uses grants.
    static PWDFDEVICE_INIT ControlDeviceInitAllocate(const WDFDRIVER& driver, std::string_view sddl);

    void SetExclusive(bool exclusive) { exclusive_ = exclusive; }
    // "\Device\..." (or any name); STATUS_OBJECT_NAME_INVALID when empty.
    NTSTATUS AssignName(std::string_view name);
    void SetFileObjectConfig(const FileObjectConfig& config, const ObjectAttributes& fileAttributes = {}) {
        fileConfig_ = config;
        fileAttributes_ = fileAttributes;
    }
    void SetPnpPowerEventCallbacks(const PnpPowerEventCallbacks& callbacks) { pnpPower_ = callbacks; }
    void SetPowerPolicyOwnership(bool owner) { powerPolicyOwner_ = owner; }

    DeviceInit(WDFDRIVER driver, bool control, std::string instanceId)
        : driver_(std::move(driver)), control_(control), instanceId_(std::move(instanceId)) {}

  private:
    friend class Device;

    WDFDRIVER driver_;
    bool control_;
    std::string instanceId_; // PnP devices
    std::string sddl_;
    bool exclusive_ = false;
    std::string name_;
    FileObjectConfig fileConfig_;
    ObjectAttributes fileAttributes_;
    PnpPowerEventCallbacks pnpPower_;
    bool powerPolicyOwner_ = false;
};

class Device : public Object {
  public:
    // WdfDeviceCreate: consumes `init` on success. STATUS_OBJECT_NAME_COLLISION when the name is taken.
    static NTSTATUS Create(PWDFDEVICE_INIT& init, const ObjectAttributes& attributes, WDFDEVICE* out);

    // "\DosDevices\X" or "\??\X"; STATUS_OBJECT_NAME_COLLISION when X is taken.
    NTSTATUS CreateSymbolicLink(std::string_view linkName);
    NTSTATUS DeleteSymbolicLink(std::string_view linkName);
    // PnP devices only (STATUS_INVALID_DEVICE_REQUEST for a control device).
    NTSTATUS CreateDeviceInterface(const Guid& interfaceClass, std::string_view referenceString = {});
    NTSTATUS ConfigureRequestDispatching(const WDFQUEUE& queue, RequestType type);
    // Opens are refused (STATUS_DEVICE_NOT_READY) until a control device has finished initialising.
    void ControlFinishInitializing();

    WDFDRIVER GetDriver() const { return driver_.lock(); }
    const std::string& GetName() const { return name_; }
    bool IsControlDevice() const { return control_; }
    bool IsExclusive() const { return exclusive_; }
    const FileObjectConfig& fileConfig() const { return fileConfig_; }
    const ObjectAttributes& fileAttributes() const { return fileAttributes_; }
    const PnpPowerEventCallbacks& pnpPower() const { return pnpPower_; }

    Device(Framework& fw, DeviceInit& init, const ObjectAttributes& attributes);

    // Framework-internal.
    void DispatchIncoming(const WDFREQUEST& request); // route a caller's request to its queue
    bool TryReserveOpen();                            // the exclusive check of a new handle
    void ReleaseOpen();
    bool AcceptsOpens() const;
    void AddQueue(const WDFQUEUE& queue);
    std::vector<WDFQUEUE> Queues() const;
    const std::string& InstanceId() const { return instanceId_; }
    void MarkStarted();

  private:
    void OnDelete() override;

    std::weak_ptr<Driver> driver_;
    bool control_;
    bool exclusive_;
    std::string name_;
    std::string instanceId_;
    FileObjectConfig fileConfig_;
    ObjectAttributes fileAttributes_;
    PnpPowerEventCallbacks pnpPower_;

    mutable std::mutex mutex_; // guards the fields below
    bool initialized_;
    uint32_t openCount_ = 0;
    std::vector<std::string> links_;
    std::vector<std::string> interfacePaths_;
    std::map<RequestType, std::weak_ptr<IoQueue>> dispatch_;
    std::weak_ptr<IoQueue> defaultQueue_;
    std::vector<std::weak_ptr<IoQueue>> queues_;
};

} // namespace zelhart::drvfw
