// CLrxDoc: document state, files, connection checks, reading and sending the configuration.
#include "hart/document.h"

#include "hart/config_file_io.h"
#include "hart/strings.h"
#include "hart/wait_cursor.h"

namespace zelhart::hart {
namespace {

// One step of a read or send operation and the progress value set after it.
struct Step {
    int (CTransmitter::*run)();
    int progress;
};

constexpr Step kReadSteps[] = {
    {&CTransmitter::ReadTagAndSensor, 16},      {&CTransmitter::ReadOutputConfig, 32},
    {&CTransmitter::ReadFilterAndAssembly, 48}, {&CTransmitter::ReadLevelsAndVariables, 64},
    {&CTransmitter::ReadFaultStatus, 80},       {&CTransmitter::ReadThermometerData, 100},
};

constexpr Step kBasicSteps[] = {
    {&CTransmitter::WriteSensorConfig, 20},
    {&CTransmitter::WriteRangeUnits, 40},
    {&CTransmitter::WriteRange, 60},
    {&CTransmitter::WriteDamping, 80},
};

constexpr Step kAdvancedSteps[] = {
    {&CTransmitter::WriteProtectionOff, 20},
    {&CTransmitter::WriteAlarmType, 40},
    {&CTransmitter::WriteAlarmLevels, 60},
    {&CTransmitter::WriteFilter, 80},
};

constexpr int kProtected = 1;
constexpr int kProtectionUnknown = 2;

// A file message with its cause on the next line: the path and the system's reason.
std::string WithCause(std::string_view text, const std::string& path, std::error_code reason) {
    return std::string(text) + "\n" + path + ": " + reason.message();
}

} // namespace

CLrxDoc::CLrxDoc(ISettings& settings, IUserInterface& ui, IProgressWait& progressWait, IClock& clock)
    : ui_(ui), progressWait_(progressWait), m_transmitter(settings, ui, clock) {
    m_transmitter.SetEditHandler([this] {
        modified_ = true;
        SetCleared(0);
    });
}

void CLrxDoc::UpdateAllViews(int hint) {
    if (onUpdate_) onUpdate_(hint);
}

void CLrxDoc::OnRefreshCommand() {
    WaitCursor cursor(ui_);
    UpdateAllViews(kHintMonitorRefresh);
}

void CLrxDoc::SetCleared(int cleared) {
    m_cleared = cleared;
    UpdateAllViews(kHintCleared);
}

void CLrxDoc::SetProgress(int percent) {
    m_transmitter.SetProgress(percent);
    UpdateAllViews(kHintData);
}

// --- document commands

void CLrxDoc::ClearContents() {
    m_transmitter.ClearContents();
    SetCleared(1);
}

void CLrxDoc::OnNewDocument() {
    ClearContents();
    path_.clear();
    modified_ = false;
    UpdateAllViews(kHintData);
}

bool CLrxDoc::OnOpenDocument(const std::string& path) {
    ClearContents();
    std::error_code reason;
    const ConfigLoadResult loaded = ReadConfigurationFile(path, &reason);
    if (!loaded.ok()) {
        for (const FileMessage& message : loaded.messages) {
            const bool why = reason && message.id == str::kFailedToOpenDocument;
            ui_.ShowMessage(message.id,
                            why ? WithCause(message.text, path, reason) : std::string(message.text),
                            MessageIcon::Stop);
        }
        // What stays is the cleared document the open began with: a new one.
        path_.clear();
        modified_ = false;
        UpdateAllViews(kHintData);
        return false;
    }
    m_transmitter.ApplyStoredConfiguration(loaded.configuration);
    path_ = path;
    modified_ = false;
    SetCleared(0);
    UpdateAllViews(kHintData);
    return true;
}

bool CLrxDoc::CheckSavePath(const std::string& path) {
    if (const std::error_code reason = CheckSaveTarget(path)) {
        ui_.ShowMessage(str::kFailedToSaveDocument,
                        WithCause(LoadString(str::kFailedToSaveDocument), path, reason), MessageIcon::Stop);
        return false;
    }
    return true;
}

bool CLrxDoc::OnSaveDocument(const std::string& path) {
    if (const std::error_code reason = SaveConfigurationFile(path, m_transmitter)) {
        ui_.ShowMessage(str::kFailedToSaveDocument,
                        WithCause(LoadString(str::kFailedToSaveDocument), path, reason), MessageIcon::Stop);
        return false;
    }
    path_ = path;
    modified_ = false;
    return true;
}

// --- device operations

int CLrxDoc::CheckConnection(bool announce) {
    WaitCursor cursor(ui_);
    while (!m_transmitter.FindDevice()) {
        cursor.Restore();
        if (announce) {
            ShowString(ui_, str::kSensorNotFound, MessageIcon::Information, m_transmitter.NoAnswerCause());
            return 0;
        }
        if (AskString(ui_, str::kSensorNotFound, MessageButtons::RetryCancel, MessageIcon::Stop,
                      m_transmitter.NoAnswerCause()) != UserAnswer::Retry)
            return 0;
        cursor.Show();
    }
    cursor.Restore();
    if (announce) ShowString(ui_, str::kSensorFound, MessageIcon::Information);
    return 1;
}

int CLrxDoc::CheckWritable() {
    if (!CheckConnection(false)) return 0;
    const int protection = m_transmitter.ReadWriteProtection();
    if (protection == kProtected) {
        ShowString(ui_, str::kWriteProtected, MessageIcon::Stop);
        return 0;
    }
    if (protection == kProtectionUnknown) {
        ShowString(ui_, str::kProtectionUnreadable, MessageIcon::Stop);
        return 0;
    }
    return 1;
}

int CLrxDoc::ReadFromDevice() {
    if (WouldLoseData() &&
        AskString(ui_, str::kDataWillBeLost, MessageButtons::YesNo, MessageIcon::Warning) != UserAnswer::Yes)
        return 0;
    if (!CheckConnection(false)) {
        m_transmitter.ClearContents();
        // What stays is no longer the file's content: a new document, as after a refused open.
        path_.clear();
        modified_ = false;
        UpdateAllViews(kHintData);
        SetCleared(1);
        return 0;
    }
    WaitCursor cursor(ui_);
    UpdateAllViews(kHintOperationStarted);
    m_transmitter.SetProgress(0);
    bool all = true;
    for (const Step& step : kReadSteps) {
        if (!(m_transmitter.*step.run)()) {
            // The steps after it still run and fill their own fields.
            all = false;
            ClearContents();
        }
        SetProgress(step.progress);
    }
    SetModifiedFlag(true);
    SetCleared(0);
    cursor.Restore();
    ShowString(ui_, str::kReceiveComplete, MessageIcon::Information);
    SetProgress(0);
    UpdateAllViews(kHintOperationEnded);
    return all ? 1 : 0;
}

int CLrxDoc::SendBasicSettings() {
    m_transmitter.SetProgress(0);
    if (AskString(ui_, str::kLoopOutputWillChange, MessageButtons::OkCancel, MessageIcon::None) !=
        UserAnswer::Ok)
        return 0;
    if (!CheckWritable()) return 0;
    WaitCursor cursor(ui_);
    bool all = true;
    for (const Step& step : kBasicSteps) {
        all = (m_transmitter.*step.run)() && all; // every step runs, whatever the one before did
        SetProgress(step.progress);
    }
    // "Передача завершена успешно" only when nothing was rejected on the way.
    all = m_transmitter.WriteTag() && all;
    if (all) SetProgress(100);
    cursor.Restore();
    if (all) ShowString(ui_, str::kSendComplete, MessageIcon::Information);
    SetProgress(0);
    return all ? 1 : 0;
}

int CLrxDoc::SendAdvancedSettings() {
    m_transmitter.SetProgress(0);
    if (!CheckConnection(false)) return 0;
    // Protection wanted on a transmitter that is protected already: nothing can be written. Wanting
    // it off is how a protected transmitter is unprotected.
    if (m_transmitter.GetWriteProtect() == kProtected && m_transmitter.ReadWriteProtection() == kProtected) {
        ShowString(ui_, str::kWriteProtected, MessageIcon::Stop);
        return 0;
    }
    WaitCursor cursor(ui_);
    bool all = true;
    for (const Step& step : kAdvancedSteps) {
        all = (m_transmitter.*step.run)() && all;
        SetProgress(step.progress);
    }
    all = m_transmitter.WriteProtectionOn() && all;
    if (all) SetProgress(100);
    cursor.Restore();
    if (all) ShowString(ui_, str::kSendComplete, MessageIcon::Information);
    SetProgress(0);
    return all ? 1 : 0;
}

} // namespace zelhart::hart
