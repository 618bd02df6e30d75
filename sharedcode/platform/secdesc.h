// Platform layer: security descriptors, access lists and SIDs, as the
// creators of named objects pass them.
//
// Shaped after the descriptor, access-list and SID routines of advapi32.
// Failures set the last error.
//
// Descriptors, access lists and SIDs have the Win32 binary layout on every
// build (the POSIX side builds and reads them byte for byte), so the storage
// types below are all the core needs to hold them. What the POSIX side makes
// of them for an object's permissions is in namedobj.h.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// SECURITY_DESCRIPTOR, absolute form.
struct SecurityDescriptorStorage {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    void* Owner;
    void* Group;
    void* Sacl;
    void* Dacl;
};

// SECURITY_ATTRIBUTES (12 bytes in the 32-bit build).
struct SecurityAttributesStorage {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

// SID_IDENTIFIER_AUTHORITY: a 48-bit value, most significant byte first.
struct SidIdentifierAuthority {
    BYTE Value[6];
};

constexpr DWORD kSecurityDescriptorRevision = 1;  // SECURITY_DESCRIPTOR_REVISION
constexpr DWORD kAclRevision = 2;                 // ACL_REVISION
constexpr DWORD kGenericAll = 0x10000000u;        // GENERIC_ALL
constexpr DWORD kGenericRead = 0x80000000u;       // GENERIC_READ
constexpr DWORD kGenericWrite = 0x40000000u;      // GENERIC_WRITE
constexpr DWORD kAclHeaderSize = 8;               // sizeof(ACL)
constexpr DWORD kAccessAllowedAceBase = 8;        // ACE header and mask, before the SID

// InitializeSecurityDescriptor: an empty descriptor (no owner, group or
// lists). A revision other than 1: ERROR_UNKNOWN_REVISION (1305).
BOOL InitializeSecurityDescriptor(SecurityDescriptorStorage* pSD, DWORD dwRevision);

// InitializeAcl: an empty access list of cbAcl bytes at pAcl (4-byte
// aligned). cbAcl below 8: ERROR_INSUFFICIENT_BUFFER; above 65535 or a
// revision other than 2 to 4: ERROR_INVALID_PARAMETER.
BOOL InitializeAcl(void* pAcl, DWORD cbAcl, DWORD dwRevision);

// GetSidLengthRequired: bytes of a SID with that many sub-authorities
// (12 for one).
DWORD GetSidLengthRequired(BYTE nSubAuthorityCount);

// InitializeSid: revision 1, the authority and the count; the sub-authorities
// are left for the caller. A count above 15: ERROR_INVALID_PARAMETER.
BOOL InitializeSid(void* pSid, const SidIdentifierAuthority* pAuthority, BYTE nSubAuthorityCount);

// GetSidSubAuthority: the address of sub-authority n; not checked.
DWORD* GetSidSubAuthority(void* pSid, DWORD n);

// AddAccessAllowedAce: appends an allow entry for the SID after the list's
// entries. No room left: ERROR_ALLOTTED_SPACE_EXCEEDED (1344); a list that is
// not well formed: ERROR_INVALID_ACL (1336); a SID that is not:
// ERROR_INVALID_SID (1337).
BOOL AddAccessAllowedAce(void* pAcl, DWORD dwRevision, DWORD dwAccessMask, void* pSid);

// SetSecurityDescriptorDacl: sets or clears the discretionary list and the
// "present" and "defaulted" control bits.
BOOL SetSecurityDescriptorDacl(SecurityDescriptorStorage* pSD, BOOL fPresent, void* pAcl, BOOL fDefaulted);

}  // namespace plat
