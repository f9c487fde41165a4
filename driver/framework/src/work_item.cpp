#include "zelhart/drvfw/work_item.h"

#include "zelhart/drvfw/framework.h"

namespace zelhart::drvfw {

WorkItem::WorkItem(Framework& fw, const WorkItemConfig& config, const ObjectAttributes& attributes)
    : Object(fw, attributes, attributes.ParentObject), config_(config) {}

NTSTATUS WorkItem::Create(const WorkItemConfig& config, const ObjectAttributes& attributes,
                          WDFWORKITEM* out) {
    if (!attributes.ParentObject || !config.EvtWorkItemFunc) return STATUS_INVALID_PARAMETER;
    auto item = std::make_shared<WorkItem>(attributes.ParentObject->framework(), config, attributes);
    if (NTSTATUS s = item->AttachToParent(); !NT_SUCCESS(s)) return s;
    *out = item;
    return STATUS_SUCCESS;
}

void WorkItem::Enqueue() {
    if (IsDeleted()) return;
    std::lock_guard lock(mutex_);
    if (queued_) return;
    queued_ = true;
    if (!running_) Submit(); // a running item resubmits itself when it finishes
}

void WorkItem::Submit() {
    auto self = std::static_pointer_cast<WorkItem>(shared_from_this());
    if (!framework().workers().Submit([self] { self->RunOnce(); })) {
        queued_ = false; // the framework is shutting down: nothing will run it
        idle_.notify_all();
    }
}

void WorkItem::RunOnce() {
    {
        std::lock_guard lock(mutex_);
        if (!queued_) return;
        queued_ = false;
        running_ = true;
        runner_ = std::this_thread::get_id();
    }
    {
        auto keep = KeepAlive();
        config_.EvtWorkItemFunc(std::static_pointer_cast<WorkItem>(shared_from_this()));
    }
    std::lock_guard lock(mutex_);
    running_ = false;
    runner_ = std::thread::id();
    if (queued_) Submit();
    idle_.notify_all();
}

void WorkItem::Flush() {
    std::unique_lock lock(mutex_);
    if (running_ && runner_ == std::this_thread::get_id()) return;
    idle_.wait(lock, [&] { return !queued_ && !running_; });
}

void WorkItem::OnDelete() {
    // What was enqueued before the deletion still runs (the object's context lives until afterwards);
    // later Enqueue calls do nothing.
    Flush();
}

} // namespace zelhart::drvfw
