#include "terminal_ui.h"
#include "numbers.h"

#include "hart/strings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <span>

namespace zelhart::cli {
namespace {

using hart::MessageButtons;
using hart::UserAnswer;

constexpr size_t kMaxLine = 256;
constexpr int kMaxTries = 5;

const char* Prefix(hart::MessageIcon icon) {
    switch (icon) {
    case hart::MessageIcon::Stop:
        return "ошибка";
    case hart::MessageIcon::Warning:
        return "внимание";
    default:
        return "сообщение";
    }
}

std::string Tag(const char* kind, int stringId) {
    return stringId == kOwnQuestion ? std::string(kind) : std::string(kind) + " " + std::to_string(stringId);
}

std::span<const UserAnswer> Offered(MessageButtons buttons) {
    static constexpr UserAnswer kOk[] = {UserAnswer::Ok};
    static constexpr UserAnswer kOkCancel[] = {UserAnswer::Ok, UserAnswer::Cancel};
    static constexpr UserAnswer kYesNo[] = {UserAnswer::Yes, UserAnswer::No};
    static constexpr UserAnswer kYesNoCancel[] = {UserAnswer::Yes, UserAnswer::No, UserAnswer::Cancel};
    static constexpr UserAnswer kRetryCancel[] = {UserAnswer::Retry, UserAnswer::Cancel};
    switch (buttons) {
    case MessageButtons::Ok:
        return kOk;
    case MessageButtons::OkCancel:
        return kOkCancel;
    case MessageButtons::YesNo:
        return kYesNo;
    case MessageButtons::YesNoCancel:
        return kYesNoCancel;
    case MessageButtons::RetryCancel:
        return kRetryCancel;
    }
    return kOk;
}

std::string_view Caption(UserAnswer a) {
    switch (a) {
    case UserAnswer::Ok:
        return hart::LoadString(hart::str::kButtonContinue);
    case UserAnswer::Cancel:
        return hart::LoadString(hart::str::kButtonCancel);
    case UserAnswer::Yes:
        return hart::LoadString(hart::str::kButtonYes);
    case UserAnswer::No:
        return hart::LoadString(hart::str::kButtonNo);
    case UserAnswer::Retry:
        return hart::LoadString(hart::str::kButtonRetry);
    }
    return {};
}

// Lower-case ASCII; Cyrillic is compared as typed (both cases listed below).
std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

std::optional<UserAnswer> Parse(std::string_view word) {
    const std::string w = Lower(word);
    auto is = [&](std::initializer_list<const char*> names) {
        for (const char* n : names)
            if (w == n) return true;
        return false;
    };
    if (is({"y", "yes", "д", "да", "Д", "Да", "ДА"})) return UserAnswer::Yes;
    if (is({"n", "no", "н", "нет", "Н", "Нет", "НЕТ"})) return UserAnswer::No;
    if (is({"o", "ok", "continue", "п", "продолжить", "П", "Продолжить"})) return UserAnswer::Ok;
    if (is({"c", "cancel", "о", "отмена", "О", "Отмена"})) return UserAnswer::Cancel;
    if (is({"r", "retry", "повторить", "Повторить"})) return UserAnswer::Retry;
    return std::nullopt;
}

std::string Choices(MessageButtons buttons, UserAnswer preset) {
    std::string s = "[";
    for (UserAnswer a : Offered(buttons)) {
        if (s.size() > 1) s += "/";
        s += a == preset ? "*" : "";
        s += Caption(a);
    }
    return s + "]";
}

} // namespace

std::string OneLine(std::string_view text) {
    std::string s;
    for (char c : text) {
        if (c != '\n') {
            s += c;
        } else if (!s.empty() && s.back() != ' ') {
            s += ' ';
        }
    }
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

UserAnswer DefaultAnswer(int stringId, MessageButtons buttons) {
    switch (stringId) {
    case hart::str::kDataWillBeLost:
    case hart::str::kLoop4mAConfirm:
    case hart::str::kLoop20mAConfirm:
        return UserAnswer::Yes;
    case hart::str::kLoopOutputWillChange:
    case hart::str::kConnectMultimeter:
    case kOwnQuestion:
        return UserAnswer::Ok;
    default:
        break;
    }
    for (UserAnswer a : Offered(buttons))
        if (a == UserAnswer::Cancel) return a;
    for (UserAnswer a : Offered(buttons))
        if (a == UserAnswer::No) return a;
    return UserAnswer::Ok;
}

void TerminalUi::ShowMessage(int stringId, std::string_view text, hart::MessageIcon icon) {
    // A message box's lines: the first after the tag, each further one (a cause, a hint) indented
    // under it; empty lines are left out.
    std::string_view rest = text;
    bool first = true;
    while (!rest.empty() || first) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (first)
            std::fprintf(err_, "4810cli: %s: %.*s\n", Tag(Prefix(icon), stringId).c_str(), int(line.size()),
                         line.data());
        else if (!line.empty())
            std::fprintf(err_, "4810cli:   %.*s\n", int(line.size()), line.data());
        first = false;
    }
    std::fflush(err_);
}

UserAnswer TerminalUi::AskUser(int stringId, std::string_view text, MessageButtons buttons,
                               hart::MessageIcon) {
    const UserAnswer preset = DefaultAnswer(stringId, buttons);
    const std::string head = "4810cli: " + Tag("вопрос", stringId) + ": " + OneLine(text) + " ";
    if (!interactive_) {
        std::fprintf(err_, "%s-> %.*s\n", head.c_str(), int(Caption(preset).size()), Caption(preset).data());
        return preset;
    }
    for (int attempt = 0; attempt < kMaxTries; ++attempt) {
        std::fprintf(err_, "%s%s ", head.c_str(), Choices(buttons, preset).c_str());
        std::fflush(err_);
        const std::optional<std::string> line = ReadLine(in_);
        if (!line || line->empty()) return preset; // end of input, or Enter: the marked answer
        if (const auto a = Parse(*line))
            for (UserAnswer offered : Offered(buttons))
                if (offered == *a) return *a;
    }
    return preset;
}

std::optional<float> TerminalUi::AskNumber(std::string_view prompt) {
    if (!interactive_) return std::nullopt;
    for (int attempt = 0; attempt < kMaxTries; ++attempt) {
        std::fprintf(err_, "4810cli: %s: ", OneLine(prompt).c_str());
        std::fflush(err_);
        std::optional<std::string> line = ReadLine(in_);
        if (!line || line->empty()) return std::nullopt;
        if (const auto value = ParseTypedFloat(*line)) return value;
    }
    return std::nullopt;
}

std::optional<std::string> ReadLine(std::FILE* in) {
    char buffer[kMaxLine];
    if (!std::fgets(buffer, sizeof buffer, in)) return std::nullopt;
    std::string line(buffer);
    const bool whole = !line.empty() && line.back() == '\n';
    if (!whole) { // too long: drop the rest of the line
        int c;
        while ((c = std::fgetc(in)) != EOF && c != '\n') {
        }
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    size_t start = line.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : line.substr(start);
}

} // namespace zelhart::cli
