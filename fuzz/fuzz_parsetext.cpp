// libFuzzer target: the INI reader and writer on arbitrary bytes.
//
// Beyond memory safety it checks that the cache read is in entry order with
// no two equal entries and, unless the text held entries of the section ""
// (which are written first and without a header, so that they do not come
// back and may even change how the text after them reads), that the text
// written reads back to the same entries, each section spelt as its header,
// and that writing what was read back gives the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sharedcode/ini/smartini.h"

namespace {

void Check(bool f) {
    if (!f) std::abort();
}

typedef CSmartIni::CEntryCache Cache;

// True when the text held duplicates.
bool Parse(Cache& cache, const char* pb, size_t cb) {
    std::vector<char> image(pb, pb + cb);
    image.push_back(0);
    return cache.Parse(image.data(), static_cast<DWORD>(cb));
}

std::string Build(const Cache& cache) {
    TSz<char> out;
    cache.BuildText(out);
    return std::string(out.Get(), out.Length());
}

std::string Folded(const char* psz) {
    std::string s(psz);
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return s;
}

// Section (folded), key and value of every entry.
std::vector<std::string> Entries(const Cache& cache) {
    std::vector<std::string> v;
    for (DWORD i = 0; i < cache.Count(); ++i) {
        const CSmartIni::tagINICACHEENTRY* p = cache.Entry(i);
        v.push_back(Folded(p->szSection.Get()) + '\0' + p->szKey.Get() + '\0' + p->szValue.Get());
    }
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    Cache first;
    Parse(first, reinterpret_cast<const char*>(data), size);
    for (DWORD i = 1; i < first.Count(); ++i) {
        const CSmartIni::tagINICACHEENTRY* p = first.Entry(i - 1);
        const CSmartIni::tagINICACHEENTRY* q = first.Entry(i);
        const int n = Cache::CompareNames(p->szSection.Get(), q->szSection.Get());
        Check(n < 0 || (n == 0 && Cache::CompareNames(p->szKey.Get(), q->szKey.Get()) < 0));
    }

    // Entries of "" sort first.
    if (first.Count() && !*first.Entry(0)->szSection.Get()) return 0;

    const std::string text1 = Build(first);
    Cache second;
    Check(!Parse(second, text1.data(), text1.size()));
    Check(Entries(first) == Entries(second));

    const std::string text2 = Build(second);
    Cache third;
    Parse(third, text2.data(), text2.size());
    Check(Build(third) == text2);
    return 0;
}
