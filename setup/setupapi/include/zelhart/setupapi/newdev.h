// The newdev library's InstallSelectedDriver: installs the driver selected in a device information
// set on the set's selected device (the service is bound, the driver's upper filters are set). Reached
// as the system reaches it, through LoadLibraryW("newdev.dll") and GetProcAddress.
#pragma once

#include "zelhart/setupapi/win32.h"

namespace zelhart::setupapi {

// `reboot` (may be null) is set to 1 when the device keeps running its old stack until a restart.
BOOL InstallSelectedDriver(HWND parent, HDEVINFO deviceInfoSet, const char* reserved, BOOL backup, DWORD* reboot);
using InstallSelectedDriverFn = BOOL (*)(HWND, HDEVINFO, const char*, BOOL, DWORD*);

} // namespace zelhart::setupapi
