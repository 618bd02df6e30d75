#include "service/listindex.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <queue>

namespace vgsvc {
namespace {

bool IsMaxAddress(const Addr128& a) { return a.hi == ~0ull && a.lo == ~0ull; }

Addr128 Next(const Addr128& a) {
    Addr128 n = a;
    if (++n.lo == 0) ++n.hi;
    return n;
}

Addr128 Prev(const Addr128& a) {
    Addr128 p = a;
    if (p.lo-- == 0) --p.hi;
    return p;
}

}  // namespace

RangeIndex::RangeIndex(std::vector<IndexEntry> entries) : m_entries(std::move(entries)) {
    std::vector<uint32_t> order(m_entries.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [this](uint32_t a, uint32_t b) { return m_entries[a].first < m_entries[b].first; });

    // Sweep from low to high addresses. The active entry with the latest
    // expiry answers until it ends or a new entry starts; entries that end
    // under it change nothing, so they are dropped lazily when they surface.
    auto later = [this](uint32_t a, uint32_t b) {
        const IndexEntry& x = m_entries[a];
        const IndexEntry& y = m_entries[b];
        return x.expires != y.expires ? x.expires < y.expires : a > b;
    };
    std::priority_queue<uint32_t, std::vector<uint32_t>, decltype(later)> active(later);
    size_t next = 0;
    Addr128 cur;
    bool fDone = order.empty();
    if (!fDone) cur = m_entries[order[0]].first;
    while (!fDone) {
        while (next < order.size() && m_entries[order[next]].first <= cur) active.push(order[next++]);
        while (!active.empty() && m_entries[active.top()].last < cur) active.pop();
        if (active.empty()) {
            if (next == order.size()) break;
            cur = m_entries[order[next]].first;
            continue;
        }
        const uint32_t top = active.top();
        Addr128 end = m_entries[top].last;
        if (next < order.size() && m_entries[order[next]].first <= end) end = Prev(m_entries[order[next]].first);
        Segment* pLast = m_segments.empty() ? nullptr : &m_segments.back();
        if (pLast && pLast->entry == top && Next(pLast->last) == cur) {
            pLast->last = end;
        } else {
            m_segments.push_back({cur, end, m_entries[top].expires, top});
        }
        if (IsMaxAddress(end)) break;
        cur = Next(end);
    }
}

int RangeIndex::Find(const Addr128& a, int64_t now) const {
    auto it = std::upper_bound(m_segments.begin(), m_segments.end(), a,
                               [](const Addr128& x, const Segment& s) { return x < s.first; });
    if (it == m_segments.begin()) return -1;
    --it;
    if (it->last < a || it->expires <= now) return -1;
    return static_cast<int>(it->entry);
}

size_t ItemIdHash::operator()(const VGITEMID& id) const {
    uint64_t a, b;
    std::memcpy(&a, &id, 8);
    std::memcpy(&b, reinterpret_cast<const char*>(&id) + 8, 8);
    return std::hash<uint64_t>()(a * 0x9E3779B97F4A7C15ull ^ b);
}

bool ItemIdEq::operator()(const VGITEMID& a, const VGITEMID& b) const {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

std::string FoldAccount(const char* szAccount) {
    std::string s = szAccount ? szAccount : "";
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

ListSnapshot::ListSnapshot(std::vector<IndexEntry> entries)
    : index(std::move(entries)), hits(new std::atomic<uint32_t>[index.Entries().size() + 1]()) {}

bool IndexSnapshot::Lookup(ListKind list, const Addr128& a, int64_t now) const {
    const ListSnapshot& l = *lists[list];
    const int i = l.index.Find(a, now);
    if (i < 0) return false;
    l.hits[i].fetch_add(1, std::memory_order_relaxed);
    return true;
}

ItemIdMap<uint32_t> IndexSnapshot::HitsById(ListKind list) const {
    ItemIdMap<uint32_t> m;
    const ListSnapshot& l = *lists[list];
    const std::vector<IndexEntry>& entries = l.index.Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        const uint32_t c = l.hits[i].load(std::memory_order_relaxed);
        if (c) m[entries[i].id] = c;
    }
    return m;
}

}  // namespace vgsvc
