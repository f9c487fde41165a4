// Handles of the driver framework, named as the driver code knows them.
//
// Every framework object is reached through a shared handle; an object stays in memory while any
// handle to it exists, and Delete() (WdfObjectDelete) ends its life as a framework object: children
// are deleted, callbacks stop, the context is released.
#pragma once

#include "zelhart/platform/guid.h"
#include "zelhart/platform/ntstatus.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zelhart::drvfw {

using platform::Guid;

class Framework;
class Object;
class Driver;
class DeviceInit;
class Device;
class IoQueue;
class Request;
class FileObject;
class Timer;
class WorkItem;
class IoTarget;
class Memory;
class KEvent;
class WaitLock;
class SpinLock;

using WDFOBJECT = std::shared_ptr<Object>;
using WDFDRIVER = std::shared_ptr<Driver>;
using WDFDEVICE = std::shared_ptr<Device>;
using WDFQUEUE = std::shared_ptr<IoQueue>;
using WDFREQUEST = std::shared_ptr<Request>;
using WDFFILEOBJECT = std::shared_ptr<FileObject>;
using WDFTIMER = std::shared_ptr<Timer>;
using WDFWORKITEM = std::shared_ptr<WorkItem>;
using WDFIOTARGET = std::shared_ptr<IoTarget>;
using WDFMEMORY = std::shared_ptr<Memory>;
using WDFWAITLOCK = std::shared_ptr<WaitLock>;
using WDFSPINLOCK = std::shared_ptr<SpinLock>;
using PKEVENT = std::shared_ptr<KEvent>; // a referenced event of a user-mode caller
using PWDFDEVICE_INIT = std::unique_ptr<DeviceInit>;

// What a request asks for.
enum class RequestType { Create, Read, Write, DeviceIoControl, Other };

// Relative due time in the framework's 100-ns units (negative = relative), as timers take it.
constexpr int64_t WDF_REL_TIMEOUT_IN_MS(uint64_t ms) {
    return -static_cast<int64_t>(ms * 10000);
}

} // namespace zelhart::drvfw
