#include "hart/transmitter.h"

#include "hart/strings.h"

namespace zelhart::hart {
namespace {

constexpr uint8_t kIdentityMarker = 254; // first data byte of an identity answer

// A link message with the transport's cause on its second line, when there is one.
void ShowLinkFailure(IUserInterface& ui, int stringId, const std::string& cause) {
    ShowString(ui, stringId, MessageIcon::Stop, cause);
}

} // namespace

CTransmitter::CTransmitter(ISettings& settings, IUserInterface& ui, IClock& clock)
    : settings_(settings), ui_(ui), clock_(clock) {}

CTransmitter::~CTransmitter() {
    if (open_ && driver_.ClosePort() != 0) ShowLinkFailure(ui_, str::kCannotClosePort, driver_.LastFailure());
}

int CTransmitter::Transact(CommandIndex index, std::initializer_list<FieldValue> values) {
    return Transact(index, std::span<const FieldValue>(values.begin(), values.size()));
}

int CTransmitter::Transact(CommandIndex index, std::span<const FieldValue> values) {
    const CommandLayout& layout = RequestLayout(index);
    CheckValuesFit(layout, values); // a caller's fault must not cost a port open

    unanswered_ = false;
    if (stop_ && stop_->load()) return kResponseNoAnswer;
    if (!EnsureOpen()) return kResponseNoAnswer;
    driver_.DrainInput();
    requestLength_ = BuildRequest(index, values);
    driver_.SetRequest(LastRequest());

    int pending = 0;
    FrameBuffer received{};
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        if (driver_.WriteRequest() == 0) {
            for (int poll = 0; poll < kReadAttempts; ++poll) {
                received.fill(0);
                clock_.Sleep(kReadInterval);
                const size_t count = driver_.ReadResponse(received);
                uint8_t code = 0;
                const ReplyVerdict verdict = JudgeReply(received, count, layout.command, code);
                if (verdict == ReplyVerdict::EndsAttempt) {
                    pending = code;
                    break;
                }
                if (verdict == ReplyVerdict::Damaged) pending = kResponseCheckByteError;
                if (verdict != ReplyVerdict::Accepted) continue;
                Accept(received, count);
                if (open_) ReleaseLink();
                return code;
            }
        }
        clock_.Sleep(kRetryPause);
    }
    if (pending != 0) return pending; // busy or a line fault: the link stays open for the next try
    unanswered_ = true;
    if (open_) ReleaseLink();
    return kResponseNoAnswer;
}

void CTransmitter::Accept(const FrameBuffer& frame, size_t count) {
    response_ = frame;
    responseLength_ = count;
    const ReplyOffsets at = OffsetsOf(frame[0]);
    lastResponseCode_ = frame[at.responseCode];
    lastDeviceStatus_ = frame[at.deviceStatus];
}

size_t CTransmitter::BuildRequest(CommandIndex index, std::span<const FieldValue> values) {
    const CommandLayout& layout = RequestLayout(index);
    shortFrame_ = UsesShortFrame(layout.command);
    return BuildRequestFrame(layout, shortFrame_, longAddress_, values, request_);
}

size_t CTransmitter::ParseResponse(CommandIndex index, std::initializer_list<FieldOut> outs) {
    return ParseResponse(index, std::span<const FieldOut>(outs.begin(), outs.size()));
}

size_t CTransmitter::ParseResponse(CommandIndex index, std::span<const FieldOut> outs) {
    const CommandLayout& layout = ResponseLayout(index);
    CheckOutputsFit(layout, outs);
    if (responseLength_ == 0) return 0;
    if (layout.command == 0 || layout.command == 249) UpdateIdentity();

    // The data lie between the status bytes and the check byte of the accepted answer; the answer's own
    // delimiter tells where they start.
    const size_t begin = OffsetsOf(response_[0]).data;
    const size_t end = responseLength_ - 1;
    size_t at = begin;
    size_t complete = 0;
    auto fields = layout.fields();
    for (size_t i = 0; i < fields.size(); ++i) {
        const size_t size = FieldSize(fields[i]);
        const bool present = at + size <= end;
        if (present) ++complete;
        if (i < outs.size()) {
            if (present)
                DecodeField(fields[i], std::span<const uint8_t>(response_).subspan(at, size), outs[i]);
            else
                DecodeMissingField(fields[i], outs[i]);
        }
        at += size;
    }
    return complete;
}

void CTransmitter::UpdateIdentity() {
    // The identity follows the marker byte 254; only a marker with all eleven identity bytes after it
    // inside the answer's data counts.
    const size_t begin = OffsetsOf(response_[0]).data;
    const size_t end = responseLength_ - 1;
    for (size_t i = begin; i + 11 < end; ++i) {
        if (response_[i] != kIdentityMarker) continue;
        longAddress_ = {uint8_t(response_[i + 1] & 0x7F), response_[i + 2], response_[i + 9],
                        response_[i + 10], response_[i + 11]};
        universalRevision_ = response_[i + 4];
        deviceRevision_ = response_[i + 5];
        softwareRevision_ = response_[i + 6];
        hardwareRevision_ = response_[i + 7];
        return;
    }
}

void CTransmitter::GetLastStatus(uint8_t* responseCode, uint8_t* deviceStatus) const {
    if (responseCode) *responseCode = lastResponseCode_;
    if (deviceStatus) *deviceStatus = lastDeviceStatus_;
}

int CTransmitter::EnsureOpen() {
    if (open_) return 1;
    const int port = settings_.GetInt(kGeneralSection, kPortSettingsKey, kDefaultPort) & 0xFF;
    if (driver_.OpenPort(port) != 0) {
        ShowLinkFailure(ui_, str::kCannotOpenPort, driver_.LastFailure());
        return 0;
    }
    if (driver_.ConfigurePort() != 0) {
        const std::string cause = driver_.LastFailure();
        // The device is open in the library; left so, every later open would find it taken.
        driver_.ClosePort();
        ShowLinkFailure(ui_, str::kCannotConfigurePort, cause);
        return 0;
    }
    open_ = true;
    return 1;
}

int CTransmitter::ReleaseLink() {
    if (!open_) return 1;
    const int rc = driver_.ClosePort();
    open_ = false;
    if (rc == 0) return 1;
    ShowLinkFailure(ui_, str::kCannotClosePort, driver_.LastFailure());
    return 0;
}

void CTransmitter::ReportResponseCode(CommandIndex index, int responseCode) {
    if (responseCode == kResponseNoAnswer)
        ShowString(ui_, str::kSensorNotFound, MessageIcon::Stop, NoAnswerCause());
    else
        hart::ReportResponseCode(ui_, index, responseCode);
}

} // namespace zelhart::hart
