// The script language of the interface library double (see interface_double.h).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string_view>
#include <vector>

namespace hartdouble {

struct Item {
    enum class Kind { Answer, Other, Burst, BadCheck, Raw, Length, Fail, Standing, Delay };
    Kind kind = Kind::Answer;
    int command = 0;            // Other
    uint8_t code = 0;           // response code
    uint8_t status = 0;         // device status
    std::vector<uint8_t> bytes; // data of an answer, or the record of Raw / Length
    int length = 0;             // Length
    int16_t error = 0;          // Fail
    int delay = 0;              // Delay
};

using Step = std::vector<Item>;

struct Script {
    int openResult = 0;
    int configureResult = 0;
    int writeResult = 0;
    int closeResult = 0;
    uint16_t index = 0;
    std::map<int, Item> standing; // by command
    std::deque<Step> steps;
};

// Parses `text` into `out`. Returns 0, or the number of the first line it cannot read.
int ParseScript(std::string_view text, Script& out);

// Packs `text` (upper-cased, '_' as space, padded with spaces) as HART packed ASCII of `chars`.
std::vector<uint8_t> Packed(std::string_view text, size_t chars);

} // namespace hartdouble
