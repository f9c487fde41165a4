// A private world for one test of the desktop program: runtime and config directories, COM1 as a
// registered plain file, the simulator's transmitter in-process (libZelHartLoopback.so), settings
// in memory that name COM1, and scripted modal interactions.
#pragma once

#include "app.h"
#include "main_window.h"
#include "modal.h"

#include "temp_dir.h"

#include "hart/settings.h"

#include <zelhart/hart_api.h>
#include <zelhart/platform/runtime_dir.h>
#include <zelhart/platform/serial_port_map.h>

#include <QString>

#include <cstdlib>
#include <fstream>
#include <memory>

namespace zelhart::ui::testing {

class TestWorld {
  public:
    TestWorld() {
        ::setenv("ZELHART_RUNTIME_DIR", (dir / "run").c_str(), 1);
        ::setenv("ZELHART_CONFIG_DIR", (dir / "etc").c_str(), 1);
        ::setenv(kInterfaceLibraryEnv, ZELHART_LOOPBACK, 1);
        std::ofstream(dir / "state.txt") << "format = 1\ndrift = 0\n";
        ::setenv("ZELHART_LOOPBACK_STATE", (dir / "state.txt").c_str(), 1);
        AddPort(1);
        settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, 1);
        modal::Reset();
        modal::SetScripted(true);
    }
    ~TestWorld() {
        app.reset();
        modal::Reset();
        for (const char* v : {"ZELHART_RUNTIME_DIR", "ZELHART_CONFIG_DIR", kInterfaceLibraryEnv, "ZELHART_LOOPBACK_STATE"})
            ::unsetenv(v);
    }

    // The program, started with `arguments`; the result of its start.
    std::optional<int> Start(const QStringList& arguments = {}) {
        AppServices services;
        services.settings = &settings;
        services.progressTick = std::chrono::milliseconds(1);
        services.clock = clock;
        // The ports this test registers, none of the machine's own.
        platform::SerialPortMapSources sources;
        sources.portsDir = platform::PortsDir();
        services.ports = {[sources] { return ListPortEntries(sources); },
                          [sources](int number) { return PortStillPresent(number, sources); }};
        app = std::make_unique<CLrxPcApp>(services);
        return app->InitInstance(arguments);
    }
    // Registers COM<number> as a plain file (the loopback never touches it; the probe locks it).
    void AddPort(int number) {
        const std::string port = dir / ("port" + std::to_string(number));
        std::ofstream(port).put('\0');
        platform::RegisterComPort(platform::PortsDir(), number, port);
    }
    CLrxPcMainWin& Window() { return *app->MainWindow(); }
    hart::CLrxDoc& Doc() { return app->Document(); }

    // A configuration file with the simulator's factory values (as a read would save it).
    QString SavedConfiguration(const std::string& name = "known.4810") {
        const std::string path = dir / name;
        hart::MemorySettings s;
        NullUi ui;
        NullWait wait;
        hart::CLrxDoc doc(s, ui, wait);
        doc.Transmitter().SetTag(u"TT-101");
        doc.Transmitter().SetSensorType(1);
        doc.Transmitter().SetSensorConnection(3);
        doc.Transmitter().SetRangeUnits(32);
        doc.Transmitter().SetLowerRange(0.0f);
        doc.Transmitter().SetUpperRange(100.0f);
        doc.Transmitter().SetDamping(1.0f);
        doc.Transmitter().SetAlarmType(0);
        doc.Transmitter().SetLowAlarm(3.6f);
        doc.Transmitter().SetHighAlarm(21.0f);
        doc.Transmitter().SetLowSaturation(3.8f);
        doc.Transmitter().SetHighSaturation(20.5f);
        doc.Transmitter().SetFilter(1);
        doc.Transmitter().SetWriteProtect(0);
        doc.OnSaveDocument(path);
        return QString::fromStdString(path);
    }

    // The link's pauses a tenth as long: a transmitter that does not answer costs 1.5 s a
    // transaction instead of 15 s. Set `clock` to it before Start.
    struct BriefClock : hart::IClock {
        void Sleep(std::chrono::milliseconds d) override { hart::SystemClock::Instance().Sleep(d / 10); }
        std::chrono::milliseconds Now() const override { return hart::SystemClock::Instance().Now(); }
    };

    zelhart::testing::TempDir dir;
    hart::MemorySettings settings;
    hart::IClock* clock = nullptr; // the system's
    std::unique_ptr<CLrxPcApp> app;

  private:
    struct NullUi : hart::IUserInterface {
        void ShowMessage(int, std::string_view, hart::MessageIcon) override {}
        hart::UserAnswer AskUser(int, std::string_view, hart::MessageButtons, hart::MessageIcon) override {
            return hart::UserAnswer::Cancel;
        }
        void BeginWaitCursor() override {}
        void EndWaitCursor() override {}
    };
    struct NullWait : hart::IProgressWait {
        void Wait(hart::ProgressWaitMode) override {}
    };
};

} // namespace zelhart::ui::testing
