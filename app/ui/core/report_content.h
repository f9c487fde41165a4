// What the printed report says: the title and three sections (basic, advanced, information) of rows
// "label: value unit", each value as its page shows it.
#pragma once

#include "hart/transmitter_model.h"

#include <array>
#include <string>
#include <vector>

namespace zelhart::ui {

struct ReportRow {
    int labelId;       // string id of the label
    std::string value; // as the page's control shows it; empty when not set
    std::string unit;  // printed after a value that is not empty
};

struct ReportContent {
    int titleId = 0;
    std::array<std::vector<ReportRow>, 3> sections; // basic, advanced, information
};

// The report of the model, with every value as the pages show it after a refresh from the document.
ReportContent ReportFromModel(const CTransmitterModel& model);

// The text printed at the value column: ": " and the value, then a space and the unit when both are
// there.
std::string ValueColumnText(const ReportRow& row);

} // namespace zelhart::ui
