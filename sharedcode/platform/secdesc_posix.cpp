// POSIX side of platform/secdesc.h: security descriptors, access lists and
// SIDs built and read in their Win32 binary layout.
#include "sharedcode/platform/secdesc.h"
#include "sharedcode/platform/secdesc_posix.h"

#include <cstring>

#include "sharedcode/platform/process.h"

namespace plat {

namespace {

// ---------------------------------------------------------------------------
// Win32 binary layouts. Fields are read and written with memcpy, so callers'
// buffers need no particular alignment beyond what Win32 asks.

constexpr BYTE kAccessAllowedAceType = 0;  // ACCESS_ALLOWED_ACE_TYPE
constexpr WORD kSeDaclPresent = 0x0004;
constexpr WORD kSeDaclDefaulted = 0x0008;
constexpr BYTE kSidRevision = 1;
constexpr BYTE kSidMaxSubAuthorities = 15;
constexpr DWORD kSidHeaderSize = 8;  // revision, count, authority

template <typename T>
T Get(const void* pv, size_t off) {
    T v;
    std::memcpy(&v, static_cast<const BYTE*>(pv) + off, sizeof(T));
    return v;
}
template <typename T>
void Put(void* pv, size_t off, T v) {
    std::memcpy(static_cast<BYTE*>(pv) + off, &v, sizeof(T));
}

// ACL: AclRevision (BYTE), Sbz1, AclSize (WORD at 2), AceCount (WORD at 4), Sbz2.
// ACE: AceType, AceFlags, AceSize (WORD at 2), then for an allow entry the mask
// (DWORD at 4) and the SID (at 8).
// SID: Revision, SubAuthorityCount, IdentifierAuthority[6], SubAuthority[].

DWORD SidLength(BYTE cSub) { return kSidHeaderSize + 4u * cSub; }

bool IsValidSid(const void* pSid) {
    return pSid && Get<BYTE>(pSid, 0) == kSidRevision && Get<BYTE>(pSid, 1) <= kSidMaxSubAuthorities;
}

// Offset of the first free byte after the list's entries; 0 when the list is
// not well formed.
DWORD EndOfAces(const void* pAcl) {
    const BYTE rev = Get<BYTE>(pAcl, 0);
    const DWORD cbAcl = Get<WORD>(pAcl, 2);
    if (rev < 2 || rev > 4 || cbAcl < kAclHeaderSize) return 0;
    DWORD off = kAclHeaderSize;
    for (DWORD i = 0, n = Get<WORD>(pAcl, 4); i < n; ++i) {
        if (off + 4 > cbAcl) return 0;
        const DWORD cbAce = Get<WORD>(pAcl, off + 2);
        if (cbAce < 4 || off + cbAce > cbAcl) return 0;
        off += cbAce;
    }
    return off;
}

bool IsEveryone(const BYTE* pSid, DWORD cbAvail) {
    static const BYTE kEveryone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // S-1-1-0
    return cbAvail >= sizeof(kEveryone) && std::memcmp(pSid, kEveryone, sizeof(kEveryone)) == 0;
}

}  // namespace

mode_t secdesc_posix::ModeFor(const SecurityAttributesStorage* psa) {
    constexpr mode_t kOwnerOnly = 0600, kWorld = 0666;
    if (!psa || !psa->lpSecurityDescriptor) return kOwnerOnly;
    const auto* pSD = static_cast<const SecurityDescriptorStorage*>(psa->lpSecurityDescriptor);
    if (!(pSD->Control & kSeDaclPresent)) return kOwnerOnly;
    const void* pAcl = pSD->Dacl;
    if (!pAcl) return kWorld;  // a null list allows everyone everything
    if (EndOfAces(pAcl) == 0) return kOwnerOnly;
    DWORD off = kAclHeaderSize;
    for (DWORD i = 0, n = Get<WORD>(pAcl, 4); i < n; ++i) {
        const BYTE type = Get<BYTE>(pAcl, off);
        const DWORD cbAce = Get<WORD>(pAcl, off + 2);
        if (type == kAccessAllowedAceType && cbAce >= kAccessAllowedAceBase) {
            const DWORD mask = Get<DWORD>(pAcl, off + 4);
            const bool fReadWrite = (mask & kGenericAll) || (mask & (kGenericRead | kGenericWrite)) == (kGenericRead | kGenericWrite);
            if (fReadWrite && IsEveryone(static_cast<const BYTE*>(pAcl) + off + kAccessAllowedAceBase, cbAce - kAccessAllowedAceBase))
                return kWorld;
        }
        off += cbAce;
    }
    return kOwnerOnly;
}

// ---------------------------------------------------------------------------
// Security descriptors

BOOL InitializeSecurityDescriptor(SecurityDescriptorStorage* pSD, DWORD dwRevision) {
    if (dwRevision != kSecurityDescriptorRevision) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    *pSD = SecurityDescriptorStorage{};
    pSD->Revision = static_cast<BYTE>(dwRevision);
    return TRUE;
}

BOOL InitializeAcl(void* pAcl, DWORD cbAcl, DWORD dwRevision) {
    if (cbAcl < kAclHeaderSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (cbAcl > 0xFFFF || dwRevision < 2 || dwRevision > 4) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(pAcl, 0, kAclHeaderSize);
    Put<BYTE>(pAcl, 0, static_cast<BYTE>(dwRevision));
    Put<WORD>(pAcl, 2, static_cast<WORD>(cbAcl & ~3u));
    return TRUE;
}

DWORD GetSidLengthRequired(BYTE nSubAuthorityCount) { return SidLength(nSubAuthorityCount); }

BOOL InitializeSid(void* pSid, const SidIdentifierAuthority* pAuthority, BYTE nSubAuthorityCount) {
    if (nSubAuthorityCount > kSidMaxSubAuthorities) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Put<BYTE>(pSid, 0, kSidRevision);
    Put<BYTE>(pSid, 1, nSubAuthorityCount);
    std::memcpy(static_cast<BYTE*>(pSid) + 2, pAuthority->Value, sizeof(pAuthority->Value));
    return TRUE;
}

DWORD* GetSidSubAuthority(void* pSid, DWORD n) {
    return reinterpret_cast<DWORD*>(static_cast<BYTE*>(pSid) + kSidHeaderSize + 4 * n);
}

BOOL AddAccessAllowedAce(void* pAcl, DWORD dwRevision, DWORD dwAccessMask, void* pSid) {
    if (dwRevision < 2 || dwRevision > 4) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    const DWORD off = EndOfAces(pAcl);
    if (off == 0) {
        SetLastError(ERROR_INVALID_ACL);
        return FALSE;
    }
    if (!IsValidSid(pSid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    const DWORD cbSid = SidLength(Get<BYTE>(pSid, 1));
    const DWORD cbAce = kAccessAllowedAceBase + cbSid;
    if (off + cbAce > Get<WORD>(pAcl, 2)) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    BYTE* pAce = static_cast<BYTE*>(pAcl) + off;
    Put<BYTE>(pAce, 0, kAccessAllowedAceType);
    Put<BYTE>(pAce, 1, 0);
    Put<WORD>(pAce, 2, static_cast<WORD>(cbAce));
    Put<DWORD>(pAce, 4, dwAccessMask);
    std::memcpy(pAce + kAccessAllowedAceBase, pSid, cbSid);
    Put<WORD>(pAcl, 4, static_cast<WORD>(Get<WORD>(pAcl, 4) + 1));
    if (Get<BYTE>(pAcl, 0) < dwRevision) Put<BYTE>(pAcl, 0, static_cast<BYTE>(dwRevision));
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(SecurityDescriptorStorage* pSD, BOOL fPresent, void* pAcl, BOOL fDefaulted) {
    if (pSD->Revision != kSecurityDescriptorRevision) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    pSD->Control = static_cast<WORD>(pSD->Control & ~(kSeDaclPresent | kSeDaclDefaulted));
    if (fPresent) {
        pSD->Control |= kSeDaclPresent;
        if (fDefaulted) pSD->Control |= kSeDaclDefaulted;
        pSD->Dacl = pAcl;
    } else {
        pSD->Dacl = nullptr;
    }
    return TRUE;
}

}  // namespace plat
