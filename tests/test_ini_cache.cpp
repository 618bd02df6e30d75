// The INI engine's cache: reading text into it, writing it back, lookups
// and changes by (section, key).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "sharedcode/platform/faults_testhook.h"
#include "sharedcode/platform/heap.h"
#include "tests/test_ini_support.h"

namespace {

using Strings = std::vector<std::string>;

// Objects bound to nothing: the module's path is empty in tests.
void Parse(CSmartIni& ini, const std::string& text) {
    std::vector<char> image(text.begin(), text.end());
    image.push_back(0);
    ini.ParseText(image.data(), static_cast<DWORD>(text.size()));
}

std::string Build(CSmartIni& ini) {
    TSz<char> out;
    EXPECT_EQ(S_OK, ini.HrBuildText(out));
    return std::string(out.Get(), out.Length());
}

// "section|key=value" per entry, in cache order.
Strings Entries(CSmartIni& ini) {
    const CSmartIni::CEntryCache& cache = CSmartIniTestPeer(ini).Cache();
    Strings v;
    for (DWORD i = 0; i < cache.Count(); ++i) {
        const CSmartIni::tagINICACHEENTRY* p = cache.Entry(i);
        v.push_back(std::string(p->szSection.Get()) + "|" + p->szKey.Get() + "=" + p->szValue.Get());
    }
    return v;
}

std::string Lookup(CSmartIni& ini, const char* szSection, const char* szKey) {
    char sz[16] = "";
    const HRESULT hr = ini.CacheLookup(szSection, szKey, sz, sizeof(sz));
    return hr == S_OK ? sz : hr == INI_E_NOTFOUND ? "<none>" : "<error>";
}

TEST(IniCache, LineForms) {
    CSmartIni ini;
    ini.SetDirty(true);
    Parse(ini,
          "dropped=before any section\r\n[S]trailing text\r\nkey = value\r\nKey2==x\r\n=v\r\na=1 ; c \r\n"
          "tab\t =t\r\n indented=1\r\n\tindented=2\r\nno equals sign\r\n[Unclosed\r\nstill=S\r\n"
          "[]\r\nblank=section\r\n");
    EXPECT_EQ((Strings{"|blank=section", "S|=v", "S|a=1 ; c ", "S|key= value", "S|Key2==x", "S|still=S",
                       "S|tab\t=t"}),
              Entries(ini));
    EXPECT_FALSE(ini.IsDirty()) << "a text without duplicates clears the flag";

    // A UTF-8 mark and leading zero bytes are passed over (0x80 is text, so
    // its line is lost); CR, LF and runs of them all break lines; the text
    // ends at its first zero byte.
    const char kText[] = "\xEF\xBB\xBF\0\xFF[S]\ra=1\n\n\r\rb=2\r\nc=3\0d=4\r\n";
    CSmartIni marked, text80;
    Parse(marked, std::string(kText, sizeof(kText) - 1));
    EXPECT_EQ((Strings{"S|a=1", "S|b=2", "S|c=3"}), Entries(marked));
    Parse(text80, "\x80[S]\r\n[T]\r\nx=1\r\n");
    EXPECT_EQ((Strings{"T|x=1"}), Entries(text80));
}

// Sections and keys in entry order, each section's notes under its header
// (notes matched to the exact name, each written once), the notes before the
// first header on top; case-differing headers are written once, spelt as
// their first entry.
TEST(IniCache, TextListsEntriesInOrderWithTheirNotes) {
    CSmartIni ini, empty, notesOnly;
    Parse(ini, "; top\r\n; top\r\n[B]\r\nz=1\r\n; b\r\n; b\r\na=2\r\n[MAIN]\r\n; upper\r\nb=2\r\n[Main]\r\n"
               "; mixed\r\na=1\r\n[Empty]\r\n; lost\r\n");
    EXPECT_EQ("; top\r\n\r\n\r\n[B]\r\n; b\r\na=2\r\nz=1\r\n\r\n[Main]\r\n; mixed\r\na=1\r\nb=2\r\n", Build(ini));
    EXPECT_FALSE(ini.IsDirty());
    Parse(notesOnly, ";a\r\n;b\r\n");
    EXPECT_EQ(";a\r\n;b\r\n\r\n", Build(notesOnly));
    EXPECT_EQ("", Build(empty));
}

// Duplicates read three ways: into an empty cache, without memory for the
// reader's scratch records, and in two parts into one cache. One entry of
// each survives, the cache is marked dirty, and lookups find the rest.
TEST(IniCache, DuplicatesKeepOneEntryAndMarkTheCacheDirty) {
    const std::string text = "[S]\r\nb=1\r\nA=2\r\n[t]\r\nx=3\r\n[s]\r\nB=4\r\nc=5\r\n";
    CSmartIni whole, plain, twoParts;
    Parse(whole, text);
    plat::testing::FailProcessHeapAllocs(1);
    Parse(plain, text);
    plat::testing::FailProcessHeapAllocs(0);
    Parse(twoParts, text.substr(0, 15));
    Parse(twoParts, text.substr(15));
    for (CSmartIni* p : {&whole, &plain, &twoParts}) {
        EXPECT_TRUE(p->IsDirty());
        const Strings e = Entries(*p);
        ASSERT_EQ(4u, e.size());
        EXPECT_EQ((Strings{"S|A=2", "s|c=5", "t|x=3"}), (Strings{e[0], e[2], e[3]}));
        EXPECT_EQ("2", Lookup(*p, "s", "a"));
        EXPECT_EQ("5", Lookup(*p, "S", "C"));
        EXPECT_EQ("3", Lookup(*p, "T", "X"));
        EXPECT_EQ("<none>", Lookup(*p, "S", "x"));
    }
}

// Entry order folds only A-Z and compares bytes unsigned: '_' (0x5F) sorts
// before the folded letters, bytes from 0x80 up come last.
TEST(IniCache, EntryOrderFoldsOnlyAsciiLetters) {
    CSmartIni ini;
    Parse(ini, "[S]\r\nb=1\r\n_=2\r\nA=3\r\n\xC3\xA9=4\r\nZ=5\r\nab=6\r\n");
    EXPECT_EQ((Strings{"S|_=2", "S|A=3", "S|ab=6", "S|b=1", "S|Z=5", "S|\xC3\xA9=4"}), Entries(ini));
    EXPECT_EQ(0, CSmartIni::CompareNames("aBc", "AbC"));
}

TEST(IniCache, StoreKeepsTheFirstSpellingAndOnlyRealChangesMarkTheCacheDirty) {
    CSmartIni ini;
    ini.CacheStore("S", "k", "v");
    ini.SetDirty(false);
    EXPECT_EQ(S_OK, ini.CacheStore("s", "K", "v"));
    EXPECT_FALSE(ini.IsDirty()) << "an equal value changes nothing";
    EXPECT_EQ(S_OK, ini.CacheStore("s", "K", "V"));
    EXPECT_TRUE(ini.IsDirty()) << "values compare case-sensitively";
    EXPECT_EQ((Strings{"S|k=V"}), Entries(ini));
    ini.SetDirty(false);
    EXPECT_EQ(INI_S_NOTPRESENT, ini.CacheRemove("S", "other"));
    EXPECT_FALSE(ini.IsDirty());
}

// Random changes against a plain map: the cache agrees with it, stays in
// entry order, and its text reads back to the same entries.
TEST(IniCache, AgreesWithAMapUnderRandomChangesAndSurvivesARoundTrip) {
    auto fold = [](std::string s) {
        for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return s;
    };
    std::map<std::pair<std::string, std::string>, std::string> model;
    std::mt19937 rng(7);
    CSmartIni ini;
    const char* sections[] = {"Alpha", "alpha", "Beta", "_x", "Z9"};
    // Keys the text can hold (none opens with '[' or ';'); some share their
    // first eight bytes.
    const char* keys[] = {"a", "A", "b", "key", "Key", "k_", "k[", "Zed", "zed", "m", "", "longkey_1", "LONGKEY_2"};
    for (int i = 0; i < 3000; ++i) {
        const char* s = sections[rng() % 5];
        const char* k = keys[rng() % 13];
        if (rng() % 4 == 0) {
            const HRESULT hrWant = model.erase({fold(s), fold(k)}) ? S_OK : INI_S_NOTPRESENT;
            ASSERT_EQ(hrWant, ini.CacheRemove(s, k));
        } else {
            const std::string v = std::to_string(rng() % 50);
            model[{fold(s), fold(k)}] = v;
            ASSERT_EQ(S_OK, ini.CacheStore(s, k, v.c_str()));
        }
    }
    const CSmartIni::CEntryCache& cache = CSmartIniTestPeer(ini).Cache();
    ASSERT_EQ(model.size(), cache.Count());
    auto it = model.begin();
    for (DWORD i = 0; i < cache.Count(); ++i, ++it) {
        const auto* p = cache.Entry(i);
        EXPECT_EQ(it->first, std::make_pair(fold(p->szSection.Get()), fold(p->szKey.Get()))) << i;
        EXPECT_EQ(it->second, Lookup(ini, p->szSection.Get(), p->szKey.Get()));
    }

    CSmartIni reread;
    Parse(reread, Build(ini));
    EXPECT_FALSE(reread.IsDirty());
    ASSERT_EQ(model.size(), CSmartIniTestPeer(reread).Cache().Count());
    for (const auto& e : model) EXPECT_EQ(e.second, Lookup(reread, e.first.first.c_str(), e.first.second.c_str()));
}

// Section names longer than 255 characters are kept whole: each header is
// written once, and names that differ only after 255 characters stay apart.
// Notes are filed under the first 255 characters of the name.
TEST(IniCache, LongSectionNamesLoseNoEntry) {
    const std::string longA(300, 'a'), longB = std::string(299, 'a') + "b";
    CSmartIni ini, reread;
    Parse(ini, "[" + longA + "]\r\n; noteA\r\nk1=1\r\nk2=2\r\n[" + longB + "]\r\nk1=3\r\n");
    const std::string text = Build(ini);
    EXPECT_EQ("\r\n[" + longA + "]\r\n; noteA\r\nk1=1\r\nk2=2\r\n\r\n[" + longB + "]\r\n; noteA\r\nk1=3\r\n", text);
    Parse(reread, text);
    EXPECT_EQ(Entries(ini), Entries(reread));
    EXPECT_EQ("3", Lookup(reread, longB.c_str(), "K1"));
}

TEST(IniCache, TextThatCannotGrowThrowsAndLeavesTheOutputAsItWas) {
    CSmartIni ini;
    Parse(ini, "[S]\r\nk=v\r\n");
    TSz<char> out("kept");
    plat::testing::FailHeapAllocs(CTSzHeap::Instance().Handle(), 1);
    long hrThrown = 0;
    try {
        for (int i = 0; i < 20; ++i) ini.HrBuildText(out);  // grows past the room "kept" came with
    } catch (long hr) {
        hrThrown = hr;
    }
    plat::testing::FailHeapAllocs(CTSzHeap::Instance().Handle(), 0);
    EXPECT_EQ(static_cast<long>(TSZ_E_OUTOFMEMORY), hrThrown);
    EXPECT_EQ(0, std::string(out.Get()).compare(0, 4, "kept"));
}

}  // namespace
