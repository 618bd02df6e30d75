// Win32 side of platform/module.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/module.h"

namespace plat {

namespace {
::HMODULE Native(HMODULE h) { return reinterpret_cast<::HMODULE>(h); }
HMODULE Wrap(::HMODULE h) { return reinterpret_cast<HMODULE>(h); }
}  // namespace

HMODULE ModuleFromAddress(const void* pv) {
    ::HMODULE h = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCSTR>(pv), &h)) {
        return nullptr;
    }
    return Wrap(h);
}

HMODULE GetModuleHandleA(const char* szName) { return Wrap(::GetModuleHandleA(szName)); }

DWORD GetModuleFileNameA(HMODULE hModule, char* szPath, DWORD cch) {
    return ::GetModuleFileNameA(Native(hModule), szPath, cch);
}

HMODULE LoadLibraryAsDataA(const char* szPath) {
    return Wrap(::LoadLibraryExA(szPath, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

BOOL FreeLibrary(HMODULE hModule) { return ::FreeLibrary(Native(hModule)); }

HRSRC FindResourceA(HMODULE hModule, WORD wName, WORD wType) {
    return reinterpret_cast<HRSRC>(::FindResourceA(Native(hModule), MAKEINTRESOURCEA(wName), MAKEINTRESOURCEA(wType)));
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResource) {
    return ::SizeofResource(Native(hModule), reinterpret_cast<::HRSRC>(hResource));
}

const void* LoadResourceBytes(HMODULE hModule, HRSRC hResource) {
    HGLOBAL hData = ::LoadResource(Native(hModule), reinterpret_cast<::HRSRC>(hResource));
    return hData ? ::LockResource(hData) : nullptr;
}

}  // namespace plat
