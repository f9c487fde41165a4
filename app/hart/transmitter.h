// CTransmitter: the transmitter's configuration model plus the HART master link that talks to it.
//
// The link runs one transaction at a time: it opens and configures the HART device of the configured
// COM port, sends one request frame, polls for the matching answer with retries, and closes the device
// again once an answer was accepted or none came. Results of Transact:
//   0..127    the transmitter's response code (0 success, 8 a warning, 32 busy)
//   128..254  a communication-error byte (bit 7 set), 192 also for a damaged frame seen here
//   255       no valid answer, or the link could not be opened (already reported to the user)
// After 0 or 8, ParseResponse decodes the answer by the command's response layout.
//
// No lock: one transaction at a time is the caller's rule (the view disables the controls that could
// start a second one while the monitoring thread polls).
#pragma once

#include "hart/clock.h"
#include "hart/commands.h"
#include "hart/fields.h"
#include "hart/frame.h"
#include "hart/hart_driver.h"
#include "hart/settings.h"
#include "hart/transmitter_model.h"
#include "hart/user_interface.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace zelhart::hart {

class CTransmitter : public CTransmitterModel {
  public:
    // The link's timing; fixed for the life of the program.
    static constexpr int16_t kReadAttempts = 100;                 // polls per attempt
    static constexpr std::chrono::milliseconds kReadInterval{40}; // pause before each poll
    static constexpr std::chrono::milliseconds kRetryPause{1000}; // after an attempt that failed
    static constexpr int16_t kRetries = 3;                        // attempts per transaction

    // The services must outlive the transmitter (the destructor may still report through `ui`).
    CTransmitter(ISettings& settings, IUserInterface& ui, IClock& clock = SystemClock::Instance());
    // Closes a link left open; message 907 when that fails.
    ~CTransmitter() override;
    CTransmitter(const CTransmitter&) = delete;
    CTransmitter& operator=(const CTransmitter&) = delete;

    // One request and its answer. `values` are matched in order to the fields of the request layout of
    // `index`; a null value leaves its field zero. Throws FieldMismatch (before anything is sent) when a
    // value does not fit its field.
    int Transact(CommandIndex index, std::initializer_list<FieldValue> values = {});
    int Transact(CommandIndex index, std::span<const FieldValue> values);

    // Decodes the last accepted answer by the response layout of `index` into `outs` (matched in
    // order; null entries are skipped). Fields that the answer is too short to hold decode as missing
    // (0, the not-set float, an empty text). For commands 0 and 249 the stored identity (long address
    // and revisions) is updated first. Returns how many fields of the layout the answer held completely;
    // 0, with nothing written, when no answer was accepted since construction. Throws FieldMismatch
    // when an out-pointer does not fit its field.
    size_t ParseResponse(CommandIndex index, std::initializer_list<FieldOut> outs = {});
    size_t ParseResponse(CommandIndex index, std::span<const FieldOut> outs);

    // The two status bytes of the last accepted answer; either pointer may be null.
    void GetLastStatus(uint8_t* responseCode, uint8_t* deviceStatus) const;

    // 1 when the link is open (now or already); 0 after message 908 or 909.
    int EnsureOpen();
    // 1 when the link is closed or was not open; 0 after message 907. The link counts as closed after.
    int ReleaseLink();

    // Shows the message of a response code (commands.h) through this transmitter's user interface.
    void ReportResponseCode(CommandIndex index, int responseCode);

    IUserInterface& UserInterface() { return ui_; }
    IClock& Clock() { return clock_; }

    // Link state.
    bool IsLinkOpen() const { return open_; }
    const LongAddress& StoredLongAddress() const { return longAddress_; }
    uint8_t UniversalRevision() const { return universalRevision_; }
    uint8_t DeviceRevision() const { return deviceRevision_; }
    uint8_t SoftwareRevision() const { return softwareRevision_; }
    uint8_t HardwareRevisionByte() const { return hardwareRevision_; }
    std::span<const uint8_t> LastRequest() const { return std::span(request_).first(requestLength_); }
    std::span<const uint8_t> LastResponse() const { return std::span(response_).first(responseLength_); }

  protected:
    // Builds the frame of `index` into the request buffer and returns its length.
    size_t BuildRequest(CommandIndex index, std::span<const FieldValue> values);

  private:
    void UpdateIdentity();
    void Accept(const FrameBuffer& frame, size_t count);

    ISettings& settings_;
    IUserInterface& ui_;
    IClock& clock_;
    CHARTDriver driver_;
    FrameBuffer request_{};
    FrameBuffer response_{};
    size_t requestLength_ = 0;
    size_t responseLength_ = 0;
    LongAddress longAddress_{};
    bool shortFrame_ = false;
    uint8_t lastResponseCode_ = 0;
    uint8_t lastDeviceStatus_ = 0;
    uint8_t hardwareRevision_ = 0;
    uint8_t universalRevision_ = 0;
    uint8_t deviceRevision_ = 0;
    uint8_t softwareRevision_ = 0;
    bool open_ = false;
};

} // namespace zelhart::hart
