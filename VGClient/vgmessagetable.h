// The library's message catalogue as the bytes of a Windows message table
// (an RT_MESSAGETABLE resource), and the lookup that reads them.
//
// Layout, all numbers little-endian:
//   u32 NumberOfBlocks
//   NumberOfBlocks x { u32 LowId, u32 HighId, u32 OffsetToEntries }
//   for each block, HighId - LowId + 1 entries, in identifier order:
//     u16 Length   the whole entry's size in bytes, header included
//     u16 Flags    0: ANSI text, 1: UTF-16 text
//     text         NUL-terminated, padded with NULs to Length
// OffsetToEntries counts from the first byte of the table. A block covers a
// run of consecutive identifiers; blocks are in ascending identifier order.
//
// The rows come from VGClient/vgmessages.inc; the bytes are generated from
// them at build time. On Windows the same bytes are the DLL's message-table
// resource (name 1, language 0x0409).
#pragma once

#include <cstddef>
#include <cstdint>

// The screening system's facility; its identifiers are
// severity << 30 | facility << 16 | code, at severities 1 to 3.
constexpr uint32_t VG_MSG_FACILITY = 0x150;

constexpr uint32_t VgMessageId(uint32_t severity, uint32_t code) {
    return (severity & 3u) << 30 | VG_MSG_FACILITY << 16 | (code & 0xFFFFu);
}

// The generated table; *pcb (when pcb is not null) receives its size.
const unsigned char* VgMessageTableBytes(size_t* pcb);

// The generated table's index: one row per identifier, ascending, giving
// where its text stands in the table and its length.
struct VgMessageIndexRow {
    uint32_t id;
    uint32_t offset;
    uint32_t cch;
};
const VgMessageIndexRow* VgMessageIndex(size_t* pcRows);

// The library's own text of `id`, through a hash of the index.
bool VgFindOwnMessage(uint32_t id, const char** ppText, size_t* pcch);

// Finds the ANSI text of identifier `id` in the message table `table` of `cb`
// bytes. On success *ppText points at the text inside the table and *pcch is
// its length without the terminating NUL. Fails when the identifier has no
// entry, when its entry is not ANSI, and when the table is malformed: nothing
// outside [table, table + cb) is ever read.
bool VgFindMessage(const unsigned char* table, size_t cb, uint32_t id, const char** ppText, size_t* pcch);
