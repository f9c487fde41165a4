// One data link on a recording host, and the means to feed it bytes and ticks.
#pragma once

#include "frames.h"
#include "recording_host.h"
#include "zelhart/datalink/hart_data_link.h"

namespace zelhart::datalink::test {

struct LinkFixture {
    explicit LinkFixture(const DataLinkTimings& timings = {}) : link(host, timings) { host.Link = &link; }

    void Tick(int ticks = 1) {
        for (int i = 0; i < ticks; ++i)
            link.HartEvtTimerFunc();
    }
    void Feed(const Bytes& bytes, NTSTATUS status = STATUS_SUCCESS) {
        for (uint8_t c : bytes)
            link.HartPortDataReceiverFsmProcessReceivedCharacter(c, status);
    }
    void Feed(uint8_t c, NTSTATUS status = STATUS_SUCCESS) {
        link.HartPortDataReceiverFsmProcessReceivedCharacter(c, status);
    }
    // After start-up the bus is free once the quiet time (QUIETTIME + 3 ticks) has passed.
    void WaitBusFree() { Tick(link.Context().Timings.QUIETTIME + 3); }

    MasterState State() const { return link.Context().CurrentMasterState; }
    const Countdowns& Timers() const { return link.Context().Timers; }
    const FsmEventQueue& Queue() const { return link.Context().EventQueue; }

    RecordingHost host;
    HartDataLink link;
};

} // namespace zelhart::datalink::test
