// The library's device I/O over the driver daemon: every call goes through the I/O manager client of
// the platform (one socket connection per open file, <runtime dir>/zelhart.sock).
//
// The client already speaks the calls' language (Win32 error codes mapped from the driver's NTSTATUS),
// so this layer only fits its shapes to the library's: the read keeps its buffer and OVERLAPPED here
// and signals the library's completion eventfd, a write waits for its completion, a control request
// uses one buffer for input and output.
#pragma once

#include "device_io.h"

#include <memory>

namespace zelhart::hartif {

// Opens devices of the daemon named by the runtime directory in force at each call
// ($ZELHART_RUNTIME_DIR and the rest of the look-up). Without a daemon: opens fail with
// ERROR_FILE_NOT_FOUND, look-ups with ERROR_NO_MORE_ITEMS.
std::shared_ptr<IDeviceIo> MakeClientDeviceIo();

} // namespace zelhart::hartif
