// A COM port's HART line reached through the public interface library, exactly as a local program
// reaches it: dlopen of libZelHartDriverInterface.so (or $ZELHART_INTERFACE_LIBRARY), the seven
// exports bound by name. Records are announced on a pipe registered with hart_register, so the
// server's loop sleeps until one comes.
#pragma once

#include "zelhart/hart_api.h"

#include <cstdint>
#include <span>
#include <string>

namespace zelhart::hartip::server {

// Preambles put before every frame written to the line (as the configuration program writes them).
inline constexpr std::size_t kLinePreambles = 6;
// The driver's link-layer retries for the server's exchanges.
inline constexpr std::uint8_t kLineRetries = 4;

class InterfaceLibrary {
public:
    // Loads the library and binds the seven exports; false with `error` when that cannot be done.
    bool Load(std::string& error);
    hart_open_fn open = nullptr;
    hart_configure_fn configure = nullptr;
    hart_subscribe_fn subscribe = nullptr;
    hart_register_fn registerFn = nullptr;
    hart_write_fn write = nullptr;
    hart_read_fn read = nullptr;
    hart_close_fn close = nullptr;
};

class HartLine {
public:
    HartLine(InterfaceLibrary& library, int com) : library_(library), com_(com) {}
    ~HartLine() { Close(); }
    HartLine(const HartLine&) = delete;
    HartLine& operator=(const HartLine&) = delete;

    // hart_open("HART<n>") and the notification pipe; false with `error` when the port cannot be had.
    bool Open(std::string& error);
    void Close();
    bool isOpen() const { return open_; }
    int notifyFd() const { return notifyRead_; }
    // hart_configure when the master type (1 primary, 0 secondary) differs from the one in force.
    bool Configure(std::uint8_t masterType);
    // The frame (no preambles) written with the line's preambles and `tag`; false when refused.
    bool Write(std::span<const std::uint8_t> frame, std::uint16_t tag);
    // Empties the notification pipe, then takes the next waiting record; false when none is waiting.
    bool Read(HartMessage& record);

private:
    InterfaceLibrary& library_;
    int com_;
    bool open_ = false;
    std::uint16_t index_ = 0;
    int notifyRead_ = -1, notifyWrite_ = -1;
    int configuredMaster_ = -1;
};

} // namespace zelhart::hartip::server
