// Framework objects: a parent, a typed context, a clean-up callback, deletion.
#pragma once

#include "zelhart/drvfw/types.h"

#include <functional>
#include <mutex>
#include <typeindex>
#include <vector>

namespace zelhart::drvfw {

// The attributes every object is created with (WDF_OBJECT_ATTRIBUTES).
struct ObjectAttributes {
    // Runs once when the object is deleted, after its children and before its context goes.
    std::function<void(WDFOBJECT)> EvtCleanupCallback;
    // The object that owns this one; deleting the parent deletes it. Devices, queues, timers, work
    // items and I/O targets take their device as parent; a request created by the driver may take one.
    WDFOBJECT ParentObject;

    // WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE: the object gets a value-initialised T as its context.
    template <class T> static ObjectAttributes WithContext() {
        ObjectAttributes a;
        a.SetContextType<T>();
        return a;
    }
    template <class T> void SetContextType() {
        contextType = typeid(T);
        makeContext = [] { return std::shared_ptr<void>(std::make_shared<T>()); };
    }

    std::type_index contextType = typeid(void);
    std::function<std::shared_ptr<void>()> makeContext;
};

class Object : public std::enable_shared_from_this<Object> {
  public:
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object();

    Framework& framework() const { return *framework_; }
    WDFOBJECT GetParentObject() const { return parent_.lock(); }

    // The context of type T, or null when the object has none of that type (or has been deleted).
    template <class T> T* GetContext() const {
        std::lock_guard lock(objectMutex_);
        return contextType_ == typeid(T) ? static_cast<T*>(context_.get()) : nullptr;
    }

    // WdfObjectDelete. Idempotent; safe from any thread that does not itself run inside a callback the
    // deletion must wait for (a timer's own tick, a work item's own run).
    void Delete();
    bool IsDeleted() const;

    // Keeps the contexts of this object and its ancestors alive while a callback runs, so that a
    // deletion from another thread cannot free what the callback is using.
    std::vector<std::shared_ptr<void>> KeepAlive() const;

  protected:
    Object(Framework& framework, const ObjectAttributes& attributes, const WDFOBJECT& parent);
    // Registers with the parent; call once the object is owned by a shared_ptr. Fails when the parent
    // is being deleted.
    NTSTATUS AttachToParent();
    // Type-specific tear-down (stop, flush, purge, close), after the children and before the clean-up
    // callback.
    virtual void OnDelete() {}

  private:
    void DetachChild(const Object* child);

    Framework* framework_;
    mutable std::mutex objectMutex_; // guards the fields below
    std::weak_ptr<Object> parent_;
    std::vector<WDFOBJECT> children_;
    bool deleted_ = false;
    std::function<void(WDFOBJECT)> cleanup_;
    std::shared_ptr<void> context_;
    std::type_index contextType_;
};

// The accessor of a context type: WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HARTDEVICE_CONTEXT,
// HartDeviceGetContext) gives HartDeviceGetContext(handle) -> HARTDEVICE_CONTEXT* (null if none).
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(type, accessor)                                                   \
    template <class Handle> inline type* accessor(const Handle& handle) {                                    \
        return handle ? handle->template GetContext<type>() : nullptr;                                       \
    }

} // namespace zelhart::drvfw
