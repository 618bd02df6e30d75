// The message formatter behind HrVGFormatMessage: the text of a screening
// system identifier or of an HRESULT.
#pragma once

#include "sharedcode/platform/module.h"
#include "sharedcode/wintypes.h"

// Application codes (facilities 0x131 to 0x1FF, the screening system's 0x150
// among them) come from the message tables of hPreferred, of "PNASRes.dll"
// when it is loaded, and of this library, each with the full code; system
// codes (folded system errors among them) from hPreferred and the system's
// table, with the full code and then its low 16 bits. First success wins;
// trailing CR and LF are removed. rgszInserts (may be null) holds the texts
// of %1, %2 ...; without it insert sequences stay as they stand.
// 0x80070057 for a null buffer; 0x80070490 and an empty buffer when no
// source has a text that fits in cchBuffer characters.
HRESULT HrFormatMessage(plat::HMODULE hPreferred, DWORD dwCode, char* szBuffer, DWORD cchBuffer,
                        const char* const* rgszInserts, DWORD cInserts);

// Whether a code is looked up as an application code.
constexpr bool IsApplicationCode(DWORD dwCode) {
    return (dwCode & 0x1FFF0000u) >= 0x01310000u && (dwCode & 0x1FFF0000u) < 0x02000000u;
}
