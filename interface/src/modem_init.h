// The IOCTL_HART_MODEM_INIT record for a port that arrived.
#pragma once

#include "zelhart/hart_ioctl.h"

#include <string>
#include <string_view>

namespace zelhart::hartif {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// Both names NUL-terminated in their 128-unit fields, each length counting the NUL in bytes, every
// other byte zero. A name that does not fit in 127 units is sent empty (a cut device path would name
// another device).
HartModemInitInfo MakeModemInitInfo(std::string_view serialDeviceName, std::string_view portName);

} // namespace zelhart::hartif
