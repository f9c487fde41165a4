// The pages' lists and how their entries map to the model's codes. Every list starts with an empty
// entry (index 0: nothing chosen). The basic page's connection and units lists depend on the chosen
// sensor (its user-interface index 1..21, 0 for none: see sensor_limits.h).
#pragma once

#include "hart/strings.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zelhart::ui {

// --- basic page
// String ids of the connection entries after the empty one: 2-, 3-, 4-wire for resistance sensors
// (1-10, 21) and no sensor, 2-wire alone for thermocouples and the millivolt input (11-20).
std::vector<int> ConnectionEntries(int sensorIndex);
// Connection code of an entry: 0 -> 251 (none), 1 -> 2, 2 -> 3, 3 -> 4, any other -> 2.
std::int32_t ConnectionCodeFromIndex(int index);
// Entry of a connection code for a sensor.
int ConnectionIndexFromCode(int sensorIndex, std::int32_t code);

// HART units codes of the units entries after the empty one.
std::vector<std::int32_t> UnitsEntries(int sensorIndex);
// Units code of entry `unitsIndex` for a sensor; 38 for the empty entry or no valid unit.
std::int32_t UnitsCodeFromIndex(int sensorIndex, int unitsIndex);
// Entry of a units code for a sensor.
int UnitsIndexFromCode(int sensorIndex, std::int32_t code);

// Text of a sensor code as the sensor list shows it; empty for a code not in the table.
std::string SensorText(std::int32_t sensorCode);

// --- advanced page: alarm type, mains filter and write protection lists hold the empty entry and
// the texts of codes 0 and 1.
// Entry of a code: 0 -> 1, 1 -> 2, anything else (2 = not set) -> 0.
int CodeListIndex(std::int32_t code);
// Text of a code as such a list shows it; `firstText` is the string id of code 0's text.
std::string CodeListText(std::int32_t code, int firstText);

// A number as the pages write it: printf's "%.<decimals>f" in the C library's numeric locale (the
// user's, set at start); empty for a value that is not set (NaN).
std::string FormatNumber(float value, int decimals);

using hart::Utf8; // the model's UTF-16 texts as UTF-8

} // namespace zelhart::ui
