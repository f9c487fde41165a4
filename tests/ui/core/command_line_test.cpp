// The desktop program's command line and command table.
#include "core/command_line.h"
#include "core/commands.h"

#include "hart/strings.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelhart::ui {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineTest, VerbsAndFiles) {
    const struct {
        std::vector<std::string> args;
        Action action;
        std::string file, printer, output;
    } cases[] = {
        {{}, Action::New, "", "", ""},
        {{"/data/sensors/a.4810"}, Action::Open, "/data/sensors/a.4810", "", ""},
        {{"--", "--odd.4810"}, Action::Open, "--odd.4810", "", ""},
        {{"/p", "a.4810"}, Action::Print, "a.4810", "", ""},
        {{"/P", "a.4810"}, Action::Print, "a.4810", "", ""},
        {{"--print", "a.4810"}, Action::Print, "a.4810", "", ""},
        {{"/pt", "a.4810", "Office", "drv", "port"}, Action::PrintTo, "a.4810", "Office", ""},
        {{"--print-to", "a.4810", "Office"}, Action::PrintTo, "a.4810", "Office", ""},
        {{"--print-pdf", "out.pdf", "a.4810"}, Action::PrintPdf, "a.4810", "", "out.pdf"},
        {{"--help"}, Action::Help, "", "", ""},
    };
    for (const auto& c : cases) {
        const ParsedCommandLine p = ParseCommandLine(c.args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.line.action, c.action);
        EXPECT_EQ(p.line.file, c.file);
        EXPECT_EQ(p.line.printer, c.printer);
        EXPECT_EQ(p.line.output, c.output);
    }
}

TEST(CommandLineTest, WhatCannotBeRunIsRefusedWithAReason) {
    const std::vector<std::vector<std::string>> cases = {
        {"/p"}, {"/p", "a", "b"}, {"/pt", "a", "printer"}, {"--print-to", "a"}, {"--print-pdf", "out.pdf"},
        {"--print-pdf", "", "a.4810"}, {"--bogus"}, {"a.4810", "b.4810"}, {"--"}, {""}, {"--help", "x"},
    };
    for (const auto& args : cases) {
        const ParsedCommandLine p = ParseCommandLine(args);
        EXPECT_FALSE(p.ok) << args.size();
        EXPECT_FALSE(p.error.empty());
    }
}

TEST(CommandTableTest, MenusPromptsAndCaptionsComeFromTheStringTable) {
    ASSERT_EQ(MainMenu().size(), 3u);
    EXPECT_EQ(hart::LoadString(MainMenu()[0].titleId), "&Файл");
    EXPECT_EQ(hart::LoadString(MainMenu()[1].titleId), "&Соединение");
    EXPECT_EQ(hart::LoadString(MainMenu()[2].titleId), "Справка");
    for (const MenuInfo& menu : MainMenu())
        for (int id : menu.items)
            if (id != kMenuSeparator) {
                EXPECT_NE(FindCommand(id), nullptr) << id;
                EXPECT_FALSE(hart::LoadString(MenuTextId(id)).empty()) << id;
                // Every command has a prompt but "Проверить соединение", which never had one.
                EXPECT_EQ(CommandPrompt(id).tip.empty(), id == kCmdCheckConnection) << id;
            }
    EXPECT_EQ(hart::LoadString(MenuTextId(kCmdSave)), "&Сохранить\tCtrl+S");
    EXPECT_EQ(hart::LoadString(MenuTextId(kCmdRecentFile + 3)), "Недавние файлы");
    const Prompt read = CommandPrompt(kCmdReadDevice);
    EXPECT_EQ(read.tip, "Чтение данных с подключенного датчика");
    EXPECT_EQ(read.shortForm, "Загрузка");
    EXPECT_EQ(CommandPrompt(kCmdSendBasic).shortForm, "");
    EXPECT_EQ(CommandPrompt(kCmdRefresh).tip, "Чтение изменяемой информации с подключенного датчика");
    EXPECT_EQ(FindCommand(kCmdOpen)->shortcut, "Ctrl+O");
}

TEST(CommandTableTest, EnablingRules) {
    const CommandState idle{false, false, false, 2};
    EXPECT_FALSE(CommandEnabled(kCmdSave, idle)); // an unmodified document that has a file
    EXPECT_TRUE(CommandEnabled(kCmdSave, CommandState{false, false, true, 0}));
    EXPECT_TRUE(CommandEnabled(kCmdSaveAs, CommandState{false, false, true, 0}));
    EXPECT_TRUE(CommandEnabled(kCmdRecentFile + 1, idle));
    EXPECT_FALSE(CommandEnabled(kCmdRecentFile + 2, idle));
    for (int id : {kCmdReadDevice, kCmdSendBasic, kCmdSendAdvanced, kCmdPortSettings, kCmdCheckConnection,
                   kCmdNew, kCmdOpen, kCmdRecentFile}) {
        EXPECT_TRUE(CommandEnabled(id, idle)) << id;
        EXPECT_FALSE(CommandEnabled(id, CommandState{false, true, true, 2})) << id; // monitoring
        EXPECT_FALSE(CommandEnabled(id, CommandState{true, false, true, 2})) << id; // an operation
        EXPECT_FALSE(CommandEnabled(id, CommandState{false, false, true, 2, true})) << id; // a last poll
    }
    EXPECT_TRUE(CommandEnabled(kCmdSave, CommandState{false, true, true, 0})); // saving while monitoring
    EXPECT_TRUE(CommandEnabled(kCmdAbout, CommandState{false, true, false, 0}));
    EXPECT_FALSE(CommandEnabled(kCmdAbout, CommandState{true, false, false, 0}));
}

} // namespace
} // namespace zelhart::ui
