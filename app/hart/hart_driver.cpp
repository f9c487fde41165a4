#include "hart/hart_driver.h"

#include <zelhart/platform/serial_port.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace zelhart::hart {
namespace {

// The configuration record as four 16-bit values 0x0000, 0x0060, 0x0004, 0x0006: secondary master,
// 4 retries (only the low byte of each 32-bit word counts).
constexpr HartConfig kLinkConfig{0x00600000u, 0x00060004u};

template <typename Fn> bool Bind(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::dlsym(library, name));
    return fn != nullptr;
}

} // namespace

CHARTDriver::~CHARTDriver() = default;

int CHARTDriver::LoadInterfaceLibrary() {
    open_ = nullptr;
    configure_ = nullptr;
    subscribe_ = nullptr;
    register_ = nullptr;
    write_ = nullptr;
    read_ = nullptr;
    close_ = nullptr;
    const char* stand_in = std::getenv(kInterfaceLibraryEnv);
    const char* file = (stand_in && *stand_in) ? stand_in : kInterfaceLibraryName;
    library_ = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!library_) return 0;

    int lastMissing = 0;
    if (!Bind(library_, "hart_open", open_)) lastMissing = 1;
    if (!Bind(library_, "hart_configure", configure_)) lastMissing = 2;
    if (!Bind(library_, "hart_subscribe", subscribe_)) lastMissing = 3;
    if (!Bind(library_, "hart_register", register_)) lastMissing = 4;
    if (!Bind(library_, "hart_write", write_)) lastMissing = 5;
    if (!Bind(library_, "hart_read", read_)) lastMissing = 6;
    if (!Bind(library_, "hart_close", close_)) lastMissing = 7;
    return lastMissing;
}

int CHARTDriver::OpenPort(int port) {
    const std::string name = "HART" + std::to_string(port);
    if (platform::ProbeComPort(port) != platform::PortProbe::Free) return kPortUnusable;
    if (!bound_) {
        if (LoadInterfaceLibrary() != 0) return kPortUnusable;
        if (!open_) return kNotBound; // the library could not be loaded; the next open tries again
        bound_ = true;
    }
    return open_(name.c_str(), &deviceIndex_);
}

int CHARTDriver::ConfigurePort() {
    if (!configure_) return kNotBound;
    return configure_(deviceIndex_, &kLinkConfig);
}

void CHARTDriver::SetRequest(std::span<const uint8_t> frame) {
    const size_t n = std::min(frame.size(), sizeof(transmit_.Data));
    std::memset(transmit_.Data, 0, sizeof(transmit_.Data));
    std::memcpy(transmit_.Data, frame.data(), n);
    transmit_.Length = uint16_t(n);
}

int CHARTDriver::WriteRequest() {
    if (!write_) return kNotBound;
    return write_(deviceIndex_, &transmit_);
}

size_t CHARTDriver::ReadResponse(std::span<uint8_t, HART_MESSAGE_DATA_SIZE> buffer) {
    std::memset(receive_.Data, 0, sizeof(receive_.Data));
    if (!read_) return 0;
    const int32_t rc = read_(deviceIndex_, &receive_);
    std::memcpy(buffer.data(), receive_.Data, sizeof(receive_.Data));
    return rc == HDRV_SUCCESS ? receive_.Length : 0;
}

void CHARTDriver::DrainInput() {
    if (!read_) return;
    for (int i = 0; i < kDrainReads; ++i)
        if (read_(deviceIndex_, &receive_) != HDRV_SUCCESS) break;
}

int CHARTDriver::ClosePort() {
    if (!close_) return kNotBound;
    return close_(deviceIndex_);
}

} // namespace zelhart::hart
