// CLrxDoc: the program's one document. It owns the transmitter (model and link), runs the device
// operations and the calibration procedures the user starts, keeps the file path and the modified
// flag, and tells its views what to redraw through update hints.
//
// Every message and question goes through the user interface given at construction; the paced
// waits of the calibration and reset through the progress wait. Both are interfaces, so that the
// desktop program, the command-line front end and tests each supply their own.
#pragma once

#include "hart/clock.h"
#include "hart/progress_wait.h"
#include "hart/settings.h"
#include "hart/transmitter.h"
#include "hart/user_interface.h"

#include <atomic>
#include <functional>
#include <string>

namespace zelhart::hart {

// The hints of "update all views".
enum UpdateHint : int {
    kHintData = 0,             // data or progress changed: refresh
    kHintMonitorRefresh = 1,   // a monitoring poll ended: show the information page
    kHintCleared = 2,          // the cleared state changed
    kHintOperationEnded = 3,   // a long device operation ended
    kHintOperationStarted = 4, // a long device operation starts
    kHintProcedureEnded = 5,   // monitoring stopped, or a calibration procedure returned to idle
    kHintProcedureStarted = 6, // monitoring started, or a calibration procedure left idle
};

// The outcome of one loop calibration step.
enum class LoopStepResult : int { Done = 0, Abort = 1, Again = 2 };

// Calibration points of the sensor trim.
inline constexpr int kLowerPoint = 0;
inline constexpr int kUpperPoint = 1;

class CLrxDoc {
  public:
    // The services must outlive the document.
    CLrxDoc(ISettings& settings, IUserInterface& ui, IProgressWait& progressWait,
            IClock& clock = SystemClock::Instance());
    CLrxDoc(const CLrxDoc&) = delete;
    CLrxDoc& operator=(const CLrxDoc&) = delete;

    // The model the pages read and edit (its setters mark the document), and the link.
    CTransmitter& Transmitter() { return m_transmitter; }
    const CTransmitter& Transmitter() const { return m_transmitter; }
    IUserInterface& UserInterface() { return ui_; }

    // --- views
    using UpdateHandler = std::function<void(int hint)>;
    void SetUpdateHandler(UpdateHandler handler) { onUpdate_ = std::move(handler); }
    void UpdateAllViews(int hint);
    // Command 32785, posted after each monitoring poll: wait cursor, hint 1.
    void OnRefreshCommand();

    // --- document state
    bool IsModified() const { return modified_; }
    void SetModifiedFlag(bool modified = true) { modified_ = modified; }
    const std::string& GetPathName() const { return path_; }
    // 1 while the document holds nothing (after clearing), 0 once it holds data.
    int GetCleared() const { return m_cleared; }
    // Unsaved or unsent data: modified and never saved, or holding any data at all.
    bool WouldLoseData() const { return (modified_ && path_.empty()) || m_cleared == 0; }
    // Whether "Сохранить" applies: modified, or never saved.
    bool CanSave() const { return modified_ || path_.empty(); }
    // Set by the information page while its worker polls the transmitter.
    bool IsMonitoring() const { return monitoring_; }
    void SetMonitoring(bool on) { monitoring_ = on; }
    // m_progress := percent, then hint 0.
    void SetProgress(int percent);
    int GetProgress() const { return m_transmitter.GetProgress(); }

    // --- document commands
    // The not-set state, then the cleared state (hint 2).
    void ClearContents();
    // A new, empty document: cleared, no path, not modified.
    void OnNewDocument();
    // Clears the document and loads a ".4810" file. On failure every message has been shown and the
    // document is a new, empty one. "Failed to open document." and "Failed to save document." carry
    // their cause on a second line: the path and the system's reason.
    bool OnOpenDocument(const std::string& path);
    // Saves to `path`, replacing the file only once the new one is complete. On failure the message
    // has been shown and the previous file, path and modified flag stay as they were.
    bool OnSaveDocument(const std::string& path);
    // Whether a save to `path` could be made now (not a directory, in a folder that takes a new
    // file), checked before a long read whose result is to be saved there. Writes nothing; on false
    // the save's failure message has been shown with its cause.
    bool CheckSavePath(const std::string& path);

    // --- device operations (1 success, 0 failure; every failure has been reported)
    // Looks for the transmitter. Announcing: says found or not found. Otherwise asks to retry.
    int CheckConnection(bool announce);
    // Found and not write-protected.
    int CheckWritable();
    // Reads the whole configuration in six steps; 1 only when every step succeeded. Cancelled at
    // "not found": the document is cleared and becomes a new one (no path, not modified).
    int ReadFromDevice();
    // Sends tag, sensor, units, range and damping; 1 only when every step succeeded.
    int SendBasicSettings();
    // Sends write protection, alarm type and levels and the mains filter; 1 only when every step
    // succeeded.
    int SendAdvancedSettings();
    // One poll of the live values (the monitoring worker's thread calls it).
    int RefreshMonitor() { return m_transmitter.RefreshMonitor(); }

    // --- calibration procedures (document_calibration.cpp)
    int SetFixedCurrentMode(bool enter, bool verbose);
    int StartLoopCalibration();
    LoopStepResult CalibrateLoop4mA();
    LoopStepResult CalibrateLoop20mA();
    // The end of the loop calibration once the 20 mA point is confirmed: leaves fixed-current mode
    // quietly, then 1275. 0 when the output could not be released: that failure has been shown, and
    // 1275 is not, since the output stays fixed.
    int FinishLoopCalibration();
    int LoadSensorLimits();
    int PrepareSensorTrim(int point);
    int TrimSensor(int point);
    int CheckSensorTrim(int point);
    int ResetSensorTrim();

  private:
    void SetCleared(int cleared);
    LoopStepResult CalibrateLoopPoint(LoopTrimResult (CTransmitter::*trim)(), int failureText);
    void ShowValueMessage(int stringId, float value, MessageIcon icon);

    IUserInterface& ui_;
    IProgressWait& progressWait_;
    CTransmitter m_transmitter;
    UpdateHandler onUpdate_;
    std::string path_;
    bool modified_ = false;
    int m_cleared = 1;
    std::atomic<bool> monitoring_{false};
};

} // namespace zelhart::hart
