// The few kernel and user services the setup helper calls besides SetupAPI: message texts, the
// Windows directory (here the state directory under the system root), file search and deletion with
// Windows' case-insensitive names, the debugger (standard error), windows (there are none here) and
// the loading of the newdev library.
#pragma once

#include "zelhart/setupapi/win32.h"

namespace zelhart::setupapi {

// FormatMessageW: only FORMAT_MESSAGE_FROM_SYSTEM with FORMAT_MESSAGE_IGNORE_INSERTS is served. The
// text of `code` from the system's message table (ending in CR LF as the system's texts do) is copied
// into `buffer` (at most `size` characters with the terminator); its length, or 0 with
// ERROR_MR_MID_NOT_FOUND (no text for the code) or ERROR_INSUFFICIENT_BUFFER.
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD LANG_USER_DEFAULT = 0x400;
DWORD FormatMessageW(DWORD flags, const void* source, DWORD code, DWORD languageId, char* buffer, DWORD size,
                     void* arguments);

// The Windows directory: <system root>/var/lib/zelhart. Its length, or the size needed (with the
// terminator) when `size` is too small, or 0 when the system root is unusable.
UINT GetWindowsDirectoryW(char* buffer, UINT size);

// A search over one directory for names matching the last path component of `pattern` ('*' and '?',
// letter case ignored), in name order. FindFirstFileW fails with ERROR_FILE_NOT_FOUND when nothing
// matches and ERROR_PATH_NOT_FOUND when the directory is missing; FindNextFileW with
// ERROR_NO_MORE_FILES at the end.
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes = 0;
    char cFileName[MAX_PATH] = {};
};
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
HANDLE FindFirstFileW(const char* pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);

// Deletes a file. As on Windows, the last component's letter case does not matter: when no file has
// exactly that name, the one file of the directory whose name matches it without regard to case goes.
BOOL DeleteFileW(const char* path);

// The debugger: the text goes to standard error as it stands.
void OutputDebugStringW(const char* text);

// Windows. There is no window system behind the setup services: FindWindowW finds nothing
// (ERROR_CANNOT_FIND_WND_CLASS), the desktop window is a fixed handle, SetWindowPos accepts it.
HWND FindWindowW(const char* className, const char* windowName);
HWND GetDesktopWindow();
inline HWND const HWND_TOP = nullptr;
inline constexpr UINT SWP_NOSIZE = 0x1;
inline constexpr UINT SWP_NOMOVE = 0x2;
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);

// Libraries: "newdev.dll" is built in; anything else fails with ERROR_MOD_NOT_FOUND. GetProcAddress
// knows the library's "InstallSelectedDriver" (ERROR_PROC_NOT_FOUND otherwise).
HMODULE LoadLibraryW(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// CLSIDFromString: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with its braces, either case.
inline constexpr HRESULT NOERROR = 0;
inline constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
HRESULT CLSIDFromString(const char* text, GUID* guid);

} // namespace zelhart::setupapi
