#include "zelhart/drvfw/object.h"

#include <algorithm>

namespace zelhart::drvfw {

Object::Object(Framework& framework, const ObjectAttributes& attributes, const WDFOBJECT& parent)
    : framework_(&framework), parent_(parent), cleanup_(attributes.EvtCleanupCallback),
      contextType_(attributes.contextType) {
    if (attributes.makeContext) context_ = attributes.makeContext();
}

Object::~Object() = default;

NTSTATUS Object::AttachToParent() {
    auto parent = parent_.lock();
    if (!parent) return STATUS_SUCCESS;
    std::lock_guard lock(parent->objectMutex_);
    if (parent->deleted_) return STATUS_DELETE_PENDING;
    parent->children_.push_back(shared_from_this());
    return STATUS_SUCCESS;
}

void Object::DetachChild(const Object* child) {
    std::lock_guard lock(objectMutex_);
    auto it = std::find_if(children_.begin(), children_.end(),
                           [&](const WDFOBJECT& c) { return c.get() == child; });
    if (it != children_.end()) children_.erase(it);
}

bool Object::IsDeleted() const {
    std::lock_guard lock(objectMutex_);
    return deleted_;
}

void Object::Delete() {
    std::vector<WDFOBJECT> children;
    std::function<void(WDFOBJECT)> cleanup;
    {
        std::lock_guard lock(objectMutex_);
        if (deleted_) return;
        deleted_ = true;
        children.swap(children_);
        cleanup.swap(cleanup_);
    }
    WDFOBJECT self = shared_from_this(); // alive until the deletion is over
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        (*it)->Delete();
    children.clear();
    OnDelete();
    if (cleanup) cleanup(self);
    std::shared_ptr<void> context;
    {
        std::lock_guard lock(objectMutex_);
        context.swap(context_);
    }
    if (auto parent = parent_.lock()) parent->DetachChild(this);
    context.reset(); // outside the lock: releasing the context may release other objects
}

std::vector<std::shared_ptr<void>> Object::KeepAlive() const {
    std::vector<std::shared_ptr<void>> keep;
    keep.reserve(6); // a request's chain: request, device, driver, each with its context
    for (const Object* o = this; o;) {
        WDFOBJECT parent;
        {
            std::lock_guard lock(o->objectMutex_);
            if (o->context_) keep.push_back(o->context_);
            parent = o->parent_.lock();
        }
        keep.push_back(parent); // the parent object itself, so that `o` below stays valid
        o = parent.get();
    }
    return keep;
}

} // namespace zelhart::drvfw
