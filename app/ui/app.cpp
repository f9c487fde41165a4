#include "app.h"

#include "core/report_content.h"
#include "core/shell_registration.h"
#include "main_window.h"
#include "modal.h"
#include "qt_text.h"
#include "qt_translation.h"
#include "report_printer.h"
#include "splash_dialog.h"
#include "view.h"

#include "settings/qt_settings.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPageSize>
#include <QPrinter>
#include <QPrinterInfo>
#include <QProcess>

#include <clocale>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

// Runs a call of the link thread on the user-interface thread.
void PostToUi(LinkRunner::Call call) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(call), Qt::QueuedConnection);
}

// The core's messages on standard error, for the program's work without a window.
class StderrUi : public hart::IUserInterface {
  public:
    explicit StderrUi(std::FILE* err) : err_(err) {}
    void ShowMessage(int stringId, std::string_view text, hart::MessageIcon) override {
        std::fprintf(err_, "4810PC: %d: %.*s\n", stringId, int(text.size()), text.data());
    }
    hart::UserAnswer AskUser(int stringId, std::string_view text, hart::MessageButtons buttons,
                             hart::MessageIcon icon) override {
        ShowMessage(stringId, text, icon);
        return QuietAnswer(buttons);
    }
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}

  private:
    std::FILE* err_;
};

class NoWait : public hart::IProgressWait {
  public:
    void Wait(hart::ProgressWaitMode) override {}
};

std::vector<std::string> Utf8List(const QStringList& list) {
    std::vector<std::string> out;
    for (const QString& s : list)
        out.push_back(Utf8Of(s));
    return out;
}

} // namespace

CLrxPcApp::CLrxPcApp(AppServices services)
    : ownSettings_(services.settings ? nullptr : std::make_unique<settings::QtSettings>()),
      settings_(services.settings ? *services.settings : *ownSettings_),
      ports_(services.ports.list ? services.ports : CPortSettingsDialog::SystemPorts()),
      qtWait_(services.progressTick, &qtUi_), runner_(PostToUi), ui_(runner_, qtUi_), wait_(runner_, qtWait_),
      doc_(settings_, ui_, wait_, services.clock ? *services.clock : hart::SystemClock::Instance()) {
    // Closing the window during an operation ends it after its current transaction.
    doc_.Transmitter().SetStopFlag(&runner_.StopFlag());
}

CLrxPcApp::~CLrxPcApp() {
    if (runner_.Busy()) {
        runner_.Abort();
        runner_.WaitUntilIdle();
    }
    mainWindow_.reset();
    for (auto& process : cacheUpdates_)
        process->waitForFinished(5000);
}

std::optional<int> CLrxPcApp::InitInstance(const QStringList& arguments) {
    // Numbers shown to the user in the user's way; everything else stays independent of the locale.
    std::setlocale(LC_NUMERIC, "");
    InstallQtTranslation();

    const std::vector<std::string> args = Utf8List(arguments);
    const ParsedCommandLine parsed = ParseCommandLine(args);
    const std::string usage(hart::LoadString(str::kProgramUsage));
    if (!parsed.ok) {
        std::fprintf(stderr, "4810PC: %s\n%s\n", parsed.error.c_str(), usage.c_str());
        return 2;
    }
    const CommandLine& line = parsed.line;
    if (line.action == CommandLine::Action::Help) {
        std::printf("%s\n", usage.c_str());
        return 0;
    }
    if (line.action == CommandLine::Action::PrintPdf) return PrintConfigurationToPdf(line.output, line.file, stderr);

    mainWindow_ = std::make_unique<CLrxPcMainWin>(*this);
    CSplashDlg splash;
    modal::Exec(splash);
    RegisterShellFileType();

    doc_.OnNewDocument(); // the framework's new document at start
    switch (line.action) {
    case CommandLine::Action::Open:
        // A file that cannot be opened fails the start: its messages have been shown, and the
        // program ends without a main window.
        if (!mainWindow_->OpenDocumentFile(Qs(line.file), false)) return 1;
        break;
    case CommandLine::Action::Print:
    case CommandLine::Action::PrintTo:
        return Print(line);
    default:
        break;
    }
    mainWindow_->ShowInitially();
    return std::nullopt;
}

int CLrxPcApp::Print(const CommandLine& line) {
    if (!mainWindow_->OpenDocumentFile(Qs(line.file), false)) return 1;
    CLrxView& view = mainWindow_->View();
    if (line.action == CommandLine::Action::Print) return view.OnFilePrint(CLrxView::PrintMode::Direct) ? 0 : 1;
    const QPrinterInfo info = QPrinterInfo::printerInfo(Qs(line.printer));
    if (info.isNull()) {
        modal::Message(str::kPrinterNotFound, Text(str::kPrinterNotFound).arg(Qs(line.printer)),
                       hart::MessageIcon::Stop);
        return 1;
    }
    QPrinter printer(info, QPrinter::HighResolution);
    return view.PrintOn(printer) ? 0 : 1;
}

void CLrxPcApp::RegisterShellFileType() {
    const ShellRegistration result =
        ui::RegisterShellFileType(UserDataHome(), Utf8Of(QCoreApplication::applicationFilePath()));
    if (!result.ok) std::fprintf(stderr, "4810PC: the file type .4810 is not registered: %s\n", result.error.c_str());
    // The desktop reads the types and entries from caches; rebuild those that changed, without
    // waiting for it.
    auto update = [this](const char* program, const std::string& dir) {
        auto process = std::make_unique<QProcess>();
        process->setProgram(QString::fromLatin1(program));
        process->setArguments({Qs(dir)});
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        process->start();
        cacheUpdates_.push_back(std::move(process));
    };
    for (const std::string& dir : result.changedMimeDirs)
        update("update-mime-database", dir);
    for (const std::string& dir : result.changedApplicationDirs)
        update("update-desktop-database", dir);
}

int PrintConfigurationToPdf(const std::string& output, const std::string& file, std::FILE* err) {
    StderrUi ui(err);
    NoWait wait;
    hart::MemorySettings settings; // no transaction: the report of a file
    hart::CLrxDoc doc(settings, ui, wait);
    if (!doc.OnOpenDocument(file)) return 1;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(Qs(output));
    printer.setPageSize(QPageSize(QPageSize::A4));
    QString target;
    if (!PrintReport(printer, ReportFromModel(doc.Transmitter()), &target)) {
        const std::string text = Utf8Of(Text(str::kPrintFailed).arg(target));
        std::fprintf(err, "4810PC: %d: %s\n", str::kPrintFailed, text.c_str());
        return 1;
    }
    return 0;
}

} // namespace zelhart::ui
