// The configuration manager: the tree of present device nodes.
#include "fs_util.h"
#include "zelhart/setupapi/cfgmgr32.h"
#include "zelhart/devdb/daemon_nodes.h"
#include "zelhart/devdb/device_db.h"

#include <cstring>
#include <map>
#include <mutex>

namespace zelhart::setupapi {

namespace detail {
namespace {

struct DevInstTable {
    std::mutex mutex;
    std::map<std::string, DEVINST> byId; // lower-case ID
    std::vector<std::string> ids{""};    // DEVINST -> ID; 0 is no node
};

DevInstTable& Table() {
    static DevInstTable table;
    return table;
}

} // namespace

DEVINST DevInstFor(std::string_view instanceId) {
    DevInstTable& t = Table();
    std::lock_guard lock(t.mutex);
    std::string key = AsciiLower(instanceId);
    auto it = t.byId.find(key);
    if (it != t.byId.end()) return it->second;
    DEVINST d = static_cast<DEVINST>(t.ids.size());
    t.ids.emplace_back(instanceId);
    t.byId.emplace(std::move(key), d);
    return d;
}

bool InstanceIdOf(DEVINST devInst, std::string* instanceId) {
    DevInstTable& t = Table();
    std::lock_guard lock(t.mutex);
    if (devInst == 0 || devInst >= t.ids.size()) return false;
    *instanceId = t.ids[devInst];
    return true;
}

} // namespace detail

namespace {

using detail::EqualsNoCase;

bool IsRoot(std::string_view id) { return EqualsNoCase(id, kRootDeviceInstanceId); }

// The database and the present node (or the root) behind `devInst`.
CONFIGRET Resolve(DEVINST devInst, DeviceDatabase* db, std::string* id) {
    if (!detail::InstanceIdOf(devInst, id)) return CR_INVALID_DEVNODE;
    if (LoadDeviceDatabase(db) != ERROR_SUCCESS) return CR_FAILURE;
    if (IsRoot(*id)) return CR_SUCCESS;
    const DeviceNode* n = db->Find(*id);
    return n && n->present ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
}

} // namespace

CONFIGRET CM_Locate_DevNodeW(DEVINST* devInst, const char* deviceId, ULONG flags) {
    if (!devInst) return CR_INVALID_POINTER;
    std::string_view id = deviceId ? deviceId : "";
    if (id.empty() || IsRoot(id)) {
        *devInst = detail::DevInstFor(kRootDeviceInstanceId);
        return CR_SUCCESS;
    }
    DeviceDatabase db;
    if (LoadDeviceDatabase(&db) != ERROR_SUCCESS) return CR_FAILURE;
    const DeviceNode* n = db.Find(id);
    if (!n || (!n->present && !(flags & CM_LOCATE_DEVNODE_PHANTOM))) return CR_NO_SUCH_DEVNODE;
    *devInst = detail::DevInstFor(n->instanceId);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST devInst, ULONG) {
    if (!status || !problem) return CR_INVALID_POINTER;
    DeviceDatabase db;
    std::string id;
    if (CONFIGRET r = Resolve(devInst, &db, &id)) return r;
    if (IsRoot(id)) {
        *status = DN_DRIVER_LOADED | DN_STARTED;
        *problem = 0;
        return CR_SUCCESS;
    }
    const DeviceNode* n = db.Find(id);
    *status = n->status;
    *problem = n->problem;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG) {
    if (!child) return CR_INVALID_POINTER;
    DeviceDatabase db;
    std::string id;
    if (CONFIGRET r = Resolve(devInst, &db, &id)) return r;
    auto children = db.PresentChildren(id);
    if (children.empty()) return CR_NO_SUCH_DEVNODE;
    *child = detail::DevInstFor(children.front()->instanceId);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG) {
    if (!sibling) return CR_INVALID_POINTER;
    DeviceDatabase db;
    std::string id;
    if (CONFIGRET r = Resolve(devInst, &db, &id)) return r;
    if (IsRoot(id)) return CR_NO_SUCH_DEVNODE;
    auto siblings = db.PresentChildren(db.Find(id)->parent);
    for (size_t i = 0; i + 1 < siblings.size(); ++i)
        if (EqualsNoCase(siblings[i]->instanceId, id)) {
            *sibling = detail::DevInstFor(siblings[i + 1]->instanceId);
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET CM_Get_Device_IDW(DEVINST devInst, char* buffer, ULONG length, ULONG) {
    if (!buffer || length == 0) return CR_INVALID_POINTER;
    std::string id;
    if (!detail::InstanceIdOf(devInst, &id)) return CR_INVALID_DEVNODE;
    size_t n = std::min<size_t>(id.size(), length - 1);
    std::memcpy(buffer, id.data(), n);
    buffer[n] = '\0';
    return n < id.size() ? CR_BUFFER_SMALL : CR_SUCCESS;
}

CONFIGRET CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags) {
    std::string id;
    if (!detail::InstanceIdOf(devInst, &id)) return CR_INVALID_DEVNODE;
    if (flags != 0) return CR_FAILURE;
    return SignalDaemonToReenumerate() == ReenumerateResult::Failed ? CR_FAILURE : CR_SUCCESS;
}

} // namespace zelhart::setupapi
