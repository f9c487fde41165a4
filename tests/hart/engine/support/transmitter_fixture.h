// A CTransmitter wired to the interface library double, a recording user interface, memory settings
// and a fake clock, on a private COM1.
#pragma once

#include "fake_clock.h"
#include "hart/frame.h"
#include "hart/transmitter.h"
#include "interface_double.h"
#include "link_environment.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zelhart::hart::testing {

// "86 19 FC ..." for a script's raw item.
inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X ", v);
        s += b;
    }
    return s;
}

// A frame with its check byte appended.
inline std::vector<uint8_t> WithCheck(std::vector<uint8_t> f) {
    f.push_back(CheckByte(f));
    return f;
}

class TransmitterTest : public ::testing::Test {
  protected:
    TransmitterTest() {
        env.AddPort(1);
        transmitter = std::make_unique<CTransmitter>(settings, ui, clock);
    }

    LinkEnvironment env;
    InterfaceDouble lib{kDoublePath};
    MemorySettings settings;
    RecordingUi ui;
    FakeClock clock;
    std::unique_ptr<CTransmitter> transmitter;
};

} // namespace zelhart::hart::testing
