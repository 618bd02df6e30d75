// The in-memory index that screening reads: per list, disjoint address
// segments sorted by their first address, each carrying the latest expiry of
// the entries that cover it. A snapshot is immutable once published; a change
// builds a new one and swaps it in whole, so readers never wait for writers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "service/netaddr.h"

namespace vgsvc {

// The four address lists, numbered as the database stores them.
enum ListKind : int { kWhiteList = 1, kBlackList = 2, kTrustedList = 3, kGatewayList = 4 };
constexpr int kListKinds = 4;

constexpr int64_t kNeverExpires = INT64_MAX;

// What the index needs of one stored entry.
struct IndexEntry {
    VGITEMID id;
    Addr128 first;
    Addr128 last;
    int64_t expires;  // seconds since 1970; kNeverExpires for none
};

class RangeIndex {
public:
    // Builds the segments of the entries (in any order, overlapping or not).
    explicit RangeIndex(std::vector<IndexEntry> entries);
    RangeIndex() = default;

    // The position in Entries() of the entry that answers for the address at
    // time `now`, or -1 when no entry covering it is still in force.
    int Find(const Addr128& a, int64_t now) const;
    const std::vector<IndexEntry>& Entries() const { return m_entries; }
    size_t SegmentCount() const { return m_segments.size(); }

private:
    struct Segment {
        Addr128 first;
        Addr128 last;
        int64_t expires;
        uint32_t entry;
    };
    std::vector<IndexEntry> m_entries;
    std::vector<Segment> m_segments;
};

// Item ids as keys of unordered maps.
struct ItemIdHash {
    size_t operator()(const VGITEMID& id) const;
};
struct ItemIdEq {
    bool operator()(const VGITEMID& a, const VGITEMID& b) const;
};
template <typename T>
using ItemIdMap = std::unordered_map<VGITEMID, T, ItemIdHash, ItemIdEq>;

// Account names fold ASCII letters to lower case.
std::string FoldAccount(const char* szAccount);

// One list's index and its hit counters, shared by the snapshots until the
// list changes.
struct ListSnapshot {
    explicit ListSnapshot(std::vector<IndexEntry> entries);
    RangeIndex index;
    std::unique_ptr<std::atomic<uint32_t>[]> hits;  // per entry, since the service started
};

struct IndexSnapshot {
    std::shared_ptr<const ListSnapshot> lists[kListKinds + 1];  // by ListKind; [0] unused
    // Frozen accounts: folded name -> time frozen.
    std::shared_ptr<const std::unordered_map<std::string, int64_t>> frozen;

    // Whether the address is listed at `now`; counts a hit when it is.
    bool Lookup(ListKind list, const Addr128& a, int64_t now) const;
    // Hits of every entry of a list that has any.
    ItemIdMap<uint32_t> HitsById(ListKind list) const;
};

}  // namespace vgsvc
