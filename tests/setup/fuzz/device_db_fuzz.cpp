// libFuzzer target: the text of the device database (<root>/var/lib/zelhart/devices.db), parsed as
// every reader and writer of the setup services parses it. Each input is parsed twice: as it stands,
// and with its end line made right (the node count and the checksum of what comes before), so that
// the fuzzer reaches past the checksum into the checks of the tree.
//
// Checked for every input: a refused file says why; a parsed one keeps every bound, each node's
// parents lead to the root, and the database writes back to a text that parses to the same nodes.
// The tree operations the configuration manager uses (children, removing a subtree) keep it whole.
#include "zelhart/devdb/device_db.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace zelhart::devdb;

[[noreturn]] void Die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "device db fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

uint64_t Fnv1a64(std::string_view bytes) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

// The text with its end line (and anything after it) replaced by a right one.
std::string WithRightEndLine(std::string_view text) {
    size_t end = text.rfind("\nend ");
    std::string body(end == std::string_view::npos ? text : text.substr(0, end + 1));
    if (!body.empty() && body.back() != '\n') body += '\n';
    size_t nodes = 0;
    for (size_t at = 0; (at = body.find("\nnode ", at)) != std::string::npos; ++at)
        ++nodes;
    char line[64];
    std::snprintf(line, sizeof line, "end %zu %016llx\n", nodes,
                  static_cast<unsigned long long>(Fnv1a64(body)));
    return body + line;
}

// The root compares without regard to case, as every instance ID does.
bool IsRoot(std::string_view id) {
    const std::string_view root = kRootDeviceInstanceId;
    if (id.size() != root.size()) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const char c = (id[i] >= 'a' && id[i] <= 'z') ? char(id[i] - 32) : id[i];
        if (c != root[i]) return false;
    }
    return true;
}

void CheckDatabase(const DeviceDatabase& db) {
    if (db.nodes.size() > kMaxDeviceNodes) Die("more nodes than the bound");
    for (const DeviceNode& n : db.nodes) {
        if (n.instanceId.empty() || n.instanceId.size() > kMaxDeviceIdLength)
            Die("an instance ID out of bounds");
        for (const auto* list : {&n.hardwareIds, &n.compatibleIds, &n.upperFilters})
            if (list->size() > kMaxIdsPerList) Die("an ID list over its bound", n.instanceId);
        const DeviceNode* at = &n;
        for (size_t depth = 0; !IsRoot(at->parent); ++depth) {
            if (depth > kMaxTreeDepth) Die("parents that do not reach the root", n.instanceId);
            if (!(at = db.Find(at->parent))) Die("a parent that does not exist", n.instanceId);
        }
    }
    const std::string text = SerializeDeviceDatabase(db);
    std::string reason;
    const auto again = ParseDeviceDatabase(text, &reason);
    if (!again) Die("its own text is refused", reason);
    if (again->nodes != db.nodes) Die("its own text parses to other nodes");

    // Children of the root, and the database without the first node's subtree, which must still be
    // a whole tree.
    for (const DeviceNode* child : db.PresentChildren(kRootDeviceInstanceId))
        if (!child->present) Die("an absent node among the present children");
    if (db.nodes.empty()) return;
    DeviceDatabase pruned = db;
    const size_t removed = pruned.RemoveSubtree(db.nodes.front().instanceId);
    if (removed == 0 || pruned.nodes.size() + removed != db.nodes.size()) Die("a subtree removed badly");
    if (!ParseDeviceDatabase(SerializeDeviceDatabase(pruned), &reason))
        Die("a pruned tree is refused", reason);
}

void ParseAndCheck(std::string_view text) {
    std::string reason;
    const auto db = ParseDeviceDatabase(text, &reason);
    if (!db) {
        if (reason.empty()) Die("a refused database without a reason");
        return;
    }
    CheckDatabase(*db);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ParseAndCheck(text);
    ParseAndCheck(WithRightEndLine(text));
    return 0;
}
