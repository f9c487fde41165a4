// GUIDs: device interface classes and the like, in the Windows layout and text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelhart::platform {

struct Guid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend bool operator==(const Guid&, const Guid&) = default;
};
static_assert(sizeof(Guid) == 16);

// "{DD2540C5-808A-4461-89FE-9CCE766B8E77}", braces optional, either case; nothing for anything else.
std::optional<Guid> ParseGuid(std::string_view text);

// "{dd2540c5-808a-4461-89fe-9cce766b8e77}" (lower case, with braces), the form interface paths use.
std::string FormatGuid(const Guid& guid);

} // namespace zelhart::platform
