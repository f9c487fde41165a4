#include "session.h"

#include <algorithm>

namespace zelhart::hartip::server {

namespace {
constexpr auto kRequest = static_cast<std::uint8_t>(MessageType::Request);
constexpr auto kResponse = static_cast<std::uint8_t>(MessageType::Response);
constexpr auto kError = static_cast<std::uint8_t>(MessageType::Error);
constexpr auto kNak = static_cast<std::uint8_t>(MessageType::Nak);
constexpr auto kPlain = static_cast<std::uint8_t>(Version::Plain);
constexpr auto kSecured = static_cast<std::uint8_t>(Version::Secured);
} // namespace

std::vector<std::uint8_t> Session::Reply(const Header& request, std::uint8_t type, std::uint8_t status,
                                         std::span<const std::uint8_t> body) const {
    Header header = request;
    header.version = established_ ? version_ : (request.version == kSecured ? kSecured : kPlain);
    header.type = type;
    header.status = status;
    return Encode(header, body);
}

Session::Step Session::OnMessage(std::span<const std::uint8_t> bytes, std::uint64_t nowMs, Endpoint& endpoint) {
    Step step;
    if (ended_)
        return step;
    Message message;
    const DecodeError error = Decode(bytes, message);
    if (error == DecodeError::ShortHeader)
        return step; // nothing to answer to
    const Header header = *DecodeHeader(bytes);
    if (error != DecodeError::None) {
        step.reply = Reply(header, kNak, error == DecodeError::TooLarge ? status::kTooLarge : status::kTooFewDataBytes);
        return step;
    }
    if (header.type != kRequest) {
        step.reply = Reply(header, kNak, status::kInvalidSelection);
        return step;
    }
    const auto id = static_cast<MessageId>(header.id);
    if (!established_) {
        if (id != MessageId::SessionInitiate) {
            step.reply = Reply(header, kError, status::kNoSession);
            return step;
        }
        return Initiate(message, endpoint);
    }
    // Only a sound request of the session keeps it alive.
    lastMessageMs_ = nowMs;
    ++messages_;
    switch (id) {
    case MessageId::SessionInitiate:
        step.reply = Reply(header, kError, status::kSessionAlreadyExists);
        return step;
    case MessageId::SessionClose:
        step.reply = Reply(header, kResponse, status::kSuccess);
        step.close = true;
        End(endpoint);
        return step;
    case MessageId::KeepAlive:
        step.reply = Reply(header, kResponse, status::kSuccess);
        return step;
    case MessageId::TokenPassingPdu: {
        if (awaitingLine_) { // one exchange at a time per session
            step.reply = Reply(header, kResponse, status::kBusy);
            return step;
        }
        FrameView view;
        // The frame's master bit (bit 7 of the first address byte) must be the session's master type.
        if (CheckFrame(message.body, &view) != FrameError::None || view.frameType() != kFrameTypeRequest ||
            ((view.address[0] & 0x80) != 0) != primary_) {
            step.reply = Reply(header, kResponse, status::kInvalidFrame);
            return step;
        }
        awaitingLine_ = true;
        pending_ = header;
        ++writes_;
        step.forward = true;
        step.frame = std::move(message.body);
        return step;
    }
    default:
        step.reply = Reply(header, kError, status::kInvalidSelection);
        return step;
    }
}

Session::Step Session::Initiate(const Message& message, Endpoint& endpoint) {
    Step step;
    const Header& header = message.header;
    const auto body = DecodeSessionInitiate(message.body);
    if (!body) {
        step.reply = Reply(header, kResponse, status::kTooFewDataBytes);
        return step;
    }
    if (body->masterType > 1) {
        step.reply = Reply(header, kResponse, status::kInvalidSelection);
        return step;
    }
    std::uint8_t version = header.version;
    std::uint8_t warning = status::kSuccess;
    if (version == kSecured && !policy_.transportSecurable) {
        Header answer = header;
        answer.version = kSecured;
        answer.type = kResponse;
        answer.status = status::kSecurityNotInitialised;
        step.reply = Encode(answer, {});
        return step;
    }
    if (version != kSecured && version != kPlain) {
        // A version this server does not speak: the answer names the one it does.
        version = policy_.plainAllowed ? kPlain : kSecured;
        warning = status::kVersionNotSupported;
    }
    if (version == kPlain && !policy_.plainAllowed) {
        Header answer = header;
        answer.version = kSecured;
        answer.type = kResponse;
        answer.status = status::kVersionNotSupported;
        step.reply = Encode(answer, {});
        step.close = true;
        return step;
    }
    if (warning != status::kSuccess && version == kSecured) {
        Header answer = header;
        answer.version = kSecured;
        answer.type = kResponse;
        answer.status = warning;
        step.reply = Encode(answer, {});
        return step;
    }
    if (!endpoint.SessionAvailable()) {
        step.reply = Reply(header, kResponse, status::kAllSessionsInUse);
        step.close = true;
        return step;
    }
    if (body->masterType == 1 && !endpoint.ClaimPrimary(*this)) {
        step.reply = Reply(header, kResponse, status::kSessionAlreadyExists);
        step.close = true;
        return step;
    }
    primary_ = body->masterType == 1;
    SessionInitiate granted = *body;
    granted.inactivityMs = std::clamp(body->inactivityMs, policy_.minInactivityMs, policy_.maxInactivityMs);
    if (warning == status::kSuccess && granted.inactivityMs != body->inactivityMs)
        warning = status::kSetToNearest;
    if (version == kSecured && endpoint.PlainSessionOpen(*this))
        warning = status::kInsecureSessionExists;
    established_ = true;
    version_ = version;
    inactivityMs_ = granted.inactivityMs;
    ++messages_;
    step.reply = Reply(header, kResponse, warning, EncodeSessionInitiate(granted));
    step.startTls = version == kSecured;
    return step;
}

std::vector<std::uint8_t> Session::LineAnswer(LineOutcome outcome, std::span<const std::uint8_t> frame) {
    if (!awaitingLine_)
        return {};
    awaitingLine_ = false;
    std::uint8_t code = status::kSuccess;
    switch (outcome) {
    case LineOutcome::Answered: {
        FrameView view;
        if (CheckFrame(frame, &view) != FrameError::None || view.frameType() != kFrameTypeResponse)
            code = status::kDamagedResponse;
        break;
    }
    case LineOutcome::Busy: code = status::kBusy; break;
    case LineOutcome::NoResponse: code = status::kNoResponse; break;
    case LineOutcome::Damaged: code = status::kDamagedResponse; break;
    case LineOutcome::PortUnavailable: code = status::kPortUnavailable; break;
    }
    if (ended_)
        return {};
    return Reply(pending_, kResponse, code, code == status::kSuccess ? frame : std::span<const std::uint8_t>{});
}

void Session::End(Endpoint& endpoint) {
    if (primary_)
        endpoint.ReleasePrimary(*this);
    primary_ = false;
    ended_ = true;
}

} // namespace zelhart::hartip::server
