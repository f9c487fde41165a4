// The Windows base types and error codes (the device database's, zelhart/devdb/win32.h), the
// last-error slot and the setup services' own error codes.
//
// The device database and its files are a layer of their own below the setup services; the setup
// services see its names as their own.
#pragma once

#include "zelhart/devdb/win32.h"

namespace zelhart::setupapi {

using namespace zelhart::devdb;

// The calling thread's last error, as GetLastError and SetLastError keep it.
DWORD GetLastError();
void SetLastError(DWORD code);

// SetupAPI's own codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n).
inline constexpr DWORD ERROR_EXPECTED_SECTION_NAME = 0xE0000000;
inline constexpr DWORD ERROR_BAD_SECTION_NAME_LINE = 0xE0000001;
inline constexpr DWORD ERROR_SECTION_NAME_TOO_LONG = 0xE0000002;
inline constexpr DWORD ERROR_GENERAL_SYNTAX = 0xE0000003;
inline constexpr DWORD ERROR_WRONG_INF_STYLE = 0xE0000100;
inline constexpr DWORD ERROR_SECTION_NOT_FOUND = 0xE0000101;
inline constexpr DWORD ERROR_LINE_NOT_FOUND = 0xE0000102;
inline constexpr DWORD ERROR_NO_DRIVER_SELECTED = 0xE0000203;
inline constexpr DWORD ERROR_INVALID_DEVINST_NAME = 0xE0000205;
inline constexpr DWORD ERROR_INVALID_CLASS = 0xE0000206;
inline constexpr DWORD ERROR_DEVINST_ALREADY_EXISTS = 0xE0000207;
inline constexpr DWORD ERROR_INVALID_REG_PROPERTY = 0xE0000209;
inline constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;
inline constexpr DWORD ERROR_NO_DEVICE_SELECTED = 0xE0000211;
inline constexpr DWORD ERROR_NO_COMPAT_DRIVERS = 0xE0000228;
inline constexpr DWORD ERROR_IN_WOW64 = 0xE0000235;
inline constexpr DWORD ERROR_DRIVER_PACKAGE_NOT_IN_STORE = 0xE0000302;

} // namespace zelhart::setupapi
