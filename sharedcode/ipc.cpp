// System-wide named mutexes and their security attributes.
#include "sharedcode/ipc.h"

#include <cwchar>

#include "sharedcode/hresult.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/text.h"
#include "sharedcode/szbounded.h"

namespace CRVN {
namespace IPC {

namespace {

// Indexed by AddWellKnown: null, world, local, creator, non-unique and
// resource-manager authorities.
const BYTE kWellKnownAuthority[CSecurityAttributes::kMaxWellKnown + 1] = {0, 1, 2, 3, 4, 9};

constexpr DWORD kIndexWorld = 1;
constexpr DWORD kIndexCreator = 3;

const wchar_t kGlobalPrefix[] = L"Global\\";
const wchar_t kLocalPrefix[] = L"Local\\";
constexpr size_t kcchGlobalPrefix = 7;
constexpr size_t kcchLocalPrefix = 6;
const wchar_t kOwnerSuffix[] = L";!";
constexpr DWORD kcbOwnerRecord = 8;

bool StartsWith(const wchar_t* wsz, const wchar_t* wszPrefix, size_t cch) {
    return std::wcsncmp(wsz, wszPrefix, cch) == 0;
}

void SlashBackslashes(wchar_t* wsz) { WszReplaceAny(wsz, L"\\", L'/'); }

// Everyone and the creator owner, generic all.
HRESULT BuildNamedObjectAttributes(CSecurityAttributes& sa) {
    sa.AddWellKnown(kIndexWorld);
    sa.AddWellKnown(kIndexCreator);
    return sa.Build();
}

}  // namespace

// ---------------------------------------------------------------------------

CSecurityAttributes::CSecurityAttributes() : m_sd(), m_sa(), m_entries(CLockedPtrArray<tagSIDENTRY>::kDefaultGrowStep), m_abAcl() {}

CSecurityAttributes::~CSecurityAttributes() = default;

HRESULT CSecurityAttributes::AddWellKnown(DWORD dwIndex) {
    if (dwIndex > kMaxWellKnown) return VG_E_INVALIDARG;
    tagSIDENTRY entry = {};
    entry.dwAccessMask = plat::kGenericAll;
    entry.dwSubAuthority = 0;
    entry.authority.Value[5] = kWellKnownAuthority[dwIndex];
    m_entries.AddCopy(&entry);  // a failed add only leaves the SID out of the list
    return S_OK;
}

HRESULT CSecurityAttributes::Build() {
    CriticalSection::CLock lock(m_entries);
    if (!plat::InitializeSecurityDescriptor(&m_sd, plat::kSecurityDescriptorRevision)) return HrFromLastError();

    // Every entry is an allow entry for a SID with one sub-authority.
    const DWORD cbEntry = plat::GetSidLengthRequired(1) + plat::kAccessAllowedAceBase;
    const uint64_t cbAcl = static_cast<uint64_t>(cbEntry) * m_entries.Count() + plat::kAclHeaderSize;
    if (cbAcl > sizeof(m_abAcl)) return HrFromWin32(ERROR_INSUFFICIENT_BUFFER);
    if (!plat::InitializeAcl(m_abAcl, static_cast<DWORD>(cbAcl), plat::kAclRevision)) return HrFromLastError();

    for (DWORD i = 0; i < m_entries.Count(); ++i) {
        tagSIDENTRY* pEntry = m_entries[i];
        // An entry that cannot be set up is left out.
        if (!plat::InitializeSid(pEntry->abSid, &pEntry->authority, 1)) continue;
        *plat::GetSidSubAuthority(pEntry->abSid, 0) = pEntry->dwSubAuthority;
        plat::AddAccessAllowedAce(m_abAcl, plat::kAclRevision, pEntry->dwAccessMask, pEntry->abSid);
    }

    if (!plat::SetSecurityDescriptorDacl(&m_sd, TRUE, m_abAcl, FALSE)) return HrFromLastError();
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = &m_sd;
    m_sa.bInheritHandle = FALSE;
    return S_OK;
}

// ---------------------------------------------------------------------------

static_assert(sizeof(std::atomic<DWORD>) == sizeof(DWORD) && std::atomic<DWORD>::is_always_lock_free,
              "the owner record is shared between processes: its fields must be plain lock-free words");

CNamedMutex::CNamedMutex()
    : m_hMutex(nullptr), m_wszName(), m_cHolds(0), m_hOwnerMapping(nullptr), m_pvOwnerView(nullptr), m_hrLast(S_OK) {}

CNamedMutex::~CNamedMutex() { Close(); }

bool CNamedMutex::Create(const char* szName) {
    wchar_t wszConverted[kcchName];
    if (plat::AnsiToWide(szName, -1, wszConverted, static_cast<int>(kcchName)) == 0) {
        m_hrLast = HrFromLastError();
        return false;
    }
    wchar_t wszName[kcchName];
    const HRESULT hr = StartsWith(wszConverted, kGlobalPrefix, kcchGlobalPrefix)
                           ? WszCopyN(wszName, kcchName - 1, wszConverted)
                           : WszFormat(wszName, kcchName, L"Global\\%ls", wszConverted);
    if (HrFailed(hr)) {
        m_hrLast = hr;
        return false;
    }
    SlashBackslashes(wszName + kcchGlobalPrefix);
    return Create(static_cast<const wchar_t*>(wszName));
}

bool CNamedMutex::Create(const wchar_t* wszName) {
    Close();
    HRESULT hr = WszCopyN(m_wszName, kcchName, wszName);
    if (HrFailed(hr)) {
        m_hrLast = hr;
        return false;
    }
    if (StartsWith(m_wszName, kGlobalPrefix, kcchGlobalPrefix)) {
        SlashBackslashes(m_wszName + kcchGlobalPrefix);
    } else if (StartsWith(m_wszName, kLocalPrefix, kcchLocalPrefix)) {
        SlashBackslashes(m_wszName + kcchLocalPrefix);
    } else {
        SlashBackslashes(m_wszName);
    }

    CSecurityAttributes saMutex;
    hr = BuildNamedObjectAttributes(saMutex);
    if (HrFailed(hr)) {
        m_hrLast = hr;
        return false;
    }

    wchar_t wszOwnerName[kcchOwnerName + 1];
    hr = WszCopyN(wszOwnerName, kcchOwnerName, m_wszName);
    if (HrSucceeded(hr)) hr = WszAppendN(wszOwnerName, kcchOwnerName, kOwnerSuffix);
    if (HrFailed(hr)) {
        m_hrLast = hr;
        return false;
    }

    CSecurityAttributes saRecord;
    hr = BuildNamedObjectAttributes(saRecord);
    if (HrFailed(hr)) {
        m_hrLast = hr;
        return false;
    }
    m_hOwnerMapping = plat::CreateFileMappingW(saRecord.Get(), kcbOwnerRecord, wszOwnerName);
    if (m_hOwnerMapping) {
        m_pvOwnerView = plat::MapViewOfFile(m_hOwnerMapping, 0);
        if (!m_pvOwnerView) {
            const DWORD dwError = plat::GetLastError();
            plat::CloseHandle(m_hOwnerMapping);
            m_hOwnerMapping = nullptr;
            plat::SetLastError(dwError);
        }
    }
    if (!m_pvOwnerView) {
        m_hrLast = HrFromLastError();
        return false;
    }

    m_hMutex = plat::CreateMutexW(saMutex.Get(), m_wszName);
    if (!m_hMutex) {
        m_hrLast = HrFromLastError();
        ReleaseOwnerRecord();
        return false;
    }
    m_hrLast = S_OK;
    return true;
}

bool CNamedMutex::Lock() {
    if (!m_hMutex) return false;
    const DWORD dwWait = plat::WaitForSingleObject(m_hMutex, plat::kInfinite);
    // A mutex abandoned by a holder that ended is simply taken over.
    if (dwWait != plat::kWaitObject0 && dwWait != plat::kWaitAbandoned) return false;
    m_cHolds.fetch_add(1);
    if (m_pvOwnerView) {
        OwnerField(1)->exchange(plat::GetCurrentThreadId());
        OwnerField(0)->exchange(plat::GetCurrentProcessId());
    }
    return true;
}

void CNamedMutex::Unlock() {
    if (!m_hMutex) return;
    DropHold();
    plat::ReleaseMutex(m_hMutex);
}

void CNamedMutex::Close() {
    if (m_hMutex) {
        for (LONG c = m_cHolds.exchange(0); c > 0; --c) plat::ReleaseMutex(m_hMutex);
        plat::CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }
    ReleaseOwnerRecord();
}

DWORD CNamedMutex::OwnerProcessId() const { return m_pvOwnerView ? OwnerField(0)->load() : 0; }
DWORD CNamedMutex::OwnerThreadId() const { return m_pvOwnerView ? OwnerField(1)->load() : 0; }

void CNamedMutex::DropHold() {
    LONG c = m_cHolds.load();
    while (c > 0 && !m_cHolds.compare_exchange_weak(c, c - 1)) {
    }
}

void CNamedMutex::ReleaseOwnerRecord() {
    if (m_pvOwnerView) {
        plat::UnmapViewOfFile(m_pvOwnerView);
        m_pvOwnerView = nullptr;
    }
    if (m_hOwnerMapping) {
        plat::CloseHandle(m_hOwnerMapping);
        m_hOwnerMapping = nullptr;
    }
}

std::atomic<DWORD>* CNamedMutex::OwnerField(int i) const {
    return reinterpret_cast<std::atomic<DWORD>*>(static_cast<BYTE*>(m_pvOwnerView) + sizeof(DWORD) * i);
}

// ---------------------------------------------------------------------------

CNamedMutexLock::CNamedMutexLock(CNamedMutex& mutex) : m_dwFlags(0), m_mutex(mutex) {
    if (m_mutex.Lock()) m_dwFlags |= kfLocked;
}

bool CNamedMutexLock::SetLocked(bool fLocked) {
    if (fLocked) {
        m_dwFlags |= kfLocked;
    } else {
        m_dwFlags &= ~kfLocked;
    }
    return fLocked;
}

CNamedMutexLock::~CNamedMutexLock() {
    if ((m_dwFlags & kfLocked) && m_mutex.IsCreated()) m_mutex.Unlock();
}

}  // namespace IPC
}  // namespace CRVN
