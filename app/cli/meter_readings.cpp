#include "meter_readings.h"

#include "numbers.h"
#include "terminal_ui.h"

#include "hart/strings.h"

namespace zelhart::cli {
namespace {

constexpr float kMaxCurrent = 25.0f; // mA; no loop carries more
constexpr int kMaxTries = 5;

std::optional<float> AsCurrent(std::optional<float> value) {
    if (value && *value > 0 && *value <= kMaxCurrent) return value;
    return std::nullopt;
}

} // namespace

std::optional<float> MeterReadings::Next(std::string_view point, int missingText) {
    const std::string prompt = "4810cli: показание мультиметра в точке " + std::string(point) + ": ";
    auto missing = [&](const std::string& cause) -> std::optional<float> {
        ui_.ShowMessage(missingText, std::string(hart::LoadString(missingText)) + "\n" + cause,
                        hart::MessageIcon::Stop);
        return std::nullopt;
    };
    auto refused = [&](const std::string& line) {
        ui_.ShowMessage(kOwnQuestion, "показание '" + line + "' - не ток в мА от 0 до 25 (например, 4.012)",
                        hart::MessageIcon::Stop);
    };
    for (int attempt = 0; attempt < (interactive_ ? kMaxTries : 1); ++attempt) {
        std::fputs(prompt.c_str(), err_);
        std::fflush(err_);
        const std::optional<std::string> line = ReadLine(in_);
        if (!line)
            std::fputc('\n', err_);
        else if (!interactive_)
            std::fprintf(err_, "-> %s\n", line->c_str()); // what was read, for the log
        if (!line) return missing(sourceName_ + ": показаний больше нет");
        if (line->empty()) return missing(sourceName_ + ": пустая строка вместо показания");
        const auto value = AsCurrent(interactive_ ? ParseTypedFloat(*line) : ParseFloat(*line));
        if (value) return value;
        refused(*line);
    }
    return std::nullopt;
}

} // namespace zelhart::cli
