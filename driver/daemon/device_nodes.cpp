#include "device_nodes.h"

#include "zelhart/drvfw/framework.h"
#include "zelhart/devdb/sysroot.h"

#include <algorithm>
#include <cstdio>

namespace zelhart::hartdriver {
namespace {

bool SameInstance(const std::string& a, const std::string& b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

bool Contains(const std::vector<std::string>& ids, const std::string& id) {
    return std::ranges::any_of(ids, [&](const std::string& other) { return SameInstance(other, id); });
}

std::vector<std::string> Wanted(const std::vector<std::string>& served, const devdb::BoundDeviceNodes& bound,
                                bool atStart) {
    using devdb::DeviceDatabaseState;
    switch (bound.state) {
    case DeviceDatabaseState::Absent:
        return {kRootDeviceInstance};
    case DeviceDatabaseState::Refused:
        return atStart ? std::vector<std::string>{kRootDeviceInstance} : served;
    case DeviceDatabaseState::Loaded:
        break;
    }
    std::vector<std::string> wanted;
    for (const auto& node : bound.nodes)
        if (!Contains(wanted, node.instanceId)) wanted.push_back(node.instanceId);
    return wanted;
}

} // namespace

FunctionDevicePlan PlanFunctionDevices(const std::vector<std::string>& served,
                                       const devdb::BoundDeviceNodes& bound, bool atStart) {
    FunctionDevicePlan plan;
    plan.databaseRefused = bound.state == devdb::DeviceDatabaseState::Refused;
    std::vector<std::string> wanted = Wanted(served, bound, atStart);
    for (const auto& id : served)
        if (!Contains(wanted, id)) plan.remove.push_back(id);
    for (const auto& id : wanted)
        if (!Contains(served, id)) plan.add.push_back(id);
    return plan;
}

bool SyncFunctionDevices(drvfw::Framework& fw, bool atStart) {
    devdb::BoundDeviceNodes bound = devdb::ListDeviceNodesBoundToService(fw.options().serviceName);
    FunctionDevicePlan plan = PlanFunctionDevices(fw.DeviceInstanceIds(), bound, atStart);
    const std::string database = devdb::DatabasePath();
    if (plan.databaseRefused)
        std::fprintf(stderr, "ZelHartDriver: the device database %s cannot be used (%s); %s\n", database.c_str(),
                     bound.reason.c_str(),
                     atStart ? "serving the driver's own device node ROOT\\ZELHARTDRIVER\\0000 as without one"
                             : "the function devices stay as they are");
    for (const auto& id : plan.remove) {
        NTSTATUS status = fw.RemoveDevice(id);
        std::fprintf(stderr, "ZelHartDriver: device node %s is gone; its function device %s\n", id.c_str(),
                     NT_SUCCESS(status) ? "was removed" : "was not found");
    }
    bool added = true;
    for (const auto& id : plan.add) {
        NTSTATUS status = fw.AddDevice(id);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "ZelHartDriver: adding the function device of %s failed with status 0x%X\n",
                         id.c_str(), static_cast<unsigned>(status));
            added = false;
        } else if (!atStart) {
            std::fprintf(stderr, "ZelHartDriver: device node %s: function device added\n", id.c_str());
        }
    }
    if (bound.state == devdb::DeviceDatabaseState::Loaded && bound.nodes.empty())
        std::fprintf(stderr, "ZelHartDriver: no device node in %s is bound to %s; no function device is served\n",
                     database.c_str(), fw.options().serviceName.c_str());
    return added;
}

} // namespace zelhart::hartdriver
