// POSIX platform layer: errno values as Win32 system error codes.
//
// One common map for every call of the layer; a call whose Win32 counterpart
// reports some errno differently passes its own rules, which come first.
//
// Common map: ENOENT, ECONNREFUSED -> ERROR_FILE_NOT_FOUND; ENOTDIR ->
// ERROR_PATH_NOT_FOUND; EACCES, EPERM, EISDIR -> ERROR_ACCESS_DENIED;
// EBADF -> ERROR_INVALID_HANDLE; ENOMEM, ENOBUFS -> ERROR_NOT_ENOUGH_MEMORY;
// EMFILE, ENFILE -> ERROR_TOO_MANY_OPEN_FILES; EXDEV -> ERROR_NOT_SAME_DEVICE;
// EROFS -> ERROR_WRITE_PROTECT; EEXIST -> ERROR_FILE_EXISTS; EINVAL ->
// ERROR_INVALID_PARAMETER; EPIPE, ECONNRESET -> ERROR_BROKEN_PIPE; ENOSPC,
// EDQUOT -> ERROR_DISK_FULL; ETIMEDOUT -> ERROR_SEM_TIMEOUT; ELOOP ->
// ERROR_INVALID_NAME; ENOTEMPTY -> ERROR_DIR_NOT_EMPTY; ENAMETOOLONG ->
// ERROR_FILENAME_EXCED_RANGE; 0 -> ERROR_SUCCESS.
#pragma once

#include <initializer_list>

#include "sharedcode/wintypes.h"

namespace plat {

struct ErrnoRule {
    int e;
    DWORD dwError;
};

// The Win32 code of errno e: the first of rules that names e, else the common
// map; dwOther for an errno that neither names.
DWORD Win32FromErrno(int e, std::initializer_list<ErrnoRule> rules = {}, DWORD dwOther = ERROR_GEN_FAILURE);

}  // namespace plat
