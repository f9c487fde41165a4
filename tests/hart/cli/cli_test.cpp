// 4810cli in-process: the calibration commands, monitoring and the question defaults, against the
// interface library double with a fake clock (the calibration waits take no time).
#include "cli.h"
#include "document_fixture.h"
#include "report.h"

#include "hart/strings.h"
#include "temp_dir.h"

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <string>

namespace zelhart::cli {
namespace {

using hart::MessageButtons;
using hart::UserAnswer;
using hart::testing::FloatAt;
using hart::testing::kKorvel;
using hart::testing::SentCommands;
using hart::testing::SentFrames;

std::string Slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        s.append(buffer, n);
    std::fclose(f);
    return s;
}

std::FILE* Input(const std::string& text) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

size_t Count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

class CliTest : public ::testing::Test {
  protected:
    CliTest() {
        env.AddPort(1);
        lib.Load(kKorvel);
    }

    int Run(std::vector<std::string_view> args, const std::string& input = "", bool interactive = false) {
        args.insert(args.begin(), "4810cli");
        Io io;
        io.in = Input(input);
        io.out = std::tmpfile();
        io.err = std::tmpfile();
        io.interactive = interactive;
        io.clock = &clock;
        const int status = Main(args, io, settings);
        std::fclose(io.in);
        out = Slurp(io.out);
        err = Slurp(io.err);
        return status;
    }
    int Sleeps(long long ms) const {
        auto h = clock.Histogram();
        return h.count(ms) ? h.at(ms) : 0;
    }

    hart::testing::LinkEnvironment env;
    hart::testing::InterfaceDouble lib{hart::testing::kDoublePath};
    hart::MemorySettings settings;
    hart::testing::FakeClock clock;
    std::string out, err;
};

TEST_F(CliTest, SensorTrimOfBothPoints) {
    ASSERT_EQ(Run({"sensor-trim", "C", "0.5", "99.5"}), kExitOk) << err;
    const auto sent = SentCommands(lib);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 131), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 130), 1);
    EXPECT_NE(err.find("сообщение 1332: Поместите датчик в термостат"), std::string::npos);
    EXPECT_NE(err.find("Измеряемая величина: 36.60 °C"), std::string::npos);
    EXPECT_NE(err.find("сообщение 1306: Калибровка нижнего предела выполнена успешно"), std::string::npos);
    EXPECT_NE(err.find("сообщение 1307: Калибровка вернего предела выполнена успешно"), std::string::npos);
    EXPECT_EQ(Count(err, "Выполняется калибровка... Ждите... 35/35"), 2u);
    EXPECT_EQ(Sleeps(1000), 2 * 36); // two calibration waits of 36 ticks, nothing else
}

TEST_F(CliTest, SensorTrimOfTheLowerPointOnly) {
    ASSERT_EQ(Run({"sensor-trim", "mV", "100"}), kExitFailure); // a Pt100 takes no millivolts
    EXPECT_NE(err.find("ошибка 1298"), std::string::npos);

    ASSERT_EQ(Run({"sensor-trim", "C", "280"}), kExitOk) << err;
    const auto frames = SentFrames(lib);
    EXPECT_EQ(frames.back().command, 48);
    EXPECT_EQ(frames[frames.size() - 2].command, 131);
    EXPECT_EQ(frames[frames.size() - 2].data[0], 32) << "the calibration units";
    EXPECT_EQ(FloatAt(frames[frames.size() - 2].data, 1), 280.0f);
    EXPECT_EQ(Count(err, "1333"), 0u);
}

TEST_F(CliTest, RefusedSensorPointIsNotRepeatedWithoutAnyoneToAsk) {
    EXPECT_EQ(Run({"sensor-trim", "C", "-250"}), kExitFailure);
    EXPECT_NE(err.find("ошибка 1302"), std::string::npos);
    EXPECT_NE(err.find("вопрос 1331: Калибровка была не успешна. Желаете повторить? -> Нет"),
              std::string::npos);
    EXPECT_EQ(Sleeps(1000), 0);
}

TEST_F(CliTest, RefusedSensorPointRepeatedWithANewValueOnTheTerminal) {
    // Enter for "temperature stable" (Продолжить), "да" to repeat, then the new value.
    ASSERT_EQ(Run({"sensor-trim", "C", "-250"}, "\nда\n0.5\n", true), kExitOk) << err;
    EXPECT_EQ(Count(err, "ошибка 1302"), 1u);
    EXPECT_NE(err.find("1306"), std::string::npos);
    EXPECT_EQ(FloatAt(SentFrames(lib)[SentFrames(lib).size() - 2].data, 1), 0.5f);
}

TEST_F(CliTest, ARefusedTrimIsRepeatedWithTheSameUnitsAndPoint) {
    lib.Load(kKorvel + "reply 131 10 0\n");
    // Enter (stable), "да" to repeat, Enter to keep the point, "нет" after the second refusal.
    EXPECT_EQ(Run({"sensor-trim", "C", "0.5"}, "\nда\n\nнет\n", true), kExitFailure);
    std::vector<float> points;
    for (const auto& f : SentFrames(lib))
        if (f.command == 131) points.push_back(FloatAt(f.data, 1));
    EXPECT_EQ(points, (std::vector<float>{0.5f, 0.5f}));
    EXPECT_EQ(Count(err, "ошибка 1297"), 0u); // the refusal forgot the units; the retry sets them again
    EXPECT_EQ(Count(err, "Применяемый процесс слишком низок"), 2u);
}

TEST_F(CliTest, LoopTrimTakesEachReadingAfterSettingItsPoint) {
    // Nobody to ask: the readings come from standard input, one a line, when the procedure needs them.
    ASSERT_EQ(Run({"loop-trim"}, "4.01\n19.99\n"), kExitOk) << err;
    std::vector<float> fixed, zero, gain;
    for (const auto& f : SentFrames(lib)) {
        if (f.command == 40) fixed.push_back(FloatAt(f.data, 0));
        if (f.command == 45) zero.push_back(FloatAt(f.data, 0));
        if (f.command == 46) gain.push_back(FloatAt(f.data, 0));
    }
    EXPECT_EQ(fixed, (std::vector<float>{4.0f, 20.0f, 0.0f}));
    EXPECT_EQ(zero, std::vector<float>{4.01f});
    EXPECT_EQ(gain, std::vector<float>{19.99f});
    // The 20 mA reading is taken after the 4 mA point is trimmed and confirmed and 20 mA is set.
    const size_t connect = err.find("вопрос 1272: Перед началом калибровки необходимо подключить мультиметр");
    const size_t enter4 = err.find("сообщение 1273: Введите в поле");
    const size_t reading4 = err.find("показание мультиметра в точке 4 мА: -> 4.01\n");
    const size_t confirm4 = err.find(
        "вопрос 1249: Точка 4 мА откалибрована! Значение соответствует эталонному измерителю? -> Да");
    const size_t enter20 = err.find("сообщение 1274: Введите в поле");
    const size_t reading20 = err.find("показание мультиметра в точке 20 мА: -> 19.99\n");
    const size_t done = err.find("сообщение 1275: Калибровка токового выхода завершена!");
    EXPECT_TRUE(connect < enter4 && enter4 < reading4 && reading4 < confirm4 && confirm4 < enter20 &&
                enter20 < reading20 && reading20 < done)
        << err;
    EXPECT_EQ(err.find("токовый выход остаётся"), std::string::npos);
}

TEST_F(CliTest, LoopTrimAsksForEveryReadingOnTheTerminal) {
    // Enter (Продолжить) for 1272; a reading that is no current, then 4.01; "нет" to 1249 and a new
    // reading; "да"; 19.99 and Enter (Да) for 1251.
    ASSERT_EQ(Run({"loop-trim"}, "\n1e3\n4.01\nнет\n4.02\nда\n19.99\n\n", true), kExitOk) << err;
    std::vector<float> zero;
    for (const auto& f : SentFrames(lib))
        if (f.command == 45) zero.push_back(FloatAt(f.data, 0));
    EXPECT_EQ(zero, (std::vector<float>{4.01f, 4.02f}));
    EXPECT_EQ(Count(err, "показание '1e3' - не ток в мА"), 1u);
    EXPECT_EQ(Count(err, "сообщение 1273"), 2u);
    EXPECT_EQ(Count(err, "показание мультиметра в точке 4 мА: "), 3u);
    EXPECT_EQ(Count(err, "показание мультиметра в точке 20 мА: "), 1u);

    // The readings from a file; the questions still on the terminal.
    zelhart::testing::TempDir dir;
    const std::string readings = dir / "readings";
    std::ofstream(readings) << "4.03\n20.01\n";
    ASSERT_EQ(Run({"loop-trim", "--readings", readings}, "\n\n\n", true), kExitOk) << err;
    EXPECT_EQ(FloatAt(SentFrames(lib).back().data, 0), 0.0f);
    EXPECT_NE(err.find("показание мультиметра в точке 20 мА: -> 20.01\n"), std::string::npos) << err;
    EXPECT_EQ(Run({"loop-trim", "--readings", dir / "absent"}), kExitFailure);
    EXPECT_NE(err.find("не удалось открыть файл показаний"), std::string::npos);
    EXPECT_EQ(Run({"loop-trim", "4.01", "19.99"}), kExitUsage); // readings taken before the trim
}

TEST_F(CliTest, LoopTrimWithoutAReadingFailsAndReleasesTheOutput) {
    struct Case {
        std::string input;
        std::string says;
        int trims;
    };
    const Case cases[] = {
        {"4.01\n", "ошибка 1281: Не введено значение тока для калибруемой точки 20 мА!", 1},
        {"", "ошибка 1278: Не введено значение тока для калибруемой точки 4 мА", 0},
        {"\n19.99\n", "ошибка 1278", 0},
        {"4.01\ninf\n", "показание 'inf' - не ток в мА", 1},
        {"4,01\n", "показание '4,01' - не ток в мА", 0}, // scripts write a full stop, whatever the locale
    };
    for (const Case& k : cases) {
        lib.Load(kKorvel);
        EXPECT_EQ(Run({"loop-trim"}, k.input), kExitFailure) << k.input;
        EXPECT_NE(err.find(k.says), std::string::npos) << err;
        EXPECT_NE(err.find("сообщение 1311"), std::string::npos) << err;
        EXPECT_EQ(err.find("токовый выход остаётся"), std::string::npos) << err;
        const auto frames = SentFrames(lib);
        int trims = 0;
        for (const auto& f : frames)
            trims += f.command == 45 || f.command == 46;
        EXPECT_EQ(trims, k.trims) << k.input;
        EXPECT_EQ(frames.back().command, 40);
        EXPECT_EQ(FloatAt(frames.back().data, 0), 0.0f);
    }
}

TEST_F(CliTest, LoopTrimRefusedValueAbortsAndReleasesTheLoop) {
    lib.Load(kKorvel + "reply 45 3 0\n");
    EXPECT_EQ(Run({"loop-trim"}, "4.5\n20\n"), kExitFailure);
    EXPECT_NE(err.find("внимание 1279"), std::string::npos); // above 4.2: a warning, the value is used
    EXPECT_NE(err.find("вопрос 1341"), std::string::npos);
    EXPECT_NE(err.find("-> Нет"), std::string::npos);
    EXPECT_NE(err.find("сообщение 1311"), std::string::npos);
    const auto frames = SentFrames(lib);
    EXPECT_EQ(frames.back().command, 40);
    EXPECT_EQ(FloatAt(frames.back().data, 0), 0.0f);
}

TEST_F(CliTest, LoopTrimThatCannotReleaseTheOutputFailsAndSaysSo) {
    // The transmitter is write-protected after the 20 mA trim: its 16th request is the read of the
    // protection before the output is released.
    std::string script = kKorvel + "reply 40 0 0 f:20\n"; // the echo of the 20 mA point
    for (int i = 0; i < 15; ++i)
        script += "step standing\n";
    lib.Load(script + "step answer 0 0 u8:0 u8:0 u8:32 f:100 f:0 f:1.5 u8:1 u8:0\n");
    EXPECT_EQ(Run({"loop-trim"}, "4.01\n19.99\n"), kExitFailure);
    EXPECT_NE(err.find("ошибка 1004"), std::string::npos);
    EXPECT_EQ(err.find("1275"), std::string::npos) << err;
    EXPECT_NE(err.find("внимание: токовый выход остаётся фиксированным: 20.00 мА"), std::string::npos) << err;
    const auto sent = SentCommands(lib);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 46), 1);
    EXPECT_EQ(sent.back(), 15); // nothing was sent after the refusal
}

TEST_F(CliTest, MonitorPollsCountTimesAtTheInterval) {
    ASSERT_EQ(Run({"monitor", "--count", "3", "--interval", "0.5"}), kExitOk) << err;
    EXPECT_EQ(Count(out, "Аналоговый выход: 12.00 мА\n"), 3u);
    EXPECT_EQ(Sleeps(500), 2);

    lib.Load(kKorvel + "reply 3 2 0\n");
    EXPECT_EQ(Run({"monitor", "--count", "2", "--interval", "0"}), kExitFailure);
    EXPECT_EQ(Count(err, "ошибка 20001: Неверный выбор"), 2u); // every poll reports; polling goes on
    EXPECT_EQ(Count(out, "Аналоговый выход:\n"), 2u);
}

TEST_F(CliTest, CalibrationResetWaitsForTheTransmitter) {
    lib.Load(kKorvel + "step standing\nstep standing\nstep standing\nstep answer 0 0 00 00 08 04 00\n");
    ASSERT_EQ(Run({"calibration-reset"}), kExitOk) << err;
    EXPECT_EQ(SentCommands(lib), (std::vector<int>{249, 15, 145, 48, 42, 48}));
    EXPECT_EQ(Sleeps(1000), 7);
    EXPECT_NE(err.find("Выполняется сброс... Ждите... 6/6"), std::string::npos);
    EXPECT_NE(err.find("сообщение 1293"), std::string::npos);
}

TEST_F(CliTest, APartialReadIsShownButNotSaved) {
    lib.Load(kKorvel + "reply 150 64 0\n"); // the third step fails
    zelhart::testing::TempDir dir;
    const std::string file = dir / "x.4810";
    EXPECT_EQ(Run({"read", "--save", file}), kExitFailure);
    EXPECT_NE(err.find("ошибка 20028: Команда не поддерживается"), std::string::npos);
    EXPECT_NE(out.find("Тип сенсора:\n"), std::string::npos);               // cleared by the failure
    EXPECT_NE(out.find("Аналоговый выход: 12.00 мА\n"), std::string::npos); // read after it
    EXPECT_FALSE(std::ifstream(file).good());
}

TEST_F(CliTest, ASavePathThatCannotBeWrittenFailsBeforeTheRead) {
    zelhart::testing::TempDir dir;
    const std::string file = dir / "no/such/dir/x.4810";
    EXPECT_EQ(Run({"read", "--save", file}), kExitFailure);
    EXPECT_EQ(lib.SentCount(), 0);
    // The cause on the message's second line.
    EXPECT_NE(err.find("4810cli: ошибка 20102: Failed to save document.\n4810cli:   " + file + ": " +
                       std::system_category().message(ENOENT) + "\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(Run({"read", "--save", dir.path()}), kExitFailure);
    EXPECT_EQ(lib.SentCount(), 0);
    EXPECT_NE(err.find(dir.path() + ": " + std::system_category().message(EISDIR)), std::string::npos);
}

TEST_F(CliTest, ThePortOptionOverridesTheStoredSetting) {
    settings.SetInt(hart::kGeneralSection, hart::kPortSettingsKey, 200);
    EXPECT_EQ(Run({"find"}), kExitFailure);
    EXPECT_NE(err.find("ошибка 908"), std::string::npos);
    EXPECT_EQ(Run({"find", "--port", "1"}), kExitOk);
    EXPECT_EQ(lib.LastOpenName(), "HART1");
    EXPECT_EQ(settings.GetInt(hart::kGeneralSection, hart::kPortSettingsKey, 0), 200); // not stored
}

TEST_F(CliTest, WithoutTheDriverDaemonTheLinkFailsAtOnceAndSaysWhy) {
    // The double under the driver library's file name, and no daemon at the runtime directory's
    // socket (cli_test.sh runs the program with the library itself).
    const std::string asDriverLibrary = platform::RuntimeDir() + "/" + kInterfaceLibraryName;
    std::filesystem::copy_file(hart::testing::kDoublePath, asDriverLibrary);
    env.UseLibrary(asDriverLibrary);
    EXPECT_EQ(Run({"check"}), kExitFailure);
    EXPECT_TRUE(clock.Histogram().empty()) << "no polling, no retries";
    EXPECT_NE(err.find("4810cli: ошибка 908: Нельзя открыть Com порт\n4810cli:   Драйвер ZelHartDriver не "
                       "запущен: никто не слушает сокет " +
                       platform::RuntimeDir() + "/zelhart.sock\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("сообщение 906: Датчик Корвел-4810 не найден"), std::string::npos);
    EXPECT_EQ(err.find("907"), std::string::npos);
}

TEST(CliQuestions, DefaultsWhenNobodyIsAsked) {
    namespace str = hart::str;
    EXPECT_EQ(DefaultAnswer(str::kSensorNotFound, MessageButtons::RetryCancel), UserAnswer::Cancel);
    EXPECT_EQ(DefaultAnswer(str::kLoopOutputWillChange, MessageButtons::OkCancel), UserAnswer::Ok);
    EXPECT_EQ(DefaultAnswer(str::kConnectMultimeter, MessageButtons::OkCancel), UserAnswer::Ok);
    EXPECT_EQ(DefaultAnswer(str::kDataWillBeLost, MessageButtons::YesNo), UserAnswer::Yes);
    EXPECT_EQ(DefaultAnswer(str::kLoop20mAConfirm, MessageButtons::YesNoCancel), UserAnswer::Yes);
    EXPECT_EQ(DefaultAnswer(str::kLoopTrimRepeat, MessageButtons::YesNo), UserAnswer::No);
    EXPECT_EQ(DefaultAnswer(str::kTrimRepeat, MessageButtons::YesNo), UserAnswer::No);
    EXPECT_EQ(DefaultAnswer(12345, MessageButtons::YesNoCancel), UserAnswer::Cancel);
    EXPECT_EQ(DefaultAnswer(12345, MessageButtons::Ok), UserAnswer::Ok);
}

TEST(CliQuestions, TerminalAnswers) {
    std::FILE* in = Input("maybe\nповторить\n\n");
    std::FILE* err = std::tmpfile();
    TerminalUi ui(in, err, true);
    EXPECT_EQ(
        ui.AskUser(906, "Датчик Корвел-4810 не найден", MessageButtons::RetryCancel, hart::MessageIcon::Stop),
        UserAnswer::Retry); // after one word it does not know
    EXPECT_EQ(ui.AskUser(906, "x", MessageButtons::RetryCancel, hart::MessageIcon::Stop),
              UserAnswer::Cancel); // Enter: the marked default
    EXPECT_EQ(ui.AskUser(905, "x", MessageButtons::OkCancel, hart::MessageIcon::None),
              UserAnswer::Ok); // end of input: the default
    std::fclose(in);
    const std::string shown = Slurp(err);
    EXPECT_NE(shown.find("вопрос 906: Датчик Корвел-4810 не найден [Повторить/*Отмена]"), std::string::npos);
}

TEST(CliNumbers, TypedNumbersFollowTheCommandLineRule) {
    // Each refused entry is asked again; the first the command line would take is the answer.
    std::FILE* in = Input("inf\n1e3\n-infinity\n0x10\n4.5\n");
    std::FILE* err = std::tmpfile();
    TerminalUi ui(in, err, true);
    EXPECT_EQ(ui.AskNumber("x"), 4.5f);
    std::fclose(in);
    in = Input("nan\n1E3\n\n");
    TerminalUi again(in, err, true);
    EXPECT_EQ(again.AskNumber("x"), std::nullopt); // Enter after refused entries: nothing
    std::fclose(in);
    std::fclose(err);
}

TEST(CliNumbers, CommandLineNumbersIgnoreTheLocaleAndShownOnesFollowIt) {
    if (!std::setlocale(LC_NUMERIC, "ru_RU.UTF-8")) GTEST_SKIP() << "no ru_RU.UTF-8 locale";
    EXPECT_EQ(ParseFloat("3.5"), 3.5f);
    EXPECT_EQ(ParseFloat("3,5"), std::nullopt);
    EXPECT_EQ(ParseTypedFloat("3,5"), 3.5f); // typed at the terminal: the user's separator too
    EXPECT_EQ(ParseTypedFloat("3,5e1"), std::nullopt);
    EXPECT_EQ(ParseFloat("-0.25"), -0.25f);
    EXPECT_EQ(FormatNumber(3.5f, 2), "3,50");
    EXPECT_EQ(FormatNumber(NotANumber, 2), "");
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(FormatNumber(3.5f, 2), "3.50");
    EXPECT_EQ(ParseUnits("mV"), 36);
    EXPECT_EQ(ParseUnits("°K"), 35);
    EXPECT_EQ(ParseUnits("37"), 37);
    EXPECT_EQ(ParseUnits("38"), std::nullopt);
    EXPECT_EQ(ParseCount("12x", 1, 100), std::nullopt);
    EXPECT_EQ(ParsePortNumber("255"), 255);
    EXPECT_EQ(ParsePortNumber("256"), std::nullopt);
}

} // namespace
} // namespace zelhart::cli
