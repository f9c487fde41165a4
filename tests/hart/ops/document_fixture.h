// A CLrxDoc wired to the interface library double on a private COM1, a recording user interface, a
// fake clock and a progress wait that only records; with helpers to look at what was sent.
#pragma once

#include "fake_clock.h"
#include "hart/document.h"
#include "interface_double.h"
#include "link_environment.h"
#include "recording_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace zelhart::hart::testing {

// Standing answers of a believable Korvel-4810 (korvel4810.script beside this file): a Pt100 in
// three-wire connection ranged 0..100 °C, and an echo for every write.
inline std::string KorvelScript() {
    std::ifstream in(ZELHART_OPS_SCRIPT);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(text.empty()) << "cannot read " << ZELHART_OPS_SCRIPT;
    return text;
}
inline const std::string kKorvel = KorvelScript();

// One request as the double saw it.
struct SentFrame {
    int command = -1;
    std::vector<uint8_t> data;
};

inline std::vector<SentFrame> SentFrames(const InterfaceDouble& lib) {
    std::vector<SentFrame> frames;
    for (const auto& bytes : lib.Sent()) {
        SentFrame f;
        size_t p = 0;
        while (p < bytes.size() && bytes[p] == 0xFF)
            ++p;
        if (p >= bytes.size()) continue;
        const size_t address = (bytes[p] & 0x80) ? 5 : 1;
        const size_t at = p + 1 + address;
        if (at + 1 < bytes.size()) {
            f.command = bytes[at];
            const size_t count = bytes[at + 1];
            if (at + 2 + count <= bytes.size())
                f.data.assign(bytes.begin() + long(at + 2), bytes.begin() + long(at + 2 + count));
        }
        frames.push_back(f);
    }
    return frames;
}

inline std::vector<int> SentCommands(const InterfaceDouble& lib) {
    std::vector<int> commands;
    for (const auto& f : SentFrames(lib))
        commands.push_back(f.command);
    return commands;
}

// The big-endian float at `offset` of a request's data.
inline float FloatAt(const std::vector<uint8_t>& data, size_t offset) {
    if (offset + 4 > data.size()) return NotANumber;
    const uint32_t bits = uint32_t(data[offset]) << 24 | uint32_t(data[offset + 1]) << 16 |
                          uint32_t(data[offset + 2]) << 8 | data[offset + 3];
    return std::bit_cast<float>(bits);
}

inline bool Contains(const std::vector<int>& v, int x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

class RecordingProgressWait : public IProgressWait {
  public:
    void Wait(ProgressWaitMode mode) override { waits.push_back(mode); }
    std::vector<ProgressWaitMode> waits;
};

class DocumentTest : public ::testing::Test {
  protected:
    DocumentTest() {
        env.AddPort(1);
        doc = std::make_unique<CLrxDoc>(settings, ui, wait, clock);
        doc->SetUpdateHandler([this](int hint) {
            hints.push_back(hint);
            if (hint == kHintData) progress.push_back(doc->GetProgress());
        });
    }

    CTransmitter& t() { return doc->Transmitter(); }
    // The transmitter identified, and the records of that cleared.
    void Identify() {
        ASSERT_EQ(t().FindDevice(), 1);
        ui.shown.clear();
    }
    void Load(const std::string& steps) { lib.Load(kKorvel + steps); }

    LinkEnvironment env;
    InterfaceDouble lib{kDoublePath};
    MemorySettings settings;
    RecordingUi ui;
    FakeClock clock;
    RecordingProgressWait wait;
    std::unique_ptr<CLrxDoc> doc;
    std::vector<int> hints;
    std::vector<int> progress; // the progress at each hint 0
};

} // namespace zelhart::hart::testing
