// A user-mode caller's event, referenced by the driver (ObReferenceObjectByHandle): the caller's
// eventfd, passed along with a device I/O control request. Dropping the last handle dereferences it.
#pragma once

#include "zelhart/drvfw/types.h"
#include "zelhart/platform/unique_fd.h"

namespace zelhart::drvfw {

class KEvent {
  public:
    explicit KEvent(platform::UniqueFd fd) : fd_(std::move(fd)) {}
    // KeSetEvent: the caller's event becomes signalled.
    void Set() const;

  private:
    platform::UniqueFd fd_;
};

} // namespace zelhart::drvfw
