#include "device_install.h"

#include "fs_util.h"

namespace zelhart::setupapi::detail {
namespace {

bool NodeHasId(const DeviceNode& node, const std::string& id) {
    for (const auto* list : {&node.hardwareIds, &node.compatibleIds})
        for (const std::string& own : *list)
            if (EqualsNoCase(own, id)) return true;
    return false;
}

uint32_t RootBit(const DeviceNode& node) {
    return StartsWithNoCase(node.instanceId, "ROOT\\") ? DN_ROOT_ENUMERATED : 0;
}

} // namespace

std::vector<DriverCandidate> CompatibleDrivers(const DeviceNode& node, const std::vector<StoredPackage>& packages) {
    std::vector<DriverCandidate> out;
    for (const StoredPackage& p : packages)
        for (const InfManufacturer& maker : p.description.manufacturers)
            for (const InfModel& model : maker.models)
                for (const std::string& id : model.ids)
                    if (NodeHasId(node, id)) {
                        out.push_back({p.id, maker.name, p.description.provider, model.description, model.installSection});
                        break;
                    }
    return out;
}

bool ChangeNeedsRestart(const DeviceNode& node) {
    return node.present && (node.status & DN_STARTED) && !(node.status & DN_DISABLEABLE);
}

bool BindDriver(DeviceNode* node, const StoredPackage& package, const DriverCandidate& driver) {
    bool restart = ChangeNeedsRestart(*node);
    node->className = package.description.className;
    node->classGuid = package.description.classGuid;
    node->service = InfServiceOf(package.inf, driver.installSection);
    if (auto filters = InfUpperFiltersOf(package.inf, driver.installSection); !filters.empty())
        node->upperFilters = std::move(filters);
    node->driverPackage = package.id;
    node->manufacturer = driver.manufacturer;
    if (!node->present) return false;
    if (restart) {
        node->status |= DN_NEED_RESTART;
    } else {
        node->status = DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE | RootBit(*node);
        node->problem = 0;
    }
    return restart;
}

void MarkWithoutDriver(DeviceNode* node) {
    if (!node->present) return;
    node->status = DN_HAS_PROBLEM | RootBit(*node);
    node->problem = CM_PROB_FAILED_INSTALL;
}

void UnbindDriver(DeviceNode* node) {
    node->service.clear();
    node->driverPackage.clear();
    node->manufacturer.clear();
    MarkWithoutDriver(node);
}

} // namespace zelhart::setupapi::detail
