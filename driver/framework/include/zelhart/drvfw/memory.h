// WDFMEMORY: a buffer handed to an I/O target with a request.
#pragma once

#include "zelhart/drvfw/types.h"

#include <cstring>
#include <vector>

namespace zelhart::drvfw {

class Memory {
  public:
    explicit Memory(size_t size) : bytes_(size) {}

    static NTSTATUS Create(size_t size, WDFMEMORY* out) {
        if (size == 0) return STATUS_INVALID_PARAMETER;
        *out = std::make_shared<Memory>(size);
        return STATUS_SUCCESS;
    }
    void* GetBuffer(size_t* size = nullptr) {
        if (size) *size = bytes_.size();
        return bytes_.data();
    }
    size_t size() const { return bytes_.size(); }
    NTSTATUS CopyFromBuffer(size_t offset, const void* source, size_t length) {
        if (offset > bytes_.size() || length > bytes_.size() - offset) return STATUS_BUFFER_TOO_SMALL;
        if (length) std::memcpy(bytes_.data() + offset, source, length);
        return STATUS_SUCCESS;
    }
    NTSTATUS CopyToBuffer(size_t offset, void* destination, size_t length) const {
        if (offset > bytes_.size() || length > bytes_.size() - offset) return STATUS_BUFFER_TOO_SMALL;
        if (length) std::memcpy(destination, bytes_.data() + offset, length);
        return STATUS_SUCCESS;
    }

  private:
    std::vector<uint8_t> bytes_;
};

} // namespace zelhart::drvfw
