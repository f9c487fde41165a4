// The file helpers of the device database layer, seen by the setup services as their own.
#pragma once

#include "zelhart/devdb/fs_util.h"
#include "zelhart/setupapi/win32.h"

namespace zelhart::setupapi::detail {

using namespace zelhart::devdb::detail;

} // namespace zelhart::setupapi::detail
