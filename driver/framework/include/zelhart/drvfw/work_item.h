// WDFWORKITEM on the framework's worker threads. One work item never runs twice at once; enqueueing
// one that is already waiting does nothing, enqueueing one that runs makes it run once more after.
// Deleting it (or its device) waits until what was enqueued has run.
#pragma once

#include "zelhart/drvfw/object.h"

#include <condition_variable>
#include <functional>
#include <thread>

namespace zelhart::drvfw {

struct WorkItemConfig {
    std::function<void(WDFWORKITEM)> EvtWorkItemFunc;
    bool AutomaticSerialization = true; // accepted for the record; the driver takes its own lock
};

class WorkItem : public Object {
  public:
    // WdfWorkItemCreate; attributes.ParentObject (the device) is required.
    static NTSTATUS Create(const WorkItemConfig& config, const ObjectAttributes& attributes,
                           WDFWORKITEM* out);

    void Enqueue();
    // WdfWorkItemFlush: returns when the item is neither waiting nor running. From inside the item's
    // own callback it returns at once (waiting there could never end).
    void Flush();

    WorkItem(Framework& fw, const WorkItemConfig& config, const ObjectAttributes& attributes);

  private:
    void OnDelete() override;
    void Submit();
    void RunOnce();

    WorkItemConfig config_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool queued_ = false;
    bool running_ = false;
    std::thread::id runner_;
};

} // namespace zelhart::drvfw
