#include "zelhart/drvfw/device.h"

#include "object_namespace.h"
#include "zelhart/drvfw/driver.h"
#include "zelhart/drvfw/framework.h"
#include "zelhart/drvfw/request.h"
#include "zelhart/platform/guid.h"

namespace zelhart::drvfw {

PWDFDEVICE_INIT DeviceInit::ControlDeviceInitAllocate(const WDFDRIVER& driver, std::string_view sddl) {
    if (!driver) return nullptr;
    auto init = std::make_unique<DeviceInit>(driver, true, std::string());
    init->sddl_ = sddl;
    return init;
}

NTSTATUS DeviceInit::AssignName(std::string_view name) {
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    name_ = name;
    return STATUS_SUCCESS;
}

Device::Device(Framework& fw, DeviceInit& init, const ObjectAttributes& attributes)
    : Object(fw, attributes, init.driver_), driver_(init.driver_), control_(init.control_),
      exclusive_(init.exclusive_), name_(init.name_), instanceId_(init.instanceId_),
      fileConfig_(init.fileConfig_), fileAttributes_(init.fileAttributes_), pnpPower_(init.pnpPower_),
      initialized_(false) {}

NTSTATUS Device::Create(PWDFDEVICE_INIT& init, const ObjectAttributes& attributes, WDFDEVICE* out) {
    if (!init || !init->driver_) return STATUS_INVALID_PARAMETER;
    Framework& fw = init->driver_->framework();
    auto device = std::make_shared<Device>(fw, *init, attributes);
    if (!device->name_.empty())
        if (NTSTATUS s = fw.names().AddDeviceName(device->name_, device); !NT_SUCCESS(s)) return s;
    if (NTSTATUS s = device->AttachToParent(); !NT_SUCCESS(s)) {
        fw.names().RemoveAll(device.get());
        return s;
    }
    fw.AddDeviceObject(device);
    init.reset();
    *out = device;
    return STATUS_SUCCESS;
}

NTSTATUS Device::CreateSymbolicLink(std::string_view linkName) {
    auto self = std::static_pointer_cast<Device>(shared_from_this());
    NTSTATUS s = framework().names().AddLink(linkName, self);
    if (NT_SUCCESS(s)) {
        std::lock_guard lock(mutex_);
        links_.emplace_back(linkName);
    }
    return s;
}

NTSTATUS Device::DeleteSymbolicLink(std::string_view linkName) {
    NTSTATUS s = framework().names().RemoveLink(linkName, this);
    if (NT_SUCCESS(s)) {
        std::lock_guard lock(mutex_);
        std::erase(links_, std::string(linkName));
    }
    return s;
}

NTSTATUS Device::CreateDeviceInterface(const Guid& interfaceClass, std::string_view referenceString) {
    if (control_) return STATUS_INVALID_DEVICE_REQUEST;
    std::string path = instanceId_;
    for (char& c : path)
        if (c == '\\') c = '#';
    path += "#" + platform::FormatGuid(interfaceClass);
    if (!referenceString.empty()) path += "\\" + std::string(referenceString);
    auto self = std::static_pointer_cast<Device>(shared_from_this());
    NTSTATUS s = framework().names().AddInterface(interfaceClass, path, self);
    if (NT_SUCCESS(s)) {
        std::lock_guard lock(mutex_);
        interfacePaths_.push_back(path);
    }
    return s;
}

NTSTATUS Device::ConfigureRequestDispatching(const WDFQUEUE& queue, RequestType type) {
    if (!queue || queue->GetDevice().get() != this) return STATUS_INVALID_PARAMETER;
    if (type == RequestType::Create || type == RequestType::Other) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    auto& slot = dispatch_[type];
    if (!slot.expired()) return STATUS_INVALID_DEVICE_REQUEST;
    slot = queue;
    return STATUS_SUCCESS;
}

void Device::ControlFinishInitializing() {
    std::lock_guard lock(mutex_);
    initialized_ = true;
}

void Device::MarkStarted() {
    std::lock_guard lock(mutex_);
    initialized_ = true;
}

bool Device::AcceptsOpens() const {
    std::lock_guard lock(mutex_);
    return initialized_;
}

bool Device::TryReserveOpen() {
    std::lock_guard lock(mutex_);
    if (exclusive_ && openCount_ > 0) return false;
    openCount_++;
    return true;
}

void Device::ReleaseOpen() {
    std::lock_guard lock(mutex_);
    if (openCount_ > 0) openCount_--;
}

void Device::AddQueue(const WDFQUEUE& queue) {
    std::lock_guard lock(mutex_);
    queues_.push_back(queue);
    if (queue->config().DefaultQueue && defaultQueue_.expired()) defaultQueue_ = queue;
}

std::vector<WDFQUEUE> Device::Queues() const {
    std::lock_guard lock(mutex_);
    std::vector<WDFQUEUE> out;
    for (const auto& q : queues_)
        if (auto p = q.lock()) out.push_back(p);
    return out;
}

void Device::DispatchIncoming(const WDFREQUEST& request) {
    RequestParameters p;
    request->GetParameters(&p);
    if ((p.Type == RequestType::Read || p.Type == RequestType::Write) && p.Length == 0) {
        request->CompleteWithInformation(STATUS_SUCCESS, 0); // zero-length transfers never reach the driver
        return;
    }
    WDFQUEUE queue;
    {
        std::lock_guard lock(mutex_);
        if (auto it = dispatch_.find(p.Type); it != dispatch_.end()) queue = it->second.lock();
        if (!queue) queue = defaultQueue_.lock();
    }
    if (!queue || queue->IsDeleted()) {
        request->Complete(STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    queue->EnqueueIncoming(request);
}

void Device::OnDelete() {
    {
        std::lock_guard lock(mutex_);
        initialized_ = false;
    }
    framework().names().RemoveAll(this);
    framework().RemoveDeviceObject(this);
}

} // namespace zelhart::drvfw
