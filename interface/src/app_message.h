// The notification a caller registers with hart_register: on this system its hWnd is a descriptor the
// caller owns (a pipe or a socket), and a post writes the 12 bytes Msg, wParam, lParam to it.
#pragma once

#include "zelhart/hart_api.h"

namespace zelhart::hartif {

// Posts without blocking and without raising SIGPIPE. Nothing is posted when hWnd is 0 (notification
// off) or negative. A full pipe or a closed reader drops the post; true when all 12 bytes went out.
bool PostAppMessage(const AppRegistryInfo& reg);

} // namespace zelhart::hartif
