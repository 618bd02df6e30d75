// POSIX side of platform/sysmsg.h: the Windows texts of the system error codes
// the library and its platform layer produce, from winerrors.inc.
#include "sharedcode/platform/sysmsg.h"

#include <string.h>

#include "sharedcode/platform/process.h"

namespace plat {

namespace {

struct SystemMessage {
    DWORD dwId;
    const char* szText;
};

const SystemMessage kSystemMessages[] = {
#define VG_WIN32_ERROR(dwCode, Name, szText) {Name, szText "\r\n"},
#include "sharedcode/winerrors.inc"
#undef VG_WIN32_ERROR
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
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

}  // namespace plat
