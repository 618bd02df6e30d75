#include "VGClient/vgmessagetable.h"

#include <algorithm>
#include <memory>
#include <new>

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

namespace {

// The index's rows by identifier: open addressing in a power-of-two table at
// least twice the row count, each slot a row number + 1 (0: empty). Built
// once; a look-up is a multiply and a probe or two where bisection of the
// 1,254 rows took eleven unpredictable steps.
class OwnMessageHash {
public:
    OwnMessageHash() {
        m_rows = VgMessageIndex(&m_cRows);
        size_t cSlots = 1;
        while (cSlots < 2 * m_cRows) cSlots <<= 1;
        m_slots.reset(new (std::nothrow) uint32_t[cSlots]());
        if (!m_slots) return;  // bisection then serves
        while ((size_t{1} << m_shift) < cSlots) ++m_shift;
        m_mask = cSlots - 1;
        for (size_t i = 0; i < m_cRows; ++i) {
            size_t at = Slot(m_rows[i].id);
            while (m_slots[at]) at = (at + 1) & m_mask;
            m_slots[at] = static_cast<uint32_t>(i + 1);
        }
    }

    const VgMessageIndexRow* Find(uint32_t id) const {
        if (!m_slots) {
            const VgMessageIndexRow* end = m_rows + m_cRows;
            const VgMessageIndexRow* it =
                std::lower_bound(m_rows, end, id, [](const VgMessageIndexRow& r, uint32_t v) { return r.id < v; });
            return it != end && it->id == id ? it : nullptr;
        }
        for (size_t at = Slot(id); m_slots[at]; at = (at + 1) & m_mask)
            if (m_rows[m_slots[at] - 1].id == id) return &m_rows[m_slots[at] - 1];
        return nullptr;
    }

private:
    // Fibonacci hashing: the product's top bits.
    size_t Slot(uint32_t id) const {
        return m_shift ? static_cast<size_t>((id * 0x9E3779B9u) >> (32 - m_shift)) & m_mask : 0;
    }

    const VgMessageIndexRow* m_rows = nullptr;
    size_t m_cRows = 0;
    std::unique_ptr<uint32_t[]> m_slots;
    size_t m_mask = 0;
    unsigned m_shift = 0;
};

}  // namespace

bool VgFindOwnMessage(uint32_t id, const char** ppText, size_t* pcch) {
    static const OwnMessageHash s_hash;
    const VgMessageIndexRow* row = s_hash.Find(id);
    if (!row) return false;
    *ppText = reinterpret_cast<const char*>(VgMessageTableBytes(nullptr) + row->offset);
    *pcch = row->cch;
    return true;
}
