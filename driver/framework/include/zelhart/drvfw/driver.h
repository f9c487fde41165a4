// WDFDRIVER: the driver object, created once by the driver's entry routine.
#pragma once

#include "zelhart/drvfw/object.h"

#include <functional>
#include <string>

namespace zelhart::drvfw {

struct DriverConfig {
    // A device node bound to the driver has appeared (Framework::AddDevice): create its function
    // device from `init` (Device::Create consumes it).
    std::function<NTSTATUS(WDFDRIVER, PWDFDEVICE_INIT& init)> EvtDriverDeviceAdd;
    // At shutdown, after every device is gone.
    std::function<void(WDFDRIVER)> EvtDriverUnload;
};

class Driver : public Object {
  public:
    // WdfDriverCreate. One driver per framework: STATUS_OBJECT_NAME_COLLISION for a second.
    static NTSTATUS Create(Framework& fw, const std::string& registryPath, const ObjectAttributes& attributes,
                           const DriverConfig& config, WDFDRIVER* out);

    const std::string& RegistryPath() const { return registryPath_; }
    const DriverConfig& config() const { return config_; }

    Driver(Framework& fw, std::string registryPath, const ObjectAttributes& attributes,
           const DriverConfig& config)
        : Object(fw, attributes, nullptr), registryPath_(std::move(registryPath)), config_(config) {}

  private:
    std::string registryPath_;
    DriverConfig config_;
};

} // namespace zelhart::drvfw
