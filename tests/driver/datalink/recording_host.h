// A DataLinkHost that records what the data link asks of the driver.
#pragma once

#include "zelhart/datalink/data_link_host.h"
#include "zelhart/datalink/events.h"
#include "zelhart/datalink/hart_data_link.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelhart::datalink::test {

struct TraceLine {
    uint32_t Mask;
    std::string Text;
};

struct WriteCompletion {
    NTSTATUS Status;
    uint32_t Information;
};

struct ReadCompletion {
    std::vector<uint8_t> Bytes;
    NTSTATUS Status;
};

class RecordingHost : public DataLinkHost {
  public:
    void HartWriteDataToSerialPort() override { ++Transmissions; }
    void EnqueueWorkItemTriggerTx() override { ++TriggerTxCount; }
    void ResumeReception() override { ++ResumeReceptionCount; }
    void CompletePendingWriteRequest(NTSTATUS status, uint32_t information) override {
        Writes.push_back({status, information});
    }
    void HartCompleteNextReadRequest() override {
        ++Deliveries;
        if (!WaitingRead || Link == nullptr) return;
        std::vector<uint8_t> buffer(*WaitingRead);
        const auto copy = Link->TakeDeliveredFrame(buffer);
        buffer.resize(copy.Bytes);
        Reads.push_back({buffer, copy.Status});
        WaitingRead.reset();
    }
    bool TraceEnabled(uint32_t mask) const override { return (mask & TraceMaskEnabled) != 0; }
    void Trace(uint32_t mask, std::string_view line) override { Traces.push_back({mask, std::string(line)}); }
    void DebugPrint(std::string_view line) override { DebugLines.emplace_back(line); }

    // Master states entered, in order, from the state-name trace lines.
    std::vector<std::string> StatesEntered() const {
        std::vector<std::string> states;
        for (const TraceLine& t : Traces) {
            if (t.Mask == kTraceMasterState && t.Text.rfind("STATE_", 0) == 0) {
                states.push_back(t.Text.substr(0, t.Text.size() - 1));
            }
        }
        return states;
    }
    // Events the receiver raised, in order.
    std::vector<std::string> ReceiverEvents() const {
        static constexpr std::string_view kPrefix = "SendEventToOtherFsm: ";
        std::vector<std::string> events;
        for (const TraceLine& t : Traces) {
            if (t.Text.rfind(kPrefix, 0) == 0) {
                events.push_back(t.Text.substr(kPrefix.size(), t.Text.size() - kPrefix.size() - 1));
            }
        }
        return events;
    }
    bool Traced(std::string_view text) const {
        for (const TraceLine& t : Traces) {
            if (t.Text == text) return true;
        }
        return false;
    }
    void ClearRecords() {
        Traces.clear();
        DebugLines.clear();
        Writes.clear();
        Reads.clear();
        Transmissions = TriggerTxCount = ResumeReceptionCount = Deliveries = 0;
    }

    uint32_t TraceMaskEnabled = 0xFFFFFFFF;
    HartDataLink* Link = nullptr;      // for the waiting read
    std::optional<size_t> WaitingRead; // buffer size of a read waiting in the secondary queue

    int Transmissions = 0;
    int TriggerTxCount = 0;
    int ResumeReceptionCount = 0;
    int Deliveries = 0;
    std::vector<WriteCompletion> Writes;
    std::vector<ReadCompletion> Reads;
    std::vector<TraceLine> Traces;
    std::vector<std::string> DebugLines;
};

} // namespace zelhart::datalink::test
