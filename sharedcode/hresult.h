// HRESULT helpers shared by every part of the library.
#pragma once

#include "sharedcode/platform/process.h"
#include "sharedcode/wintypes.h"

// A system error e becomes 0x80070000 | (e & 0xFFFF) when e is positive; 0 and
// values that already are HRESULTs (negative) pass unchanged.
constexpr HRESULT HrFromWin32(LONG e) {
    return e > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<uint32_t>(e) & 0xFFFFu))
                 : static_cast<HRESULT>(e);
}

// The calling thread's last system error, folded.
inline HRESULT HrFromLastError() { return HrFromWin32(static_cast<LONG>(plat::GetLastError())); }

constexpr bool HrFailed(HRESULT hr) { return hr < 0; }
constexpr bool HrSucceeded(HRESULT hr) { return hr >= 0; }

// Results the library makes itself.
constexpr HRESULT VG_E_NOPIPE = static_cast<HRESULT>(0x80070002u);       // service not running
constexpr HRESULT VG_E_INVALIDARG = static_cast<HRESULT>(0x80070057u);   // invalid argument or size
constexpr HRESULT VG_E_TRUNCATED = static_cast<HRESULT>(0x8007007Au);    // text cut to fit
constexpr HRESULT VG_E_POINTER = static_cast<HRESULT>(0x80004003u);      // null pointer
constexpr HRESULT VG_E_MISSINGARG = static_cast<HRESULT>(0x800700A0u);   // required argument missing
constexpr HRESULT VG_E_BADSIZE = static_cast<HRESULT>(0x800705B6u);      // caller's record has the wrong size
constexpr HRESULT VG_E_NOTFOUND = static_cast<HRESULT>(0x80070490u);     // not found
