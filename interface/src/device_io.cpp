#include "device_io.h"

#include "client_device_io.h"

namespace zelhart::hartif {
namespace {

class NoDriverDeviceIo final : public IDeviceIo {
public:
    Win32Error Open(const std::string&, uint32_t, uint32_t, uint32_t, std::unique_ptr<IDeviceFile>* file) override {
        if (file) file->reset();
        return ERROR_FILE_NOT_FOUND;
    }
    Win32Error FindDeviceInterface(const std::string&, std::string* path) override {
        if (path) path->clear();
        return ERROR_FILE_NOT_FOUND;
    }
};

} // namespace

std::shared_ptr<IDeviceIo> MakeNoDriverDeviceIo() { return std::make_shared<NoDriverDeviceIo>(); }

std::shared_ptr<IDeviceIo> DefaultDeviceIo() { return MakeClientDeviceIo(); }

} // namespace zelhart::hartif
