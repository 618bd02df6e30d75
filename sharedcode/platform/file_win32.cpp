// Win32 side of platform/file.h: pass-through.
#include <windows.h>

#include <cstddef>

#include "sharedcode/platform/file.h"
#include "sharedcode/platform/process.h"

namespace plat {

static_assert(sizeof(WIN32_FILE_ATTRIBUTE_DATA) == sizeof(FileAttributeData) &&
                  offsetof(WIN32_FILE_ATTRIBUTE_DATA, ftLastWriteTime) == offsetof(FileAttributeData, ftLastWriteTime) &&
                  offsetof(WIN32_FILE_ATTRIBUTE_DATA, nFileSizeLow) == offsetof(FileAttributeData, nFileSizeLow),
              "FileAttributeData must have the layout of WIN32_FILE_ATTRIBUTE_DATA");
static_assert(sizeof(FILETIME) == sizeof(FileTime), "FILETIME");
static_assert(kCreateNew == CREATE_NEW && kCreateAlways == CREATE_ALWAYS && kOpenExisting == OPEN_EXISTING &&
                  kOpenAlways == OPEN_ALWAYS,
              "dispositions");
static_assert(kFileFlagWriteThrough == FILE_FLAG_WRITE_THROUGH && kFileFlagDeleteOnClose == FILE_FLAG_DELETE_ON_CLOSE &&
                  kFileAttributeTemporary == FILE_ATTRIBUTE_TEMPORARY && kFileAttributeOffline == FILE_ATTRIBUTE_OFFLINE &&
                  kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY && kFileAttributeDevice == FILE_ATTRIBUTE_DEVICE,
              "file flags and attributes");
static_assert(kLockfileExclusiveLock == LOCKFILE_EXCLUSIVE_LOCK &&
                  kLockfileFailImmediately == LOCKFILE_FAIL_IMMEDIATELY,
              "lock flags");
static_assert(kFileShareRead == FILE_SHARE_READ && kFileShareWrite == FILE_SHARE_WRITE &&
                  kFileShareDelete == FILE_SHARE_DELETE,
              "share modes");
static_assert(kFileBegin == FILE_BEGIN && kFileCurrent == FILE_CURRENT && kFileEnd == FILE_END, "move methods");

namespace {
::HANDLE Native(FileHandle h) { return reinterpret_cast<::HANDLE>(h); }
FileHandle Wrap(::HANDLE h) { return reinterpret_cast<FileHandle>(h); }

OVERLAPPED Overlapped(uint64_t qwOffset) {
    OVERLAPPED ov = {};
    ov.Offset = static_cast<DWORD>(qwOffset);
    ov.OffsetHigh = static_cast<DWORD>(qwOffset >> 32);
    return ov;
}
}  // namespace

BOOL GetFileAttributesExW(const wchar_t* wszPath, FileAttributeData* pData) {
    return ::GetFileAttributesExW(wszPath, GetFileExInfoStandard, pData);
}

BOOL FindFileW(const wchar_t* wszPath, FileAttributeData* pData) {
    WIN32_FIND_DATAW fd;
    ::HANDLE hFind = ::FindFirstFileW(wszPath, &fd);
    if (hFind == INVALID_HANDLE_VALUE) return FALSE;
    ::FindClose(hFind);
    pData->dwFileAttributes = fd.dwFileAttributes;
    pData->ftCreationTime = FileTime{fd.ftCreationTime.dwLowDateTime, fd.ftCreationTime.dwHighDateTime};
    pData->ftLastAccessTime = FileTime{fd.ftLastAccessTime.dwLowDateTime, fd.ftLastAccessTime.dwHighDateTime};
    pData->ftLastWriteTime = FileTime{fd.ftLastWriteTime.dwLowDateTime, fd.ftLastWriteTime.dwHighDateTime};
    pData->nFileSizeHigh = fd.nFileSizeHigh;
    pData->nFileSizeLow = fd.nFileSizeLow;
    return TRUE;
}

BOOL CreateDirectoryW(const wchar_t* wszPath) { return ::CreateDirectoryW(wszPath, nullptr); }

BOOL DeleteFileW(const wchar_t* wszPath) { return ::DeleteFileW(wszPath); }

FileHandle CreateFileW(const wchar_t* wszPath, DWORD dwDesiredAccess, DWORD dwShareMode,
                       DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
    return Wrap(::CreateFileW(wszPath, dwDesiredAccess, dwShareMode, nullptr, dwCreationDisposition,
                              dwFlagsAndAttributes, nullptr));
}

BOOL CloseFile(FileHandle hFile) { return ::CloseHandle(Native(hFile)); }

BOOL ReadFile(FileHandle hFile, void* pvBuffer, DWORD cbToRead, DWORD* pcbRead) {
    DWORD cb = 0;
    BOOL f = ::ReadFile(Native(hFile), pvBuffer, cbToRead, &cb, nullptr);
    if (pcbRead) *pcbRead = cb;
    return f;
}

BOOL WriteFile(FileHandle hFile, const void* pvBuffer, DWORD cbToWrite, DWORD* pcbWritten) {
    DWORD cb = 0;
    BOOL f = ::WriteFile(Native(hFile), pvBuffer, cbToWrite, &cb, nullptr);
    if (pcbWritten) *pcbWritten = cb;
    return f;
}

BOOL SetFilePointerEx(FileHandle hFile, int64_t distance, uint64_t* pNewPosition, DWORD dwMoveMethod) {
    LARGE_INTEGER li, liNew;
    li.QuadPart = distance;
    if (!::SetFilePointerEx(Native(hFile), li, &liNew, dwMoveMethod)) return FALSE;
    if (pNewPosition) *pNewPosition = static_cast<uint64_t>(liNew.QuadPart);
    return TRUE;
}

BOOL SetEndOfFile(FileHandle hFile) { return ::SetEndOfFile(Native(hFile)); }

BOOL FlushFileBuffers(FileHandle hFile) { return ::FlushFileBuffers(Native(hFile)); }

BOOL GetFileSizeEx(FileHandle hFile, uint64_t* pcbSize) {
    LARGE_INTEGER li;
    if (!::GetFileSizeEx(Native(hFile), &li)) return FALSE;
    *pcbSize = static_cast<uint64_t>(li.QuadPart);
    return TRUE;
}

BOOL GetFileLastWriteTime(FileHandle hFile, FileTime* pftLastWrite) {
    return ::GetFileTime(Native(hFile), nullptr, nullptr, reinterpret_cast<FILETIME*>(pftLastWrite));
}

BOOL SetFileLastWriteTime(FileHandle hFile, const FileTime* pftLastWrite) {
    return ::SetFileTime(Native(hFile), nullptr, nullptr, reinterpret_cast<const FILETIME*>(pftLastWrite));
}

BOOL LockFileEx(FileHandle hFile, DWORD dwFlags, uint64_t qwOffset, uint64_t cbLength) {
    OVERLAPPED ov = Overlapped(qwOffset);
    return ::LockFileEx(Native(hFile), dwFlags, 0, static_cast<DWORD>(cbLength), static_cast<DWORD>(cbLength >> 32),
                        &ov);
}

BOOL UnlockFileEx(FileHandle hFile, uint64_t qwOffset, uint64_t cbLength) {
    OVERLAPPED ov = Overlapped(qwOffset);
    return ::UnlockFileEx(Native(hFile), 0, static_cast<DWORD>(cbLength), static_cast<DWORD>(cbLength >> 32), &ov);
}

BOOL ReplaceFileW(const wchar_t* wszReplaced, const wchar_t* wszReplacement) {
    constexpr DWORD kMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    // Wine's MoveFileExW is one rename(2), which never leaves the name
    // missing; its ReplaceFileW moves the replaced file away before it moves
    // the replacement in, and a process killed between leaves no file. Wine
    // refuses the rename while any handle has the replaced file open, even
    // shared for deletion: the caller then sees the refusal.
    if (RunsUnderWine()) return ::MoveFileExW(wszReplacement, wszReplaced, kMove);
    if (::ReplaceFileW(wszReplaced, wszReplacement, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        return TRUE;
    const DWORD dwError = ::GetLastError();
    // No file to replace yet; or the replaced file is gone and the
    // replacement still has its own name: a move finishes the job.
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
        return ::MoveFileExW(wszReplacement, wszReplaced, kMove);
    ::SetLastError(dwError);
    return FALSE;
}

BOOL IsFileAtPath(FileHandle hFile, const wchar_t* wszPath) {
    BY_HANDLE_FILE_INFORMATION open, named;
    if (!::GetFileInformationByHandle(Native(hFile), &open)) return FALSE;
    // Attributes only: opens whatever the sharing of other handles.
    ::HANDLE h = ::CreateFileW(wszPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    const BOOL fInfo = ::GetFileInformationByHandle(h, &named);
    const DWORD dwError = ::GetLastError();
    ::CloseHandle(h);
    if (!fInfo) {
        ::SetLastError(dwError);
        return FALSE;
    }
    if (open.dwVolumeSerialNumber == named.dwVolumeSerialNumber && open.nFileIndexHigh == named.nFileIndexHigh &&
        open.nFileIndexLow == named.nFileIndexLow)
        return TRUE;
    ::SetLastError(ERROR_FILE_INVALID);
    return FALSE;
}

}  // namespace plat
