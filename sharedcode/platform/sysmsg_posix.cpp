// POSIX side of platform/sysmsg.h: the Windows texts of the system error codes
// the library and its platform layer produce.
#include "sharedcode/platform/sysmsg.h"

#include <string.h>

#include "sharedcode/platform/process.h"

namespace plat {

namespace {

constexpr DWORD kErrorMrMidNotFound = 317;

struct SystemMessage {
    DWORD dwId;
    const char* szText;
};

const SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {53, "The network path was not found.\r\n"},
    {69, "The network BIOS session limit was exceeded.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {111, "The file name is too long.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {160, "One or more arguments are not correct.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {231, "All pipe instances are busy.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {233, "No process is on the other end of the pipe.\r\n"},
    {234, "More data is available.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, "Attempt to access invalid address.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1168, "Element not found.\r\n"},
    {1312, "A specified logon session does not exist. It may already have been terminated.\r\n"},
    {1326, "The user name or password is incorrect.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
};

}  // namespace

DWORD FormatSystemMessageA(DWORD dwMessageId, char* szBuffer, DWORD cch) {
    for (const SystemMessage& m : kSystemMessages) {
        if (m.dwId != dwMessageId) continue;
        size_t n = strlen(m.szText);
        if (!szBuffer || n + 1 > cch) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(szBuffer, m.szText, n + 1);
        return static_cast<DWORD>(n);
    }
    SetLastError(kErrorMrMidNotFound);
    return 0;
}

}  // namespace plat
