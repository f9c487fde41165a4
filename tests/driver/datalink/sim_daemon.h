// A driver around one data link, behaving as the daemon will: the serial write of a frame takes some
// ticks and reports back, the port restart work item runs a tick after it is asked for, a waiting read
// takes delivered frames, writes are presented one at a time, suspend stops the timer and reading
// until the port is restarted. After every step it checks the data link's invariants and remembers
// the first violation. Used by the randomised test and the fuzz target (no test framework inside).
#pragma once

#include "zelhart/datalink/hart_data_link.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zelhart::datalink::test {

class SimDaemon : public DataLinkHost {
  public:
    struct Settings {
        DataLinkTimings Timings;
        uint8_t RetryCount = 2;
        uint8_t MasterType = 0x80;
        uint8_t ReadMask = 0x02;
        bool Trace = false;
    };

    explicit SimDaemon(const Settings& s) : settings_(s), link_(*this, s.Timings) {
        // Members the host callbacks use are declared before link_, whose constructor already calls them.
        link_.SetProtocol({kModeMaster, s.MasterType, s.RetryCount});
        link_.SetReadMask(s.ReadMask);
        link_.OnOpen();
        Check("open");
    }

    HartDataLink& Link() { return link_; }
    const DataLinkContext& Ctx() const { return link_.Context(); }
    int64_t Now() const { return now_; }
    const std::string& Violation() const { return violation_; }
    bool WritePending() const { return writePending_; }
    bool Suspended() const { return suspended_; }
    int WritesCompleted() const { return writesCompleted_; }

    // Called at every transmission with the tick the frame will have left the port.
    std::function<void(int64_t endsAt)> OnTransmit;
    int TransmitTicks = 3;
    NTSTATUS TransmitStatus = STATUS_SUCCESS;

    // ---- What happens to the driver ----

    void Byte(uint8_t c, NTSTATUS status = STATUS_SUCCESS) {
        if (suspended_ || readingStopped_) return; // no read is running
        link_.HartPortDataReceiverFsmProcessReceivedCharacter(c, status);
        Check("byte");
    }
    void Tick() {
        ++now_;
        if (!suspended_) link_.HartEvtTimerFunc();
        RunDueWork();
        Check("tick");
    }
    void PresentWrite() {
        if (writePending_ || suspended_) return;
        writePending_ = true;
        attempts_ = 0;
        interrupted_ = 0;
        const NTSTATUS s = link_.AcceptWriteRequest();
        if (s != STATUS_PENDING) Fail("write refused in master mode");
        Check("write");
    }
    void ImmediateRead(size_t size) {
        if (readWaiting_) return; // reads reach the buffered frame only when none waits
        std::vector<uint8_t> out(size);
        const auto copy = link_.ReadDeliveredFrame(out);
        if (copy.Bytes > size) Fail("read copied more than its buffer");
        Check("read");
    }
    void PostRead(size_t size) {
        if (readWaiting_) return;
        if (link_.HasDeliveredFrame()) return ImmediateRead(size);
        readWaiting_ = size;
    }
    void Suspend() {
        if (suspended_) return;
        suspended_ = true;
        if (writePending_) ++interrupted_;
        // Stopping the target cancels the serial write in flight; its completion still arrives. The
        // work items are waited for; whatever they start, reading stays stopped with the target.
        for (Work& w : work_) {
            if (w.kind == Work::SerialWriteDone) w.status = STATUS_CANCELLED;
        }
        RunAllWork();
        readingStopped_ = true;
        link_.OnSuspend();
        Check("suspend");
    }
    void Resume() {
        if (!suspended_) return;
        suspended_ = false;
        link_.OnResume();
        Check("resume");
    }
    void CloseAndOpen() {
        if (suspended_) return;
        work_.clear(); // close cancels the serial requests and waits for the work items
        link_.OnCleanupOrClose();
        link_.OnCleanupOrClose();
        readingStopped_ = false;
        link_.OnOpen();
        Check("close and open");
    }
    void SetReadMask(uint8_t mask) { link_.SetReadMask(mask); }

    // Silence on the line until the pending write (if any) has completed and the bus is free again.
    // Returns the ticks it took, or -1 when `bound` ticks were not enough.
    int64_t Settle(int64_t bound) {
        Resume();
        const int64_t start = now_;
        while (now_ - start <= bound) {
            if (!writePending_ && work_.empty() && Ctx().CurrentMasterState == MasterState::STATE_BUS_FREE) {
                return now_ - start;
            }
            Tick();
        }
        return -1;
    }

    // Where the machine stands, for failure messages.
    std::string Describe() const {
        const DataLinkContext& c = Ctx();
        const Countdowns& t = c.Timers;
        std::string d = std::string(MasterStateName(c.CurrentMasterState)) + ", receiver " +
                        ReceiverStateName(c.CurrentReceiverState) + ", Q " + std::to_string(t.Q) + " BA " +
                        std::to_string(t.BA) + " BG " + std::to_string(t.BG) + " gap " +
                        std::to_string(t.RcvGap) + " restart " + std::to_string(t.Restart) + ", write " +
                        (writePending_ ? "pending" : "none") + ", work " + std::to_string(work_.size()) +
                        ", queue";
        for (size_t i = 0; i < c.EventQueue.size(); ++i)
            d += std::string(" ") + MasterEventName(c.EventQueue[i]);
        return d;
    }

    // ---- DataLinkHost ----

    void HartWriteDataToSerialPort() override {
        if (!writePending_) return Fail("transmission without a pending write");
        // An attempt interrupted by suspend is not counted: it is made again after resume.
        if (++attempts_ > settings_.RetryCount + 1 + interrupted_)
            Fail("more transmissions than RetryCount + 1");
        const int64_t endsAt = now_ + TransmitTicks;
        work_.push_back({Work::SerialWriteDone, endsAt, TransmitStatus});
        if (OnTransmit) OnTransmit(endsAt);
    }
    void EnqueueWorkItemTriggerTx() override { work_.push_back({Work::TriggerTx, now_ + 1, STATUS_SUCCESS}); }
    void ResumeReception() override {}
    void CompletePendingWriteRequest(NTSTATUS, uint32_t) override {
        if (!writePending_) return Fail("completion of a write that was not pending");
        writePending_ = false;
        ++writesCompleted_;
    }
    void HartCompleteNextReadRequest() override {
        if (!readWaiting_) return;
        std::vector<uint8_t> out(*readWaiting_);
        const auto copy = link_.TakeDeliveredFrame(out);
        readWaiting_.reset();
        if (copy.Bytes > out.size()) return Fail("hand-over copied more than the read buffer");
        if (copy.Bytes > 0) {
            const uint8_t d = out[0] & 0x9F;
            if (d != 0x02 && d != 0x06 && d != 0x81 && d != 0x82 && d != 0x86)
                Fail("delivered frame without delimiter");
        }
        if (link_.HasDeliveredFrame()) Fail("a waiting read left bytes behind");
    }
    bool TraceEnabled(uint32_t) const override { return settings_.Trace; }
    void Trace(uint32_t mask, std::string_view line) override {
        if (line.empty() || line.back() != '\n') return Fail("trace line without its newline");
        if (mask == kTraceMasterState && line.rfind("STATE_", 0) == 0) {
            StatesSeen.insert(std::string(line.substr(0, line.size() - 1)));
        }
    }

    std::set<std::string> StatesSeen; // master states entered, when tracing
    void DebugPrint(std::string_view) override {}

  private:
    struct Work {
        enum Kind { SerialWriteDone, TriggerTx } kind;
        int64_t due;
        NTSTATUS status;
    };

    void RunDueWork() {
        for (size_t i = 0; i < work_.size();) {
            if (work_[i].due > now_) {
                ++i;
                continue;
            }
            const Work w = work_[i];
            work_.erase(work_.begin() + static_cast<long>(i));
            Run(w);
            i = 0; // a work item may have queued another
        }
    }
    void RunAllWork() {
        while (!work_.empty()) {
            const Work w = work_.front();
            work_.erase(work_.begin());
            Run(w);
        }
    }
    void Run(const Work& w) {
        if (w.kind == Work::SerialWriteDone) {
            link_.SerialWriteCompleted(w.status, NT_SUCCESS(w.status) ? 12 : 0);
        } else {
            readingStopped_ = false;
            if (writePending_) link_.FsmMasterProcessEvent(EVT_XMIT_REQ);
        }
    }

    void Fail(const std::string& what) {
        if (violation_.empty()) violation_ = what + " at tick " + std::to_string(now_);
    }

    void Check(const char* step) {
        const DataLinkContext& c = link_.Context();
        const auto fail = [&](const char* what) { Fail(std::string(what) + " after " + step); };
        if (c.RcvWritePos > kRcvBufferSize) fail("write position beyond the buffer");
        if (c.RcvReadPos + c.RcvPendingCount > kRcvBufferSize) fail("read position beyond the buffer");
        if (c.RcvBufferStart > 1 || c.RcvReadBuffer > 1) fail("no such receive buffer");
        if (c.RcvPendingCount > 0 && c.RcvReadBuffer == c.RcvBufferStart)
            fail("receiving into the frame being read");
        if (c.EventQueue.size() > FsmEventQueue::kCapacity || c.EventQueue.bytes()[7] != 0)
            fail("queue overrun");
        if (c.WriteRetriesLeftCount < 0 || c.WriteRetriesLeftCount > settings_.RetryCount + 1)
            fail("attempt count");
        if (c.PendingWriteRequest != writePending_) fail("pending write lost or invented");
        if (!writePending_ && c.EventQueue.FindFirst(kTransmitRequestBit) >= 0)
            fail("transmit request without a write");
        if (static_cast<int>(c.CurrentMasterState) >= kMasterStateCount) fail("no such master state");
        if (static_cast<uint32_t>(c.CurrentReceiverState) > 4) fail("no such receiver state");
    }

    Settings settings_;
    int64_t now_ = 0;
    bool writePending_ = false;
    int attempts_ = 0;
    int interrupted_ = 0;
    int writesCompleted_ = 0;
    bool suspended_ = false;
    bool readingStopped_ = false;
    std::optional<size_t> readWaiting_;
    std::vector<Work> work_;
    std::string violation_;
    HartDataLink link_;
};

} // namespace zelhart::datalink::test
