// CSmartIni::CEntryCache: reading INI text into the cache, writing it back
// as text, and lookups and changes by (section, key).
//
// Section names of any length are kept whole in the entries and written
// whole in their headers, so a file reads back with the same entries
// whatever the length of its section names. A notes record holds at most
// 255 characters of its name; the notes of a longer section are filed under
// the first 255 characters of its name.
#include <algorithm>
#include <cstring>

#include "sharedcode/hresult.h"
#include "sharedcode/ini/smartini.h"
#include "sharedcode/szbounded.h"

namespace {

typedef CSmartIni::tagINICACHEENTRY CacheEntry;
typedef CSmartIni::CEntryCache Cache;

constexpr size_t kcchNotesName = 255;

// Byte -> byte with A-Z folded to a-z; nothing else changes.
struct FoldTable {
    unsigned char ab[256];
    FoldTable() {
        for (int i = 0; i < 256; ++i) ab[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + ('a' - 'A') : i);
    }
};
const FoldTable g_fold;

int CompareEntries(const CacheEntry* p1, const CacheEntry* p2) {
    const int n = Cache::CompareNames(p1->szSection.Get(), p2->szSection.Get());
    return n ? n : Cache::CompareNames(p1->szKey.Get(), p2->szKey.Get());
}

int CompareSlots(const void* pv1, const void* pv2) {
    return CompareEntries(*static_cast<CacheEntry* const*>(pv1), *static_cast<CacheEntry* const*>(pv2));
}

// The notes record name equals szName cut to 255 characters.
bool IsNotesName(const char* szRecord, const char* szName) {
    for (size_t i = 0; i < kcchNotesName; ++i) {
        if (szRecord[i] != szName[i]) return false;
        if (!szName[i]) return true;
    }
    return true;
}

bool IsBreak(char ch) { return ch == '\r' || ch == '\n'; }

// The first eight bytes of a name, A-Z folded, as a big-endian number (zero
// after the end): numbers compare as the names' first eight bytes do. A name
// shorter than eight bytes has a zero low byte, and two such names with equal
// numbers are equal.
uint64_t NamePrefix(const char* psz) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(psz);
    uint64_t qw = 0;
    int i = 0;
    for (; i < 8 && p[i]; ++i) qw = (qw << 8) | g_fold.ab[p[i]];
    return i ? qw << (8 * (8 - i)) : 0;
}

// Replaces *pp by a process-heap array of cNew elements holding its first
// cUsed; false (and *pp unchanged) without memory.
template <typename T>
bool GrowArray(T** pp, DWORD* pcCapacity, DWORD cUsed, DWORD cNew) {
    if (cNew < cUsed || cNew > 0x7FFFFFFFu / sizeof(T)) return false;
    T* p = static_cast<T*>(plat::ProcessHeapAlloc(static_cast<size_t>(cNew) * sizeof(T)));
    if (!p) return false;
    if (cUsed) std::memcpy(p, *pp, cUsed * sizeof(T));
    plat::ProcessHeapFree(*pp);
    *pp = p;
    *pcCapacity = cNew;
    return true;
}

int ComparePrefixed(uint64_t qw1, const char* psz1, uint64_t qw2, const char* psz2) {
    if (qw1 != qw2) return qw1 < qw2 ? -1 : 1;
    if ((qw1 & 0xFF) == 0) return 0;
    return Cache::CompareNames(psz1 + 8, psz2 + 8);
}

// An entry line as read, pointing into the image.
struct tagPARSEDENTRY {
    uint64_t qwKey;     // NamePrefix of the key
    DWORD iHeader;      // the header line it stands under
    DWORD dwSection;    // rank of that header's name among all headers
    const char* pszKey;
    const char* pszValue;
};

// A header line: its name and where it ranks.
struct tagPARSEDHEADER {
    const char* pszName;
    DWORD dwRank;
};

bool ParsedBefore(const tagPARSEDENTRY& a, const tagPARSEDENTRY& b) {
    if (a.dwSection != b.dwSection) return a.dwSection < b.dwSection;
    return ComparePrefixed(a.qwKey, a.pszKey, b.qwKey, b.pszKey) < 0;
}

// Sums the characters HrBuildText writes, so that out grows once.
struct TextBuilder {
    char* pch = nullptr;
    size_t cch = 0;
    void Put(const char* psz, size_t n) {
        if (pch) std::memcpy(pch + cch, psz, n);
        cch += n;
    }
    void Put(const char* psz) { Put(psz, std::strlen(psz)); }
    void Put(const TSz<char>& sz) { Put(sz.Get(), sz.Length()); }
};

// Bisects [iLow, iHigh): compare(i) < 0 when the wanted place lies after i,
// 0 when i is it, > 0 when it lies before. The index found, or the place
// where it would go.
template <typename Compare>
DWORD Bisect(DWORD iLow, DWORD iHigh, bool* pfFound, Compare compare) {
    while (iLow < iHigh) {
        const DWORD iMid = iLow + (iHigh - iLow) / 2;
        const int n = compare(iMid);
        if (n == 0) {
            *pfFound = true;
            return iMid;
        }
        if (n < 0)
            iLow = iMid + 1;
        else
            iHigh = iMid;
    }
    *pfFound = false;
    return iLow;
}

}  // namespace

int CSmartIni::CEntryCache::CompareNames(const char* psz1, const char* psz2) {
    const unsigned char* p1 = reinterpret_cast<const unsigned char*>(psz1);
    const unsigned char* p2 = reinterpret_cast<const unsigned char*>(psz2);
    for (;; ++p1, ++p2) {
        const unsigned char c1 = g_fold.ab[*p1];
        const unsigned char c2 = g_fold.ab[*p2];
        if (c1 != c2) return c1 < c2 ? -1 : 1;
        if (!c1) return 0;
    }
}

void CSmartIni::SectionTraits::Destroy(tagINISECTION* p) {
    if (!p) return;
    p->~tagINISECTION();
    CModuleHeap::Free(p);
}

CSmartIni::CEntryCache::~CEntryCache() {
    Clear();
    DropIndex();
}

bool CSmartIni::CEntryCache::Parse(char* pText, DWORD cbText) {
    if (!pText) return false;

    // Leading zero bytes and bytes from 0x81 up (byte-order marks among
    // them) are passed over; the text ends at its first zero byte.
    DWORD iFirst = 0;
    while (iFirst < cbText && (pText[iFirst] == 0 || static_cast<unsigned char>(pText[iFirst]) >= 0x81)) ++iFirst;
    char* const pBegin = pText + iFirst;
    char* const pEnd = pBegin + strnlen(pBegin, cbText - iFirst);

    DWORD cLines = 1;
    for (const char* p = pBegin; p < pEnd; ++p) {
        if (IsBreak(*p) && (p + 1 == pEnd || !IsBreak(p[1]))) ++cLines;
    }

    // Entries are gathered as small records and sorted before they become
    // cache entries: the sort then compares numbers held side by side, and
    // the cache is built in order. Without room for the records they go into
    // the cache at once and the cache is sorted afterwards.
    const bool fCacheHadEntries = m_arrCache.Count() > 0;
    DropIndex();  // made again below, for the cache as it will be
    tagPARSEDENTRY* pEntries = static_cast<tagPARSEDENTRY*>(plat::ProcessHeapAlloc(cLines * sizeof(tagPARSEDENTRY)));
    tagPARSEDHEADER* pHeaders =
        pEntries ? static_cast<tagPARSEDHEADER*>(plat::ProcessHeapAlloc(cLines * sizeof(tagPARSEDHEADER))) : nullptr;
    bool fRecords = pHeaders != nullptr;
    if (!fRecords) {
        plat::ProcessHeapFree(pEntries);
        pEntries = nullptr;
    }
    DWORD cEntries = 0;
    DWORD cHeaders = 0;
    m_arrCache.Reserve(m_arrCache.Count() + cLines);

    CacheEntry scratch;  // its buffers are reused from entry to entry
    const char* pszSection = nullptr;
    for (char* pLine = pBegin; pLine < pEnd;) {
        char* pBreak = pLine;
        while (pBreak < pEnd && !IsBreak(*pBreak)) ++pBreak;
        char* pNext = pBreak;
        while (pNext < pEnd && IsBreak(*pNext)) ++pNext;
        *pBreak = 0;

        if (*pLine == ';') {
            AddNote(pszSection, pLine);
        } else if (*pLine == '[') {
            char* pClose = static_cast<char*>(std::memchr(pLine, ']', static_cast<size_t>(pBreak - pLine)));
            if (pClose) {
                *pClose = 0;
                pszSection = pLine + 1;
                if (fRecords) {
                    pHeaders[cHeaders++] = tagPARSEDHEADER{pszSection, 0};
                } else {
                    scratch.szSection.Assign(pszSection);
                }
            }
        } else if (*pLine && pszSection && *pLine != ' ' && *pLine != '\t') {
            char* pEquals = static_cast<char*>(std::memchr(pLine, '=', static_cast<size_t>(pBreak - pLine)));
            if (pEquals) {
                char* pKeyEnd = pEquals;
                while (pKeyEnd > pLine && pKeyEnd[-1] == ' ') --pKeyEnd;
                *pKeyEnd = 0;
                if (fRecords) {
                    pEntries[cEntries++] = tagPARSEDENTRY{NamePrefix(pLine), cHeaders - 1, 0, pLine, pEquals + 1};
                } else {
                    scratch.szKey.Assign(pLine);
                    scratch.szValue.Assign(pEquals + 1);
                    m_arrCache.AddCopy(&scratch);
                }
            }
        }
        pLine = pNext;
    }

    // One entry of each (section, key) survives.
    bool fDuplicates = false;
    if (fRecords) {
        // Headers that differ only in case rank alike.
        DWORD* piOrder = static_cast<DWORD*>(plat::ProcessHeapAlloc((cHeaders + 1) * sizeof(DWORD)));
        const bool fSorted = piOrder != nullptr;
        if (fSorted) {
            for (DWORD i = 0; i < cHeaders; ++i) piOrder[i] = i;
            std::sort(piOrder, piOrder + cHeaders, [pHeaders](DWORD i1, DWORD i2) {
                return CompareNames(pHeaders[i1].pszName, pHeaders[i2].pszName) < 0;
            });
            DWORD dwRank = 0;
            for (DWORD i = 0; i < cHeaders; ++i) {
                if (i && CompareNames(pHeaders[piOrder[i - 1]].pszName, pHeaders[piOrder[i]].pszName) != 0) ++dwRank;
                pHeaders[piOrder[i]].dwRank = dwRank;
            }
            plat::ProcessHeapFree(piOrder);
            for (DWORD i = 0; i < cEntries; ++i) pEntries[i].dwSection = pHeaders[pEntries[i].iHeader].dwRank;
            std::sort(pEntries, pEntries + cEntries, ParsedBefore);
        }
        // Into an empty cache the index comes straight from the records.
        bool fIndexFromRecords = fSorted && !fCacheHadEntries;
        if (fIndexFromRecords) {
            m_cSectionCapacity = cHeaders + 16;
            m_cPrefixCapacity = cEntries + cEntries / 2 + 256;
            m_piSectionStart = static_cast<DWORD*>(plat::ProcessHeapAlloc(m_cSectionCapacity * sizeof(DWORD)));
            m_pqwKeyPrefix = static_cast<uint64_t*>(plat::ProcessHeapAlloc(m_cPrefixCapacity * sizeof(uint64_t)));
            fIndexFromRecords = m_piSectionStart && m_pqwKeyPrefix;
        }
        const tagPARSEDENTRY* pKept = nullptr;
        const tagPARSEDENTRY* pIndexed = nullptr;
        const char* pszAssigned = nullptr;
        for (DWORD i = 0; i < cEntries; ++i) {
            const tagPARSEDENTRY& e = pEntries[i];
            if (fSorted && pKept && !ParsedBefore(*pKept, e)) {
                fDuplicates = true;
                continue;
            }
            pKept = &e;
            const char* pszName = pHeaders[e.iHeader].pszName;
            if (pszName != pszAssigned) {
                scratch.szSection.Assign(pszName);
                pszAssigned = pszName;
            }
            scratch.szKey.Assign(e.pszKey);
            scratch.szValue.Assign(e.pszValue);
            if (m_arrCache.AddCopy(&scratch) < 0 || !fIndexFromRecords) continue;
            const DWORD iSlot = m_arrCache.Count() - 1;
            if (!pIndexed || pIndexed->dwSection != e.dwSection) m_piSectionStart[m_cSections++] = iSlot;
            m_pqwKeyPrefix[iSlot] = e.qwKey;
            pIndexed = &e;
        }
        m_fIndexValid = fIndexFromRecords;
        plat::ProcessHeapFree(pEntries);
        plat::ProcessHeapFree(pHeaders);
        if (!fSorted) fRecords = false;
    }

    if (!fRecords || fCacheHadEntries) {
        m_arrCache.Sort(CompareSlots);
        const CacheEntry* pKept = nullptr;
        const DWORD cRemoved = m_arrCache.RemoveWhere([&pKept](CacheEntry* p) {
            if (pKept && CompareEntries(pKept, p) == 0) return true;
            pKept = p;
            return false;
        });
        if (cRemoved) fDuplicates = true;
    }
    if (!m_fIndexValid) RebuildIndex();
    return fDuplicates;
}

void CSmartIni::CEntryCache::BuildText(TSz<char>& out) const {

    // The first pass only counts; the second writes into a block of that
    // size, which goes into out with one append.
    TextBuilder text;
    for (int iPass = 0; iPass < 2; ++iPass) {
        if (iPass == 1) {
            text.pch = static_cast<char*>(plat::ProcessHeapAlloc(text.cch + 1));
            if (!text.pch) throw static_cast<long>(TSZ_E_OUTOFMEMORY);
            text.cch = 0;
        }
        if (const tagINISECTION* pPreamble = FindNotes("")) {
            for (DWORD i = 0; i < pPreamble->notes.Count(); ++i) {
                text.Put(pPreamble->notes[i]);
                text.Put("\r\n", 2);
            }
            text.Put("\r\n", 2);
        }
        const char* pszHeader = "";
        for (DWORD iEntry = 0; iEntry < m_arrCache.Count(); ++iEntry) {
            const CacheEntry* p = m_arrCache[iEntry];
            if (CompareNames(p->szSection.Get(), pszHeader) != 0) {
                pszHeader = p->szSection.Get();
                text.Put("\r\n[", 3);
                text.Put(p->szSection);
                text.Put("]\r\n", 3);
                if (const tagINISECTION* pNotes = FindNotes(pszHeader)) {
                    for (DWORD i = 0; i < pNotes->notes.Count(); ++i) {
                        text.Put(pNotes->notes[i]);
                        text.Put("\r\n", 2);
                    }
                }
            }
            text.Put(p->szKey);
            text.Put("=", 1);
            text.Put(p->szValue);
            text.Put("\r\n", 2);
        }
    }
    text.pch[text.cch] = 0;
    try {
        out.Append(text.pch);
    } catch (...) {
        plat::ProcessHeapFree(text.pch);
        throw;
    }
    plat::ProcessHeapFree(text.pch);
}

CSmartIni::CEntryCache::tagSLOT CSmartIni::CEntryCache::FindSlot(const char* szSection, const char* szKey) const {
    tagSLOT slot = {0, false, false, 0};
    CacheEntry* const* ppSlots = m_arrCache.Slots();
    const DWORD cSlots = m_arrCache.Count();
    if (!m_fIndexValid) {
        slot.iSlot = Bisect(0, cSlots, &slot.fFound, [&](DWORD i) {
            const int n = CompareNames(ppSlots[i]->szSection.Get(), szSection);
            return n != 0 ? n : CompareNames(ppSlots[i]->szKey.Get(), szKey);
        });
        return slot;
    }

    // The section among the first entries of all sections, then the key
    // within the section, by its prefix first.
    slot.iSection = Bisect(0, m_cSections, &slot.fSectionFound, [&](DWORD i) {
        return CompareNames(ppSlots[m_piSectionStart[i]]->szSection.Get(), szSection);
    });
    if (!slot.fSectionFound) {
        slot.iSlot = slot.iSection < m_cSections ? m_piSectionStart[slot.iSection] : cSlots;
        return slot;
    }
    const uint64_t qwKey = NamePrefix(szKey);
    const DWORD iFirst = m_piSectionStart[slot.iSection];
    const DWORD iEnd = slot.iSection + 1 < m_cSections ? m_piSectionStart[slot.iSection + 1] : cSlots;
    slot.iSlot = Bisect(iFirst, iEnd, &slot.fFound, [&](DWORD i) {
        // The entry itself is read only when the prefixes tie.
        const uint64_t qwMid = m_pqwKeyPrefix[i];
        return qwMid != qwKey ? (qwMid < qwKey ? -1 : 1) : ComparePrefixed(qwMid, ppSlots[i]->szKey.Get(), qwKey, szKey);
    });
    return slot;
}

void CSmartIni::CEntryCache::DropIndex() {
    plat::ProcessHeapFree(m_piSectionStart);
    plat::ProcessHeapFree(m_pqwKeyPrefix);
    m_piSectionStart = nullptr;
    m_pqwKeyPrefix = nullptr;
    m_cSections = m_cSectionCapacity = m_cPrefixCapacity = 0;
    m_fIndexValid = false;
}

void CSmartIni::CEntryCache::RebuildIndex() {
    DropIndex();
    const DWORD cSlots = m_arrCache.Count();
    CacheEntry* const* ppSlots = m_arrCache.Slots();
    DWORD cSections = 0;
    for (DWORD i = 0; i < cSlots; ++i) {
        if (i == 0 || CompareNames(ppSlots[i - 1]->szSection.Get(), ppSlots[i]->szSection.Get()) != 0) ++cSections;
    }
    m_cSectionCapacity = cSections + cSections / 2 + 16;
    m_cPrefixCapacity = cSlots + cSlots / 2 + 256;
    m_piSectionStart = static_cast<DWORD*>(plat::ProcessHeapAlloc(m_cSectionCapacity * sizeof(DWORD)));
    m_pqwKeyPrefix = static_cast<uint64_t*>(plat::ProcessHeapAlloc(m_cPrefixCapacity * sizeof(uint64_t)));
    if (!m_piSectionStart || !m_pqwKeyPrefix) {
        DropIndex();
        return;
    }
    for (DWORD i = 0; i < cSlots; ++i) {
        if (i == 0 || CompareNames(ppSlots[i - 1]->szSection.Get(), ppSlots[i]->szSection.Get()) != 0)
            m_piSectionStart[m_cSections++] = i;
        m_pqwKeyPrefix[i] = NamePrefix(ppSlots[i]->szKey.Get());
    }
    m_fIndexValid = true;
}

// slot: where FindSlot placed the entry that now stands at slot.iSlot.
void CSmartIni::CEntryCache::IndexInserted(const tagSLOT& slot) {
    if (!m_fIndexValid) return;
    const DWORD cSlots = m_arrCache.Count();
    if (cSlots > m_cPrefixCapacity &&
        !GrowArray(&m_pqwKeyPrefix, &m_cPrefixCapacity, cSlots - 1, m_cPrefixCapacity * 2 + 256)) {
        DropIndex();
        return;
    }
    if (!slot.fSectionFound && m_cSections == m_cSectionCapacity &&
        !GrowArray(&m_piSectionStart, &m_cSectionCapacity, m_cSections, m_cSectionCapacity * 2 + 16)) {
        DropIndex();
        return;
    }
    const DWORD i = slot.iSlot;
    std::memmove(m_pqwKeyPrefix + i + 1, m_pqwKeyPrefix + i, (cSlots - 1 - i) * sizeof(uint64_t));
    m_pqwKeyPrefix[i] = NamePrefix(m_arrCache[i]->szKey.Get());
    // Sections after the entry's own move up one slot.
    DWORD iFirstMoved = slot.iSection + 1;
    if (!slot.fSectionFound) {
        std::memmove(m_piSectionStart + slot.iSection + 1, m_piSectionStart + slot.iSection,
                     (m_cSections - slot.iSection) * sizeof(DWORD));
        m_piSectionStart[slot.iSection] = i;
        ++m_cSections;
    }
    for (DWORD j = iFirstMoved; j < m_cSections; ++j) ++m_piSectionStart[j];
}

// slot: where FindSlot found the entry that has just gone.
void CSmartIni::CEntryCache::IndexRemoved(const tagSLOT& slot) {
    if (!m_fIndexValid) return;
    const DWORD cSlots = m_arrCache.Count();
    const DWORD i = slot.iSlot;
    std::memmove(m_pqwKeyPrefix + i, m_pqwKeyPrefix + i + 1, (cSlots - i) * sizeof(uint64_t));
    for (DWORD j = slot.iSection + 1; j < m_cSections; ++j) --m_piSectionStart[j];
    const DWORD iEnd = slot.iSection + 1 < m_cSections ? m_piSectionStart[slot.iSection + 1] : cSlots;
    if (m_piSectionStart[slot.iSection] == iEnd) {
        std::memmove(m_piSectionStart + slot.iSection, m_piSectionStart + slot.iSection + 1,
                     (m_cSections - slot.iSection - 1) * sizeof(DWORD));
        --m_cSections;
    }
}

HRESULT CSmartIni::CEntryCache::Lookup(const char* szSection, const char* szKey, char* pszBuffer,
                                       DWORD cchBuffer) const {
    if (!szSection || !szKey) return INI_E_NOTFOUND;
    const tagSLOT slot = FindSlot(szSection, szKey);
    if (!slot.fFound) return INI_E_NOTFOUND;
    if (!pszBuffer || cchBuffer == 0) return S_OK;
    return SzCopyN(pszBuffer, cchBuffer, m_arrCache[slot.iSlot]->szValue.Get());
}

bool CSmartIni::CEntryCache::Store(const char* szSection, const char* szKey, const char* szValue) {
    if (!szSection || !szKey || !szValue) return false;
    const tagSLOT slot = FindSlot(szSection, szKey);
    if (slot.fFound) {
        CacheEntry* p = m_arrCache[slot.iSlot];
        if (std::strcmp(p->szValue.Get(), szValue) == 0) return false;
        p->szValue.Assign(szValue);
        return true;
    }
    // Inserted at its place, which keeps the entry order.
    m_entryScratch.szSection.Assign(szSection);
    m_entryScratch.szKey.Assign(szKey);
    m_entryScratch.szValue.Assign(szValue);
    if (m_arrCache.InsertCopyAt(slot.iSlot, &m_entryScratch) >= 0) IndexInserted(slot);
    return true;
}

bool CSmartIni::CEntryCache::Remove(const char* szSection, const char* szKey) {
    if (!szSection || !szKey) return false;
    const tagSLOT slot = FindSlot(szSection, szKey);
    if (!slot.fFound) return false;
    m_arrCache.Remove(m_arrCache[slot.iSlot]);
    IndexRemoved(slot);
    return true;
}

void CSmartIni::CEntryCache::AddNote(const char* szSection, const char* szLine) {
    if (!szLine) return;
    if (!szSection) szSection = "";
    tagINISECTION* pRecord = FindNotes(szSection);
    if (!pRecord) {
        void* pv = CModuleHeap::Malloc(sizeof(tagINISECTION));
        if (!pv) return;
        pRecord = new (pv) tagINISECTION();
        SzCopyN(pRecord->szName, sizeof(pRecord->szName), szSection);
        if (m_arrSections.Add(pRecord) == 0) {
            SectionTraits::Destroy(pRecord);
            return;
        }
    }
    for (DWORD i = 0; i < pRecord->notes.Count(); ++i) {
        if (std::strcmp(pRecord->notes[i], szLine) == 0) return;
    }
    pRecord->notes.AddCopy(szLine);
}

tagINISECTION* CSmartIni::CEntryCache::FindNotes(const char* szName) const {
    if (!szName) szName = "";
    for (DWORD i = 0; i < m_arrSections.Count(); ++i) {
        tagINISECTION* p = m_arrSections[i];
        if (IsNotesName(p->szName, szName)) return p;
    }
    return nullptr;
}

void CSmartIni::CEntryCache::Clear() {
    m_arrCache.Clear();
    while (DWORD c = m_arrSections.Count()) {
        tagINISECTION* p = m_arrSections[c - 1];
        m_arrSections.Remove(p);
        SectionTraits::Destroy(p);
    }
    m_arrSections.Clear();
    DropIndex();
    m_fIndexValid = true;  // of an empty cache; it gets room with the first entry
}
