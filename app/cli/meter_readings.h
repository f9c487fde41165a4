// The multimeter's readings of a loop calibration. Each is taken when the procedure needs it, after
// the output has been set to the point and any earlier trim has been made: typed at the terminal, or,
// when nobody is asked, read from standard input (or a file) one line a reading, so that a script can
// measure when the prompt appears and answer then.
#pragma once

#include "hart/user_interface.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace zelhart::cli {

class MeterReadings {
  public:
    // `in`: the terminal when `interactive`, else the lines to read; `sourceName` names them in messages
    // ("стандартный ввод", a file name). Prompts go to `err`, problems to `ui`.
    MeterReadings(std::FILE* in, std::FILE* err, bool interactive, std::string sourceName,
                  hart::IUserInterface& ui)
        : in_(in), err_(err), interactive_(interactive), sourceName_(std::move(sourceName)), ui_(ui) {}

    // The reading at `point` ("4 мА"), a current above 0 and at most 25 mA. At the terminal an entry
    // that is no such current is asked again. Nothing when no reading came: `missingText` (the
    // program's "no value entered" message) has then been shown with the cause, or the bad line has
    // been reported.
    std::optional<float> Next(std::string_view point, int missingText);

  private:
    std::FILE* in_;
    std::FILE* err_;
    bool interactive_;
    std::string sourceName_;
    hart::IUserInterface& ui_;
};

} // namespace zelhart::cli
