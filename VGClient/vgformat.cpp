#include "VGClient/vgformat.h"

#include <atomic>
#include <cstring>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgmessagetable.h"
#include "sharedcode/hresult.h"
#include "sharedcode/platform/sysmsg.h"

namespace {

constexpr WORD kRtMessageTable = 11;
constexpr WORD kMessageTableName = 1;
constexpr const char* kResourceLibrary = "PNASRes.dll";

// This library's module, found once by an address inside it; two threads that
// race here store the same value.
plat::HMODULE OwnModule() {
    static std::atomic<plat::HMODULE> s_hOwn{nullptr};
    plat::HMODULE h = s_hOwn.load(std::memory_order_acquire);
    if (!h) {
        h = plat::ModuleFromAddress(reinterpret_cast<const void*>(&HrFormatMessage));
        s_hOwn.store(h, std::memory_order_release);
    }
    return h;
}

// A look-up's outcome: the length of the text written, or kNone.
constexpr size_t kNone = static_cast<size_t>(-1);

// Copies a text of cch characters with its terminator, less the line breaks
// that end it; kNone when the whole text does not fit.
size_t Put(const char* szText, size_t cch, char* szBuffer, DWORD cchBuffer) {
    if (cch + 1 > cchBuffer) return kNone;
    while (cch > 0 && (szText[cch - 1] == '\r' || szText[cch - 1] == '\n')) --cch;
    std::memcpy(szBuffer, szText, cch);
    szBuffer[cch] = 0;
    return cch;
}

// The text of dwId in a module's message table. This library's own table is
// the catalogue compiled into it; another module's is its resource.
size_t FromModuleTable(plat::HMODULE hModule, DWORD dwId, char* szBuffer, DWORD cchBuffer) {
    const char* szText = nullptr;
    size_t cch = 0;
    if (hModule == OwnModule())
        return VgFindOwnMessage(dwId, &szText, &cch) ? Put(szText, cch, szBuffer, cchBuffer) : kNone;
    plat::HRSRC hRes = plat::FindResourceA(hModule, kMessageTableName, kRtMessageTable);
    if (!hRes) return kNone;
    size_t cbTable = plat::SizeofResource(hModule, hRes);
    const unsigned char* pTable = static_cast<const unsigned char*>(plat::LoadResourceBytes(hModule, hRes));
    return pTable && VgFindMessage(pTable, cbTable, dwId, &szText, &cch) ? Put(szText, cch, szBuffer, cchBuffer)
                                                                         : kNone;
}

// Most look-ups have no module to ask first: that answer costs no call.
inline size_t FromModule(plat::HMODULE hModule, DWORD dwId, char* szBuffer, DWORD cchBuffer) {
    return hModule ? FromModuleTable(hModule, dwId, szBuffer, cchBuffer) : kNone;
}

size_t FromSystem(DWORD dwId, char* szBuffer, DWORD cchBuffer) {
    DWORD cch = plat::FormatSystemMessageA(dwId, szBuffer, cchBuffer);
    return cch ? cch : kNone;
}

// Replaces %1 ... %99 by the caller's texts, within cchBuffer characters.
bool ApplyInserts(char* szBuffer, DWORD cchBuffer, const char* const* rgszInserts, DWORD cInserts) {
    char szOut[4096];
    size_t cchMax = cchBuffer < sizeof(szOut) ? cchBuffer : sizeof(szOut);
    size_t out = 0;
    for (const char* p = szBuffer; *p;) {
        const char* piece = p;
        size_t len = 1;
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            DWORD n = static_cast<DWORD>(p[1] - '0');
            len = 2;
            if (p[2] >= '0' && p[2] <= '9') {
                n = n * 10 + static_cast<DWORD>(p[2] - '0');
                len = 3;
            }
            if (n <= cInserts && rgszInserts[n - 1]) {
                p += len;
                piece = rgszInserts[n - 1];
                len = std::strlen(piece);
                if (out + len + 1 > cchMax) return false;
                std::memcpy(szOut + out, piece, len);
                out += len;
                continue;
            }
        }
        if (out + len + 1 > cchMax) return false;
        std::memcpy(szOut + out, piece, len);
        out += len;
        p += len;
    }
    szOut[out] = 0;
    std::memcpy(szBuffer, szOut, out + 1);
    return true;
}

}  // namespace

HRESULT HrFormatMessage(plat::HMODULE hPreferred, DWORD dwCode, char* szBuffer, DWORD cchBuffer,
                        const char* const* rgszInserts, DWORD cInserts) {
    if (!szBuffer) return VG_E_INVALIDARG;
    if (cchBuffer == 0) return VG_E_NOTFOUND;  // no room even for the terminator
    plat::HMODULE hResources = plat::GetModuleHandleA(kResourceLibrary);
    szBuffer[0] = 0;

    size_t cch = kNone;
    bool fBreaksLeft = false;  // a system text or an insert may end in a line break
    if (IsApplicationCode(dwCode)) {
        if ((cch = FromModule(hPreferred, dwCode, szBuffer, cchBuffer)) == kNone &&
            (cch = FromModule(hResources, dwCode, szBuffer, cchBuffer)) == kNone) {
            if (!OwnModule()) return VG_E_NOTFOUND;
            cch = FromModule(OwnModule(), dwCode, szBuffer, cchBuffer);
        }
    } else if ((cch = FromModule(hPreferred, dwCode, szBuffer, cchBuffer)) == kNone &&
               (cch = FromModule(hPreferred, dwCode & 0xFFFF, szBuffer, cchBuffer)) == kNone) {
        fBreaksLeft = true;
        if ((cch = FromSystem(dwCode, szBuffer, cchBuffer)) == kNone)
            cch = FromSystem(dwCode & 0xFFFF, szBuffer, cchBuffer);
    }
    if (cch != kNone && rgszInserts && cInserts) {
        fBreaksLeft = true;
        cch = ApplyInserts(szBuffer, cchBuffer, rgszInserts, cInserts) ? std::strlen(szBuffer) : kNone;
    }
    if (cch == kNone) {
        szBuffer[0] = 0;
        return VG_E_NOTFOUND;
    }
    if (fBreaksLeft)
        while (cch > 0 && (szBuffer[cch - 1] == '\r' || szBuffer[cch - 1] == '\n')) szBuffer[--cch] = 0;
    return S_OK;
}

VGHRESULT VGAPI HrVGFormatMessage(VGDWORD dwCode, char* szBuffer, VGDWORD cchBuffer) {
    return HrFormatMessage(nullptr, dwCode, szBuffer, cchBuffer, nullptr, 0);
}
