// Names of a HART device, built from one entry of the serial port map or from the record of
// IOCTL_HART_MODEM_INIT. Free of the framework and of system calls.
#pragma once

#include "zelhart/hart_ioctl.h"

#include <string>
#include <string_view>

namespace zelhart::hartdriver {

struct HartPortNames {
    std::string DeviceName;       // "\Device\{76F2EE18-...}_Hart" + number
    std::string LinkName;         // "\DosDevices\{76F2EE18-...}_HART" + number
    std::string SerialDeviceName; // what the serial port is opened by
    std::string PortNumber;       // the characters after "COM"
};

// The serial device name of a map entry: a name starting with '\' or '/' is taken as it stands,
// anything else is "\Device\" + name.
std::string SerialDeviceNameFor(std::string_view valueName);
bool SerialDeviceNameTakenAsIs(std::string_view valueName);

HartPortNames HartNamesForPort(std::string_view portNumber, std::string_view serialDeviceName);

enum class SerialCommValue {
    Ok,
    TooShort, // less than "COM" and one character
    BadName,  // does not start with "COM" (case matters)
};

// One value of the serial port map: its name is the device, its data the COM name.
SerialCommValue ParseSerialCommValue(std::string_view valueName, std::string_view comName,
                                     HartPortNames* out);

enum class ModemInitRecord {
    Ok,
    BadLength, // a length outside its field, odd, or not ending at the terminating NUL
    BadName,   // the port name is not "COM" and digits, or a name is not valid UTF-16
};

// The record of IOCTL_HART_MODEM_INIT, checked before anything is taken from it.
ModemInitRecord ParseModemInitInfo(const HartModemInitInfo& info, HartPortNames* out);

// UTF-16 (as the records carry names) to UTF-8; false for an unpaired surrogate.
bool Utf16ToUtf8(std::u16string_view in, std::string* out);

} // namespace zelhart::hartdriver
