// The seven exports.
#include "library.h"

#include "zelhart/hart_api.h"

using zelhart::hartif::CurrentLibrary;

extern "C" {

int32_t hart_open(const char* name, uint16_t* index) {
    auto* library = CurrentLibrary();
    return library ? library->Open(name, index) : HDRV_FAILURE;
}

int32_t hart_configure(uint32_t index, const HartConfig* config) {
    auto* library = CurrentLibrary();
    return library ? library->Configure(index, config) : HDRV_INVALID_INDEX;
}

int32_t hart_subscribe(uint32_t index, uint32_t flags) {
    auto* library = CurrentLibrary();
    return library ? library->Subscribe(index, flags) : HDRV_INVALID_INDEX;
}

int32_t hart_register(uint32_t index, const AppRegistryInfo* reg) {
    auto* library = CurrentLibrary();
    return library ? library->Register(index, reg) : HDRV_INVALID_INDEX;
}

int32_t hart_write(uint32_t index, const HartMessage* request) {
    auto* library = CurrentLibrary();
    return library ? library->Write(index, request) : HDRV_INVALID_INDEX;
}

int32_t hart_read(uint32_t index, HartMessage* record) {
    auto* library = CurrentLibrary();
    return library ? library->Read(index, record) : HDRV_INVALID_INDEX;
}

int32_t hart_close(uint32_t index) {
    auto* library = CurrentLibrary();
    return library ? library->Close(index) : HDRV_FAILURE;
}

} // extern "C"
