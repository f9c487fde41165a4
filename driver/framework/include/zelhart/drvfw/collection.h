// WDFCOLLECTION: an ordered list of handles. Not synchronised: the driver guards it with a wait lock.
#pragma once

#include "zelhart/drvfw/types.h"

#include <algorithm>
#include <vector>

namespace zelhart::drvfw {

template <class Handle> class Collection {
  public:
    static NTSTATUS Create(std::shared_ptr<Collection>* out) {
        *out = std::make_shared<Collection>();
        return STATUS_SUCCESS;
    }
    NTSTATUS Add(Handle item) {
        if (!item) return STATUS_INVALID_PARAMETER;
        items_.push_back(std::move(item));
        return STATUS_SUCCESS;
    }
    void Remove(const Handle& item) {
        auto it = std::find(items_.begin(), items_.end(), item);
        if (it != items_.end()) items_.erase(it);
    }
    void RemoveItem(size_t index) {
        if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    size_t GetCount() const { return items_.size(); }
    Handle GetItem(size_t index) const { return index < items_.size() ? items_[index] : Handle{}; }
    Handle GetFirstItem() const { return GetItem(0); }
    Handle GetLastItem() const { return items_.empty() ? Handle{} : items_.back(); }

  private:
    std::vector<Handle> items_;
};

} // namespace zelhart::drvfw
