// Win32 side of platform/text.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/text.h"

namespace plat {

int WideToAnsi(const wchar_t* wsz, int cchWide, char* sz, int cb) {
    return ::WideCharToMultiByte(CP_ACP, 0, wsz, cchWide, sz, cb, nullptr, nullptr);
}

int AnsiToWide(const char* sz, int cb, wchar_t* wsz, int cchWide) {
    return ::MultiByteToWideChar(CP_ACP, 0, sz, cb, wsz, cchWide);
}

}  // namespace plat
