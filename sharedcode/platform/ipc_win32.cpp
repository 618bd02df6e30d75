// Win32 side of platform/ipc.h: pass-through.
#include <windows.h>

#include <cstddef>

#include "sharedcode/platform/ipc.h"

namespace plat {

static_assert(sizeof(SECURITY_DESCRIPTOR) == sizeof(SecurityDescriptorStorage) &&
                  offsetof(SECURITY_DESCRIPTOR, Control) == offsetof(SecurityDescriptorStorage, Control) &&
                  offsetof(SECURITY_DESCRIPTOR, Dacl) == offsetof(SecurityDescriptorStorage, Dacl),
              "SecurityDescriptorStorage must have the layout of SECURITY_DESCRIPTOR");
static_assert(sizeof(SECURITY_ATTRIBUTES) == sizeof(SecurityAttributesStorage) &&
                  offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor) ==
                      offsetof(SecurityAttributesStorage, lpSecurityDescriptor) &&
                  offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == offsetof(SecurityAttributesStorage, bInheritHandle),
              "SecurityAttributesStorage must have the layout of SECURITY_ATTRIBUTES");
static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == sizeof(SidIdentifierAuthority), "SID authority is 6 bytes");
static_assert(kWaitAbandoned == WAIT_ABANDONED && kWaitTimeout == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED &&
                  kInfinite == INFINITE,
              "wait results");
static_assert(kGenericAll == GENERIC_ALL && kAclRevision == ACL_REVISION &&
                  kSecurityDescriptorRevision == SECURITY_DESCRIPTOR_REVISION && kAclHeaderSize == sizeof(ACL),
              "security constants");

namespace {
::HANDLE Native(HANDLE h) { return reinterpret_cast<::HANDLE>(h); }
HANDLE Wrap(::HANDLE h) { return reinterpret_cast<HANDLE>(h); }
LPSECURITY_ATTRIBUTES Native(const SecurityAttributesStorage* psa) {
    return reinterpret_cast<LPSECURITY_ATTRIBUTES>(const_cast<SecurityAttributesStorage*>(psa));
}
PSECURITY_DESCRIPTOR Native(SecurityDescriptorStorage* pSD) { return reinterpret_cast<PSECURITY_DESCRIPTOR>(pSD); }
}  // namespace

BOOL InitializeSecurityDescriptor(SecurityDescriptorStorage* pSD, DWORD dwRevision) {
    return ::InitializeSecurityDescriptor(Native(pSD), dwRevision);
}

BOOL InitializeAcl(void* pAcl, DWORD cbAcl, DWORD dwRevision) {
    return ::InitializeAcl(static_cast<PACL>(pAcl), cbAcl, dwRevision);
}

DWORD GetSidLengthRequired(BYTE nSubAuthorityCount) { return ::GetSidLengthRequired(nSubAuthorityCount); }

BOOL InitializeSid(void* pSid, const SidIdentifierAuthority* pAuthority, BYTE nSubAuthorityCount) {
    return ::InitializeSid(static_cast<PSID>(pSid),
                           reinterpret_cast<PSID_IDENTIFIER_AUTHORITY>(const_cast<SidIdentifierAuthority*>(pAuthority)),
                           nSubAuthorityCount);
}

DWORD* GetSidSubAuthority(void* pSid, DWORD n) { return ::GetSidSubAuthority(static_cast<PSID>(pSid), n); }

BOOL AddAccessAllowedAce(void* pAcl, DWORD dwRevision, DWORD dwAccessMask, void* pSid) {
    return ::AddAccessAllowedAce(static_cast<PACL>(pAcl), dwRevision, dwAccessMask, static_cast<PSID>(pSid));
}

BOOL SetSecurityDescriptorDacl(SecurityDescriptorStorage* pSD, BOOL fPresent, void* pAcl, BOOL fDefaulted) {
    return ::SetSecurityDescriptorDacl(Native(pSD), fPresent, static_cast<PACL>(pAcl), fDefaulted);
}

HANDLE CreateMutexW(const SecurityAttributesStorage* psa, const wchar_t* wszName) {
    return Wrap(::CreateMutexW(Native(psa), FALSE, wszName));
}

DWORD WaitForSingleObject(HANDLE hMutex, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(Native(hMutex), dwMilliseconds);
}

BOOL ReleaseMutex(HANDLE hMutex) { return ::ReleaseMutex(Native(hMutex)); }

HANDLE CreateFileMappingW(const SecurityAttributesStorage* psa, DWORD cbSize, const wchar_t* wszName) {
    return Wrap(::CreateFileMappingW(INVALID_HANDLE_VALUE, Native(psa), PAGE_READWRITE, 0, cbSize, wszName));
}

void* MapViewOfFile(HANDLE hMapping, DWORD cbBytes) {
    return ::MapViewOfFile(Native(hMapping), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, cbBytes);
}

BOOL UnmapViewOfFile(const void* pvView) { return ::UnmapViewOfFile(pvView); }

BOOL CloseHandle(HANDLE h) { return ::CloseHandle(Native(h)); }

// Named events: pass-through; an HEVENT is the event's HANDLE.

HEVENT OpenEventA(const char* szName) {
    return reinterpret_cast<HEVENT>(::OpenEventA(EVENT_ALL_ACCESS, FALSE, szName));
}

HEVENT CreateEventA(const SecurityAttributesStorage* psa, const char* szName) {
    return reinterpret_cast<HEVENT>(::CreateEventA(
        const_cast<SECURITY_ATTRIBUTES*>(reinterpret_cast<const SECURITY_ATTRIBUTES*>(psa)), FALSE, FALSE, szName));
}

BOOL SetEvent(HEVENT hEvent) { return ::SetEvent(reinterpret_cast<::HANDLE>(hEvent)); }

DWORD WaitForEvent(HEVENT hEvent, DWORD dwMilliseconds) {
    return ::WaitForSingleObject(reinterpret_cast<::HANDLE>(hEvent), dwMilliseconds);
}

BOOL CloseEvent(HEVENT hEvent) { return ::CloseHandle(reinterpret_cast<::HANDLE>(hEvent)); }

void UnlinkEventA(const char*) {}

}  // namespace plat
