// POSIX side of platform/file.h.
#include "sharedcode/platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cwchar>
#include <new>
#include <string>

#include "sharedcode/platform/errno_posix.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"
#include "sharedcode/platform/text.h"

namespace plat {

struct FileObject {
    int fd;
    bool fDeleteOnClose;
    std::string path;  // the lock file to unlink on close
};

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// Windows path -> POSIX path (see file.h); empty on a failed conversion.
bool ToPosixPath(const wchar_t* wszPath, std::string* pOut) {
    if (!wszPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int cb = WideToAnsi(wszPath, -1, nullptr, 0);
    if (cb <= 0) return false;
    std::string s(static_cast<size_t>(cb), '\0');
    if (WideToAnsi(wszPath, -1, &s[0], cb) != cb) return false;
    s.resize(static_cast<size_t>(cb) - 1);

    if (s.compare(0, 8, "\\\\?\\UNC\\") == 0) {
        s = "\\\\" + s.substr(8);
    } else if (s.compare(0, 4, "\\\\?\\") == 0 || s.compare(0, 4, "\\\\.\\") == 0) {
        s.erase(0, 4);
    }
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (s.size() >= 2 && isLetter(s[0]) && s[1] == ':') {
        s.erase(0, 2);
        if (s.empty()) s = ".";
    }
    for (char& c : s) {
        if (c == '\\') c = '/';
    }
    if (s.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *pOut = std::move(s);
    return true;
}

// A missing entry is "file not found" when its folder exists, "path not
// found" when that is missing too.
DWORD MissingEntryError(const std::string& path) {
    size_t iSlash = path.find_last_of('/');
    if (iSlash == std::string::npos) return ERROR_FILE_NOT_FOUND;
    std::string parent = iSlash == 0 ? std::string("/") : path.substr(0, iSlash);
    struct stat st;
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

// A file call's errno: a busy byte range is a lock violation, anything the
// common map does not name an I/O error, and a missing entry of a path
// tells a missing file from a missing folder.
DWORD ErrorFromErrno(int e, const std::string& path = std::string()) {
    if (e == ENOENT && !path.empty()) return MissingEntryError(path);
    return Win32FromErrno(e, {{EAGAIN, ERROR_LOCK_VIOLATION}}, ERROR_IO_DEVICE);
}

BOOL Fail(DWORD dwError) {
    SetLastError(dwError);
    return FALSE;
}

FileTime FromTimespec(const struct timespec& ts) {
    // Times before 1970 are clamped there; no settings file is that old.
    uint64_t u = kUnixEpochAsFileTime;
    if (ts.tv_sec >= 0) u += static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
    return MakeFileTime(u);
}

void FillAttributeData(const struct stat& st, FileAttributeData* pData) {
    DWORD dwAttributes;
    if (S_ISDIR(st.st_mode)) {
        dwAttributes = kFileAttributeDirectory;
    } else if (S_ISREG(st.st_mode)) {
        dwAttributes = kFileAttributeNormal;
        if (!(st.st_mode & S_IWUSR)) dwAttributes = kFileAttributeReadOnly;
    } else {
        dwAttributes = kFileAttributeDevice;
    }
    pData->dwFileAttributes = dwAttributes;
    pData->ftCreationTime = FromTimespec(st.st_ctim);
    pData->ftLastAccessTime = FromTimespec(st.st_atim);
    pData->ftLastWriteTime = FromTimespec(st.st_mtim);
    const uint64_t cb = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    pData->nFileSizeHigh = static_cast<DWORD>(cb >> 32);
    pData->nFileSizeLow = static_cast<DWORD>(cb);
}

BOOL StatPath(const wchar_t* wszPath, FileAttributeData* pData) {
    std::string path;
    if (!pData) return Fail(ERROR_INVALID_PARAMETER);
    if (!ToPosixPath(wszPath, &path)) return FALSE;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Fail(ErrorFromErrno(errno, path));
    FillAttributeData(st, pData);
    return TRUE;
}

bool IsValid(FileHandle h) { return h && h != InvalidFile(); }

// Takes the lock file at path: created when missing, held with an exclusive
// flock. The inode is checked after locking, because the previous owner may
// have unlinked the file between our open and our flock.
FileHandle OpenLockFile(const std::string& path, int flags) {
    for (int iAttempt = 0; iAttempt < 100; ++iAttempt) {
        int fd = RobustOpen(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            SetLastError(ErrorFromErrno(errno, path));
            return InvalidFile();
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            SetLastError(e == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(e));
            return InvalidFile();
        }
        struct stat stHeld, stNamed;
        if (::fstat(fd, &stHeld) == 0 && ::stat(path.c_str(), &stNamed) == 0 && stHeld.st_dev == stNamed.st_dev &&
            stHeld.st_ino == stNamed.st_ino) {
            FileObject* p = new (std::nothrow) FileObject{fd, true, path};
            if (!p) {
                ::unlink(path.c_str());
                ::close(fd);
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return InvalidFile();
            }
            return p;
        }
        ::close(fd);  // unlinked by its owner meanwhile: take the new one
    }
    SetLastError(ERROR_SHARING_VIOLATION);
    return InvalidFile();
}

BOOL RangeLock(FileHandle hFile, short type, bool fWait, uint64_t qwOffset, uint64_t cbLength) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (qwOffset > static_cast<uint64_t>(INT64_MAX) || cbLength > static_cast<uint64_t>(INT64_MAX) - qwOffset)
        return Fail(ERROR_INVALID_PARAMETER);
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(qwOffset);
    fl.l_len = static_cast<off_t>(cbLength);
    fl.l_pid = 0;
    if (RobustFcntlLock(hFile->fd, fWait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) return Fail(errno == EAGAIN || errno == EACCES ? ERROR_LOCK_VIOLATION : ErrorFromErrno(errno));
    return TRUE;
}

}  // namespace

BOOL GetFileAttributesExW(const wchar_t* wszPath, FileAttributeData* pData) { return StatPath(wszPath, pData); }

BOOL FindFileW(const wchar_t* wszPath, FileAttributeData* pData) { return StatPath(wszPath, pData); }

BOOL CreateDirectoryW(const wchar_t* wszPath) {
    std::string path;
    if (!ToPosixPath(wszPath, &path)) return FALSE;
    if (::mkdir(path.c_str(), 0777) != 0) {
        const int e = errno;
        return Fail(e == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(e, path));
    }
    return TRUE;
}

BOOL DeleteFileW(const wchar_t* wszPath) {
    std::string path;
    if (!ToPosixPath(wszPath, &path)) return FALSE;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (::unlink(path.c_str()) != 0) return Fail(ErrorFromErrno(errno, path));
    return TRUE;
}

FileHandle CreateFileW(const wchar_t* wszPath, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                       DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
    std::string path;
    if (!ToPosixPath(wszPath, &path)) return InvalidFile();

    int flags = O_CLOEXEC;
    const bool fRead = (dwDesiredAccess & kFileGenericRead) != 0;
    const bool fWrite = (dwDesiredAccess & kFileGenericWrite) != 0;
    flags |= fRead && fWrite ? O_RDWR : fWrite ? O_WRONLY : O_RDONLY;
    if (dwFlagsAndAttributes & kFileFlagWriteThrough) flags |= O_DSYNC;

    if (dwCreationDisposition == kCreateNew && (dwFlagsAndAttributes & kFileFlagDeleteOnClose))
        return OpenLockFile(path, flags);

    switch (dwCreationDisposition) {
        case kCreateNew: flags |= O_CREAT | O_EXCL; break;
        case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
        case kOpenExisting: break;
        case kOpenAlways: flags |= O_CREAT; break;
        default: SetLastError(ERROR_INVALID_PARAMETER); return InvalidFile();
    }
    int fd = RobustOpen(path.c_str(), flags, 0666);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno, path));
        return InvalidFile();
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return InvalidFile();
    }
    FileObject* p = new (std::nothrow) FileObject{fd, (dwFlagsAndAttributes & kFileFlagDeleteOnClose) != 0,
                                                  (dwFlagsAndAttributes & kFileFlagDeleteOnClose) ? path : ""};
    if (!p) {
        ::close(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return InvalidFile();
    }
    return p;
}

BOOL CloseFile(FileHandle hFile) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    // Unlinked while still held, so no newcomer locks the name in between.
    if (hFile->fDeleteOnClose) ::unlink(hFile->path.c_str());
    const int rc = ::close(hFile->fd);
    const int e = errno;
    delete hFile;
    return rc == 0 || e == EINTR ? TRUE : Fail(ErrorFromErrno(e));
}

BOOL ReadFile(FileHandle hFile, void* pvBuffer, DWORD cbToRead, DWORD* pcbRead) {
    if (pcbRead) *pcbRead = 0;
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (cbToRead && !pvBuffer) return Fail(ERROR_INVALID_PARAMETER);
    size_t cbDone = 0;
    const int rc = RobustReadFull(hFile->fd, pvBuffer, cbToRead, &cbDone);
    if (pcbRead) *pcbRead = static_cast<DWORD>(cbDone);
    return rc == 0 ? TRUE : Fail(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
}

BOOL WriteFile(FileHandle hFile, const void* pvBuffer, DWORD cbToWrite, DWORD* pcbWritten) {
    if (pcbWritten) *pcbWritten = 0;
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (cbToWrite && !pvBuffer) return Fail(ERROR_INVALID_PARAMETER);
    size_t cbDone = 0;
    const int rc = RobustWriteFull(hFile->fd, pvBuffer, cbToWrite, &cbDone);
    if (pcbWritten) *pcbWritten = static_cast<DWORD>(cbDone);
    return rc == 0 ? TRUE : Fail(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
}

BOOL SetFilePointerEx(FileHandle hFile, int64_t distance, uint64_t* pNewPosition, DWORD dwMoveMethod) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    const int whence = dwMoveMethod == kFileBegin ? SEEK_SET : dwMoveMethod == kFileCurrent ? SEEK_CUR
                       : dwMoveMethod == kFileEnd ? SEEK_END : -1;
    if (whence < 0) return Fail(ERROR_INVALID_PARAMETER);
    const off_t pos = ::lseek(hFile->fd, static_cast<off_t>(distance), whence);
    if (pos < 0) return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrorFromErrno(errno));
    if (pNewPosition) *pNewPosition = static_cast<uint64_t>(pos);
    return TRUE;
}

BOOL SetEndOfFile(FileHandle hFile) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    const off_t pos = ::lseek(hFile->fd, 0, SEEK_CUR);
    if (pos < 0) return Fail(ErrorFromErrno(errno));
    if (::ftruncate(hFile->fd, pos) != 0) return Fail(errno == EBADF || errno == EINVAL ? ERROR_ACCESS_DENIED
                                                                                         : ErrorFromErrno(errno));
    return TRUE;
}

BOOL FlushFileBuffers(FileHandle hFile) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (::fsync(hFile->fd) != 0) return Fail(ErrorFromErrno(errno));
    return TRUE;
}

BOOL GetFileSizeEx(FileHandle hFile, uint64_t* pcbSize) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (!pcbSize) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (::fstat(hFile->fd, &st) != 0) return Fail(ErrorFromErrno(errno));
    *pcbSize = static_cast<uint64_t>(st.st_size);
    return TRUE;
}

BOOL GetFileLastWriteTime(FileHandle hFile, FileTime* pftLastWrite) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (!pftLastWrite) return Fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (::fstat(hFile->fd, &st) != 0) return Fail(ErrorFromErrno(errno));
    *pftLastWrite = FromTimespec(st.st_mtim);
    return TRUE;
}

BOOL SetFileLastWriteTime(FileHandle hFile, const FileTime* pftLastWrite) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    if (!pftLastWrite) return Fail(ERROR_INVALID_PARAMETER);
    const uint64_t u = FileTimeValue(*pftLastWrite);
    if (u < kUnixEpochAsFileTime) return Fail(ERROR_INVALID_PARAMETER);
    const uint64_t cUnits = u - kUnixEpochAsFileTime;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(cUnits / 10000000u);
    times[1].tv_nsec = static_cast<long>(cUnits % 10000000u) * 100;
    if (::futimens(hFile->fd, times) != 0) return Fail(ErrorFromErrno(errno));
    return TRUE;
}

BOOL LockFileEx(FileHandle hFile, DWORD dwFlags, uint64_t qwOffset, uint64_t cbLength) {
    const short type = (dwFlags & kLockfileExclusiveLock) ? F_WRLCK : F_RDLCK;
    return RangeLock(hFile, type, (dwFlags & kLockfileFailImmediately) == 0, qwOffset, cbLength);
}

BOOL UnlockFileEx(FileHandle hFile, uint64_t qwOffset, uint64_t cbLength) {
    return RangeLock(hFile, F_UNLCK, false, qwOffset, cbLength);
}

BOOL ReplaceFileW(const wchar_t* wszReplaced, const wchar_t* wszReplacement) {
    std::string replaced, replacement;
    if (!ToPosixPath(wszReplaced, &replaced) || !ToPosixPath(wszReplacement, &replacement)) return FALSE;
    struct stat st;
    if (::lstat(replaced.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return Fail(ERROR_NOT_SUPPORTED);
        // What a Windows replace keeps of the old file; the owner passes only
        // where this process may give it away.
        (void)(::chmod(replacement.c_str(), st.st_mode & 07777) == 0);
        (void)(::chown(replacement.c_str(), st.st_uid, st.st_gid) == 0);
    }
    if (::rename(replacement.c_str(), replaced.c_str()) != 0) return Fail(ErrorFromErrno(errno, replaced));
    // The new name is durable only once the folder is; a folder that refuses
    // fsync leaves it to the file system, and the replace has happened.
    const size_t iSlash = replaced.find_last_of('/');
    const std::string folder = iSlash == std::string::npos ? "." : iSlash == 0 ? "/" : replaced.substr(0, iSlash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return TRUE;
}

BOOL IsFileAtPath(FileHandle hFile, const wchar_t* wszPath) {
    if (!IsValid(hFile)) return Fail(ERROR_INVALID_HANDLE);
    std::string path;
    if (!ToPosixPath(wszPath, &path)) return FALSE;
    struct stat stOpen, stNamed;
    if (::fstat(hFile->fd, &stOpen) != 0) return Fail(ErrorFromErrno(errno));
    if (::stat(path.c_str(), &stNamed) != 0) return Fail(ErrorFromErrno(errno, path));
    return stOpen.st_dev == stNamed.st_dev && stOpen.st_ino == stNamed.st_ino ? TRUE : Fail(ERROR_FILE_INVALID);
}

}  // namespace plat
