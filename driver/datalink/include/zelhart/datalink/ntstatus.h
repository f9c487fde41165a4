// NTSTATUS results of the HART data link. The values are defined once, with the rest of the driver's
// status codes, in the platform header that the daemon, the socket protocol and the client share; the
// data link uses them by their usual names inside its own namespace.
#pragma once

#include "zelhart/platform/ntstatus.h"

namespace zelhart {

using ::NTSTATUS;
using ::NT_SUCCESS;
using ::STATUS_SUCCESS;
using ::STATUS_PENDING;
using ::STATUS_DEVICE_BUSY;
using ::STATUS_NO_MORE_ENTRIES;
using ::STATUS_UNSUCCESSFUL;
using ::STATUS_INVALID_PARAMETER;
using ::STATUS_NO_MEMORY;
using ::STATUS_BUFFER_TOO_SMALL;
using ::STATUS_OBJECT_NAME_COLLISION;
using ::STATUS_CRC_ERROR;
using ::STATUS_INSUFFICIENT_RESOURCES;
using ::STATUS_DEVICE_NOT_READY;
using ::STATUS_NOT_SUPPORTED;
using ::STATUS_CANCELLED;
using ::STATUS_OPEN_FAILED;
using ::STATUS_INVALID_DEVICE_STATE;
using ::STATUS_TRANSACTION_TIMED_OUT;

} // namespace zelhart
