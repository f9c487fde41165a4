// The configuration as "name: value" lines, with the labels of the program's printed report. Numbers
// are formatted in the user's numeric locale ("3,50" for a Russian user); an empty value leaves out
// its unit.
#pragma once

#include "hart/transmitter_model.h"

#include <cstdio>
#include <string>

namespace zelhart::cli {

// Sections of the report.
void PrintBasic(std::FILE* out, const CTransmitterModel& m);
void PrintAdvanced(std::FILE* out, const CTransmitterModel& m);
void PrintInformation(std::FILE* out, const CTransmitterModel& m);
// Not in the printed report: the thermometer construction data and the transmitter's identity.
void PrintThermometer(std::FILE* out, const CTransmitterModel& m);
void PrintIdentity(std::FILE* out, const CTransmitterModel& m);

// "%.<decimals>f" in the user's locale; empty for a value that is not set.
std::string FormatNumber(float value, int decimals);
// Writes "label: value" (and " unit" after a value that is not empty).
void PrintRow(std::FILE* out, std::string_view label, const std::string& value, std::string_view unit = {});

} // namespace zelhart::cli
