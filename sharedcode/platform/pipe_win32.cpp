// Win32 side of platform/pipe.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/pipe.h"

namespace plat {

BOOL CallNamedPipeA(const char* szPipePath, const void* pvIn, DWORD cbIn, void* pvOut, DWORD cbOut,
                    DWORD* pcbRead, DWORD dwTimeoutMs) {
    DWORD cbRead = 0;
    BOOL ok = ::CallNamedPipeA(szPipePath, const_cast<void*>(pvIn), cbIn, pvOut, cbOut, &cbRead, dwTimeoutMs);
    if (pcbRead) *pcbRead = cbRead;
    return ok;
}

}  // namespace plat
