#include "hart/strings.h"

#include <algorithm>

namespace zelhart::hart {
namespace {

// Keep this table ordered by id; a compile-time check below enforces it. To add a text, add one line.
constexpr StringEntry kStrings[] = {
    // Link and transport.
    {str::kSensorNotFound, "Датчик Корвел-4810 не найден"},
    {str::kCannotClosePort, "Нельзя закрыть Com порт"},
    {str::kCannotOpenPort, "Нельзя открыть Com порт"},
    {str::kCannotConfigurePort, "Нельзя сконфигурировать Com порт"},

    // Response codes of the transmitter.
    {str::kWriteProtected, "Прибор находится в режиме защиты записи"},
    {str::kDampingRounded, "Предупреждение: Передаваемое значение дампинга меньше 0.5 секунд. Значение будет "
                           "округлено до 0.5 секунд"},
    {str::kConnectionDamaged, "Повреждение соединения\n\nПроверте питание, соединение."},
    {str::kInvalidSelection, "Неверный выбор"},
    {str::kParameterTooLarge, "Указанный параметр велик"},
    {str::kParameterTooSmall, "Указанный параметр мал"},
    {str::kTooManyDataBytes, "Получено слишком много байт данных"},
    {str::kUpdateFailed, "Предупреждение: Обновление неудачно"},
    {str::kLowerRangeTooHigh, "Нижнее значение диапазона велико"},
    {str::kLoopCurrentModeOrValue, "Некорректный режим токового выхода или значение"},
    {str::kProcessTooHigh, "Применяемый процесс слишком высок"},
    {str::kInvalidSensorNumber, "Неверный номер сенсора"},
    {str::kLowerRangeTooLow, "Нижнее значение диапазона мало"},
    {str::kProcessTooLow, "Применяемый процесс слишком низок"},
    {str::kInvalidHighAlarm, "Неверное значение высокого уровня тревоги"},
    {str::kUpperRangeTooHigh, "Верхнее значение диапазона велико"},
    {str::kLoopCurrentNotActive, "Токовый выход не активнен"},
    {str::kInvalidSensorType, "Неверный тип сенсора"},
    {str::kInvalidHighSaturation, "Неверный верхний уровень насыщения"},
    {str::kUpperRangeTooLow, "Верхнее значение диапазона мало"},
    {str::kInvalidCalibrationUnits, "Некорректные единицы калибровки"},
    {str::kInvalidConnectionCode, "Неверный код соединения сенсора"},
    {str::kInvalidCalibrationMode, "Некорректный режим калибровки"},
    {str::kInvalidLowAlarm, "Неверное значение нижней тревоги"},
    {str::kRangeOutOfLimits, "Верхнее и нижнее значение диапазона вне пределов"},
    {str::kComputationError, "Ошибка вычисления (устройство в режиме аварии и devVarStatus = Bad)"},
    {str::kInvalidLowSaturation, "Неверное значение нижнего насыщения"},
    {str::kSpanTooSmall, "Малый размах"},
    {str::kAccessRestricted, "Доступ ограничен"},
    {str::kDeviceBusy, "Устройство занято"},
    {str::kCommandNotImplemented, "Команда не поддерживается"},
    {str::kUndefined, "Неопределённый"},
};

constexpr bool StrictlyOrdered() {
    for (size_t i = 1; i < std::size(kStrings); ++i)
        if (kStrings[i - 1].id >= kStrings[i].id) return false;
    return true;
}
static_assert(StrictlyOrdered(), "string ids must be unique and in ascending order");

} // namespace

std::string_view LoadString(int id) {
    auto it = std::lower_bound(std::begin(kStrings), std::end(kStrings), id,
                               [](const StringEntry& e, int key) { return e.id < key; });
    if (it == std::end(kStrings) || it->id != id) return {};
    return it->text;
}

std::span<const StringEntry> StringTable() {
    return kStrings;
}

} // namespace zelhart::hart
