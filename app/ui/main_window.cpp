#include "main_window.h"

#include "about_dialog.h"
#include "app.h"
#include "core/marshalled_services.h"
#include "core/output_release.h"
#include "core/window_fit.h"
#include "modal.h"
#include "pages/info_page.h"
#include "port_dialog.h"
#include "qt_text.h"
#include "view.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QUrl>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

Rect ToRect(const QRect& r) {
    return RectXYWH(r.x(), r.y(), r.width(), r.height());
}

// Field `index` of the document template (0 the window title, 3 the filter).
QString TemplateField(int index) {
    return Text(str::kDocumentTemplate).split(QLatin1Char('\n')).value(index);
}

bool IsUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}

// The first local ".4810" file of a drop.
QString DroppedFile(const QMimeData* data) {
    if (!data || !data->hasUrls()) return {};
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).suffix().compare("4810", Qt::CaseInsensitive) == 0)
            return url.toLocalFile();
    return {};
}

// A drag or drop that carries file names.
bool DropOfFiles(const QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        const QMimeData* data = static_cast<const QDropEvent*>(event)->mimeData();
        return data && data->hasUrls();
    }
    default:
        return false;
    }
}

} // namespace

CLrxPcMainWin::CLrxPcMainWin(CLrxPcApp& app) : app_(app), view_(new CLrxView(app.Document())) {
    setObjectName("CLrxPcMainWin");
    // Neither resizable nor maximisable: the size is the form's.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("formScroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(view_);
    setCentralWidget(scroll);
    BuildMenus();

    connect(view_, &CLrxView::commandRequested, this, &CLrxPcMainWin::RunCommand);
    connect(view_, &CLrxView::stateChanged, this, &CLrxPcMainWin::UpdateCommands);
    app_.Ui().SetOwner(this);
    app_.Document().SetUpdateHandler(
        MarshalledHints(app_.Runner(), [this](int hint) { view_->OnUpdate(hint); }));
    PageLink link;
    link.start = [this](std::function<void()> operation, std::function<void()> done, bool holdsWindow) {
        return RunLinkOperation(std::move(operation), holdsWindow, std::move(done));
    };
    link.waitUntilIdle = [this] { app_.Runner().WaitUntilIdle(); };
    link.abort = [this] { app_.Runner().Abort(); };
    link.newTransmitter = [this] {
        auto t = std::make_unique<hart::CTransmitter>(app_.Settings(), app_.Document().UserInterface());
        t->SetStopFlag(&app_.Runner().StopFlag());
        return t;
    };
    view_->SetPageLink(link);
    qApp->installEventFilter(this);
    UpdateTitle();
    UpdateCommands();
}

CLrxPcMainWin::~CLrxPcMainWin() {
    qApp->removeEventFilter(this);
    app_.Document().SetUpdateHandler({});
    app_.Ui().SetOwner(nullptr);
}

void CLrxPcMainWin::BuildMenus() {
    for (const MenuInfo& info : MainMenu()) {
        QMenu* menu = menuBar()->addMenu(Text(info.titleId));
        for (int id : info.items) {
            if (id == kMenuSeparator) {
                menu->addSeparator();
                continue;
            }
            // The recent files take four entries where "Недавние файлы" stands.
            const int count = id == kCmdRecentFile ? kRecentFileCount : 1;
            for (int i = 0; i < count; ++i) {
                const int commandId = id + i;
                auto* action = new QAction(Text(MenuTextId(commandId)), this);
                const CommandInfo* command = FindCommand(id);
                action->setObjectName(Qs(command->objectName) + (count > 1 ? QString::number(i + 1) : QString()));
                if (!command->shortcut.empty()) action->setShortcut(QKeySequence(Qs(command->shortcut)));
                const Prompt prompt = CommandPrompt(commandId);
                action->setStatusTip(Qs(prompt.tip));
                if (!prompt.shortForm.empty()) action->setToolTip(Qs(prompt.shortForm));
                connect(action, &QAction::triggered, this, [this, commandId] { RunCommand(commandId); });
                menu->addAction(action);
                actions_[commandId] = action;
            }
        }
    }
}

QAction* CLrxPcMainWin::Action(int id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

CommandState CLrxPcMainWin::CurrentState() const {
    return {held_, view_->State().procedureRunning, app_.Document().CanSave(), int(app_.Recent().Files().size()),
            app_.Runner().Busy()};
}

void CLrxPcMainWin::UpdateCommands() {
    const CommandState state = CurrentState();
    for (const auto& [id, action] : actions_)
        action->setEnabled(CommandEnabled(id, state));
    // A held window looks as it acts: nothing in it takes input. The focus comes back afterwards.
    if (held_ && !view_->Held()) {
        QWidget* focus = QApplication::focusWidget();
        heldFocus_ = focus && focus->window() == this ? focus : nullptr;
    }
    menuBar()->setEnabled(!held_);
    view_->SetHeld(held_);
    if (!held_ && heldFocus_) {
        if (!QApplication::focusWidget() && heldFocus_->isEnabled() && heldFocus_->isVisible())
            heldFocus_->setFocus(Qt::OtherFocusReason);
        heldFocus_ = nullptr;
    }
    // The form's load button too: the view enables it by its rules, the link by this one.
    view_->LoadButton()->setEnabled(view_->State().loadButtonEnabled && !state.linkRunning);
    const QStringList& files = app_.Recent().Files();
    for (int i = 0; i < kRecentFileCount; ++i) {
        QAction* action = actions_.at(kCmdRecentFile + i);
        if (i < files.size()) action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(QDir::toNativeSeparators(files[i])));
        else action->setText(Text(MenuTextId(kCmdRecentFile)));
        action->setVisible(i < files.size() || i == 0); // the greyed "Недавние файлы" while the list is empty
    }
}

void CLrxPcMainWin::UpdateTitle() {
    const std::string& path = app_.Document().GetPathName();
    const QString title = path.empty() ? Text(str::kUntitled) : QFileInfo(Qs(path)).fileName();
    setWindowTitle(title + QStringLiteral(" - ") + TemplateField(0));
}

QString CLrxPcMainWin::FileFilter() const {
    return TemplateField(3) + QStringLiteral(";;") + Text(str::kAllFilesFilter);
}

void CLrxPcMainWin::ShowInitially() {
    view_->OnInitialUpdate();
    const QScreen* screen = QGuiApplication::primaryScreen();
    FitToDesktop(screen ? screen->geometry() : QRect(0, 0, 1024, 768));
    show();
    setAcceptDrops(true);
}

void CLrxPcMainWin::FitToDesktop(const QRect& desktop) {
    // Fit the form exactly (the menu bar above it), then the screen.
    const QSize decorations = frameGeometry().size() - geometry().size();
    const QSize client(view_->FormSize().width(), view_->FormSize().height() + menuBar()->sizeHint().height());
    const QRect frame(frameGeometry().topLeft(), client + decorations);
    const Rect fitted = FitFrameToDesktop(ToRect(frame), ToRect(desktop));
    setFixedSize(QSize(fitted.width(), fitted.height()) - decorations);
    if (fitted.left != frame.x() || fitted.top != frame.y()) move(fitted.left, fitted.top);
}

void CLrxPcMainWin::RunCommand(int id) {
    if (!CommandEnabled(id, CurrentState())) return;
    hart::CLrxDoc& doc = app_.Document();
    switch (id) {
    case kCmdNew:
        OnFileNew();
        break;
    case kCmdOpen:
    case kCmdOpenButton:
        OnFileOpen();
        break;
    case kCmdSave:
        DoFileSave();
        break;
    case kCmdSaveAs:
        DoSaveAs();
        break;
    case kCmdExit:
        close();
        break;
    case kCmdReadDevice:
    case kCmdLoadButton:
        RunLinkOperation([&doc] { doc.ReadFromDevice(); });
        break;
    case kCmdSendBasic:
        RunLinkOperation([&doc] { doc.SendBasicSettings(); });
        break;
    case kCmdSendAdvanced:
        RunLinkOperation([&doc] { doc.SendAdvancedSettings(); });
        break;
    case kCmdCheckConnection:
        RunLinkOperation([&doc] { doc.CheckConnection(true); });
        break;
    case kCmdPortSettings:
        OnPortSettings();
        break;
    case kCmdAbout:
        OnAbout();
        break;
    case kCmdRefresh:
        doc.OnRefreshCommand();
        break;
    case kCmdPrint:
        view_->OnFilePrint(CLrxView::PrintMode::Dialog);
        break;
    case kCmdPrintDirect:
        view_->OnFilePrint(CLrxView::PrintMode::Direct);
        break;
    case kCmdPrintPreview:
        view_->OnFilePrint(CLrxView::PrintMode::Preview);
        break;
    default:
        if (id >= kCmdRecentFile && id < kCmdRecentFile + kRecentFileCount)
            OpenDocumentFile(app_.Recent().Files().value(id - kCmdRecentFile));
        break;
    }
    UpdateCommands();
}

bool CLrxPcMainWin::RunLinkOperation(std::function<void()> operation, bool holdsWindow, std::function<void()> done) {
    auto finished = [this, done = std::move(done)] {
        OnLinkOperationDone();
        if (done) done();
        // A close waiting for the link goes on (after what `done` started, if anything).
        if (closing_.Active() && !inCloseEvent_)
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    };
    if (!app_.Runner().Start(std::move(operation), std::move(finished))) return false;
    held_ = holdsWindow;
    UpdateCommands();
    return true;
}

void CLrxPcMainWin::OnLinkOperationDone() {
    held_ = false;
    app_.Ui().RestoreWaitCursors(); // those an aborted operation left behind
    UpdateCommands();
    UpdateTitle(); // the caption follows the document (a cancelled read leaves a new one)
}

bool CLrxPcMainWin::eventFilter(QObject* watched, QEvent* event) {
    // While an operation holds the window, its widgets take no input (dialogs the operation shows
    // are windows of their own and do).
    if (held_ && watched->isWidgetType() && IsUserInput(event->type()) &&
        static_cast<QWidget*>(watched)->window() == this)
        return true;
    // Files dropped on a field of the form are not text for it: a ".4810" file is opened wherever
    // it lands, anything else carrying file names is refused.
    if (watched != this && watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this &&
        DropOfFiles(event)) {
        auto* drop = static_cast<QDropEvent*>(event);
        if (event->type() == QEvent::Drop) dropEvent(drop);
        else if (!held_ && CommandEnabled(kCmdOpen, CurrentState()) && !DroppedFile(drop->mimeData()).isEmpty())
            drop->acceptProposedAction();
        else drop->ignore();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void CLrxPcMainWin::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (inCloseEvent_) return; // closed again while a question of this close is open
    inCloseEvent_ = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inCloseEvent_};
    // Monitoring ends first: no poll starts after this.
    if (view_->InfoPage()->Monitoring()) view_->InfoPage()->StopMonitoring();
    closing_.Begin();
    hart::CTransmitter& t = app_.Document().Transmitter();
    while (closing_.Active()) {
        const CloseSituation situation{app_.Runner().Busy(), held_, OutputMayBeFixed(t)};
        const CloseStep step = closing_.Next(situation);
        switch (step) {
        case CloseStep::AskAboutOperation:
            closing_.Answer(step, modal::Ask(str::kOperationRunsOnClose, Text(str::kOperationRunsOnClose),
                                             hart::MessageButtons::YesNoCancel, hart::MessageIcon::Question));
            // Stopped: the transmitter gets nothing after the current command, nothing more is shown.
            if (closing_.StopRequested() && app_.Runner().Busy()) app_.Runner().Abort();
            break;
        case CloseStep::StopPoll:
            app_.Runner().Abort();
            closing_.PollStopped();
            break;
        case CloseStep::Wait:
            return; // the operation's end closes again
        case CloseStep::AskToSave:
            closing_.Saved(SaveModified());
            break;
        case CloseStep::AskAboutOutput: {
            const hart::UserAnswer answer = modal::Ask(
                str::kOutputFixedOnClose, Qs(TextWithCurrent(str::kOutputFixedOnClose, t.FixedOutputCurrent())),
                hart::MessageButtons::YesNoCancel, hart::MessageIcon::Warning);
            closing_.Answer(step, answer);
            if (answer == hart::UserAnswer::Yes) {
                ReleaseOutputThenClose();
                return;
            }
            break;
        }
        case CloseStep::Close:
            closing_.Cancel(); // done: a later close (none) would start afresh
            event->accept();
            return;
        }
    }
}

void CLrxPcMainWin::ReleaseOutputThenClose() {
    hart::CLrxDoc& doc = app_.Document();
    auto released = std::make_shared<int>(0);
    const bool started = RunLinkOperation([&doc, released] { *released = ReleaseFixedOutput(doc); }, true,
                                          [this, released] { closing_.Released(*released != 0); });
    if (!started) closing_.Cancel();
}

void CLrxPcMainWin::dragEnterEvent(QDragEnterEvent* event) {
    if (!held_ && CommandEnabled(kCmdOpen, CurrentState()) && !DroppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void CLrxPcMainWin::dropEvent(QDropEvent* event) {
    const QString path = DroppedFile(event->mimeData());
    if (held_ || path.isEmpty() || !CommandEnabled(kCmdOpen, CurrentState())) return;
    event->acceptProposedAction();
    activateWindow();
    OpenDocumentFile(path);
    UpdateCommands();
}

bool CLrxPcMainWin::OpenDocumentFile(const QString& path, bool askSave) {
    if (askSave && !SaveModified()) return false;
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const bool opened = app_.Document().OnOpenDocument(Utf8Of(absolute));
    if (opened) modal::RememberFolder(absolute);
    if (opened) app_.Recent().Add(absolute);
    else app_.Recent().Remove(absolute);
    UpdateTitle();
    UpdateCommands();
    return opened;
}

bool CLrxPcMainWin::SaveModified() {
    hart::CLrxDoc& doc = app_.Document();
    if (!doc.IsModified()) return true;
    const QString name = doc.GetPathName().empty() ? Text(str::kUntitled) : Qs(doc.GetPathName());
    switch (modal::FrameworkQuestion(str::kAskToSave, Text(str::kAskToSave).arg(name),
                                     hart::MessageButtons::YesNoCancel, hart::MessageIcon::Warning, this)) {
    case hart::UserAnswer::Yes:
        return DoFileSave();
    case hart::UserAnswer::No:
        return true;
    default:
        return false;
    }
}

void CLrxPcMainWin::OnFileNew() {
    if (!SaveModified()) return;
    app_.Document().OnNewDocument();
    UpdateTitle();
}

void CLrxPcMainWin::OnFileOpen() {
    if (!SaveModified()) return;
    // A new, cleared document first: cancelling the dialog leaves it.
    app_.Document().OnNewDocument();
    UpdateTitle();
    const QString path = modal::OpenFileName(this, FileFilter());
    if (!path.isEmpty()) OpenDocumentFile(path, false);
}

bool CLrxPcMainWin::DoFileSave() {
    const std::string& path = app_.Document().GetPathName();
    if (path.empty()) return DoSaveAs();
    if (!app_.Document().OnSaveDocument(path)) return false;
    app_.Recent().Add(Qs(path));
    UpdateCommands();
    return true;
}

bool CLrxPcMainWin::DoSaveAs() {
    const std::string& path = app_.Document().GetPathName();
    const QString suggested = path.empty() ? Text(str::kUntitled) + QStringLiteral(".4810") : Qs(path);
    QString name = modal::SaveFileName(this, suggested, FileFilter());
    if (name.isEmpty()) return false;
    if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".4810");
    const QString absolute = QFileInfo(name).absoluteFilePath();
    if (!app_.Document().OnSaveDocument(Utf8Of(absolute))) return false;
    app_.Recent().Add(absolute);
    UpdateTitle();
    UpdateCommands();
    return true;
}

void CLrxPcMainWin::OnPortSettings() {
    hart::ISettings& settings = app_.Settings();
    CPortSettingsDialog dialog(settings.GetInt(hart::kGeneralSection, hart::kPortSettingsKey, -1), app_.Ports(), this);
    if (modal::Exec(dialog) != QDialog::Accepted) return;
    const int port = dialog.PortNumber();
    if (port <= 0) return; // no port was determined: a stored -1 would make the link use port 255
    settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, port);
    // The next transaction opens the new port.
    hart::CLrxDoc& doc = app_.Document();
    RunLinkOperation([&doc] { doc.Transmitter().ReleaseLink(); });
}

void CLrxPcMainWin::OnAbout() {
    CAboutDialog dialog(this);
    modal::Exec(dialog);
}

} // namespace zelhart::ui
