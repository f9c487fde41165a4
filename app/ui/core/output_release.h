// The loop output the program fixed (fixed-current check, loop calibration) and has not released.
// A fixed 4-20 mA signal is a false process value for the control system: every end of a
// procedure that leaves the output possibly fixed releases it, and closing the window asks first
// (closing.h). A release that fails is said plainly, with the current the output stays at.
#pragma once

#include "hart/document.h"

#include <string>

namespace zelhart::ui {

// Whether the output may be fixed by this program (CTransmitter::FixedOutputCurrent).
bool OutputMayBeFixed(const hart::CTransmitter& t);

// Text `stringId` with its "%2.2f" replaced by `milliamperes` in the numeric locale.
std::string TextWithCurrent(int stringId, float milliamperes);

// Link thread (the document's user interface asks). While the output may be fixed: command 40 with
// 0; when that fails, kOutputStaysFixed with the current and "Повторить"/"Отмена". 1 when released
// (or it was not fixed), 0 when the user gave up.
int ReleaseFixedOutput(hart::CLrxDoc& doc);

} // namespace zelhart::ui
