// The report's rows from the model: every value as its page shows it, and the pages' list mappings.
#include "core/page_lists.h"
#include "core/report_content.h"

#include "hart/strings.h"

#include <gtest/gtest.h>

#include <clocale>

namespace zelhart::ui {
namespace {

namespace str = hart::str;

std::vector<std::string> Lines(const ReportContent& r) {
    std::vector<std::string> lines;
    for (const auto& section : r.sections)
        for (const ReportRow& row : section)
            lines.push_back(std::string(hart::LoadString(row.labelId)) + ValueColumnText(row));
    return lines;
}

TEST(ReportContentTest, AClearedModelPrintsEveryLabelWithEmptyValues) {
    CTransmitterModel m;
    m.ClearContents();
    const ReportContent r = ReportFromModel(m);
    EXPECT_EQ(r.titleId, str::kReportTitle);
    const std::vector<std::string> lines = Lines(r);
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_EQ(lines[0], "Тег датчика: ");
    EXPECT_EQ(lines[7], "Демпфирование: "); // no unit without a value
    EXPECT_EQ(lines[15], "Температура сенсора: ");
    EXPECT_EQ(lines[18], "Неисправность сенсора: "); // no loop current: no lamp text
    EXPECT_EQ(lines[23], "Дата сборки трансмиттера: ");
}

TEST(ReportContentTest, AReadConfigurationPrintsAsThePagesShowIt) {
    CTransmitterModel m;
    m.SetTag(u"TT-101  ");
    m.SetSensorType(1); // PT100 (a = 0.00385): index 1, resistance
    m.SetSensorConnection(3);
    m.SetRangeUnits(32);
    m.SetLowerRange(0.0f);
    m.SetUpperRange(100.0f);
    m.SetDamping(1.0f);
    m.SetAlarmType(1);
    m.SetLowAlarm(3.6f);
    m.SetHighAlarm(21.0f);
    m.SetLowSaturation(3.8f);
    m.SetHighSaturation(20.5f);
    m.SetFilter(1);
    m.SetWriteProtect(0);
    m.SetMeasuredUnits(32);
    m.SetMeasuredValue(21.5f);
    m.SetLoopCurrent(7.44f);
    m.SetDeviceTempUnits(33);
    m.SetDeviceTemp(75.25f);
    m.SetSensorFault(1);
    m.SetUniversalRev(5);
    m.SetDeviceRev(1);
    m.SetSoftwareRev(3);
    m.SetHardwareRev(0x14);
    m.SetFinalAssembly(481001);
    m.SetDate(14, 3, 124);
    const std::vector<std::string> expected = {
        "Тег датчика: TT-101",
        "Тип сенсора: PT100 (a = 0.00385)",
        "Соединение сенсора: 3-проводное",
        "Точка 4 мА: 0.00 °C",
        "Точка 20 мА: 100.00 °C",
        "Нижний предел диапазона: -200.00 °C",
        "Верхний предел диапазона: 850.00 °C",
        "Демпфирование: 1.0 с",
        "Тип аварии: Низкий",
        "Низкий уровень аварии: 3.60 мА",
        "Высокий уровень аварии: 21.00 мА",
        "Нижнее насыщение: 3.80 мА",
        "Верхнее насыщение: 20.50 мА",
        "Фильтр 50/60 Гц: 50 Гц",
        "Защита записи: выключена",
        "Температура сенсора: 21.50 °C",
        "Аналоговый выход: 7.44 мА",
        "Температура датчика: 75.25 °F",
        "Неисправность сенсора: Да",
        "Неисправность датчика: Нет",
        "Версия программы: 5.1.3",
        "Версия аппаратной части: 20",
        "Конечный номер сборки: 481001",
        "Дата сборки трансмиттера: 14.3.2024",
    };
    EXPECT_EQ(Lines(ReportFromModel(m)), expected);

    // A thermocouple shows 2-wire whatever the code; no units entry: the limits' units, no limits.
    m.SetSensorType(132);
    m.SetSensorConnection(4);
    m.SetRangeUnits(38);
    m.SetLimitUnits(35);
    const std::vector<std::string> lines = Lines(ReportFromModel(m));
    EXPECT_EQ(lines[2], "Соединение сенсора: 2-проводное");
    EXPECT_EQ(lines[3], "Точка 4 мА: 0.00 °K");
    EXPECT_EQ(lines[5], "Нижний предел диапазона: ");
}

TEST(ReportContentTest, NumbersFollowTheUsersDecimalSeparator) {
    if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
    CTransmitterModel m;
    m.SetDamping(2.5f);
    const std::string damping = ValueColumnText(ReportFromModel(m).sections[0][7]);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(damping, ": 2,5 с");
}

TEST(PageListsTest, UnitsAndConnectionEntriesFollowTheSensor) {
    EXPECT_EQ(ConnectionEntries(14).size(), 1u);
    EXPECT_EQ(ConnectionEntries(21).size(), 3u);
    EXPECT_EQ(UnitsEntries(20), std::vector<std::int32_t>{36});
    EXPECT_EQ(UnitsEntries(21), std::vector<std::int32_t>{37});
    EXPECT_EQ(UnitsEntries(3).back(), 37);
    EXPECT_EQ(UnitsEntries(13).back(), 36);
    const struct {
        int sensor;
        std::int32_t code;
        int index;
        std::int32_t back;
    } cases[] = {{1, 32, 1, 32}, {1, 35, 4, 35}, {1, 37, 5, 37}, {1, 36, 5, 37}, {12, 36, 5, 36},
                 {20, 36, 1, 36}, {21, 32, 1, 37}, {0, 32, 0, 38},  {5, 38, 0, 38}};
    for (const auto& c : cases) {
        EXPECT_EQ(UnitsIndexFromCode(c.sensor, c.code), c.index) << c.sensor << "/" << c.code;
        EXPECT_EQ(UnitsCodeFromIndex(c.sensor, c.index), c.back) << c.sensor << "/" << c.code;
    }
    EXPECT_EQ(ConnectionIndexFromCode(5, 4), 3);
    EXPECT_EQ(ConnectionIndexFromCode(5, 251), 0);
    EXPECT_EQ(ConnectionIndexFromCode(15, 251), 1);
    EXPECT_EQ(ConnectionIndexFromCode(0, 3), 0);
    EXPECT_EQ(ConnectionCodeFromIndex(0), 251);
    EXPECT_EQ(ConnectionCodeFromIndex(3), 4);
    EXPECT_EQ(ConnectionCodeFromIndex(9), 2);
    EXPECT_EQ(CodeListText(0, str::kFilter60Hz), "60 Гц");
    EXPECT_EQ(CodeListText(2, str::kFilter60Hz), "");
}

} // namespace
} // namespace zelhart::ui
