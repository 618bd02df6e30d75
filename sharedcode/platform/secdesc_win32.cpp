// Win32 side of platform/secdesc.h: pass-through.
#include <windows.h>

#include <cstddef>

#include "sharedcode/platform/secdesc.h"

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
static_assert(kGenericAll == GENERIC_ALL && kAclRevision == ACL_REVISION &&
                  kSecurityDescriptorRevision == SECURITY_DESCRIPTOR_REVISION && kAclHeaderSize == sizeof(ACL),
              "security constants");

namespace {
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

}  // namespace plat
