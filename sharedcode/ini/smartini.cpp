// CSmartIni: binding to a file, loading and saving, the value operations and
// the transaction journal. The entry cache it owns is in inicache.cpp.
#include "sharedcode/ini/smartini.h"

#include <cstring>

#include "sharedcode/hresult.h"
#include "sharedcode/ini/inipath.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/szbounded.h"

namespace {

using CRVN::IPC::CNamedMutex;
using CRVN::IPC::CNamedMutexLock;

constexpr HRESULT kHrTooLarge = static_cast<HRESULT>(0x8007007Au);

// Reads and writes take the byte-range lock over the first 4 GiB - 1 bytes.
constexpr uint64_t kcbLockRange = 0xFFFFFFFFu;
constexpr int kcReadAttempts = 100;
constexpr int kcOpenRetries = 100;
constexpr int kcLockRetries = 100;
constexpr DWORD kmsReadRetry = 50;
constexpr DWORD kmsOpenRetry = 50;
constexpr DWORD kmsLockRetry = 25;
constexpr DWORD kcchBool = 8;
constexpr DWORD kcchOpenCopy = 4096;
// Files are opened so that others may read, write and replace them meanwhile.
constexpr DWORD kShareAll = plat::kFileShareRead | plat::kFileShareWrite | plat::kFileShareDelete;
constexpr DWORD kAttributesNotFile =
    plat::kFileAttributeDirectory | plat::kFileAttributeDevice | plat::kFileAttributeOffline;

char g_szModuleIniPath[CSmartIni::kcchModuleIniPath];

bool SameTime(const plat::FileTime& ft1, const plat::FileTime& ft2) {
    return plat::FileTimeValue(ft1) == plat::FileTimeValue(ft2);
}

// A zero-filled process-heap block of cch characters holding a copy of psz.
template <typename C>
C* Duplicate(const C* psz, size_t cchAtLeast) {
    const size_t n = TextLength(psz);
    const size_t cch = n + 1 > cchAtLeast ? n + 1 : cchAtLeast;
    C* p = static_cast<C*>(plat::ProcessHeapAlloc(cch * sizeof(C)));
    if (p) std::memcpy(p, psz, (n + 1) * sizeof(C));
    return p;
}

// Holds the file mutex across a change (from its look at the file to its
// save), unless the change is only journalled.
class CChangeHold {
public:
    CChangeHold(CNamedMutex& mutex, bool fHold) : m_mutex(mutex), m_fHeld(fHold && mutex.Lock()) {}
    ~CChangeHold() {
        if (m_fHeld) m_mutex.Unlock();
    }
    CChangeHold(const CChangeHold&) = delete;
    CChangeHold& operator=(const CChangeHold&) = delete;

private:
    CNamedMutex& m_mutex;
    bool m_fHeld;
};

// Other processes see a change by the last-write time alone, and the file
// system's clock may not have moved since the previous save: every save moves
// it on by at least one unit from the time the file had before.
void MoveLastWriteTimeOn(plat::FileHandle h, const plat::FileTime* pftBefore) {
    plat::FileTime ftAfter;
    if (pftBefore && plat::GetFileLastWriteTime(h, &ftAfter) &&
        plat::FileTimeValue(ftAfter) <= plat::FileTimeValue(*pftBefore)) {
        const plat::FileTime ftNext = plat::MakeFileTime(plat::FileTimeValue(*pftBefore) + 1);
        plat::SetFileLastWriteTime(h, &ftNext);
    }
}

// Writes the text, flushed, to a new file at wszTemp (over what a killed
// writer left there). False, with the file removed, when any step fails.
bool WriteWholeFile(const wchar_t* wszTemp, const TSz<char>& text, const plat::FileTime* pftBefore) {
    plat::ScopedFile file(plat::CreateFileW(wszTemp, plat::kFileGenericWrite, 0, plat::kCreateAlways, 0));
    if (!file.IsOpen()) return false;
    DWORD cbWritten;
    bool fDone = plat::WriteFile(file.Get(), text.Get(), text.Length(), &cbWritten) != FALSE;
    if (fDone) MoveLastWriteTimeOn(file.Get(), pftBefore);
    fDone = fDone && plat::FlushFileBuffers(file.Get());
    file.Close();
    if (!fDone) {
        const DWORD dwError = plat::GetLastError();
        plat::DeleteFileW(wszTemp);
        plat::SetLastError(dwError);
    }
    return fDone;
}

}  // namespace

char* CSmartIni::ModuleIniPath() { return g_szModuleIniPath; }

CSmartIni::CCacheLock::CCacheLock(CSmartIni* pIni) : m_pIni(pIni) {
    if (m_pIni) m_pIni->m_csCache.Enter();
}

CSmartIni::CCacheLock::~CCacheLock() {
    if (m_pIni) m_pIni->m_csCache.Leave();
}

// ---------------------------------------------------------------------------
// Construction and destruction

CSmartIni::CSmartIni() {
    char szPath[kcchModuleIniPath];
    SzCopyN(szPath, sizeof(szPath), g_szModuleIniPath);
    SetLastResult(static_cast<DWORD>(HrOpen(static_cast<const char*>(szPath), false, false)));
}

CSmartIni::~CSmartIni() {
    if (!m_wszPath.IsEmpty() && TestIniFlag(kfDeleteOnClose) && IsFilePath(m_wszPath.Get())) DeleteBoundFile();
    ClearCache();
    m_hLockFile.Close();
}

// ---------------------------------------------------------------------------
// Field accessors

WORD& CSmartIni::ReloadIntervalRef() { return m_wReloadInterval; }
const WORD& CSmartIni::ReloadIntervalRef() const { return m_wReloadInterval; }
WORD CSmartIni::SetReloadInterval(WORD wSeconds) { return m_wReloadInterval = wSeconds; }
WORD CSmartIni::GetReloadInterval() { return m_wReloadInterval; }
WORD CSmartIni::IncrementReloadInterval() { return ++m_wReloadInterval; }
WORD CSmartIni::DecrementReloadInterval() { return --m_wReloadInterval; }

bool CSmartIni::SetIniFlag(DWORD f, bool fSet) {
    if (fSet) {
        m_dwIniFlags.fetch_or(f);
    } else {
        m_dwIniFlags.fetch_and(~f);
    }
    return fSet;
}

bool CSmartIni::IsDirty() { return TestIniFlag(kfDirty); }
bool CSmartIni::SetDirty(bool f) { return SetIniFlag(kfDirty, f); }
bool CSmartIni::IsInTransaction() { return TestIniFlag(kfInTransaction); }
bool CSmartIni::SetInTransaction(bool f) { return SetIniFlag(kfInTransaction, f); }
bool CSmartIni::IsReadOnly() { return TestIniFlag(kfReadOnly); }
bool CSmartIni::SetReadOnly(bool f) { return SetIniFlag(kfReadOnly, f); }
bool CSmartIni::IsNoRefresh() { return TestIniFlag(kfNoRefresh); }
bool CSmartIni::SetNoRefresh(bool f) { return SetIniFlag(kfNoRefresh, f); }
bool CSmartIni::IsDeleteOnClose() { return TestIniFlag(kfDeleteOnClose); }
bool CSmartIni::SetDeleteOnClose(bool f) { return SetIniFlag(kfDeleteOnClose, f); }
bool CSmartIni::IsDetached() { return TestIniFlag(kfDetached); }
bool CSmartIni::SetDetached(bool f) { return SetIniFlag(kfDetached, f); }

void CSmartIni::SetOnReload(PFNINIHOOK pfn, void* pvContext) {
    CCacheLock lock(this);
    m_pfnOnReload = pfn;
    m_pvOnReloadContext = pvContext;
}

void CSmartIni::SetOnSave(PFNINIHOOK pfn, void* pvContext) {
    CCacheLock lock(this);
    m_pfnOnSave = pfn;
    m_pvOnSaveContext = pvContext;
}

plat::FileTime CSmartIni::LastWriteTime() {
    CriticalSection::CLock lock(m_csFileTime);
    return m_ftLastWrite;
}

void CSmartIni::SetLastWriteTime(const plat::FileTime& ft) {
    CriticalSection::CLock lock(m_csFileTime);
    m_ftLastWrite = ft;
}

// ---------------------------------------------------------------------------
// Binding

// The file and a recovery copy an interrupted save left, which would
// otherwise stand for the file if it came again.
void CSmartIni::DeleteBoundFile() {
    plat::DeleteFileW(m_wszPath.Get());
    plat::DeleteFileW(m_wszNewPath.Get());
}

// What every HrOpen does first: give up the lock file, and the file bound
// until now (deleting it when asked to), then forget the paths.
void CSmartIni::UnbindForOpen() {
    m_hLockFile.Close();
    if (!m_wszPath.IsEmpty()) {
        if (TestIniFlag(kfDeleteOnClose)) DeleteBoundFile();
        SetIniFlag(kfDetached, true);
        AbandonTransaction();
        ClearCache();
        SetLastWriteTime(plat::FileTime{0, 0});
    }
    SetIniFlag(kfDetached, false);
    m_szPlainPath.Assign("");
    m_wszPath.Assign(L"");
    m_wszDirectory.Assign(L"");
    for (TSz<wchar_t>* pwsz : {&m_wszLockPath, &m_wszTempPath, &m_wszNewPath}) pwsz->Assign(L"");
}

// The lock-file, temporary and recovery paths and the directory of the long
// path just set.
HRESULT CSmartIni::FinishBinding() {
    const struct {
        TSz<wchar_t>* pwsz;
        const wchar_t* wszSuffix;
    } derived[] = {{&m_wszLockPath, L".lck"}, {&m_wszTempPath, L".tmp"}, {&m_wszNewPath, L".new"}};
    try {
        for (const auto& d : derived) {
            d.pwsz->Assign(m_wszPath.Get());
            d.pwsz->Append(d.wszSuffix);
        }
    } catch (long hr) {
        return static_cast<HRESULT>(hr);
    }
    // A bare file name has no directory part: nothing is ever created or
    // deleted in its place.
    const wchar_t* pwsz = m_wszPath.Get();
    const wchar_t* pwszLast = nullptr;
    for (const wchar_t* p = pwsz; *p; ++p) {
        if (*p == '\\') pwszLast = p;
    }
    if (pwszLast) {
        wchar_t* pwszCopy = Duplicate(pwsz, 0);
        if (!pwszCopy) return HrFromWin32(ERROR_NOT_ENOUGH_MEMORY);
        pwszCopy[pwszLast - pwsz] = 0;
        m_wszDirectory.Assign(pwszCopy);
        plat::ProcessHeapFree(pwszCopy);
    }
    return S_OK;
}

HRESULT CSmartIni::HrOpen(const char* szPath, bool fCreate, bool fExclusive) {
    UnbindForOpen();
    if (!szPath) return static_cast<HRESULT>(LastResult());
    if (!*szPath) return VG_E_MISSINGARG;

    char* pszCopy = Duplicate(szPath, 0);
    if (!pszCopy) return HrFromWin32(ERROR_NOT_ENOUGH_MEMORY);
    HRESULT hr = SzNormalizePath(pszCopy, static_cast<DWORD>(TextLength(pszCopy)));
    if (HrFailed(hr)) {
        plat::ProcessHeapFree(pszCopy);
        return hr;
    }
    if (TextStartsWith(pszCopy, "\\\\?\\UNC\\")) {
        m_szPlainPath.Assign("\\\\");
        try {
            m_szPlainPath.Append(pszCopy + 8);
        } catch (long) {
            m_szPlainPath.Assign("");
        }
    } else {
        m_szPlainPath.Assign(TextStartsWith(pszCopy, "\\\\?\\") ? pszCopy + 4 : pszCopy);
    }
    hr = HrToLongPath(pszCopy, m_wszPath);
    plat::ProcessHeapFree(pszCopy);
    SetLastResult(static_cast<DWORD>(hr));
    if (HrFailed(hr)) return hr;
    hr = FinishBinding();
    if (HrFailed(hr)) return hr;

    hr = HrOpenFile(fCreate, fExclusive);
    SetLastResult(static_cast<DWORD>(hr));
    return hr;
}

HRESULT CSmartIni::HrOpen(const wchar_t* wszPath, bool fCreate, bool fExclusive) {
    UnbindForOpen();
    if (!wszPath || !*wszPath) return E_INVALIDARG;

    wchar_t* pwsz = Duplicate(wszPath, kcchOpenCopy);
    if (!pwsz) return HrFromWin32(ERROR_NOT_ENOUGH_MEMORY);
    const DWORD n = static_cast<DWORD>(TextLength(pwsz));
    HRESULT hr = S_OK;
    CWCharChar narrow;
    if (TextStartsWith(pwsz, "\\\\?\\") && IsWideDriveLetter(pwsz[4]) && pwsz[5] == ':') {
        hr = WszNormalizePath(pwsz + 4, n - 4);
        if (HrSucceeded(hr)) hr = narrow.FromWide(pwsz + 4);
        if (HrSucceeded(hr)) m_szPlainPath.Assign(narrow.Narrow());
    } else if (TextStartsWith(pwsz, "\\\\?\\UNC\\")) {
        hr = WszNormalizePath(pwsz + 8, n - 8);
        if (HrSucceeded(hr)) hr = narrow.FromWide(pwsz + 8);
        if (HrSucceeded(hr)) {
            m_szPlainPath.Assign("\\\\");
            try {
                m_szPlainPath.Append(narrow.Narrow());
            } catch (long hrThrown) {
                hr = static_cast<HRESULT>(hrThrown);
            }
        }
    } else if (TextStartsWith(pwsz, "\\\\") || (IsWideDriveLetter(pwsz[0]) && pwsz[1] == ':')) {
        hr = WszNormalizePath(pwsz, n);
        if (HrSucceeded(hr)) hr = narrow.FromWide(pwsz);
        if (HrSucceeded(hr)) m_szPlainPath.Assign(narrow.Narrow());
    }
    plat::ProcessHeapFree(pwsz);
    if (HrFailed(hr)) return hr;

    // Relative and other forms are refused here, as an empty path.
    hr = HrToLongPath(m_szPlainPath.Get(), m_wszPath);
    if (HrFailed(hr)) return hr;
    hr = FinishBinding();
    if (HrFailed(hr)) return hr;
    return HrOpenFile(fCreate, fExclusive);
}

HRESULT CSmartIni::HrOpenFile(bool fCreate, bool fExclusive) {
    CCacheLock lock(this);
    HrBindFileMutex();

    if (fExclusive) {
        m_hLockFile.Close();
        if (m_wszLockPath.IsEmpty()) return INI_E_NOTBOUND;
        m_hLockFile.Reset(plat::CreateFileW(m_wszLockPath.Get(), plat::kFileGenericWrite, plat::kFileShareRead,
                                            plat::kCreateNew,
                                            plat::kFileAttributeTemporary | plat::kFileFlagDeleteOnClose));
        // Whatever the system said, someone else owns the file.
        if (!m_hLockFile.IsOpen()) return INI_E_LOCKED;
    }

    if (fCreate) {
        if (!m_wszDirectory.IsEmpty() && !IsDirectoryPath(m_wszDirectory.Get())) {
            // A plain file in the directory's place goes first.
            plat::DeleteFileW(m_wszDirectory.Get());
            plat::SetLastError(ERROR_SUCCESS);
            const HRESULT hr = HrCreateDirectoryPath(m_wszDirectory.Get());
            if (HrFailed(hr)) {
                Close();
                return hr;
            }
        }
        plat::FileAttributeData data;
        if (!plat::GetFileAttributesExW(m_wszPath.Get(), &data) && plat::GetLastError() == ERROR_FILE_NOT_FOUND) {
            m_mtxFile.Lock();
            plat::SetLastError(ERROR_SUCCESS);
            plat::ScopedFile file(
                plat::CreateFileW(m_wszPath.Get(), plat::kFileGenericWrite, kShareAll, plat::kOpenAlways, 0));
            if (!file.IsOpen()) {
                const HRESULT hr = HrFromLastError();
                m_mtxFile.Unlock();
                SetLastWriteTime(plat::FileTime{0, 0});
                Close();
                return hr;
            }
            DWORD cb;
            plat::SetFilePointerEx(file.Get(), 0, nullptr, plat::kFileEnd);
            plat::WriteFile(file.Get(), "\r\n", 2, &cb);
            plat::SetEndOfFile(file.Get());
            file.Close();
            m_mtxFile.Unlock();
        }
    }
    return HrReload();
}

HRESULT CSmartIni::HrBindFileMutex() {
    TSz<char> name;
    const HRESULT hr = FileMutexName(m_wszPath.Get(), name);
    if (HrFailed(hr)) return hr;
    m_mtxFile.Close();
    m_mtxFile.Create(name.Get());  // "Global\" + the digits
    return S_OK;
}

void CSmartIni::Close() {
    CCacheLock lock(this);
    SetIniFlag(kfDetached, true);
    AbandonTransaction();
    ClearCache();
    SetLastWriteTime(plat::FileTime{0, 0});
}

// ---------------------------------------------------------------------------
// Loading

HRESULT CSmartIni::HrReload() { return ReloadCore(false); }

// fForChange: a change is about to be made on what is read, so the reload
// interval does not hold it back (the change would otherwise overwrite what
// another process saved meanwhile).
HRESULT CSmartIni::ReloadCore(bool fForChange) {
    CCacheLock lock(this);
    if (TestIniFlag(kfDetached)) return S_OK;

    plat::FileAttributeData found = {};
    char* pImage = nullptr;
    DWORD cbImage = 0;
    HRESULT hr = S_OK;
    for (int iAttempt = 0; iAttempt < kcReadAttempts; ++iAttempt) {
        if (iAttempt) plat::Sleep(kmsReadRetry);
        if (!plat::FindFileW(m_wszPath.Get(), &found)) {
            hr = HrFromLastError();
            const DWORD dwCode = static_cast<DWORD>(hr) & 0xFFFF;
            // No file yet: the cache stays as it is.
            return dwCode == ERROR_FILE_NOT_FOUND || dwCode == ERROR_PATH_NOT_FOUND ? S_OK : hr;
        }
        if (found.dwFileAttributes & plat::kFileAttributeOffline) return INI_E_OFFLINE;
        if (found.dwFileAttributes & plat::kFileAttributeDirectory) return INI_E_ISDIRECTORY;
        hr = ReadFileCore(&pImage, &cbImage, fForChange);
        if (HrSucceeded(hr)) break;
    }
    if (HrFailed(hr)) {
        SetLastResult(static_cast<DWORD>(hr));
        return hr;
    }
    if (!pImage) return S_OK;  // the reload interval has not passed

    ClearCache();
    DWORD dwTick = plat::GetTickCount();
    m_dwLastReadTick.exchange(dwTick ? dwTick : 1);
    ParseText(pImage, cbImage);
    CModuleHeap::Free(pImage);
    SetLastWriteTime(found.ftLastWriteTime);
    if (m_pfnOnReload) m_pfnOnReload(m_pvOnReloadContext);
    return S_OK;
}

HRESULT CSmartIni::HrReadFile(char** ppImage, DWORD* pcbImage) { return ReadFileCore(ppImage, pcbImage, false); }

HRESULT CSmartIni::ReadFileCore(char** ppImage, DWORD* pcbImage, bool fForChange) {
    if (!ppImage || !pcbImage) return E_POINTER;
    *ppImage = nullptr;
    *pcbImage = 0;
    // Without a mutex (none could be created) the read goes on unguarded.
    CNamedMutexLock lockFile(m_mtxFile);

    const DWORD dwInterval = m_wReloadInterval;
    const DWORD dwLast = m_dwLastReadTick.load();
    if (!fForChange && dwInterval && dwLast && plat::GetTickCount() - dwLast < dwInterval * 1000u) return S_OK;

    // A save stopped while it wrote in place left its whole text beside the
    // file, which may be torn: that text counts until the next save.
    const wchar_t* wszRead = IsFilePath(m_wszNewPath.Get()) ? m_wszNewPath.Get() : m_wszPath.Get();
    plat::ScopedFile file(plat::CreateFileW(wszRead, plat::kFileGenericRead, kShareAll, plat::kOpenExisting, 0));
    if (!file.IsOpen()) return HrFromLastError();
    uint64_t cbFile = 0;
    if (!plat::GetFileSizeEx(file.Get(), &cbFile)) return HrFromLastError();
    if (cbFile >= 0xFFFFFFFFu) return kHrTooLarge;
    const DWORD cb = static_cast<DWORD>(cbFile);
    char* pImage = static_cast<char*>(CModuleHeap::Malloc(cb + 1));
    if (!pImage) return HrFromLastError();
    DWORD cbRead = 0;
    if (cb) {
        HRESULT hr = S_OK;
        if (!plat::LockFileEx(file.Get(), 0, 0, kcbLockRange)) {
            hr = HrFromLastError();
        } else {
            if (!plat::ReadFile(file.Get(), pImage, cb, &cbRead)) hr = HrFromLastError();
            plat::UnlockFileEx(file.Get(), 0, kcbLockRange);
        }
        if (HrFailed(hr)) {
            CModuleHeap::Free(pImage);
            return hr;
        }
    }
    pImage[cbRead] = 0;
    *ppImage = pImage;
    *pcbImage = cbRead;
    return S_OK;
}

HRESULT CSmartIni::HrRefreshIfChanged(bool* pfReloaded) { return RefreshCore(pfReloaded, false); }

HRESULT CSmartIni::RefreshCore(bool* pfReloaded, bool fForChange) {
    if (pfReloaded) *pfReloaded = false;
    if (m_wszPath.IsEmpty()) return INI_E_NOTBOUND;
    if (TestIniFlag(kfInTransaction | kfNoRefresh)) return S_OK;

    // One query stands for "is it a file" and "when was it written".
    plat::SetLastError(ERROR_SUCCESS);
    plat::FileAttributeData data;
    if (plat::GetFileAttributesExW(m_wszPath.Get(), &data) && !(data.dwFileAttributes & kAttributesNotFile)) {
        CCacheLock lock(this);
        if (SameTime(LastWriteTime(), data.ftLastWriteTime)) return S_OK;
        const HRESULT hr = ReloadCore(fForChange);
        if (HrSucceeded(hr) && pfReloaded) *pfReloaded = true;
        return hr;
    }
    return HrFromLastError();  // 0 for a directory
}

// The refresh that opens every value operation. A missing file never
// counts; a reading operation also serves what it has loaded while the file
// cannot be read.
HRESULT CSmartIni::RefreshStep(bool fForChange) {
    if (TestIniFlag(kfInTransaction)) return S_OK;
    const HRESULT hr = RefreshCore(nullptr, fForChange);
    const DWORD dwCode = static_cast<DWORD>(hr) & 0xFFFF;
    if (HrSucceeded(hr) || dwCode == 0 || dwCode == ERROR_FILE_NOT_FOUND || dwCode == ERROR_PATH_NOT_FOUND)
        return S_OK;
    if (!fForChange && plat::FileTimeValue(LastWriteTime()) != 0) return S_OK;
    return hr;
}

// ---------------------------------------------------------------------------
// Saving

HRESULT CSmartIni::HrSave(bool fForce) {
    SetLastResult(S_OK);
    // A detached object holds an empty cache, which must never replace the
    // file's content.
    if (TestIniFlag(kfDetached)) return INI_E_NOTBOUND;
    if (TestIniFlag(kfReadOnly) || (!TestIniFlag(kfDirty) && !fForce)) return S_OK;
    if (m_wszPath.IsEmpty() || m_wszPath.Find(L"\\.ini") >= 0) return INI_E_BADSAVEPATH;

    CCacheLock lock(this);
    TSz<char> text;
    try {
        HrBuildText(text);
    } catch (long hr) {
        return static_cast<HRESULT>(hr);
    }
    CNamedMutexLock lockFile(m_mtxFile);
    const HRESULT hr = WriteText(text);
    if (HrFailed(hr)) return hr;
    plat::FileAttributeData data;
    if (plat::GetFileAttributesExW(m_wszPath.Get(), &data)) SetLastWriteTime(data.ftLastWriteTime);
    SetDirty(false);
    if (m_pfnOnSave) m_pfnOnSave(m_pvOnSaveContext);
    return S_OK;
}

// Opens the settings file for writing (creating it when missing) and takes
// the exclusive byte-range lock, waiting for readers and writers that hold
// one; the file then at the path is the one locked.
HRESULT CSmartIni::OpenLockedForSave(plat::ScopedFile& file) {
    for (int iReopen = 0; !file.IsOpen(); ++iReopen) {
        for (int iRetry = 0;; ++iRetry) {
            file.Reset(plat::CreateFileW(m_wszPath.Get(), plat::kFileGenericWrite, kShareAll, plat::kOpenAlways,
                                         plat::kFileFlagWriteThrough));
            if (file.IsOpen()) break;
            if (iRetry == kcOpenRetries) return HrFromLastError();
            plat::Sleep(kmsOpenRetry);
            if (!m_wszDirectory.IsEmpty()) {
                plat::DeleteFileW(m_wszDirectory.Get());
                HrCreateDirectoryPath(m_wszDirectory.Get());
            }
        }
        for (int iRetry = 0; !plat::LockFileEx(file.Get(), plat::kLockfileExclusiveLock, 0, kcbLockRange);
             ++iRetry) {
            if (iRetry == kcLockRetries) return HrFromLastError();
            plat::Sleep(kmsLockRetry);
        }
        // A writer without the file mutex may have replaced the file while
        // this one waited for the lock, which then guards nothing: lock the
        // file the path names now.
        if (iReopen < kcOpenRetries && !plat::IsFileAtPath(file.Get(), m_wszPath.Get())) {
            plat::UnlockFileEx(file.Get(), 0, kcbLockRange);
            file.Close();
        }
    }
    return S_OK;
}

// Beyond the in-place write on purpose, for safety: the text goes to a new
// file that then takes the settings file's place in one step, so that a
// writer killed at any moment leaves the old text or the new one, never the
// new text over the tail of the old. A folder that takes no new file gets no
// save at all (nothing changes), since an in-place write there could tear.
HRESULT CSmartIni::WriteText(const TSz<char>& text) {
    plat::ScopedFile file;
    HRESULT hr = OpenLockedForSave(file);
    if (HrFailed(hr)) return hr;
    plat::FileTime ftBefore;
    const plat::FileTime* pftBefore = plat::GetFileLastWriteTime(file.Get(), &ftBefore) ? &ftBefore : nullptr;
    const bool fWritten = WriteWholeFile(m_wszTempPath.Get(), text, pftBefore);
    hr = fWritten ? S_OK : HrFromLastError();
    // Windows refuses to rename over a file that is open, and Wine whatever
    // the sharing: this handle goes before the replace.
    plat::UnlockFileEx(file.Get(), 0, kcbLockRange);
    file.Close();
    if (!fWritten) return hr;
    // A recovery copy still there is older than this text, and readers take
    // it over the file: the text goes through its name then.
    if (!IsFilePath(m_wszNewPath.Get()) && plat::ReplaceFileW(m_wszPath.Get(), m_wszTempPath.Get())) return S_OK;
    if (!plat::ReplaceFileW(m_wszNewPath.Get(), m_wszTempPath.Get())) {
        hr = HrFromLastError();
        plat::DeleteFileW(m_wszTempPath.Get());
        return hr;
    }
    if (plat::ReplaceFileW(m_wszPath.Get(), m_wszNewPath.Get())) return S_OK;

    // The replace was refused: another process holds the file open without
    // delete sharing (under Wine: at all), or it is a symbolic link. The text
    // is written in place while its recovery copy stands beside the file, so
    // that a writer killed meanwhile leaves readers the whole text.
    hr = OpenLockedForSave(file);
    if (HrFailed(hr)) return hr;
    const plat::FileHandle h = file.Get();
    DWORD cbWritten;
    if (plat::WriteFile(h, text.Get(), text.Length(), &cbWritten) && plat::SetEndOfFile(h) &&
        plat::FlushFileBuffers(h)) {
        MoveLastWriteTimeOn(h, pftBefore);
    } else {
        hr = HrFromLastError();
    }
    plat::UnlockFileEx(h, 0, kcbLockRange);
    file.Close();
    // A failed write keeps the recovery copy, which holds the text.
    if (HrSucceeded(hr)) plat::DeleteFileW(m_wszNewPath.Get());
    return hr;
}

// ---------------------------------------------------------------------------
// The cache

void CSmartIni::ParseText(char* pText, DWORD cbText) {
    CCacheLock lock(this);
    // A file that held duplicates is rewritten at the next save.
    SetDirty(m_cache.Parse(pText, cbText));
}

HRESULT CSmartIni::HrBuildText(TSz<char>& out) {
    CCacheLock lock(this);
    m_cache.BuildText(out);
    return S_OK;
}

HRESULT CSmartIni::CacheLookup(const char* szSection, const char* szKey, char* pszBuffer, DWORD cchBuffer) {
    CCacheLock lock(this);
    return m_cache.Lookup(szSection, szKey, pszBuffer, cchBuffer);
}

HRESULT CSmartIni::CacheStore(const char* szSection, const char* szKey, const char* szValue) {
    CCacheLock lock(this);
    if (m_cache.Store(szSection, szKey, szValue)) SetDirty(true);
    return S_OK;
}

HRESULT CSmartIni::CacheRemove(const char* szSection, const char* szKey) {
    CCacheLock lock(this);
    if (!m_cache.Remove(szSection, szKey)) return INI_S_NOTPRESENT;
    SetDirty(true);
    return S_OK;
}

void CSmartIni::AddSectionNote(const char* szSection, const char* szLine) {
    CCacheLock lock(this);
    m_cache.AddNote(szSection, szLine);
}

tagINISECTION* CSmartIni::FindSectionNotes(const char* szName) {
    CCacheLock lock(this);
    return m_cache.FindNotes(szName);
}

HRESULT CSmartIni::ClearCache() {
    CCacheLock lock(this);
    m_cache.Clear();
    SetLastWriteTime(plat::FileTime{0, 0});
    return S_OK;
}

// ---------------------------------------------------------------------------
// Value operations

HRESULT CSmartIni::HrGetString(const char* szSection, const char* szKey, const char* szDefault, char* pszBuffer,
                               DWORD cchBuffer) {
    if (!szSection) return static_cast<HRESULT>(LastResult());
    if (!*szSection) return VG_E_MISSINGARG;
    if (!szKey) return static_cast<HRESULT>(LastResult());
    if (!*szKey) return VG_E_MISSINGARG;

    CCacheLock lock(this);
    HRESULT hr = RefreshStep(false);
    if (HrFailed(hr)) return hr;

    if (m_wszPath.IsEmpty()) {
        if (!szDefault) return INI_E_NODEFAULTUNBOUND;
        if (!pszBuffer) return E_POINTER;
        hr = SzCopyN(pszBuffer, cchBuffer, szDefault);
        return HrFailed(hr) ? hr : INI_S_DEFAULTUSED;
    }
    if (pszBuffer && cchBuffer) pszBuffer[0] = 0;
    hr = CacheLookup(szSection, szKey, pszBuffer, cchBuffer);
    if (hr == INI_E_NOTFOUND && szDefault && szDefault != pszBuffer) {
        if (!pszBuffer) return E_POINTER;
        hr = SzCopyN(pszBuffer, cchBuffer, szDefault);
        return HrFailed(hr) ? hr : INI_S_DEFAULTUSED;
    }
    return hr;
}

// The argument checks of a change: a null name answers the last result, an
// empty one 0x800700A0; a detached object changes nothing.
HRESULT CSmartIni::HrCheckChange(const char* szSection, const char* szKey) {
    for (const char* sz : {szSection, szKey}) {
        if (!sz) return static_cast<HRESULT>(LastResult());
        if (!*sz) return VG_E_MISSINGARG;
    }
    return TestIniFlag(kfDetached) ? INI_E_NOTBOUND : S_OK;
}

HRESULT CSmartIni::HrSetString(const char* szSection, const char* szKey, const char* szValue) {
    HRESULT hrCheck = HrCheckChange(szSection, szKey);
    if (hrCheck != S_OK) return hrCheck;

    CCacheLock lock(this);
    CChangeHold hold(m_mtxFile, !TestIniFlag(kfInTransaction));
    HRESULT hr = RefreshStep(true);
    if (HrFailed(hr)) return hr;
    if (!szValue) return HrDeleteKey(szSection, szKey);

    // One search both compares the value stored and stores the new one.
    if (!m_cache.Store(szSection, szKey, szValue)) return INI_S_UNCHANGED;
    SetDirty(true);
    if (TestIniFlag(kfInTransaction)) {
        hr = JournalAppend(INIOP_SET, szSection, szKey, szValue);
    } else {
        hr = HrSave(false);
    }
    SetLastResult(static_cast<DWORD>(hr));
    return hr;
}

HRESULT CSmartIni::HrDeleteKey(const char* szSection, const char* szKey) {
    HRESULT hrCheck = HrCheckChange(szSection, szKey);
    if (hrCheck != S_OK) return hrCheck;

    CCacheLock lock(this);
    CChangeHold hold(m_mtxFile, !TestIniFlag(kfInTransaction));
    HRESULT hr = RefreshStep(true);
    if (HrFailed(hr)) return hr;

    hr = CacheRemove(szSection, szKey);
    if (TestIniFlag(kfInTransaction)) {
        JournalAppend(INIOP_DELETE, szSection, szKey, nullptr);
        return hr;
    }
    return hr == S_OK ? HrSave(false) : INI_S_NOTPRESENT;
}

HRESULT CSmartIni::HrGetBool(const char* szSection, const char* szKey, BYTE fDefault, BYTE* pfResult) {
    CCacheLock lock(this);
    SetLastResult(S_OK);
    if (!pfResult) return VG_E_MISSINGARG;
    *pfResult = fDefault;
    const char* szDefaultText = fDefault == 1 ? "y" : "n";
    char szValue[kcchBool] = {};

    HRESULT hr = RefreshStep(false);
    if (HrFailed(hr)) {
        SetLastResult(static_cast<DWORD>(hr));
        return hr;
    }
    hr = m_wszPath.IsEmpty() ? INI_E_NOTFOUND : CacheLookup(szSection, szKey, szValue, kcchBool);
    if (hr == INI_E_NOTFOUND) {
        SzCopyN(szValue, kcchBool, szDefaultText);
        hr = INI_S_DEFAULTUSED;
    } else if (HrFailed(hr)) {
        SetLastResult(static_cast<DWORD>(hr));
        return hr;
    }
    SetLastResult(static_cast<DWORD>(hr));

    char ch = szValue[0];
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    if (ch == '0' || ch == 'f' || ch == 'n') {
        *pfResult = 0;
    } else if (ch == '1' || ch == 't' || ch == 'y') {
        *pfResult = 1;
    }
    return static_cast<HRESULT>(LastResult());
}

// ---------------------------------------------------------------------------
// Transaction journal

HRESULT CSmartIni::JournalAppend(DWORD dwOperation, const char* szSection, const char* szKey, const char* szValue) {
    void* pv = CModuleHeap::Malloc(sizeof(tagINITRANSACTION));
    if (!pv) return S_OK;
    tagINITRANSACTION* p = new (pv) tagINITRANSACTION(szSection, szKey, szValue);
    p->dwOperation = dwOperation;
    if (!m_qJournal.Push(p)) RecordTraits<tagINITRANSACTION>::Destroy(p);
    return S_OK;
}

HRESULT CSmartIni::AbandonTransaction() {
    // Under the cache lock no other thread of this object holds the file
    // mutex, so a hold left is the caller's own.
    CCacheLock lock(this);
    SetIniFlag(kfInTransaction, false);
    while (tagINITRANSACTION* p = m_qJournal.Pop()) RecordTraits<tagINITRANSACTION>::Destroy(p);
    // Rereading discards every change not yet saved; the reload interval
    // does not hold that back.
    const HRESULT hr = TestIniFlag(kfDetached) ? S_OK : ReloadCore(true);
    if (m_mtxFile.HoldCount() > 0) m_mtxFile.Unlock();
    return hr;
}
