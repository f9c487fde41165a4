// WDFFILEOBJECT: one open handle of a device (one connection to the daemon's socket).
#pragma once

#include "zelhart/drvfw/object.h"

#include <string>
#include <sys/types.h>

namespace zelhart::drvfw {

class FileObject : public Object {
  public:
    WDFDEVICE GetDevice() const { return device_; }
    const std::string& GetFileName() const { return name_; } // the name the caller opened
    uint32_t DesiredAccess() const { return desiredAccess_; }
    uint32_t ShareAccess() const { return shareAccess_; }
    pid_t CallerPid() const { return pid_; }
    uid_t CallerUid() const { return uid_; }

    FileObject(Framework& fw, const ObjectAttributes& attributes, WDFDEVICE device, std::string name,
               uint32_t desiredAccess, uint32_t shareAccess, pid_t pid, uid_t uid)
        : Object(fw, attributes, nullptr), device_(std::move(device)), name_(std::move(name)),
          desiredAccess_(desiredAccess), shareAccess_(shareAccess), pid_(pid), uid_(uid) {}

  private:
    WDFDEVICE device_;
    std::string name_;
    uint32_t desiredAccess_;
    uint32_t shareAccess_;
    pid_t pid_;
    uid_t uid_;
};

} // namespace zelhart::drvfw
