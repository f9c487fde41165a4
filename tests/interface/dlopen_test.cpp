// The built shared library loaded and unloaded at run time, as the configuration program does:
// loading starts the watcher, unloading stops every thread the library started, even the threads of
// devices the caller left open.
#include "temp_dir.h"
#include "zelhart/hart_api.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

struct Exports {
    hart_open_fn open = nullptr;
    hart_write_fn write = nullptr;
    hart_read_fn read = nullptr;
    hart_close_fn close = nullptr;
};

class LoadedLibrary {
public:
    LoadedLibrary() : handle_(::dlopen(ZELHART_INTERFACE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedLibrary() { Unload(); }
    bool loaded() const { return handle_ != nullptr; }
    Exports Bind() const {
        return {reinterpret_cast<hart_open_fn>(::dlsym(handle_, "hart_open")),
                reinterpret_cast<hart_write_fn>(::dlsym(handle_, "hart_write")),
                reinterpret_cast<hart_read_fn>(::dlsym(handle_, "hart_read")),
                reinterpret_cast<hart_close_fn>(::dlsym(handle_, "hart_close"))};
    }
    bool Has(const char* symbol) const { return ::dlsym(handle_, symbol) != nullptr; }
    int Unload() {
        int rc = handle_ ? ::dlclose(handle_) : 0;
        handle_ = nullptr;
        return rc;
    }

private:
    void* handle_;
};

class Loading : public ::testing::Test {
protected:
    zelhart::testing::TempDir runtime;
    void SetUp() override {
        ::setenv("ZELHART_RUNTIME_DIR", runtime.path().c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", (runtime / "etc").c_str(), 1);
    }
};

TEST_F(Loading, ExportsWorkAfterLoadingAndInternalNamesAreHidden) {
    LoadedLibrary lib;
    ASSERT_TRUE(lib.loaded()) << ::dlerror();
    EXPECT_FALSE(lib.Has("_ZN7zelhart6hartif14LibraryAttachENS0_14LibraryOptionsE"));
    Exports hart = lib.Bind();
    ASSERT_TRUE(hart.open && hart.write && hart.read && hart.close);

    uint16_t index = 0xFFFF;
    ASSERT_EQ(hart.open("HART4", &index), HDRV_SUCCESS);
    HartMessage request{};
    request.Length = 3;
    request.RequestTag = 0x55AA;
    ASSERT_EQ(hart.write(index, &request), HDRV_SUCCESS);
    HartMessage record{};
    int32_t rc = HDRV_NO_MESSAGE;
    for (int i = 0; i < 5000 && rc == HDRV_NO_MESSAGE; ++i) { // bounded: at most about 5 s
        rc = hart.read(index, &record);
        if (rc == HDRV_NO_MESSAGE) ::usleep(1000);
    }
    ASSERT_EQ(rc, HDRV_SUCCESS);
    EXPECT_EQ(record.Error, -1);
    EXPECT_EQ(record.RequestTag, 0x55AA);
    EXPECT_EQ(hart.close(index), HDRV_FAILURE);
}

TEST_F(Loading, UnloadingWithDevicesStillOpenStopsTheirThreads) {
    for (int round = 0; round < 3; ++round) {
        LoadedLibrary lib;
        ASSERT_TRUE(lib.loaded()) << ::dlerror();
        Exports hart = lib.Bind();
        uint16_t index = 0;
        ASSERT_EQ(hart.open("HART4", &index), HDRV_SUCCESS);
        ASSERT_EQ(hart.open("HART5", &index), HDRV_SUCCESS);
        EXPECT_EQ(lib.Unload(), 0); // a thread left running in unloaded code would crash the process
    }
}

} // namespace
