#include "VGClient/vgmessagetable.h"

#include <algorithm>

namespace {

const size_t kBlockSize = 12;  // LowId, HighId, OffsetToEntries
const size_t kEntryHeaderSize = 4;  // Length, Flags
const uint16_t kFlagsAnsi = 0;

uint16_t ReadU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t ReadU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// True when [offset, offset + length) lies inside a table of cb bytes.
bool InRange(size_t offset, size_t length, size_t cb) {
    return offset <= cb && length <= cb - offset;
}

}  // namespace

bool VgFindMessage(const unsigned char* table, size_t cb, uint32_t id, const char** ppText, size_t* pcch) {
    if (table == nullptr || ppText == nullptr || pcch == nullptr || cb < 4)
        return false;

    const uint32_t blocks = ReadU32(table);
    if (blocks > (cb - 4) / kBlockSize)
        return false;

    // Blocks are searched in full rather than by bisection, so that a table
    // whose blocks are out of order still answers for the runs it does hold.
    for (uint32_t b = 0; b < blocks; ++b) {
        const unsigned char* block = table + 4 + b * kBlockSize;
        const uint32_t low = ReadU32(block);
        const uint32_t high = ReadU32(block + 4);
        if (id < low || id > high)
            continue;

        // Entries have variable length: step over the ones before `id`.
        size_t offset = ReadU32(block + 8);
        for (uint32_t skip = id - low;; --skip) {
            if (!InRange(offset, kEntryHeaderSize, cb))
                return false;
            const uint16_t length = ReadU16(table + offset);
            if (length < kEntryHeaderSize || !InRange(offset, length, cb))
                return false;
            if (skip == 0) {
                if (ReadU16(table + offset + 2) != kFlagsAnsi)
                    return false;
                const char* text = reinterpret_cast<const char*>(table + offset + kEntryHeaderSize);
                const size_t room = length - kEntryHeaderSize;
                size_t cch = 0;
                while (cch < room && text[cch] != '\0')
                    ++cch;
                if (cch == room)  // no terminating NUL inside the entry
                    return false;
                *ppText = text;
                *pcch = cch;
                return true;
            }
            offset += length;
        }
    }
    return false;
}

bool VgFindOwnMessage(uint32_t id, const char** ppText, size_t* pcch) {
    size_t cRows = 0;
    const VgMessageIndexRow* rows = VgMessageIndex(&cRows);
    const VgMessageIndexRow* end = rows + cRows;
    const VgMessageIndexRow* it =
        std::lower_bound(rows, end, id, [](const VgMessageIndexRow& r, uint32_t v) { return r.id < v; });
    if (it == end || it->id != id)
        return false;
    *ppText = reinterpret_cast<const char*>(VgMessageTableBytes(nullptr) + it->offset);
    *pcch = it->cch;
    return true;
}
