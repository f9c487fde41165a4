// A second client process for the daemon tests.
//   drvfw_test_client open NAME   opens \\.\NAME, prints the Win32 result, holds the handle until
//                                 standard input ends
//   drvfw_test_client read NAME   opens \\.\NAME, leaves an overlapped read pending, prints "pending"
//                                 and waits to be killed
#include "zelhart/platform/iomgr_client.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace zelhart::platform;
using namespace zelhart::platform::iomgr;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: drvfw_test_client open|read NAME\n");
        return 2;
    }
    std::string mode = argv[1];
    std::unique_ptr<DeviceFile> file;
    uint32_t rc = DeviceFile::Open(std::string("\\\\.\\") + argv[2], GENERIC_READ | GENERIC_WRITE, 0,
                                   FILE_FLAG_OVERLAPPED, &file);
    std::printf("%u\n", rc);
    std::fflush(stdout);
    if (rc != ERROR_SUCCESS) return 1;
    if (mode == "read") {
        Event done;
        Overlapped ov{};
        ov.hEvent = &done;
        uint8_t buffer[64];
        if (file->Read(buffer, sizeof(buffer), nullptr, &ov) != ERROR_IO_PENDING) return 1;
        std::printf("pending\n");
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}
