// Win32 side of platform/sysmsg.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/sysmsg.h"

namespace plat {

DWORD FormatSystemMessageA(DWORD dwMessageId, char* szBuffer, DWORD cch) {
    return ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwMessageId, 0,
                            szBuffer, cch, nullptr);
}

}  // namespace plat
