#include "core/commands.h"

#include "hart/strings.h"

namespace zelhart::ui {
namespace {

constexpr CommandInfo kCommands[] = {
    {kCmdNew, "actionNew", "Ctrl+N"},
    {kCmdOpen, "actionOpen", "Ctrl+O"},
    {kCmdSave, "actionSave", "Ctrl+S"},
    {kCmdSaveAs, "actionSaveAs", ""},
    {kCmdRecentFile, "actionRecentFile", ""},
    {kCmdExit, "actionExit", ""},
    {kCmdReadDevice, "actionReadDevice", ""},
    {kCmdSendBasic, "actionSendBasic", ""},
    {kCmdSendAdvanced, "actionSendAdvanced", ""},
    {kCmdPortSettings, "actionPortSettings", ""},
    {kCmdCheckConnection, "actionCheckConnection", ""},
    {kCmdAbout, "actionAbout", ""},
};

constexpr int kFileItems[] = {kCmdNew,  kCmdOpen,       kCmdSave,      kCmdSaveAs,
                              kMenuSeparator, kCmdRecentFile, kMenuSeparator, kCmdExit};
constexpr int kConnectionItems[] = {kCmdReadDevice,   kMenuSeparator,   kCmdSendBasic,
                                    kCmdSendAdvanced, kMenuSeparator,   kCmdPortSettings,
                                    kCmdCheckConnection};
constexpr int kHelpItems[] = {kCmdAbout};

constexpr MenuInfo kMenus[] = {
    {hart::str::kMenuFile, kFileItems},
    {hart::str::kMenuConnection, kConnectionItems},
    {hart::str::kMenuHelp, kHelpItems},
};

bool IsRecentFile(int id) {
    return id >= kCmdRecentFile && id < kCmdRecentFile + kRecentFileCount;
}

} // namespace

std::span<const CommandInfo> MenuCommands() {
    return kCommands;
}

const CommandInfo* FindCommand(int id) {
    for (const CommandInfo& c : kCommands)
        if (c.id == id) return &c;
    return nullptr;
}

std::span<const MenuInfo> MainMenu() {
    return kMenus;
}

int MenuTextId(int commandId) {
    return hart::str::TemplateText(101, IsRecentFile(commandId) ? kCmdRecentFile : commandId);
}

Prompt SplitPrompt(std::string_view text) {
    const size_t lineBreak = text.find('\n');
    if (lineBreak == std::string_view::npos) return {std::string(text), {}};
    return {std::string(text.substr(0, lineBreak)), std::string(text.substr(lineBreak + 1))};
}

Prompt CommandPrompt(int commandId) {
    return SplitPrompt(hart::LoadString(IsRecentFile(commandId) ? kCmdRecentFile : commandId));
}

bool CommandEnabled(int id, const CommandState& s) {
    if (s.linkBusy) return false;
    switch (id) {
    case kCmdSave:
    case kCmdSaveAs:
        return s.canSave;
    case kCmdAbout:
    case kCmdExit:
        return true;
    case kCmdNew:
    case kCmdOpen:
    case kCmdOpenButton:
    case kCmdReadDevice:
    case kCmdLoadButton:
    case kCmdSendBasic:
    case kCmdSendAdvanced:
    case kCmdPortSettings:
    case kCmdCheckConnection:
    case kCmdPrint:
    case kCmdPrintDirect:
    case kCmdPrintPreview:
        return !s.procedureRunning && !s.linkRunning;
    default:
        if (IsRecentFile(id)) return !s.procedureRunning && !s.linkRunning && id - kCmdRecentFile < s.recentFiles;
        return true;
    }
}

} // namespace zelhart::ui
