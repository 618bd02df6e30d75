// Win32 side of platform/registry.h: pass-through.
#include <windows.h>

#include "sharedcode/platform/registry.h"

namespace plat {

HKEY HkeyLocalMachine() { return reinterpret_cast<HKEY>(HKEY_LOCAL_MACHINE); }

LONG RegOpenKeyExA(HKEY hkRoot, const char* szSubKey, DWORD ulOptions, DWORD samDesired, HKEY* phkResult) {
    return ::RegOpenKeyExA(reinterpret_cast<::HKEY>(hkRoot), szSubKey, ulOptions, samDesired,
                           reinterpret_cast<::HKEY*>(phkResult));
}

LONG RegQueryValueExA(HKEY hKey, const char* szName, DWORD* pdwReserved, DWORD* pdwType, BYTE* pbData,
                      DWORD* pcbData) {
    return ::RegQueryValueExA(reinterpret_cast<::HKEY>(hKey), szName, pdwReserved, pdwType, pbData, pcbData);
}

LONG RegCloseKey(HKEY hKey) { return ::RegCloseKey(reinterpret_cast<::HKEY>(hKey)); }

}  // namespace plat
