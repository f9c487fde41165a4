// The widget-free part of the two settings pages: what the basic page's lists hold and select for
// the chosen sensor and units, the unit labels and sensor limits it shows, the model fields each
// choice stores, and both pages' send checks in their order.
#pragma once

#include "hart/transmitter_model.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zelhart::ui {

// The basic page's three lists as chosen (entry indices; 0 is the empty entry).
struct BasicChoice {
    int sensor = 0;
    int connection = 0;
    int units = 0;
};

// What the basic page shows besides the model's own texts.
struct BasicShown {
    std::vector<int> connectionTexts = {};     // string ids after the empty entry
    std::vector<std::int32_t> unitsCodes = {}; // units codes after the empty entry
    BasicChoice choice;
    std::string unitText;               // the 4 mA and 20 mA points' unit labels
    std::string lowerLimit, upperLimit; // the sensor limits ("%.2f"), empty when not shown
    std::string LimitUnit(const std::string& limit) const { return limit.empty() ? std::string() : unitText; }
};

class BasicPageLogic {
  public:
    // Before any sensor is known: the empty entries, every unit offered.
    explicit BasicPageLogic(CTransmitterModel& model);

    // The user chose an entry. Each stores what it implies in the model.
    void OnSensorChanged(int sensorIndex);
    void OnConnectionChanged(int connectionIndex);
    void OnUnitsChanged(int unitsIndex);
    // Refresh from the document: the choice of the model's codes, the units' consequences.
    void Refresh();

    const BasicShown& Shown() const { return shown_; }
    // The send button's checks: 0 when the settings may be sent, else the first failing check's
    // message.
    int SendCheck() const;

  private:
    void RebuildLists();
    void ShowLimits(bool shown);

    CTransmitterModel& m_;
    BasicShown shown_;
};

// The basic page's send checks on codes (251: no sensor or connection, 38: no units) and values
// (NaN: not entered).
struct BasicSendInput {
    std::int32_t sensor = 251, connection = 251, units = 38;
    float lower = NotANumber, upper = NotANumber; // the 4 mA and 20 mA points
    float lowerLimit = NotANumber, upperLimit = NotANumber;
};
int BasicSendCheck(const BasicSendInput& in);

// The advanced page's send checks on the low and high alarm and saturation levels (NaN: empty).
int AdvancedSendCheck(float lowAlarm, float highAlarm, float lowSaturation, float highSaturation);

// The presets of the advanced page's level lists (after the empty entry), in mA.
std::vector<float> LevelPresets(int listControlId);

} // namespace zelhart::ui
