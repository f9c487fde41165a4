#include "core/output_release.h"

#include "hart/strings.h"

#include <cstdio>

namespace zelhart::ui {

bool OutputMayBeFixed(const hart::CTransmitter& t) {
    return IsSet(t.FixedOutputCurrent());
}

std::string TextWithCurrent(int stringId, float milliamperes) {
    std::string text(hart::LoadString(stringId));
    char number[64];
    std::snprintf(number, sizeof number, "%2.2f", double(milliamperes));
    if (const size_t at = text.find("%2.2f"); at != std::string::npos) text.replace(at, 5, number);
    return text;
}

int ReleaseFixedOutput(hart::CLrxDoc& doc) {
    hart::CTransmitter& t = doc.Transmitter();
    while (OutputMayBeFixed(t)) {
        const float current = t.FixedOutputCurrent();
        if (t.ExitFixedCurrent()) return 1;
        if (doc.UserInterface().AskUser(hart::str::kOutputStaysFixed,
                                        TextWithCurrent(hart::str::kOutputStaysFixed, current),
                                        hart::MessageButtons::RetryCancel,
                                        hart::MessageIcon::Stop) != hart::UserAnswer::Retry)
            return 0;
    }
    return 1;
}

} // namespace zelhart::ui
