#include "hart_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace zelhart::hartip::server {

namespace {
template <typename Fn> bool Bind(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::dlsym(library, name));
    return fn != nullptr;
}
} // namespace

bool InterfaceLibrary::Load(std::string& error) {
    const char* standIn = std::getenv(kInterfaceLibraryEnv);
    const char* file = (standIn && *standIn) ? standIn : kInterfaceLibraryName;
    void* library = ::dlopen(file, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* text = ::dlerror();
        error = text ? text : "the interface library cannot be loaded";
        return false;
    }
    if (!Bind(library, "hart_open", open) || !Bind(library, "hart_configure", configure) ||
        !Bind(library, "hart_subscribe", subscribe) || !Bind(library, "hart_register", registerFn) ||
        !Bind(library, "hart_write", write) || !Bind(library, "hart_read", read) ||
        !Bind(library, "hart_close", close)) {
        error = std::string(file) + ": an export of the seven is missing";
        return false;
    }
    return true; // never unloaded: its threads live while the process does
}

bool HartLine::Open(std::string& error) {
    if (open_) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string name = "HART" + std::to_string(com_);
    const int32_t rc = library_.open(name.c_str(), &index_);
    if (rc != HDRV_SUCCESS) {
        ::close(fds[0]);
        ::close(fds[1]);
        error = "hart_open(\"" + name + "\") returned " + std::to_string(rc);
        return false;
    }
    notifyRead_ = fds[0];
    notifyWrite_ = fds[1];
    const AppRegistryInfo reg{notifyWrite_, 1, 0, 0};
    library_.registerFn(index_, &reg);
    open_ = true;
    configuredMaster_ = -1;
    return true;
}

void HartLine::Close() {
    if (!open_) return;
    const AppRegistryInfo off{0, 0, 0, 0};
    library_.registerFn(index_, &off);
    library_.close(index_);
    ::close(notifyRead_);
    ::close(notifyWrite_);
    notifyRead_ = notifyWrite_ = -1;
    open_ = false;
}

bool HartLine::Configure(std::uint8_t masterType) {
    if (!open_) return false;
    if (configuredMaster_ == masterType) return true;
    const HartConfig config{masterType ? 0x80u : 0x00u, kLineRetries};
    if (library_.configure(index_, &config) != HDRV_SUCCESS) return false;
    configuredMaster_ = masterType;
    return true;
}

bool HartLine::Write(std::span<const std::uint8_t> frame, std::uint16_t tag) {
    if (!open_ || frame.empty() || frame.size() + kLinePreambles > HART_MESSAGE_DATA_SIZE) return false;
    HartMessage request{};
    std::memset(request.Data, 0xFF, kLinePreambles);
    std::memcpy(request.Data + kLinePreambles, frame.data(), frame.size());
    request.Length = static_cast<uint16_t>(kLinePreambles + frame.size());
    request.RequestTag = tag;
    return library_.write(index_, &request) == HDRV_SUCCESS;
}

bool HartLine::Read(HartMessage& record) {
    if (!open_) return false;
    char drain[256];
    while (::read(notifyRead_, drain, sizeof(drain)) > 0) {
    }
    return library_.read(index_, &record) == HDRV_SUCCESS;
}

} // namespace zelhart::hartip::server
