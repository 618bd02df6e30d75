// Platform layer: named inter-process objects and the security descriptors
// that guard them.
//
// Shaped after CreateMutexW, WaitForSingleObject, ReleaseMutex,
// CreateFileMappingW (backed by the page file), MapViewOfFile,
// UnmapViewOfFile and CloseHandle, and after the descriptor, access-list and
// SID routines of advapi32. Failures set the last error.
//
// Descriptors, access lists and SIDs have the Win32 binary layout on every
// build (the POSIX side builds and reads them byte for byte), so the storage
// types below are all the core needs to hold them.
//
// POSIX: a named object is a POSIX shared-memory object called "/" followed
// by the Windows name in UTF-8, with '/', '\' and '%' percent-encoded
// ("Global\a/b" → "/Global%5Ca%2Fb"), so distinct Windows names stay distinct.
// Names are taken as they stand: a "Global\" or "Local\" prefix is part of
// the name. Mutexes and mappings share that namespace, as on Windows; a
// mutex name held by an object that is not a mutex fails with
// ERROR_INVALID_HANDLE. An encoded name longer than 255 bytes fails with
// ERROR_FILENAME_EXCED_RANGE (206). Objects stay in /dev/shm after the last
// process closes them; the next creator opens them again as they were.
//
// The security attributes become the objects' permissions: a discretionary
// list that allows everyone (S-1-1-0) generic all, or generic read and write,
// or a null list (present, no list), gives mode 0666; anything else, or no
// attributes at all, 0600. The mode is set with fchmod after creation, so the
// umask does not narrow it; an object that already exists keeps its mode.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

struct KernelObject;
typedef KernelObject* HANDLE;  // a mutex or a file mapping

constexpr DWORD kInfinite = 0xFFFFFFFFu;      // INFINITE
constexpr DWORD kWaitObject0 = 0;             // WAIT_OBJECT_0
constexpr DWORD kWaitAbandoned = 0x80;        // WAIT_ABANDONED
constexpr DWORD kWaitTimeout = 258;           // WAIT_TIMEOUT
constexpr DWORD kWaitFailed = 0xFFFFFFFFu;    // WAIT_FAILED

// ---------------------------------------------------------------------------
// Security descriptors

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

// ---------------------------------------------------------------------------
// Named mutexes

// CreateMutexW(psa, FALSE, wszName): creates the mutex, not owned, or opens
// the existing one (then the last error is ERROR_ALREADY_EXISTS). psa may be
// null; so may the name, for a mutex of this process alone. Like a Win32
// mutex it is recursive and owned by a thread: a thread that ends while
// holding it, or whose process ends, leaves it abandoned.
// POSIX: a process-shared, robust, recursive pthread mutex in the
// shared-memory object; whoever opens an object that is not initialised yet
// initialises it under an exclusive flock, so processes creating the same name
// at once end up with one mutex. Each process maps a name once, however many
// handles it opens.
HANDLE CreateMutexW(const SecurityAttributesStorage* psa, const wchar_t* wszName);

// WaitForSingleObject on a mutex: kWaitObject0 when acquired; kWaitAbandoned
// when acquired from an owner that ended without releasing it (the caller now
// owns it and the data it guards may be inconsistent); kWaitTimeout after
// dwMilliseconds (kInfinite: no limit; 0: only a try); kWaitFailed with the
// last error set otherwise.
DWORD WaitForSingleObject(HANDLE hMutex, DWORD dwMilliseconds);

// ReleaseMutex: releases one acquisition. A thread that does not own the
// mutex: FALSE, ERROR_NOT_OWNER.
BOOL ReleaseMutex(HANDLE hMutex);

// ---------------------------------------------------------------------------
// Named file mappings backed by the page file

// CreateFileMappingW(INVALID_HANDLE_VALUE, psa, PAGE_READWRITE, 0, cbSize,
// wszName): creates a zero-filled object of cbSize bytes, or opens the
// existing one (last error ERROR_ALREADY_EXISTS). cbSize 0:
// ERROR_INVALID_PARAMETER. A null name makes an object of this process alone.
// POSIX: an existing object smaller than cbSize is extended to it.
HANDLE CreateFileMappingW(const SecurityAttributesStorage* psa, DWORD cbSize, const wchar_t* wszName);

// MapViewOfFile(hMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, cbBytes):
// maps the object from its start for reading and writing; cbBytes 0 maps all
// of it. The view stays valid after the mapping handle is closed.
void* MapViewOfFile(HANDLE hMapping, DWORD cbBytes);

// UnmapViewOfFile: an address that is not the start of a view:
// ERROR_INVALID_ADDRESS.
BOOL UnmapViewOfFile(const void* pvView);

// ---------------------------------------------------------------------------

// CloseHandle: a mutex or a mapping. Closing a mutex does not release it.
// POSIX: a mutex that a thread of this process still holds stays mapped (the
// thread's robust list points into it) until it is released through another
// handle, or until the process ends.
BOOL CloseHandle(HANDLE h);

// ---------------------------------------------------------------------------
// Named events, as the screening service creates them for a wake-up signal.
// POSIX: a named semaphore under the escaped name; setting posts it.

struct EventObject;
typedef EventObject* HEVENT;

// OpenEventA(EVENT_ALL_ACCESS, FALSE, szName): an existing event only; a
// missing one fails with ERROR_FILE_NOT_FOUND.
HEVENT OpenEventA(const char* szName);
// CreateEventA(psa, FALSE (auto-reset), FALSE, szName): creates or opens.
HEVENT CreateEventA(const SecurityAttributesStorage* psa, const char* szName);
BOOL SetEvent(HEVENT hEvent);
// WaitForSingleObject on an event: kWaitObject0, kWaitTimeout or kWaitFailed.
DWORD WaitForEvent(HEVENT hEvent, DWORD dwMilliseconds);
// CloseHandle on an event.
BOOL CloseEvent(HEVENT hEvent);
// Removes the event's name (POSIX only: Windows objects go with their last
// handle); for tests and the service's shutdown.
void UnlinkEventA(const char* szName);

}  // namespace plat
