// CLrxPcApp: the desktop program's application object. It owns the document and the services the
// document runs with (the settings, the user interface on the desktop, the link runner with the
// marshalling of the user-interface calls), the recent-file list and the main window, and carries out
// the start: numeric locale, settings, the window, the splash, the shell registration of ".4810",
// the command line, the first show.
//
// The QApplication itself belongs to main(), so that tests can start several programs under one.
#pragma once

#include "core/command_line.h"
#include "core/link_runner.h"
#include "core/marshalled_services.h"
#include "port_dialog.h"
#include "qt_user_interface.h"
#include "recent_files.h"

#include "hart/clock.h"
#include "hart/document.h"
#include "hart/settings.h"

#include <QStringList>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

class QProcess;

namespace zelhart::settings {
class QtSettings;
}

namespace zelhart::ui {

class CLrxPcMainWin;

// What the program runs with; every empty entry takes the running system's own.
struct AppServices {
    hart::ISettings* settings = nullptr; // the program's QSettings
    hart::IClock* clock = nullptr;       // the system clock
    CPortSettingsDialog::Ports ports;    // the serial port map
    std::chrono::milliseconds progressTick = hart::kProgressTick;
};

class CLrxPcApp {
  public:
    explicit CLrxPcApp(AppServices services = {});
    ~CLrxPcApp();
    CLrxPcApp(const CLrxPcApp&) = delete;
    CLrxPcApp& operator=(const CLrxPcApp&) = delete;

    // The start with the command line's arguments (without the program's name). Nothing: the main
    // window is shown, run the event loop. A number: the program is done (the print verbs, a
    // command line that cannot be run) and exits with it.
    std::optional<int> InitInstance(const QStringList& arguments);

    hart::CLrxDoc& Document() { return doc_; }
    LinkRunner& Runner() { return runner_; }
    QtUserInterface& Ui() { return qtUi_; }
    RecentFileList& Recent() { return recent_; }
    hart::ISettings& Settings() { return settings_; }
    const CPortSettingsDialog::Ports& Ports() const { return ports_; }
    CLrxPcMainWin* MainWindow() { return mainWindow_.get(); }

  private:
    int Print(const CommandLine& line);
    void RegisterShellFileType();

    std::unique_ptr<settings::QtSettings> ownSettings_;
    hart::ISettings& settings_;
    CPortSettingsDialog::Ports ports_;
    QtUserInterface qtUi_;
    QtProgressWait qtWait_;
    LinkRunner runner_;
    MarshalledUi ui_;
    MarshalledProgressWait wait_;
    hart::CLrxDoc doc_;
    RecentFileList recent_;
    std::unique_ptr<CLrxPcMainWin> mainWindow_;
    std::vector<std::unique_ptr<QProcess>> cacheUpdates_; // rebuilding the desktop's caches
};

// 4810PC --print-pdf OUT FILE: the report of a configuration file written to a PDF, without a
// window. Messages go to `err`. 0 when written; 1 when FILE cannot be loaded or OUT not written.
int PrintConfigurationToPdf(const std::string& output, const std::string& file, std::FILE* err);

} // namespace zelhart::ui
