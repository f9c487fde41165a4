// The system's message table for the codes the setup services and their callers meet, with the
// system's line endings (CR LF).
#include "zelhart/setupapi/winbase.h"

#include <cstring>
#include <string_view>

namespace zelhart::setupapi {
namespace {

struct Message {
    DWORD code;
    std::string_view text;
};

constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_BAD_ENVIRONMENT, "The environment is incorrect.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_DIRECTORY, "The directory name is invalid.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_FILE_CORRUPT, "The file or directory is corrupted and unreadable.\r\n"},
    {ERROR_CANNOT_FIND_WND_CLASS, "Cannot find window class.\r\n"},
    {ERROR_UNSUPPORTED_TYPE, "Data of this type is not supported.\r\n"},
    {ERROR_CANT_ACCESS_FILE, "The file cannot be accessed by the system.\r\n"},
    {CRYPT_E_FILE_ERROR, "An error occurred while reading or writing to a file.\r\n"},
    {ERROR_EXPECTED_SECTION_NAME, "A section name was expected in the INF.\r\n"},
    {ERROR_BAD_SECTION_NAME_LINE, "The section name line in the INF is malformed.\r\n"},
    {ERROR_SECTION_NAME_TOO_LONG, "A section name in the INF is too long.\r\n"},
    {ERROR_GENERAL_SYNTAX, "The syntax of the INF is invalid.\r\n"},
    {ERROR_WRONG_INF_STYLE, "The style of the INF is different than what was requested.\r\n"},
    {ERROR_SECTION_NOT_FOUND, "The required section was not found in the INF.\r\n"},
    {ERROR_LINE_NOT_FOUND, "The required line was not found in the INF.\r\n"},
    {ERROR_NO_DRIVER_SELECTED, "There is no driver selected for the device information set or element.\r\n"},
    {ERROR_INVALID_DEVINST_NAME, "The device instance name is invalid.\r\n"},
    {ERROR_INVALID_CLASS, "The class is invalid.\r\n"},
    {ERROR_DEVINST_ALREADY_EXISTS, "The device instance cannot be created because it already exists.\r\n"},
    {ERROR_INVALID_REG_PROPERTY, "The property passed is invalid.\r\n"},
    {ERROR_NO_SUCH_DEVINST, "The device instance does not exist in the hardware tree.\r\n"},
    {ERROR_NO_DEVICE_SELECTED,
     "There is no device information element currently selected for this device information set.\r\n"},
    {ERROR_NO_COMPAT_DRIVERS, "There are no compatible drivers for this device.\r\n"},
    {ERROR_IN_WOW64, "The requested operation is not supported in a 32-bit process on a 64-bit system.\r\n"},
    {ERROR_DRIVER_PACKAGE_NOT_IN_STORE, "The driver package is not in the driver store.\r\n"},
};

} // namespace

DWORD FormatMessageW(DWORD flags, const void* /*source*/, DWORD code, DWORD /*languageId*/, char* buffer,
                     DWORD size, void* /*arguments*/) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !(flags & FORMAT_MESSAGE_IGNORE_INSERTS) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const Message& m : kMessages) {
        if (m.code != code) continue;
        if (m.text.size() + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, m.text.data(), m.text.size());
        buffer[m.text.size()] = '\0';
        return static_cast<DWORD>(m.text.size());
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

} // namespace zelhart::setupapi
