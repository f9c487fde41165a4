#include "controller_table.h"

namespace zelhart::hartif {

ControllerPtr ControllerTable::Get(uint16_t index) const {
    if (index >= kSlots) return nullptr;
    std::lock_guard lock(lock_);
    return slots_[index];
}

std::optional<uint16_t> ControllerTable::FindDevicePath(const std::string& devicePath) const {
    std::lock_guard lock(lock_);
    for (uint16_t i = 0; i < kSlots; ++i)
        if (slots_[i] && slots_[i]->DevicePath() == devicePath) return i;
    return std::nullopt;
}

ControllerPtr ControllerTable::FirstWithComPort(const std::string& portName) const {
    std::lock_guard lock(lock_);
    for (const auto& c : slots_)
        if (c && c->ComPortName() == portName) return c;
    return nullptr;
}

std::optional<uint16_t> ControllerTable::Place(ControllerPtr controller) {
    std::lock_guard lock(lock_);
    for (uint16_t i = 0; i < kSlots; ++i) {
        if (!slots_[i]) {
            slots_[i] = std::move(controller);
            return i;
        }
    }
    return std::nullopt;
}

ControllerPtr ControllerTable::Take(uint16_t index) {
    if (index >= kSlots) return nullptr;
    std::lock_guard lock(lock_);
    return std::move(slots_[index]);
}

std::vector<ControllerPtr> ControllerTable::TakeAll() {
    std::lock_guard lock(lock_);
    std::vector<ControllerPtr> all;
    for (auto& c : slots_)
        if (c) all.push_back(std::move(c));
    return all;
}

std::vector<ControllerPtr> ControllerTable::All() const {
    std::lock_guard lock(lock_);
    std::vector<ControllerPtr> all;
    for (const auto& c : slots_)
        if (c) all.push_back(c);
    return all;
}

} // namespace zelhart::hartif
