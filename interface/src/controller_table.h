// The 256 controller slots. Slots hold shared owners: whoever reads a slot (an export, the port
// watcher) keeps the controller alive for as long as it uses it, even if hart_close empties the slot
// meanwhile. The small lock guards the slots only, never a controller's work.
#pragma once

#include "hart_modem_controller.h"

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelhart::hartif {

using ControllerPtr = std::shared_ptr<CHartModemController>;

class ControllerTable {
public:
    static constexpr uint16_t kSlots = HART_MAX_DEVICES;

    // The controller at a slot; null for an empty slot or an index above 255.
    ControllerPtr Get(uint16_t index) const;
    // The lowest slot whose controller has this device path.
    std::optional<uint16_t> FindDevicePath(const std::string& devicePath) const;
    // The controller in the lowest slot whose COM port name equals `portName` exactly.
    ControllerPtr FirstWithComPort(const std::string& portName) const;
    // Puts the controller into the lowest free slot; nothing when all 256 are taken.
    std::optional<uint16_t> Place(ControllerPtr controller);
    // Empties a slot and hands its controller over.
    ControllerPtr Take(uint16_t index);
    // Empties every slot, in slot order.
    std::vector<ControllerPtr> TakeAll();
    // Every controller, in slot order.
    std::vector<ControllerPtr> All() const;

private:
    mutable std::mutex lock_;
    std::array<ControllerPtr, kSlots> slots_;
};

} // namespace zelhart::hartif
