// The program's commands: ids, menu captions, accelerators, status prompts, the menu layout, and the
// one rule that says which command is enabled.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace zelhart::ui {

enum CommandId : int {
    kCmdOpenButton = 188, // "Открыть из файла": the same as kCmdOpen
    kCmdLoadButton = 189, // "Загрузить из устройства": the same as kCmdReadDevice
    kCmdReadDevice = 32783,
    kCmdRefresh = 32785, // posted after each monitoring poll; no menu entry
    kCmdPortSettings = 32786,
    kCmdSendBasic = 32790,
    kCmdSendAdvanced = 32791,
    kCmdCheckConnection = 32794,
    kCmdNew = 57600,
    kCmdOpen = 57601,
    kCmdSave = 57603,
    kCmdSaveAs = 57604,
    kCmdPrint = 57607,        // the view's print commands: no menu entry, no key
    kCmdPrintDirect = 57608,  // reached by the print verbs of the command line
    kCmdPrintPreview = 57609,
    kCmdRecentFile = 57616, // 57616..57619: the four recent files
    kCmdAbout = 57664,
    kCmdExit = 57665,
};

inline constexpr int kRecentFileCount = 4;
inline constexpr int kMenuSeparator = 0;

struct CommandInfo {
    int id;
    std::string_view objectName; // of the QAction, for tests and accessibility
    std::string_view shortcut;   // accelerator in Qt's portable text, empty for none
};

// The commands of the menus, in menu order.
std::span<const CommandInfo> MenuCommands();
const CommandInfo* FindCommand(int id);

struct MenuInfo {
    int titleId; // string id of the pop-up's caption
    std::span<const int> items; // command ids; kMenuSeparator between groups
};
// The three pop-ups of menu 101: Файл, Соединение, Справка.
std::span<const MenuInfo> MainMenu();

// String id of the menu caption of a command.
int MenuTextId(int commandId);

// A status prompt: the tip, and after a line break the short form (the tool tip).
struct Prompt {
    std::string tip;
    std::string shortForm;
};
Prompt SplitPrompt(std::string_view text);
// The prompt of a command (string `commandId`); the recent files share 57616's.
Prompt CommandPrompt(int commandId);

// What the enabling of the commands depends on.
struct CommandState {
    bool linkBusy = false;         // an operation holds the window (reading, sending, ...)
    bool procedureRunning = false; // monitoring or a calibration procedure (hints 6..5)
    bool canSave = false;          // modified, or never saved
    int recentFiles = 0;           // entries of the recent-file list
    bool linkRunning = false;      // an operation runs on the link, one that does not hold the window too
};

// The one enabling rule. While an operation holds the window nothing can be started. While
// monitoring or a calibration procedure runs, or any operation runs on the link (a monitoring
// poll after monitoring was stopped), nothing that uses the link or replaces the model can start
// either (the link belongs to the procedure). Saving follows the document: modified or never
// saved. A recent-file entry exists only when the list holds it.
bool CommandEnabled(int commandId, const CommandState& state);

} // namespace zelhart::ui
