// CLrxPcMainWin: the program's one window. A fixed-size frame fitted to the form, the three menus,
// no status bar; it carries out the commands of the menus, the form's buttons and the pages, runs
// every link operation on the link runner, opens dropped ".4810" files, and keeps the caption
// "<document> - Программа конфигурации Корвел-4810".
//
// While an operation holds the window (reading, sending, checking the connection, releasing the
// link, a calibration step) the window paints and shows progress but takes no input, and every
// command, the menu bar, the tabs, the buttons and the pages look disabled. Closing it follows
// ClosingSequence (core/closing.h): an operation is waited for or stopped after its current command
// as the user says, then the save question, then a loop output left fixed is released or left as
// the user says.
#pragma once

#include "core/closing.h"
#include "core/commands.h"

#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <map>

namespace zelhart::ui {

class CLrxPcApp;
class CLrxView;

class CLrxPcMainWin : public QMainWindow {
    Q_OBJECT
  public:
    explicit CLrxPcMainWin(CLrxPcApp& app);
    ~CLrxPcMainWin() override;

    // The first show: the view's initial update, the frame fitted to the form and the screen,
    // shown, accepting dropped files.
    void ShowInitially();
    // Sizes the frame to fit the form exactly, then fits it to `desktop` (a screen's geometry).
    void FitToDesktop(const QRect& desktop);

    // Carries out command `id` (commands.h) when it is enabled.
    void RunCommand(int id);
    QAction* Action(int id) const;
    CLrxView& View() const { return *view_; }

    // Opens `path` as the document, after asking to save a modified one when `askSave`. False when
    // it could not be opened: the messages have been shown and the document is a new, empty one.
    bool OpenDocumentFile(const QString& path, bool askSave = true);
    // Asks to save a modified document; false when the user cancelled (or saving failed).
    bool SaveModified();

    // Runs `operation` on the link thread; `holdsWindow`: no input reaches the window until it has
    // returned (a monitoring poll does not hold it); `done` runs on this thread after it returned.
    // False when another operation runs.
    bool RunLinkOperation(std::function<void()> operation, bool holdsWindow = true,
                          std::function<void()> done = {});
    bool Held() const { return held_; }

    // The one place the commands' enabled states are set (commands.h: CommandEnabled).
    void UpdateCommands();
    void UpdateTitle();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildMenus();
    CommandState CurrentState() const;
    QString FileFilter() const;
    void OnFileNew();
    void OnFileOpen();
    bool DoFileSave();
    bool DoSaveAs();
    void OnPortSettings();
    void OnAbout();
    void OnLinkOperationDone();
    // Starts the release of the fixed output on the link; the window closes again afterwards.
    void ReleaseOutputThenClose();

    CLrxPcApp& app_;
    CLrxView* view_;
    std::map<int, QAction*> actions_;
    bool held_ = false;
    ClosingSequence closing_;
    bool inCloseEvent_ = false;
    QPointer<QWidget> heldFocus_; // where the focus was when an operation took the window
};

} // namespace zelhart::ui
