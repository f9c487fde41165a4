// The names user mode can open: device names, symbolic links and device interfaces, compared without
// regard to case.
#pragma once

#include "zelhart/drvfw/types.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::drvfw {

class ObjectNamespace {
  public:
    NTSTATUS AddDeviceName(const std::string& name, const WDFDEVICE& device);
    // "\DosDevices\X", "\??\X" or "\GLOBAL??\X"; STATUS_OBJECT_NAME_INVALID for anything else.
    NTSTATUS AddLink(std::string_view linkName, const WDFDEVICE& device);
    NTSTATUS RemoveLink(std::string_view linkName, const Device* device);
    // `path` is the interface path without its "\\?\" prefix.
    NTSTATUS AddInterface(const Guid& interfaceClass, const std::string& path, const WDFDEVICE& device);
    void RemoveAll(const Device* device);

    // What "\\.\X" or "\\?\X" opens: X as a link or an interface path.
    WDFDEVICE Resolve(std::string_view name) const;
    // The index-th interface of the class whose device accepts opens, as "\\?\<path>".
    std::optional<std::string> LookupInterface(const Guid& interfaceClass, uint32_t index) const;

    // "\DosDevices\X" -> "X"; nothing when the prefix is not a link prefix.
    static std::optional<std::string> LinkTail(std::string_view linkName);

  private:
    struct Interface {
        Guid interfaceClass;
        std::string path;
        std::weak_ptr<Device> device;
    };

    mutable std::mutex mutex_;
    std::map<std::string, std::weak_ptr<Device>> deviceNames_; // keys upper-cased
    std::map<std::string, std::weak_ptr<Device>> links_;       // keys upper-cased: links and interface paths
    std::vector<Interface> interfaces_;
};

} // namespace zelhart::drvfw
