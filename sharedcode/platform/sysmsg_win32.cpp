// Win32 side of platform/sysmsg.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/sysmsg.h"

// Every code of winerrors.inc has winerror.h's number.
#define VG_WIN32_ERROR(dwCode, Name, szText) static_assert(Name == dwCode##L, #Name);
#include "sharedcode/winerrors.inc"
#undef VG_WIN32_ERROR

namespace plat {

DWORD FormatSystemMessageA(DWORD dwMessageId, char* szBuffer, DWORD cch) {
    return ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwMessageId, 0,
                            szBuffer, cch, nullptr);
}

}  // namespace plat
