#include "sharedcode/ini/inipath.h"

#include <cstring>
#include <cwchar>

#include "sharedcode/hresult.h"
#include "sharedcode/platform/digest.h"
#include "sharedcode/platform/file.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/text.h"

namespace {

constexpr HRESULT kHrBadPathname = static_cast<HRESULT>(0x800700A1u);
constexpr HRESULT kHrInvalidAddress = static_cast<HRESULT>(0x800701E7u);
constexpr HRESULT kHrNoMemory = static_cast<HRESULT>(0x80070008u);

constexpr DWORD kcchDirectoryProbe = 1024;
constexpr DWORD kcchDirectoryCopy = 2048;
constexpr DWORD kAttributesNotFile =
    plat::kFileAttributeDirectory | plat::kFileAttributeDevice | plat::kFileAttributeOffline;

template <typename C>
bool StartsWithNoCase(const C* psz, const char* sz) {
    for (; *sz; ++psz, ++sz) {
        C c = *psz;
        if (c >= 'A' && c <= 'Z') c = static_cast<C>(c - 'A' + 'a');
        C d = static_cast<C>(static_cast<unsigned char>(*sz));
        if (d >= 'A' && d <= 'Z') d = static_cast<C>(d - 'A' + 'a');
        if (c != d) return false;
    }
    return true;
}

// Copies at most cchRoom - 1 characters and a terminator.
template <typename C>
void CopyBounded(C* pDest, size_t cchRoom, const C* pSrc) {
    if (cchRoom == 0) return;
    size_t i = 0;
    for (; i + 1 < cchRoom && pSrc[i]; ++i) pDest[i] = pSrc[i];
    pDest[i] = 0;
}

// One pass of the cleaning: replaces every occurrence of szFind (found from
// index iFrom on, without overlaps) by the character chReplace. Writes the
// new text back within the room. S_FALSE when nothing was found.
template <typename C>
HRESULT ReplacePass(C* psz, size_t cchRoom, size_t iFrom, const char* szFind, C chReplace) {
    const size_t n = TextLength(psz);
    const size_t cchFind = std::strlen(szFind);
    size_t iFirst = iFrom;
    while (iFirst + cchFind <= n && !TextStartsWith(psz + iFirst, szFind)) ++iFirst;
    if (iFirst + cchFind > n) return S_FALSE;

    C* pNew = static_cast<C*>(plat::ProcessHeapAlloc((n + 1) * sizeof(C)));
    if (!pNew) return kHrNoMemory;
    size_t iOut = 0;
    for (size_t i = 0; i < iFirst; ++i) pNew[iOut++] = psz[i];
    for (size_t i = iFirst; i < n;) {
        if (i + cchFind <= n && TextStartsWith(psz + i, szFind)) {
            pNew[iOut++] = chReplace;
            i += cchFind;
        } else {
            pNew[iOut++] = psz[i++];
        }
    }
    pNew[iOut] = 0;
    CopyBounded(psz, cchRoom, pNew);
    plat::ProcessHeapFree(pNew);
    return S_OK;
}

// Repeats a pass while it finds something.
template <typename C>
HRESULT ReplaceAll(C* psz, size_t cchRoom, size_t iFrom, const char* szFind, C chReplace) {
    HRESULT hr;
    while ((hr = ReplacePass(psz, cchRoom, iFrom, szFind, chReplace)) == S_OK) {
    }
    return hr == S_FALSE ? S_OK : hr;
}

template <typename C>
bool TrimEnd(C* psz) {
    size_t n = TextLength(psz);
    const size_t nWas = n;
    while (n > 0 && (psz[n - 1] == ' ' || psz[n - 1] == '\t')) --n;
    if (n > 0 && psz[n - 1] == '.') {
        while (n > 0 && psz[n - 1] == '.') --n;
    }
    if (n > 0 && psz[n - 1] == '\\') {
        while (n > 0 && psz[n - 1] == '\\') --n;
    }
    psz[n] = 0;
    return n != nWas && n > 0;
}

template <typename C>
HRESULT NormalizePath(C* psz, DWORD cchSize) {
    if (!psz) return E_POINTER;
    if (cchSize == 0) return E_INVALIDARG;
    if (!*psz) return kHrBadPathname;

    size_t cchRoom = cchSize;
    if (TextStartsWith(psz, "\\\\?\\")) {
        psz += 4;
        cchRoom = cchRoom > 4 ? cchRoom - 4 : 0;
    }
    for (C* p = psz; *p; ++p) {
        switch (*p) {
            case '|': case '<': case '>': case '*': case '?': case '"': *p = '_'; break;
            case '/': *p = '\\'; break;
            default: break;
        }
    }
    if (cchRoom == 0 || !*psz) return S_OK;

    HRESULT hr = ReplaceAll<C>(psz, cchRoom, 1, "\\\\", '\\');
    if (HrSucceeded(hr)) hr = ReplaceAll<C>(psz, cchRoom, 0, "\\.\\", '\\');
    if (HrSucceeded(hr)) hr = ReplaceAll<C>(psz, cchRoom, 0, " \\", '\\');
    if (HrSucceeded(hr)) hr = ReplaceAll<C>(psz, cchRoom, 0, "\\ ", '\\');
    if (HrFailed(hr)) return hr;

    while (TrimEnd(psz)) {
    }
    return S_OK;
}

}  // namespace

bool IsNarrowDriveLetter(char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }

bool IsWideDriveLetter(wchar_t ch) {
    const uint32_t c = static_cast<uint32_t>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    if (c >= 0xC0 && c <= 0xDE) return c != 0xD7;
    return c >= 0xE0 && c != 0xF7;
}

HRESULT SzNormalizePath(char* szPath, DWORD cchSize) { return NormalizePath(szPath, cchSize); }

HRESULT WszNormalizePath(wchar_t* wszPath, DWORD cchSize) { return NormalizePath(wszPath, cchSize); }

HRESULT HrToLongPath(const char* szPath, TSz<wchar_t>& out) {
    if (!szPath || !*szPath) return E_INVALIDARG;

    // The copy sits behind room for the longest prefix, "\\?\UNC\".
    constexpr size_t kcchPrefixRoom = 8;
    const size_t n = std::strlen(szPath);
    char* pBlock = static_cast<char*>(plat::ProcessHeapAlloc(kcchPrefixRoom + n + 1));
    if (!pBlock) return kHrNoMemory;
    char* psz = pBlock + kcchPrefixRoom;
    std::memcpy(psz, szPath, n + 1);
    const DWORD cchCopy = static_cast<DWORD>(n + 1);

    const char* pszResult = psz;
    HRESULT hr = S_OK;
    if (TextStartsWith(psz, "\\\\?\\") && IsNarrowDriveLetter(psz[4]) && psz[5] == ':') {
        hr = SzNormalizePath(psz + 4, cchCopy - 4);
    } else if (TextStartsWith(psz, "\\\\?\\UNC\\")) {
        // taken as it stands
    } else if (TextStartsWith(psz, "\\\\")) {
        hr = SzNormalizePath(psz, cchCopy);
        // "\\?\UNC\" in place of the two backslashes
        const size_t cchLeft = std::strlen(psz);
        char* pszRest = psz + (cchLeft < 2 ? cchLeft : 2);
        std::memcpy(pszRest - kcchPrefixRoom, "\\\\?\\UNC\\", kcchPrefixRoom);
        pszResult = pszRest - kcchPrefixRoom;
    } else if (IsNarrowDriveLetter(psz[0]) && psz[1] == ':') {
        hr = SzNormalizePath(psz, cchCopy);
        std::memcpy(psz - 4, "\\\\?\\", 4);
        pszResult = psz - 4;
    }
    if (HrFailed(hr)) {
        plat::ProcessHeapFree(pBlock);
        return hr;
    }

    hr = S_OK;
    const int cchWide = plat::AnsiToWide(pszResult, -1, nullptr, 0);
    wchar_t* pwsz = cchWide > 0 ? static_cast<wchar_t*>(plat::ProcessHeapAlloc(cchWide * sizeof(wchar_t))) : nullptr;
    if (pwsz && plat::AnsiToWide(pszResult, -1, pwsz, cchWide) == cchWide) {
        out.Assign(pwsz);
        if (*pwsz && out.IsEmpty()) hr = TSZ_E_OUTOFMEMORY;
    } else {
        out.Assign(L"");
    }
    plat::ProcessHeapFree(pwsz);
    plat::ProcessHeapFree(pBlock);
    return hr;
}

bool IsFilePath(const wchar_t* wszPath) {
    if (!wszPath || !*wszPath) {
        plat::SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    plat::FileAttributeData data;
    if (!plat::GetFileAttributesExW(wszPath, &data)) return false;
    return (data.dwFileAttributes & kAttributesNotFile) == 0;
}

bool IsDirectoryPath(const wchar_t* wszPath) {
    if (!wszPath || !*wszPath) return false;
    const size_t n = TextLength(wszPath);
    if (n >= kcchDirectoryProbe) return false;
    wchar_t wsz[kcchDirectoryProbe];
    std::wmemcpy(wsz, wszPath, n + 1);
    for (size_t i = n; i > 1 && wsz[i - 1] == '\\'; --i) wsz[i - 1] = 0;
    plat::FileAttributeData data;
    if (!plat::FindFileW(wsz, &data)) return false;
    return (data.dwFileAttributes & (plat::kFileAttributeDirectory | plat::kFileAttributeOffline)) ==
           plat::kFileAttributeDirectory;
}

HRESULT HrCreateDirectoryPath(const wchar_t* wszPath) {
    if (!wszPath) return kHrInvalidAddress;
    if (!*wszPath) return VG_E_MISSINGARG;
    if (IsDirectoryPath(wszPath)) return S_OK;

    wchar_t wsz[kcchDirectoryCopy];
    if (StartsWithNoCase(wszPath, "\\\\?\\UNC\\")) {
        // '\\?\UNC\server\share' -> '\\server\share'
        wsz[0] = '\\';
        CopyBounded(wsz + 1, kcchDirectoryCopy - 1, wszPath + 7);
    } else {
        CopyBounded(wsz, kcchDirectoryCopy, wszPath);
    }

    size_t iStart = 0;
    if (IsWideDriveLetter(wsz[0]) && wsz[1] == ':' && wsz[2] == '\\') {
        iStart = 3;
    } else if (wsz[0] == '\\' && wsz[1] == '\\') {
        // A server, a share, and something below the share.
        size_t i = 2;
        const size_t iServer = i;
        while (wsz[i] && wsz[i] != '\\') ++i;
        if (i == iServer || wsz[i] != '\\') return E_INVALIDARG;
        const size_t iShare = ++i;
        while (wsz[i] && wsz[i] != '\\') ++i;
        if (i == iShare || wsz[i] != '\\' || !wsz[i + 1]) return E_INVALIDARG;
        iStart = i + 1;
    }

    for (size_t i = iStart + 1; wsz[i]; ++i) {
        if (wsz[i] != '\\') continue;
        wsz[i] = 0;
        const bool fMake = !IsDirectoryPath(wsz) && !plat::CreateDirectoryW(wsz);
        wsz[i] = '\\';
        if (fMake) return HrFromLastError();
    }
    if (IsDirectoryPath(wsz)) return S_OK;
    if (!plat::CreateDirectoryW(wsz)) return HrFromLastError();
    return S_OK;
}

HRESULT FileMutexName(const wchar_t* wszLongPath, TSz<char>& out) {
    if (!wszLongPath) return E_POINTER;
    // UTF-16LE, whatever the width of wchar_t: at most two units a character.
    const size_t n = TextLength(wszLongPath);
    BYTE* pb = static_cast<BYTE*>(plat::ProcessHeapAlloc(n * 4 + 1));
    if (!pb) return kHrNoMemory;
    size_t cb = 0;
    const auto put = [&](uint32_t unit) {
        pb[cb++] = static_cast<BYTE>(unit);
        pb[cb++] = static_cast<BYTE>(unit >> 8);
    };
    for (size_t i = 0; i < n;) {
        char32_t c = plat::NextWide(wszLongPath, n, &i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        char16_t au[2];
        for (int k = 0, cu = plat::EncodeUtf16(c, au); k < cu; ++k) put(au[k]);
    }
    BYTE abDigest[plat::kcbMd5Digest];
    const BOOL fOk = plat::Md5Digest(pb, cb, abDigest);
    plat::ProcessHeapFree(pb);
    if (!fOk) return HrFromLastError();

    static const char kDigits[] = "0123456789abcdef";
    char sz[2 * plat::kcbMd5Digest + 1];
    for (DWORD i = 0; i < plat::kcbMd5Digest; ++i) {
        sz[2 * i] = kDigits[abDigest[i] >> 4];
        sz[2 * i + 1] = kDigits[abDigest[i] & 15];
    }
    sz[2 * plat::kcbMd5Digest] = 0;
    try {
        out.Append(sz);
    } catch (long hr) {
        return static_cast<HRESULT>(hr);
    }
    return S_OK;
}
