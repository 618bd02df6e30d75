// The INI engine's cache: reading text into it, writing it back, lookups
// and changes by (section, key).
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sharedcode/ini/smartini.h"
#include "sharedcode/platform/heap.h"

namespace {

constexpr HRESULT kHrTruncated = static_cast<HRESULT>(0x8007007Au);

// An object that is bound to nothing: the module's path is empty in tests.
class IniCache : public ::testing::Test {
protected:
    void Parse(const std::string& text) { Parse(m_ini, text); }
    static void Parse(CSmartIni& ini, const std::string& text) {
        std::vector<char> image(text.begin(), text.end());
        image.push_back(0);
        ini.ParseText(image.data(), static_cast<DWORD>(text.size()));
    }
    std::string Build() { return Build(m_ini); }
    static std::string Build(CSmartIni& ini) {
        TSz<char> out;
        EXPECT_EQ(S_OK, ini.HrBuildText(out));
        return std::string(out.Get(), out.Length());
    }
    // "section|key=value" per entry, in cache order.
    static std::vector<std::string> Entries(const CSmartIni& ini) {
        std::vector<std::string> v;
        for (DWORD i = 0; i < ini.EntryCount(); ++i) {
            const CSmartIni::tagINICACHEENTRY* p = ini.Entry(i);
            v.push_back(std::string(p->szSection.Get()) + "|" + p->szKey.Get() + "=" + p->szValue.Get());
        }
        return v;
    }
    std::vector<std::string> Entries() const { return Entries(m_ini); }
    std::string Lookup(const char* szSection, const char* szKey, HRESULT hrExpected = S_OK) {
        char sz[256] = "untouched";
        EXPECT_EQ(hrExpected, m_ini.CacheLookup(szSection, szKey, sz, sizeof(sz))) << szSection << "/" << szKey;
        return sz;
    }

    CSmartIni m_ini;
};

using Strings = std::vector<std::string>;

TEST_F(IniCache, WritesSectionsAndKeysInEntryOrderWithTheirNotes) {
    Parse("; top\r\n[B]\r\nz=1\r\n; b note\r\na=2\r\n[A]\r\nk=v\r\n");
    EXPECT_EQ("; top\r\n\r\n\r\n[A]\r\nk=v\r\n\r\n[B]\r\n; b note\r\na=2\r\nz=1\r\n", Build());
    EXPECT_FALSE(m_ini.IsDirty());
}

TEST_F(IniCache, LineForms) {
    Parse("dropped=before any section\r\n"
          "[S]trailing text\r\n"
          "key = value\r\n"
          "Key2==x\r\n"
          "=v\r\n"
          "a=1 ; c \r\n"
          "tab\t =t\r\n"
          " indented=1\r\n"
          "\tindented=2\r\n"
          "no equals sign\r\n"
          "[Unclosed\r\n"
          "still=S\r\n"
          "[]\r\n"
          "blank=section\r\n");
    EXPECT_EQ((Strings{"|blank=section", "S|=v", "S|a=1 ; c ", "S|key= value", "S|Key2==x", "S|still=S",
                       "S|tab\t=t"}),
              Entries());
}

TEST_F(IniCache, ByteOrderMarksLineBreaksAndTheEndOfTheText) {
    // A UTF-8 mark and leading zero bytes are passed over; CR, LF and runs
    // of them all break lines; the text ends at its first zero byte.
    const char kText[] = "\xEF\xBB\xBF\0\xFF[S]\ra=1\n\n\r\rb=2\r\nc=3\0d=4\r\n";
    Parse(std::string(kText, sizeof(kText) - 1));
    EXPECT_EQ((Strings{"S|a=1", "S|b=2", "S|c=3"}), Entries());

    // 0x80 is text, not a mark: the first line is then garbage.
    CSmartIni other;
    Parse(other, "\x80[S]\r\n[T]\r\nx=1\r\n");
    EXPECT_EQ((Strings{"T|x=1"}), Entries(other));

    // A UTF-16 file ends after its first character.
    CSmartIni wide;
    Parse(wide, std::string("\xFF\xFE[\0S\0]\0", 8));
    EXPECT_EQ(0u, wide.EntryCount());
}

TEST_F(IniCache, DuplicatesKeepOneEntryAndMarkTheCacheDirty) {
    m_ini.SetDirty(true);
    Parse("[S]\r\nb=1\r\n[T]\r\nx=0\r\n");
    EXPECT_FALSE(m_ini.IsDirty()) << "a clean text clears the flag";

    CSmartIni dup;
    Parse(dup, "[Main]\r\nA=1\r\n[MAIN]\r\na=2\r\nb=3\r\n[main]\r\nB=4\r\nc=5\r\n");
    EXPECT_TRUE(dup.IsDirty());
    ASSERT_EQ(3u, dup.EntryCount());
    EXPECT_STRCASEEQ("a", dup.Entry(0)->szKey.Get());
    EXPECT_STRCASEEQ("b", dup.Entry(1)->szKey.Get());
    EXPECT_STREQ("c", dup.Entry(2)->szKey.Get());
}

// The same text read three ways: into an empty cache, without memory for
// the reader's scratch records, and in two parts into one cache.
TEST_F(IniCache, EveryWayOfReadingGivesTheSameCache) {
    const std::string text = "[S]\r\nb=1\r\nA=2\r\n[t]\r\nx=3\r\n[s]\r\nB=4\r\nc=5\r\n";
    Parse(text);
    const Strings expected = {"S|A=2", Entries()[1], "s|c=5", "t|x=3"};
    EXPECT_EQ(expected, Entries());
    EXPECT_TRUE(m_ini.IsDirty());

    CSmartIni plain;
    plat::testing::FailProcessHeapAllocs(1);
    Parse(plain, text);
    plat::testing::FailProcessHeapAllocs(0);
    EXPECT_EQ(4u, plain.EntryCount());
    EXPECT_TRUE(plain.IsDirty());

    CSmartIni twoParts;
    Parse(twoParts, "[S]\r\nb=1\r\nA=2\r\n");
    Parse(twoParts, "[t]\r\nx=3\r\n[s]\r\nB=4\r\nc=5\r\n");
    EXPECT_EQ(4u, twoParts.EntryCount());
    EXPECT_TRUE(twoParts.IsDirty());

    for (CSmartIni* p : {&m_ini, &plain, &twoParts}) {
        char sz[4];
        EXPECT_EQ(S_OK, p->CacheLookup("s", "a", sz, sizeof(sz)));
        EXPECT_STREQ("2", sz);
        EXPECT_EQ(S_OK, p->CacheLookup("S", "b", nullptr, 0));
        EXPECT_EQ(S_OK, p->CacheLookup("S", "C", sz, sizeof(sz)));
        EXPECT_STREQ("5", sz);
        EXPECT_EQ(S_OK, p->CacheLookup("T", "X", sz, sizeof(sz)));
        EXPECT_EQ(INI_E_NOTFOUND, p->CacheLookup("S", "x", sz, sizeof(sz)));
        EXPECT_EQ(INI_E_NOTFOUND, p->CacheLookup("R", "a", sz, sizeof(sz)));
        EXPECT_EQ(INI_E_NOTFOUND, p->CacheLookup("u", "a", sz, sizeof(sz)));
    }
}

TEST_F(IniCache, SectionsDifferingInCaseShareOneHeaderAndOnlyItsOwnNotes) {
    Parse("[MAIN]\r\n; upper\r\nb=2\r\n[Main]\r\n; mixed\r\na=1\r\n");
    // The header is spelt as the first entry in entry order ("a" of "Main").
    EXPECT_EQ("\r\n[Main]\r\n; mixed\r\na=1\r\nb=2\r\n", Build());
    EXPECT_EQ("1", Lookup("main", "A"));
    EXPECT_EQ("2", Lookup("MAIN", "b"));
}

TEST_F(IniCache, NotesAreWrittenOnceAndOnlyWithEntries) {
    Parse("; same\r\n; same\r\n[S]\r\n; n\r\n; n\r\nk=v\r\n[Empty]\r\n; lost\r\n");
    EXPECT_EQ("; same\r\n\r\n\r\n[S]\r\n; n\r\nk=v\r\n", Build());

    CSmartIni notesOnly;
    Parse(notesOnly, ";a\r\n;b\r\n");
    EXPECT_EQ(";a\r\n;b\r\n\r\n", Build(notesOnly));

    CSmartIni empty;
    Parse(empty, "");
    EXPECT_EQ("", Build(empty));
}

TEST_F(IniCache, EntriesOfTheEmptySectionAreNotReadBack) {
    Parse("; pre\r\n[]\r\nk=v\r\n[S]\r\nx=1\r\n");
    const std::string text = Build();
    EXPECT_EQ("; pre\r\n\r\nk=v\r\n\r\n[S]\r\nx=1\r\n", text);
    CSmartIni reread;
    Parse(reread, text);
    EXPECT_EQ((Strings{"S|x=1"}), Entries(reread));
}

TEST_F(IniCache, EntryOrderFoldsOnlyAsciiLettersAndComparesBytesUnsigned) {
    Parse("[S]\r\nb=1\r\n_=2\r\nA=3\r\n\xC3\xA9=4\r\nZ=5\r\n[=6\r\n");
    // '_' (0x5F) sorts before the folded letters; bytes from 0x80 up come
    // last.
    Strings keys;
    for (DWORD i = 0; i < m_ini.EntryCount(); ++i) keys.push_back(m_ini.Entry(i)->szKey.Get());
    EXPECT_EQ((Strings{"_", "A", "b", "Z", "\xC3\xA9"}), keys) << "a line starting with '[' is no entry";
    EXPECT_LT(CSmartIni::CompareNames("_", "a"), 0);
    EXPECT_LT(CSmartIni::CompareNames("z", "\x80"), 0);
    EXPECT_EQ(0, CSmartIni::CompareNames("aBc", "AbC"));
    EXPECT_LT(CSmartIni::CompareNames("ab", "abc"), 0);
}

TEST_F(IniCache, LookupCopiesCutsOrOnlyTestsPresence) {
    Parse("[S]\r\nk=0123456789\r\n");
    EXPECT_EQ("0123456789", Lookup("s", "K"));
    char sz[5] = "xxxx";
    EXPECT_EQ(kHrTruncated, m_ini.CacheLookup("S", "k", sz, sizeof(sz)));
    EXPECT_STREQ("0123", sz);
    EXPECT_EQ(S_OK, m_ini.CacheLookup("S", "k", nullptr, 10));
    EXPECT_EQ(S_OK, m_ini.CacheLookup("S", "k", sz, 0));
    EXPECT_EQ("untouched", Lookup("S", "missing", INI_E_NOTFOUND));
    EXPECT_EQ("untouched", Lookup("T", "k", INI_E_NOTFOUND));

    CSmartIni empty;
    EXPECT_EQ(INI_E_NOTFOUND, empty.CacheLookup("S", "k", nullptr, 0));
}

TEST_F(IniCache, StoreAndRemoveKeepOrderAndTrackTheDirtyFlag) {
    EXPECT_EQ(S_OK, m_ini.CacheStore("S", "k", "v"));
    EXPECT_TRUE(m_ini.IsDirty());
    m_ini.SetDirty(false);
    EXPECT_EQ(S_OK, m_ini.CacheStore("s", "K", "v"));
    EXPECT_FALSE(m_ini.IsDirty()) << "an equal value changes nothing";
    EXPECT_EQ(S_OK, m_ini.CacheStore("s", "K", "V"));
    EXPECT_TRUE(m_ini.IsDirty()) << "values compare case-sensitively";
    EXPECT_EQ((Strings{"S|k=V"}), Entries()) << "the entry keeps its first spelling";

    m_ini.SetDirty(false);
    EXPECT_EQ(S_OK, m_ini.CacheStore(nullptr, "k", "v"));
    EXPECT_EQ(S_OK, m_ini.CacheStore("S", nullptr, "v"));
    EXPECT_EQ(S_OK, m_ini.CacheStore("S", "k", nullptr));
    EXPECT_FALSE(m_ini.IsDirty());

    EXPECT_EQ(INI_S_NOTPRESENT, m_ini.CacheRemove("S", "other"));
    EXPECT_FALSE(m_ini.IsDirty());
    EXPECT_EQ(S_OK, m_ini.CacheRemove("s", "k"));
    EXPECT_TRUE(m_ini.IsDirty());
    EXPECT_EQ(0u, m_ini.EntryCount());
}

// Random changes against a plain map: the cache agrees with it, stays in
// entry order, and its text reads back to the same entries.
TEST_F(IniCache, AgreesWithAMapUnderRandomChangesAndSurvivesARoundTrip) {
    auto fold = [](std::string s) {
        for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return s;
    };
    std::map<std::pair<std::string, std::string>, std::string> model;
    std::mt19937 rng(7);
    m_ini.ClearCache();  // as after a load, which keeps a lookup index in step
    const char* sections[] = {"Alpha", "alpha", "Beta", "_x", "Z9"};
    // Keys the text can hold (none opens with '[' or ';').
    const char* keys[] = {"a", "A", "b", "key", "Key", "k_", "k[", "Zed", "zed", "m", ""};
    for (int i = 0; i < 3000; ++i) {
        const char* s = sections[rng() % 5];
        const char* k = keys[rng() % 11];
        if (rng() % 4 == 0) {
            const HRESULT hrWant = model.erase({fold(s), fold(k)}) ? S_OK : INI_S_NOTPRESENT;
            ASSERT_EQ(hrWant, m_ini.CacheRemove(s, k));
        } else {
            const std::string v = std::to_string(rng() % 50);
            model[{fold(s), fold(k)}] = v;
            ASSERT_EQ(S_OK, m_ini.CacheStore(s, k, v.c_str()));
        }
    }
    ASSERT_EQ(model.size(), m_ini.EntryCount());
    for (DWORD i = 1; i < m_ini.EntryCount(); ++i) {
        const auto* p = m_ini.Entry(i - 1);
        const auto* q = m_ini.Entry(i);
        const int n = CSmartIni::CompareNames(p->szSection.Get(), q->szSection.Get());
        ASSERT_TRUE(n < 0 || (n == 0 && CSmartIni::CompareNames(p->szKey.Get(), q->szKey.Get()) < 0)) << i;
    }
    for (const auto& e : model) {
        char sz[16];
        ASSERT_EQ(S_OK, m_ini.CacheLookup(e.first.first.c_str(), e.first.second.c_str(), sz, sizeof(sz)));
        EXPECT_EQ(e.second, sz);
    }

    // Each section is read back as its header was spelt.
    CSmartIni reread;
    Parse(reread, Build());
    Strings expected = Entries();
    Strings actual = Entries(reread);
    for (auto* v : {&expected, &actual}) {
        for (std::string& e : *v) e = fold(e.substr(0, e.find('|'))) + e.substr(e.find('|'));
    }
    EXPECT_EQ(expected, actual);
    EXPECT_FALSE(reread.IsDirty());
    for (const auto& e : model) {
        char sz[16];
        ASSERT_EQ(S_OK, reread.CacheLookup(e.first.first.c_str(), e.first.second.c_str(), sz, sizeof(sz)));
        EXPECT_EQ(e.second, sz);
    }
    EXPECT_EQ(INI_E_NOTFOUND, reread.CacheLookup("alpha", "missing", nullptr, 0));
    EXPECT_EQ(INI_E_NOTFOUND, reread.CacheLookup("Gamma", "a", nullptr, 0));
}

// Section names longer than 255 characters are kept whole: each header is
// written once, and two names that differ only after 255 characters stay
// apart.
TEST_F(IniCache, LongSectionNamesLoseNoEntry) {
    const std::string longA(300, 'a');
    const std::string longB = std::string(299, 'a') + "b";
    Parse("[" + longA + "]\r\n; noteA\r\nk1=1\r\nk2=2\r\n[" + longB + "]\r\nk1=3\r\n");
    ASSERT_EQ(3u, m_ini.EntryCount());
    const std::string text = Build();
    EXPECT_EQ("\r\n[" + longA + "]\r\n; noteA\r\nk1=1\r\nk2=2\r\n\r\n[" + longB + "]\r\n; noteA\r\nk1=3\r\n", text)
        << "notes are filed under the first 255 characters of the name";

    CSmartIni reread;
    Parse(reread, text);
    EXPECT_EQ(Entries(), Entries(reread));
    char sz[8];
    EXPECT_EQ(S_OK, reread.CacheLookup(longB.c_str(), "K1", sz, sizeof(sz)));
    EXPECT_STREQ("3", sz);
    ASSERT_NE(nullptr, reread.FindSectionNotes(longA.c_str()));
    EXPECT_EQ(255u, std::strlen(reread.FindSectionNotes(longA.c_str())->szName));
}

TEST_F(IniCache, SectionNotesMatchNamesExactly) {
    m_ini.AddSectionNote(nullptr, "; pre");
    m_ini.AddSectionNote("S", "; one");
    m_ini.AddSectionNote("S", "; one");
    m_ini.AddSectionNote("s", "; other");
    ASSERT_EQ(3u, m_ini.SectionNotesCount());
    EXPECT_EQ(m_ini.SectionNotes(0), m_ini.FindSectionNotes(nullptr));
    EXPECT_EQ(m_ini.SectionNotes(0), m_ini.FindSectionNotes(""));
    ASSERT_NE(nullptr, m_ini.FindSectionNotes("S"));
    EXPECT_EQ(1u, m_ini.FindSectionNotes("S")->notes.Count());
    EXPECT_NE(m_ini.FindSectionNotes("S"), m_ini.FindSectionNotes("s"));
    EXPECT_EQ(nullptr, m_ini.FindSectionNotes("T"));

    m_ini.CacheStore("S", "k", "v");
    EXPECT_EQ(S_OK, m_ini.ClearCache());
    EXPECT_EQ(0u, m_ini.EntryCount());
    EXPECT_EQ(0u, m_ini.SectionNotesCount());
    EXPECT_EQ(0u, plat::FileTimeValue(m_ini.LastWriteTime()));
}

TEST_F(IniCache, TextThatCannotGrowThrowsAndLeavesTheOutputAsItWas) {
    Parse("[S]\r\nk=v\r\n");
    TSz<char> out("kept");
    plat::testing::FailHeapAllocs(CTSzHeap::Instance().Handle(), 1);
    long hrThrown = 0;
    try {
        // Grows past the 68 characters "kept" came with.
        for (int i = 0; i < 20; ++i) m_ini.HrBuildText(out);
    } catch (long hr) {
        hrThrown = hr;
    }
    plat::testing::FailHeapAllocs(CTSzHeap::Instance().Handle(), 0);
    EXPECT_EQ(static_cast<long>(TSZ_E_OUTOFMEMORY), hrThrown);
    EXPECT_EQ(0, std::string(out.Get()).compare(0, 4, "kept"));
    EXPECT_EQ(1u, m_ini.EntryCount());
    // The cache lock was released on the way out.
    EXPECT_TRUE(std::async(std::launch::async, [this] { return m_ini.CacheLookup("S", "k", nullptr, 0); }).get() ==
                S_OK);
}

}  // namespace
