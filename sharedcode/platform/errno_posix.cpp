// POSIX side only: the common errno map of errno_posix.h.
#include "sharedcode/platform/errno_posix.h"

#include <errno.h>

namespace plat {

DWORD Win32FromErrno(int e, std::initializer_list<ErrnoRule> rules, DWORD dwOther) {
    for (const ErrnoRule& r : rules)
        if (r.e == e) return r.dwError;
    switch (e) {
        case 0: return ERROR_SUCCESS;
        case ENOENT:
        case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM:
        case ENOBUFS: return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EROFS: return ERROR_WRITE_PROTECT;
        case EEXIST: return ERROR_FILE_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EPIPE:
        case ECONNRESET: return ERROR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
        case ELOOP: return ERROR_INVALID_NAME;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        default: return dwOther;
    }
}

}  // namespace plat
