// fake_hart_daemon: the fake HART driver (fake_hart_driver.h) served on the socket of
// $ZELHART_RUNTIME_DIR, for tests that need the library's real path to a driver without a serial line.
//
//   fake_hart_daemon [--device N]... [--ready-fd FD]
//
// --device N creates the HART device of COM<N> at start; --ready-fd writes "ready\n" there once the
// socket is served. SIGTERM or SIGINT ends it.
#include "fake_hart_driver.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

bool ParseNumber(const char* text, uint32_t* out) {
    std::string_view s(text);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && end == s.data() + s.size();
}

} // namespace

int main(int argc, char** argv) {
    using namespace zelhart::drvfw;
    std::vector<uint32_t> ports;
    uint32_t readyFd = 0;
    bool haveReadyFd = false;
    for (int i = 1; i < argc; ++i) {
        uint32_t value;
        bool known = i + 1 < argc && (std::strcmp(argv[i], "--device") == 0 || std::strcmp(argv[i], "--ready-fd") == 0);
        if (!known || !ParseNumber(argv[i + 1], &value) || value > 4096) {
            std::fprintf(stderr, "usage: fake_hart_daemon [--device N]... [--ready-fd FD]\n");
            return 2;
        }
        if (argv[i][2] == 'd') {
            ports.push_back(value);
        } else {
            readyFd = value;
            haveReadyFd = true;
        }
        ++i;
    }
    FrameworkOptions options;
    options.handleSignals = true;
    Framework fw(options);
    if (!NT_SUCCESS(zelhart::hartif::testing::FakeHartDriverEntry(fw, ports)) ||
        !NT_SUCCESS(fw.AddDevice("ROOT\\ZELHARTDRIVER\\0000")) || !NT_SUCCESS(fw.Listen())) {
        std::fprintf(stderr, "fake_hart_daemon: could not start\n");
        return 1;
    }
    if (haveReadyFd) {
        const char ready[] = "ready\n";
        [[maybe_unused]] ssize_t n = ::write(int(readyFd), ready, sizeof(ready) - 1);
        ::close(int(readyFd));
    }
    return fw.Run();
}
