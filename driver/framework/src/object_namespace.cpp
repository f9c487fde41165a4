#include "object_namespace.h"

#include "zelhart/drvfw/device.h"

#include <algorithm>

namespace zelhart::drvfw {
namespace {

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

} // namespace

std::optional<std::string> ObjectNamespace::LinkTail(std::string_view linkName) {
    static constexpr std::string_view kPrefixes[] = {"\\DOSDEVICES\\GLOBAL\\", "\\DOSDEVICES\\", "\\??\\",
                                                     "\\GLOBAL??\\"};
    std::string upper = Upper(linkName);
    for (auto prefix : kPrefixes)
        if (upper.size() > prefix.size() && upper.compare(0, prefix.size(), prefix) == 0)
            return std::string(linkName.substr(prefix.size()));
    return std::nullopt;
}

NTSTATUS ObjectNamespace::AddDeviceName(const std::string& name, const WDFDEVICE& device) {
    std::lock_guard lock(mutex_);
    auto key = Upper(name);
    auto it = deviceNames_.find(key);
    if (it != deviceNames_.end() && !it->second.expired()) return STATUS_OBJECT_NAME_COLLISION;
    deviceNames_[key] = device;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::AddLink(std::string_view linkName, const WDFDEVICE& device) {
    auto tail = LinkTail(linkName);
    if (!tail) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(mutex_);
    auto key = Upper(*tail);
    auto it = links_.find(key);
    if (it != links_.end() && !it->second.expired()) return STATUS_OBJECT_NAME_COLLISION;
    links_[key] = device;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::RemoveLink(std::string_view linkName, const Device* device) {
    auto tail = LinkTail(linkName);
    if (!tail) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(mutex_);
    auto it = links_.find(Upper(*tail));
    if (it == links_.end() || it->second.lock().get() != device) return STATUS_OBJECT_NAME_NOT_FOUND;
    links_.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::AddInterface(const Guid& interfaceClass, const std::string& path,
                                       const WDFDEVICE& device) {
    std::lock_guard lock(mutex_);
    auto key = Upper(path);
    auto it = links_.find(key);
    if (it != links_.end() && !it->second.expired()) return STATUS_OBJECT_NAME_COLLISION;
    links_[key] = device;
    interfaces_.push_back({interfaceClass, path, device});
    return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveAll(const Device* device) {
    std::lock_guard lock(mutex_);
    auto owned = [&](const std::weak_ptr<Device>& d) {
        auto p = d.lock();
        return !p || p.get() == device;
    };
    std::erase_if(deviceNames_, [&](const auto& e) { return owned(e.second); });
    std::erase_if(links_, [&](const auto& e) { return owned(e.second); });
    std::erase_if(interfaces_, [&](const Interface& i) { return owned(i.device); });
}

WDFDEVICE ObjectNamespace::Resolve(std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto it = links_.find(Upper(name));
    return it == links_.end() ? nullptr : it->second.lock();
}

std::optional<std::string> ObjectNamespace::LookupInterface(const Guid& interfaceClass,
                                                            uint32_t index) const {
    std::lock_guard lock(mutex_);
    uint32_t seen = 0;
    for (const auto& i : interfaces_) {
        if (!(i.interfaceClass == interfaceClass)) continue;
        auto device = i.device.lock();
        if (!device || device->IsDeleted() || !device->AcceptsOpens()) continue;
        if (seen++ == index) return "\\\\?\\" + i.path;
    }
    return std::nullopt;
}

} // namespace zelhart::drvfw
