// Platform layer: named mutexes and named file mappings, the kernel objects
// that processes share by name.
//
// Shaped after CreateMutexW, WaitForSingleObject, ReleaseMutex,
// CreateFileMappingW (backed by the page file), MapViewOfFile,
// UnmapViewOfFile and CloseHandle. Failures set the last error. The
// creators take the security attributes of secdesc.h.
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

#include "sharedcode/platform/secdesc.h"
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

}  // namespace plat
