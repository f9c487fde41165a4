#include "zelhart/drvfw/driver.h"

#include "zelhart/drvfw/framework.h"

namespace zelhart::drvfw {

NTSTATUS Driver::Create(Framework& fw, const std::string& registryPath, const ObjectAttributes& attributes,
                        const DriverConfig& config, WDFDRIVER* out) {
    auto driver = std::make_shared<Driver>(fw, registryPath, attributes, config);
    if (NTSTATUS s = fw.SetDriver(driver); !NT_SUCCESS(s)) return s;
    *out = driver;
    return STATUS_SUCCESS;
}

} // namespace zelhart::drvfw
