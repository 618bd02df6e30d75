// Platform layer: files and directories of the settings engine.
//
// Shaped after GetFileAttributesExW, FindFirstFileW (+ FindClose),
// CreateDirectoryW, CreateFileW, ReadFile, WriteFile, SetFilePointerEx,
// SetEndOfFile, FlushFileBuffers, GetFileSizeEx, GetFileTime, SetFileTime,
// LockFileEx, UnlockFileEx, DeleteFileW, ReplaceFileW,
// GetFileInformationByHandle and CloseHandle. Paths are wide text
// in the Windows form, long-path prefixes included. Failures return FALSE (or
// InvalidFile()) and set the last error to a Win32 system error code.
//
// POSIX: a path is converted to UTF-8 at the system call and mapped thus:
//   "\\?\UNC\server\share\x" -> "//server/share/x" (read as "/server/share/x")
//   "\\?\X" or "\\.\X"       -> "X" (the prefix is dropped)
//   "C:\x"                  -> "/x" (a drive names the root file system)
//   "C:x"                   -> "x", and "C:" alone -> "."
//   then every '\' becomes '/'.
// Share modes are not enforced. Attributes: a directory reports
// kFileAttributeDirectory; a regular file kFileAttributeNormal, with
// kFileAttributeReadOnly added when its owner may not write it; anything else
// (devices, pipes, sockets) kFileAttributeDevice. Errors: a missing file is
// ERROR_FILE_NOT_FOUND when its folder exists and ERROR_PATH_NOT_FOUND when it
// does not; EACCES/EPERM/EISDIR -> ERROR_ACCESS_DENIED; ENAMETOOLONG -> 206;
// ENOSPC -> 112; EROFS -> 19; a byte-range conflict -> ERROR_LOCK_VIOLATION.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

// FILETIME: 100-nanosecond units since 1601-01-01 (UTC).
struct FileTime {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

inline uint64_t FileTimeValue(const FileTime& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FileTime MakeFileTime(uint64_t u) {
    return FileTime{static_cast<DWORD>(u), static_cast<DWORD>(u >> 32)};
}

// WIN32_FILE_ATTRIBUTE_DATA (what FindFirstFileW reports as well).
struct FileAttributeData {
    DWORD dwFileAttributes;
    FileTime ftCreationTime;
    FileTime ftLastAccessTime;
    FileTime ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

constexpr DWORD kFileAttributeReadOnly = 0x00000001;   // FILE_ATTRIBUTE_READONLY
constexpr DWORD kFileAttributeDirectory = 0x00000010;  // FILE_ATTRIBUTE_DIRECTORY
constexpr DWORD kFileAttributeDevice = 0x00000040;     // FILE_ATTRIBUTE_DEVICE
constexpr DWORD kFileAttributeNormal = 0x00000080;     // FILE_ATTRIBUTE_NORMAL
constexpr DWORD kFileAttributeTemporary = 0x00000100;  // FILE_ATTRIBUTE_TEMPORARY
constexpr DWORD kFileAttributeOffline = 0x00001000;    // FILE_ATTRIBUTE_OFFLINE

// GetFileAttributesExW(path, GetFileExInfoStandard, pData).
BOOL GetFileAttributesExW(const wchar_t* wszPath, FileAttributeData* pData);

// FindFirstFileW on a path without wildcards, the search closed at once: the
// entry's attributes, times and size. Nothing found: ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND.
BOOL FindFileW(const wchar_t* wszPath, FileAttributeData* pData);

// CreateDirectoryW(path, default security). An existing entry of that name:
// ERROR_ALREADY_EXISTS (183); a missing parent: ERROR_PATH_NOT_FOUND.
BOOL CreateDirectoryW(const wchar_t* wszPath);

// DeleteFileW. A directory: ERROR_ACCESS_DENIED.
BOOL DeleteFileW(const wchar_t* wszPath);

struct FileObject;
typedef FileObject* FileHandle;
// INVALID_HANDLE_VALUE.
inline FileHandle InvalidFile() { return reinterpret_cast<FileHandle>(static_cast<intptr_t>(-1)); }

constexpr DWORD kFileGenericRead = 0x80000000u;   // GENERIC_READ
constexpr DWORD kFileGenericWrite = 0x40000000u;  // GENERIC_WRITE

constexpr DWORD kFileShareRead = 0x1;    // FILE_SHARE_READ
constexpr DWORD kFileShareWrite = 0x2;   // FILE_SHARE_WRITE
constexpr DWORD kFileShareDelete = 0x4;  // FILE_SHARE_DELETE: lets the file be replaced while open

constexpr DWORD kCreateNew = 1;     // CREATE_NEW
constexpr DWORD kCreateAlways = 2;  // CREATE_ALWAYS
constexpr DWORD kOpenExisting = 3;  // OPEN_EXISTING
constexpr DWORD kOpenAlways = 4;    // OPEN_ALWAYS

constexpr DWORD kFileFlagWriteThrough = 0x80000000u;   // FILE_FLAG_WRITE_THROUGH
constexpr DWORD kFileFlagDeleteOnClose = 0x04000000u;  // FILE_FLAG_DELETE_ON_CLOSE

// CreateFileW(path, access, share, default security, disposition, flags and
// attributes, no template). InvalidFile() on failure. CREATE_NEW on an
// existing file: ERROR_FILE_EXISTS.
//
// CREATE_NEW together with FILE_FLAG_DELETE_ON_CLOSE makes a lock file: one
// owner at a time, the file deleted when the owner's handle is closed.
// POSIX: the file is created when missing (an existing one is taken over: a
// crashed owner leaves it behind) and held with flock(LOCK_EX | LOCK_NB);
// held by another open handle, of this process or another:
// ERROR_SHARING_VIOLATION. The owner unlinks it while still holding it, on
// close; an owner that ends without closing leaves an unheld file that the
// next CREATE_NEW takes over. FILE_FLAG_WRITE_THROUGH -> O_DSYNC.
FileHandle CreateFileW(const wchar_t* wszPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                       DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes);

// CloseHandle on a file; a delete-on-close file is deleted.
BOOL CloseFile(FileHandle hFile);

// Owns one file handle and closes it when it goes out of scope, so that every
// way out of a function closes the file.
class ScopedFile {
public:
    ScopedFile() = default;
    explicit ScopedFile(FileHandle h) : m_h(h) {}
    ~ScopedFile() { Close(); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;

    FileHandle Get() const { return m_h; }
    bool IsOpen() const { return m_h != InvalidFile(); }
    // Closes the handle held, if any, and takes h.
    void Reset(FileHandle h = InvalidFile()) {
        if (IsOpen()) CloseFile(m_h);
        m_h = h;
    }
    void Close() { Reset(); }

private:
    FileHandle m_h = InvalidFile();
};

// ReadFile / WriteFile at the file position, synchronous: a read returns
// fewer bytes than asked only at the end of the file; a write writes all.
BOOL ReadFile(FileHandle hFile, void* pvBuffer, DWORD cbToRead, DWORD* pcbRead);
BOOL WriteFile(FileHandle hFile, const void* pvBuffer, DWORD cbToWrite, DWORD* pcbWritten);

constexpr DWORD kFileBegin = 0;    // FILE_BEGIN
constexpr DWORD kFileCurrent = 1;  // FILE_CURRENT
constexpr DWORD kFileEnd = 2;      // FILE_END

// SetFilePointerEx; pNewPosition may be null.
BOOL SetFilePointerEx(FileHandle hFile, int64_t distance, uint64_t* pNewPosition, DWORD dwMoveMethod);
// SetEndOfFile: the file ends at the current position.
BOOL SetEndOfFile(FileHandle hFile);
// FlushFileBuffers (POSIX: fsync).
BOOL FlushFileBuffers(FileHandle hFile);
// GetFileSizeEx.
BOOL GetFileSizeEx(FileHandle hFile, uint64_t* pcbSize);
// GetFileTime / SetFileTime, last-write time only.
BOOL GetFileLastWriteTime(FileHandle hFile, FileTime* pftLastWrite);
BOOL SetFileLastWriteTime(FileHandle hFile, const FileTime* pftLastWrite);

constexpr DWORD kLockfileFailImmediately = 0x1;  // LOCKFILE_FAIL_IMMEDIATELY
constexpr DWORD kLockfileExclusiveLock = 0x2;    // LOCKFILE_EXCLUSIVE_LOCK

// LockFileEx / UnlockFileEx over cbLength bytes from qwOffset (the
// OVERLAPPED offset). Without kLockfileExclusiveLock the lock is shared: any
// number of shared holders, or one exclusive. Without
// kLockfileFailImmediately the call waits; with it a conflict fails with
// ERROR_LOCK_VIOLATION. Locks belong to the handle: two handles of one
// process conflict like two processes.
// POSIX: open-file-description locks (F_OFD_SETLK / F_OFD_SETLKW) with
// F_RDLCK or F_WRLCK; a shared lock needs read access, an exclusive one write
// access. They bind only callers that lock: plain reads and writes pass.
BOOL LockFileEx(FileHandle hFile, DWORD dwFlags, uint64_t qwOffset, uint64_t cbLength);
BOOL UnlockFileEx(FileHandle hFile, uint64_t qwOffset, uint64_t cbLength);

// ReplaceFileW(replaced, replacement, no backup): the replacement takes the
// replaced file's name in one step, so that whoever opens the name finds one
// whole file or the other, also after a crash. The replaced file's
// permissions pass to the replacement; a missing replaced file is no error.
// Both must lie in one folder, and the replacement must be closed.
// Win32: ReplaceFileW, or MoveFileExW(REPLACE_EXISTING | WRITE_THROUGH) when
// the replaced file is missing. While another handle holds the replaced file
// without kFileShareDelete the call fails (ERROR_SHARING_VIOLATION,
// ERROR_ACCESS_DENIED or ERROR_UNABLE_TO_REMOVE_REPLACED) and nothing changes.
// Under Wine MoveFileExW alone, as Wine's ReplaceFileW leaves the name missing
// for a moment; Wine refuses it while any handle has the replaced file open,
// whatever the sharing (ERROR_ACCESS_DENIED).
// POSIX: rename, then fsync of the folder; the mode bits (and the owner, where
// allowed) are copied first. A symbolic link is not replaced by a file:
// ERROR_NOT_SUPPORTED.
BOOL ReplaceFileW(const wchar_t* wszReplaced, const wchar_t* wszReplacement);

// Whether wszPath names the file hFile has open (POSIX: same device and
// inode; Win32: same volume serial number and file index). Another file, as
// after a ReplaceFileW since hFile was opened: FALSE with ERROR_FILE_INVALID;
// none: FALSE with the error of the look-up.
BOOL IsFileAtPath(FileHandle hFile, const wchar_t* wszPath);

}  // namespace plat
