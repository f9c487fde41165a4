// 4810PC: configure, monitor and calibrate a Korvel-4810 from the desktop.
#include "app.h"
#include "qt_text.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool Has(int argc, char** argv, const char* option) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) return true;
    return false;
}

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

int main(int argc, char** argv) {
    if (!Set("QT_QPA_PLATFORM")) {
        // The report to a PDF needs no display at all.
        if (Has(argc, argv, "--print-pdf") || Has(argc, argv, "--help")) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        } else if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
            std::fprintf(stderr, "4810PC: %s\n", zelhart::hart::LoadString(zelhart::hart::str::kNoDisplay).data());
            return 1;
        }
    }
    QApplication application(argc, argv);
    zelhart::ui::CLrxPcApp app;
    if (const auto done = app.InitInstance(QCoreApplication::arguments().mid(1))) return *done;
    return application.exec();
}
