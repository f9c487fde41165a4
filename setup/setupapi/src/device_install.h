// Installing a driver on a device node, as the setup services do it: which stored drivers fit a node,
// and what binding one changes. Free of system calls.
#pragma once

#include "driver_store.h"
#include "zelhart/devdb/device_db.h"

#include <vector>

namespace zelhart::setupapi::detail {

struct DriverCandidate {
    std::string packageId;
    std::string manufacturer;
    std::string provider;
    std::string description;
    std::string installSection;
};

// Every model of `packages` (in order) one of whose IDs equals one of the node's hardware or
// compatible IDs, letter case ignored.
std::vector<DriverCandidate> CompatibleDrivers(const DeviceNode& node, const std::vector<StoredPackage>& packages);

// A change to a node that runs and cannot be stopped (started, not DN_DISABLEABLE) waits for a restart.
bool ChangeNeedsRestart(const DeviceNode& node);

// Binds the node to the driver: setup class, service, upper filters (when the driver sets any), package
// and manufacturer. A present node then runs (DN_STARTED, DN_DRIVER_LOADED, DN_DISABLEABLE), or, when
// the change needs a restart, keeps running its old stack with DN_NEED_RESTART. True when a restart is
// needed.
bool BindDriver(DeviceNode* node, const StoredPackage& package, const DriverCandidate& driver);

// The node loses its driver (its package left the store): no service, problem CM_PROB_FAILED_INSTALL.
void UnbindDriver(DeviceNode* node);

// The status of a present node that has no driver.
void MarkWithoutDriver(DeviceNode* node);

} // namespace zelhart::setupapi::detail
