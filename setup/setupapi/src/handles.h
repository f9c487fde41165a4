// Handles of the setup services (device information sets, searches, keys): small numbers standing for
// objects the table owns, as the system's handles stand for its objects.
#pragma once

#include "zelhart/setupapi/win32.h"

#include <map>
#include <memory>
#include <mutex>

namespace zelhart::setupapi::detail {

uintptr_t NextHandleValue();

template <class T> class HandleTable {
  public:
    HANDLE Add(std::unique_ptr<T> object) {
        std::lock_guard lock(mutex_);
        uintptr_t value = NextHandleValue();
        objects_.emplace(value, std::move(object));
        return reinterpret_cast<HANDLE>(value);
    }
    // The object, or nullptr for a handle this table did not give out (or has closed).
    T* Get(HANDLE handle) {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
        return it == objects_.end() ? nullptr : it->second.get();
    }
    bool Remove(HANDLE handle) {
        std::lock_guard lock(mutex_);
        return objects_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
    }

  private:
    std::mutex mutex_;
    std::map<uintptr_t, std::unique_ptr<T>> objects_;
};

} // namespace zelhart::setupapi::detail
