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
    const DWORD cchPath = ::GetModuleFileNameA(Native(hModule), szPath, cch);
    // Windows XP and Wine leave a cut path unterminated.
    if (cchPath == cch && cch > 0) {
        szPath[cch - 1] = 0;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    }
    return cchPath;
}

HMODULE LoadLibraryAsDataA(const char* szPath) {
    return Wrap(::LoadLibraryExA(szPath, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

BOOL FreeLibrary(HMODULE hModule) { return ::FreeLibrary(Native(hModule)); }

namespace {

// Whether cb bytes at pv lie in committed memory of one mapping: a damaged
// resource tree of a file mapped as data may point beyond it.
bool InOneMapping(const void* pv, DWORD cb) {
    MEMORY_BASIC_INFORMATION first;
    if (!::VirtualQuery(pv, &first, sizeof(first)) || first.State != MEM_COMMIT) return false;
    const char* const pEnd = static_cast<const char*>(pv) + cb;
    const char* p = static_cast<const char*>(first.BaseAddress) + first.RegionSize;
    while (p < pEnd) {
        MEMORY_BASIC_INFORMATION next;
        if (!::VirtualQuery(p, &next, sizeof(next)) || next.State != MEM_COMMIT ||
            next.AllocationBase != first.AllocationBase) {
            return false;
        }
        p = static_cast<const char*>(next.BaseAddress) + next.RegionSize;
    }
    return static_cast<const char*>(pv) <= pEnd;
}

}  // namespace

HRSRC FindResourceA(HMODULE hModule, WORD wName, WORD wType) {
    ::HRSRC hResource = ::FindResourceA(Native(hModule), MAKEINTRESOURCEA(wName), MAKEINTRESOURCEA(wType));
    if (!hResource) return nullptr;
    // Wine hands out a data entry outside the mapping of a damaged file.
    if (!InOneMapping(hResource, sizeof(IMAGE_RESOURCE_DATA_ENTRY))) {
        ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    const DWORD cb = ::SizeofResource(Native(hModule), hResource);
    HGLOBAL hData = cb ? ::LoadResource(Native(hModule), hResource) : nullptr;
    if (cb && (!hData || !InOneMapping(::LockResource(hData), cb))) {
        ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(hResource);
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResource) {
    return ::SizeofResource(Native(hModule), reinterpret_cast<::HRSRC>(hResource));
}

const void* LoadResourceBytes(HMODULE hModule, HRSRC hResource) {
    HGLOBAL hData = ::LoadResource(Native(hModule), reinterpret_cast<::HRSRC>(hResource));
    return hData ? ::LockResource(hData) : nullptr;
}

}  // namespace plat
