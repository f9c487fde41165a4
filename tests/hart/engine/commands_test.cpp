// The command tables, the response-code messages and the string table.
#include "hart/commands.h"
#include "hart/frame.h"
#include "hart/strings.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

#include <array>
#include <set>

namespace zelhart::hart {
namespace {

// The command set as the transmitter documents it: command number and data bytes each way.
struct CommandRow {
    uint8_t command;
    size_t requestBytes;
    size_t responseBytes;
};
constexpr std::array<CommandRow, kCommandCount> kCommandSet = {{
    {0, 0, 12},   {3, 0, 24},    {13, 0, 21}, {14, 0, 16},  {15, 0, 17}, {16, 0, 3},
    {18, 21, 21}, {33, 4, 24},   {34, 4, 4},  {35, 9, 9},   {40, 4, 4},  {42, 0, 0},
    {44, 1, 1},   {45, 4, 4},    {46, 4, 4},  {48, 0, 5},   {130, 5, 5}, {131, 5, 5},
    {139, 7, 7},  {140, 1, 3},   {141, 3, 3}, {142, 2, 19}, {145, 2, 2}, {150, 0, 1},
    {151, 1, 1},  {155, 16, 16}, {162, 1, 1}, {189, 0, 16}, {195, 4, 4}, {249, 0, 12},
}};

TEST(CommandTables, EveryIndexCarriesItsCommandAndDataSizes) {
    for (size_t i = 0; i < kCommandCount; ++i) {
        SCOPED_TRACE("index " + std::to_string(i));
        const auto& req = RequestLayout(CommandIndex(i));
        const auto& resp = ResponseLayout(CommandIndex(i));
        EXPECT_EQ(req.command, kCommandSet[i].command);
        EXPECT_EQ(resp.command, kCommandSet[i].command);
        EXPECT_EQ(req.DataSize(), kCommandSet[i].requestBytes);
        EXPECT_EQ(resp.DataSize(), kCommandSet[i].responseBytes);
        // No command of the set uses 16-bit, 32-bit integer or 32-character fields.
        for (auto fields : {req.fields(), resp.fields()})
            for (FieldType t : fields)
                EXPECT_TRUE(t != FieldType::Int16 && t != FieldType::Int32 && t != FieldType::Packed32);
    }
}

TEST(CommandTables, EveryRequestBuildsWithTheByteCountOfItsLayout) {
    const LongAddress address{0x19, 0xFC, 0x12, 0x34, 0x56};
    for (size_t i = 0; i < kCommandCount; ++i) {
        SCOPED_TRACE("index " + std::to_string(i));
        const auto& layout = RequestLayout(CommandIndex(i));
        const bool isShort = UsesShortFrame(layout.command);
        FrameBuffer frame;
        frame.fill(0xEE);
        size_t n = BuildRequestFrame(layout, isShort, address, {}, frame);
        const size_t header = isShort ? 4 : 8;
        ASSERT_EQ(n, kPreambleLength + header + kCommandSet[i].requestBytes + 1);
        EXPECT_EQ(frame[6], isShort ? 0x02 : 0x82);
        EXPECT_EQ(frame[6 + header - 2], layout.command);
        EXPECT_EQ(frame[6 + header - 1], kCommandSet[i].requestBytes);
        EXPECT_EQ(frame[n - 1], CheckByte(std::span<const uint8_t>(frame).subspan(6, n - 7)));
        for (size_t k = n; k < frame.size(); ++k)
            ASSERT_EQ(frame[k], 0) << "byte " << k;
    }
}

TEST(CommandTables, OnlyIdentityCommandsUseShortFrames) {
    for (size_t i = 0; i < kCommandCount; ++i) {
        uint8_t cmd = RequestLayout(CommandIndex(i)).command;
        EXPECT_EQ(UsesShortFrame(cmd), cmd == 0 || cmd == 249) << int(cmd);
    }
}

// One row of the response-code table: code, command, expected string id (0 = no message).
struct MessageRow {
    int code;
    int command;
    int id;
};

constexpr MessageRow kMessageRows[] = {
    {255, 13, str::kSensorNotFound},
    {255, 249, str::kSensorNotFound},
    {128, 13, str::kConnectionDamaged},
    {192, 35, str::kConnectionDamaged},
    {254, 249, str::kConnectionDamaged},
    {2, 13, str::kInvalidSelection},
    {3, 35, str::kParameterTooLarge},
    {3, 45, 0},
    {3, 46, 0},
    {4, 155, str::kParameterTooSmall},
    {4, 45, 0},
    {4, 46, 0},
    {5, 13, str::kTooManyDataBytes},
    {7, 18, str::kWriteProtected},
    {8, 34, str::kDampingRounded},
    {8, 141, 0},
    {8, 18, str::kUpdateFailed},
    {8, 35, str::kUpdateFailed},
    {9, 35, str::kLowerRangeTooHigh},
    {9, 45, str::kLoopCurrentModeOrValue},
    {9, 46, str::kLoopCurrentModeOrValue},
    {9, 130, str::kProcessTooHigh},
    {9, 131, str::kProcessTooHigh},
    {9, 140, str::kInvalidSensorNumber},
    {9, 40, str::kInvalidSensorNumber},
    {10, 35, str::kLowerRangeTooLow},
    {10, 130, str::kProcessTooLow},
    {10, 131, str::kProcessTooLow},
    {10, 155, str::kInvalidHighAlarm},
    {10, 40, str::kUndefined},
    {10, 141, str::kUndefined},
    {11, 35, str::kUpperRangeTooHigh},
    {11, 40, str::kLoopCurrentNotActive},
    {11, 45, str::kLoopCurrentNotActive},
    {11, 46, str::kLoopCurrentNotActive},
    {11, 141, str::kInvalidSensorType},
    {11, 155, str::kInvalidHighSaturation},
    {11, 130, str::kUndefined},
    {12, 35, str::kUpperRangeTooLow},
    {12, 130, str::kInvalidCalibrationUnits},
    {12, 131, str::kInvalidCalibrationUnits},
    {12, 142, str::kInvalidCalibrationUnits},
    {12, 141, str::kInvalidConnectionCode},
    {12, 145, str::kInvalidCalibrationMode},
    {12, 155, str::kInvalidLowAlarm},
    {12, 40, str::kUndefined},
    {13, 35, str::kRangeOutOfLimits},
    {13, 130, str::kComputationError},
    {13, 131, str::kComputationError},
    {13, 155, str::kInvalidLowSaturation},
    {13, 141, str::kUndefined},
    {14, 35, str::kSpanTooSmall},
    {16, 18, str::kAccessRestricted},
    {32, 13, str::kDeviceBusy},
    {64, 189, str::kCommandNotImplemented},
    {1, 13, str::kUndefined},
    {6, 13, str::kUndefined},
    {15, 13, str::kUndefined},
    {17, 13, str::kUndefined},
    {31, 13, str::kUndefined},
    {33, 13, str::kUndefined},
    {63, 13, str::kUndefined},
    {65, 13, str::kUndefined},
    {127, 13, str::kUndefined},
    {0, 13, 0},
    {0, 249, 0},
};

TEST(ResponseCodeMessages, EveryRowOfTheTable) {
    for (const auto& row : kMessageRows) {
        SCOPED_TRACE("code " + std::to_string(row.code) + " command " + std::to_string(row.command));
        auto id = ResponseCodeMessage(uint8_t(row.command), row.code);
        if (row.id == 0) {
            EXPECT_FALSE(id.has_value());
        } else {
            ASSERT_TRUE(id.has_value());
            EXPECT_EQ(*id, row.id);
        }
    }
}

TEST(ResponseCodeMessages, EveryCodeOfEveryCommandHasAMessageExceptTheSilentOnes) {
    for (size_t i = 0; i < kCommandCount; ++i) {
        const uint8_t cmd = RequestLayout(CommandIndex(i)).command;
        for (int code = 1; code <= 255; ++code) {
            const bool silent =
                ((code == 3 || code == 4) && (cmd == 45 || cmd == 46)) || (code == 8 && cmd == 141);
            auto id = ResponseCodeMessage(cmd, code);
            ASSERT_EQ(id.has_value(), !silent) << "code " << code << " command " << int(cmd);
            if (id) {
                EXPECT_FALSE(LoadString(*id).empty()) << *id;
            }
        }
    }
}

TEST(ResponseCodeMessages, ReportShowsTheTextWithTheStopIcon) {
    testing::RecordingUi ui;
    ReportResponseCode(ui, CommandIndex::SetFixedCurrent, 10);
    ReportResponseCode(ui, CommandIndex::WriteDamping, 8);
    ReportResponseCode(ui, CommandIndex::WriteSensorConfig, 8);     // silent
    ReportResponseCode(ui, CommandIndex::TrimLoopCurrentZero, 3);   // silent
    ReportResponseCode(ui, CommandIndex::ReadTagDescriptorDate, 0); // never reported
    ASSERT_EQ(ui.shown.size(), 2u);
    EXPECT_EQ(ui.shown[0].text, "Неопределённый");
    EXPECT_EQ(ui.shown[0].icon, MessageIcon::Stop);
    EXPECT_EQ(ui.shown[1].id, 1005);
    EXPECT_EQ(ui.shown[1].text,
              "Предупреждение: Передаваемое значение дампинга меньше 0.5 секунд. Значение будет округлено до "
              "0.5 секунд");
}

TEST(StringTable, LinkTextsAreThereUnderTheirIds) {
    EXPECT_EQ(LoadString(906), "Датчик Корвел-4810 не найден");
    EXPECT_EQ(LoadString(907), "Нельзя закрыть Com порт");
    EXPECT_EQ(LoadString(908), "Нельзя открыть Com порт");
    EXPECT_EQ(LoadString(909), "Нельзя сконфигурировать Com порт");
    EXPECT_EQ(LoadString(1004), "Прибор находится в режиме защиты записи");
    EXPECT_EQ(LoadString(str::kConnectionDamaged), "Повреждение соединения\n\nПроверте питание, соединение.");
    EXPECT_TRUE(LoadString(905000).empty());
    EXPECT_TRUE(LoadString(-1).empty());
}

TEST(StringTable, EveryEntryIsFoundAndNoTextIsEmpty) {
    std::set<int> ids;
    for (const auto& e : StringTable()) {
        EXPECT_TRUE(ids.insert(e.id).second) << e.id;
        EXPECT_FALSE(e.text.empty()) << e.id;
        EXPECT_EQ(LoadString(e.id), e.text);
    }
}

TEST(Utf8OfModelText, EveryLengthOfEncodingAndLoneSurrogates) {
    const struct {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"TT-101", "TT-101"},
        {u"Корвел", "Корвел"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"a\U0001F321b", "a\xF0\x9F\x8C\xA1" "b"},
        {std::u16string(1, char16_t(0xD83C)) + u"x", "\xEF\xBF\xBDx"},
        {u"x" + std::u16string(1, char16_t(0xDF21)), "x\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8(c.in), c.out);
}

} // namespace
} // namespace zelhart::hart
