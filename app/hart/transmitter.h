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

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace zelhart::hart {

// Results of the single reads of the device operations.
struct SensorLimitsReading {
    bool ok = false;
    std::int32_t units = kUnitsNotSet;
    float upper = NotANumber;
    float lower = NotANumber;
};
struct AlarmLevelsReading {
    float high = NotANumber;
    float low = NotANumber;
};
// The five bytes of the additional device status, in the order of the answer (b1..b5 = bytes[0..4]).
struct AdditionalStatusReading {
    bool ok = false;
    std::array<std::uint8_t, 5> bytes{};
};
struct MeasuredValueReading {
    bool ok = false;
    std::int32_t units = kUnitsNotSet;
    float value = NotANumber;
};
// A loop trim: done only when the transmitter accepted it; the response code of a rejection (0 when
// the trim was skipped or accepted).
struct LoopTrimResult {
    int done = 0;
    int responseCode = 0;
};

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

    // While `*stop` is true, Transact sends nothing: it returns 255 at once, without opening the link
    // or showing anything, so that an operation ends after the transaction it is in (the desktop
    // program closing during a read). Null (the default): transactions always run. The flag may be
    // set from any thread and must outlive the transmitter.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

    // 1 when the link is open (now or already); 0 after message 908 or 909.
    int EnsureOpen();
    // 1 when the link is closed or was not open; 0 after message 907. The link counts as closed after.
    int ReleaseLink();

    // Shows the message of a response code (commands.h) through this transmitter's user interface;
    // "no answer" with NoAnswerCause on its second line.
    void ReportResponseCode(CommandIndex index, int responseCode);
    // Why the last transaction went unanswered on a link that opened, when something is known against
    // the port (the driver found it without modem-control lines): the second line of message 906.
    // Empty otherwise, also after an answer.
    std::string NoAnswerCause() const { return unanswered_ ? driver_.PortCaution() : std::string(); }

    // --- Device operations. Each returns 1 for success (or nothing to do) and 0 for failure, which it
    // has reported already: response codes through ReportResponseCode, link failures by the link.
    // "Accepted" is a result of 0 or 8 unless an operation says 0 only. They take no lock; the caller
    // runs one at a time (transmitter_read.cpp, transmitter_write.cpp, transmitter_calibration.cpp).

    // Command 249 at polling address 0: stores the identity; 1 only for a Korvel-4810. Reports nothing.
    int FindDevice();

    // The six steps of reading the whole configuration. A failed command resets its fields to not set
    // and ends the step.
    int ReadTagAndSensor();       // 13, 140
    int ReadOutputConfig();       // 15, 14
    int ReadFilterAndAssembly();  // 150, 16
    int ReadLevelsAndVariables(); // 189, 33, 3
    int ReadFaultStatus();        // 48
    int ReadThermometerData();    // 139 for the seven construction parameters
    // One poll of the live values: final assembly, date, both device variables, loop current, faults.
    int RefreshMonitor();

    // Sending the configuration; each skips what is not set.
    int WriteSensorConfig();  // 140, 141
    int WriteRangeUnits();    // 44
    int WriteRange();         // 15, 14, 35 (and 14 after a failure)
    int WriteDamping();       // 34
    int WriteTag();           // 13, 18
    int WriteFilter();        // 151
    int WriteAlarmType();     // 162
    int WriteAlarmLevels();   // 189, 155
    int WriteProtectionOff(); // 195 when protection is to be off
    int WriteProtectionOn();  // 195 when protection is to be on, then 14

    // Single reads; they store nothing. Accepted with 0 only.
    int ReadWriteProtection(); // the write-protect code; 2 on failure
    int ReadRangeUnits();      // the range units code; 38 on failure
    int ReadSensorType();      // the sensor type code; 251 on failure
    SensorLimitsReading ReadSensorLimits();
    AlarmLevelsReading ReadAlarmLevels();
    AdditionalStatusReading ReadAdditionalStatus();
    MeasuredValueReading ReadMeasuredValue(); // device variable 2
    int ResetDevice();                        // 42

    // Calibration support; accepted with 0 only.
    using CTransmitterModel::SetFixedCurrent; // the setter, beside the operation below
    int SetFixedCurrent();                    // 40 with m_fixedCurrent
    int ExitFixedCurrent();                   // 40 with 0
    LoopTrimResult TrimLoopZero();            // 45 with m_loop4mAMeasured
    LoopTrimResult TrimLoopGain();            // 46 with m_loop20mAMeasured
    int ReadCalibrationInfo();                // 142 in m_calUnits
    int WriteCalibrationMode();               // 145 with m_calMode
    int TrimSensorLower();                    // 131 with m_calUnits, m_trimLower
    int TrimSensorUpper();                    // 130 with m_calUnits, m_trimUpper
    // The current this program last put the loop output to and has not released since (NaN when
    // released or never fixed). A command 40 with a current that got no valid answer counts as
    // fixing the output: the transmitter may have taken it.
    float FixedOutputCurrent() const { return fixedOutput_; }

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
    // Transact, then ReportResponseCode for any result but 0 (a warning 8 included: the table knows
    // which warnings have a text). Returns the result.
    int Exchange(CommandIndex index, std::initializer_list<FieldValue> values = {});
    // Stores a value the transmitter reported and clears the field's flag, without marking the document.
    template <class T> void Put(T& field, T value, Field flag) {
        field = value;
        m_fieldError.Clear(flag);
    }
    void Flag(Field field, bool on = true) { m_fieldError.Set(field, on); }
    // Command 14 into the limit units and sensor limits (not set after a failure).
    int StoreSensorLimits();
    void StoreFaults();          // from the accepted answer to 48
    void StoreDeviceVariables(); // from the accepted answer to 33
    LoopTrimResult TrimLoop(CommandIndex index, float& measured, Field flag);
    int TrimSensorPoint(CommandIndex index, float& point, Field flag);
    int WriteCode(CommandIndex index, std::int32_t& code, Field flag);

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
    bool unanswered_ = false; // the last transaction went on the line and nothing answered
    float fixedOutput_ = NotANumber;
    const std::atomic<bool>* stop_ = nullptr;
};

} // namespace zelhart::hart
