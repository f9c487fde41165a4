// The configuration manager over the device database: the device tree of present device nodes, their
// status and IDs, and re-enumeration (which tells the running driver daemon to read the tree again).
#pragma once

#include "zelhart/setupapi/win32.h"

#include <string>
#include <string_view>

namespace zelhart::setupapi {

using CONFIGRET = DWORD;
using DEVINST = DWORD;

inline constexpr CONFIGRET CR_SUCCESS = 0x0;
inline constexpr CONFIGRET CR_INVALID_POINTER = 0x3;
inline constexpr CONFIGRET CR_INVALID_DEVNODE = 0x5;
inline constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0xD;
inline constexpr CONFIGRET CR_FAILURE = 0x13;
inline constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;

inline constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0x0;
inline constexpr ULONG CM_LOCATE_DEVNODE_PHANTOM = 0x1;

// A null or empty ID locates the root of the tree.
CONFIGRET CM_Locate_DevNodeW(DEVINST* devInst, const char* deviceId, ULONG flags);
CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Child(DEVINST* child, DEVINST devInst, ULONG flags);
CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST devInst, ULONG flags);
// Copies at most `length` - 1 characters of the ID and always ends them with a NUL; CR_BUFFER_SMALL
// when the ID was cut.
CONFIGRET CM_Get_Device_IDW(DEVINST devInst, char* buffer, ULONG length, ULONG flags);
// Re-enumerating any node asks the running ZelHartDriver to read its device nodes again (see
// daemon_nodes.h); without a running daemon there is nothing to do.
CONFIGRET CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags);

namespace detail {
// The process's handle for a device instance ID, and back.
DEVINST DevInstFor(std::string_view instanceId);
bool InstanceIdOf(DEVINST devInst, std::string* instanceId);
} // namespace detail

} // namespace zelhart::setupapi
