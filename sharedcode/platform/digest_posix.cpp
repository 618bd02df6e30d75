// POSIX side of platform/digest.h: GNU Nettle.
#include "sharedcode/platform/digest.h"

#include <nettle/md5.h>

#include "sharedcode/platform/process.h"

namespace plat {

BOOL Md5Digest(const void* pv, size_t cb, BYTE abDigest[kcbMd5Digest]) {
    if ((!pv && cb) || !abDigest) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct md5_ctx ctx;
    md5_init(&ctx);
    if (cb) md5_update(&ctx, cb, static_cast<const uint8_t*>(pv));
    md5_digest(&ctx, MD5_DIGEST_SIZE, abDigest);
    return TRUE;
}

}  // namespace plat
