// dllshape: checks the shape of the 32-bit Windows DLL on the build machine.
//
//   dllshape DLL DEF MESSAGES IDS BLOCKS OBJECT...
//
// Fails (exit 1, one line per fault) when the DLL's export names differ from
// the module-definition file's (undecorated, each once); when an object
// defines a stdcall symbol _Name@N whose N differs from the definition
// file's Name@N; when a name the definition file gives as an alias
// ("Name@N = Routine@N") has another address than its routine; when message
// table 1 (language 0x0409) differs from the
// catalogue's bytes MESSAGES or does not hold IDS identifiers in BLOCKS
// blocks; or when the DLL imports a DLL that is not part of Windows.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

int g_faults = 0;

void Fault(const std::string& what) {
    std::fprintf(stderr, "dllshape: %s\n", what.c_str());
    ++g_faults;
}

Bytes ReadFile(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        Fault(std::string("cannot read ") + path);
        return {};
    }
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

uint32_t U16(const Bytes& b, size_t off) { return off + 2 <= b.size() ? b[off] | b[off + 1] << 8 : 0; }
uint32_t U32(const Bytes& b, size_t off) { return off + 4 <= b.size() ? U16(b, off) | U16(b, off + 2) << 16 : 0; }
std::string Sz(const Bytes& b, size_t off) {
    std::string s;
    while (off < b.size() && b[off]) s += static_cast<char>(b[off++]);
    return s;
}

// A PE32 image read as a file: RVAs through the section table.
class Image {
public:
    explicit Image(Bytes bytes) : m_b(std::move(bytes)) {
        const size_t pe = U32(m_b, 0x3C);
        if (m_b.size() < 0x40 || U32(m_b, pe) != 0x4550 || U16(m_b, pe + 24) != 0x10B) {
            Fault("not a PE32 image");
            return;
        }
        m_opt = pe + 24;
        const size_t cSections = U16(m_b, pe + 6);
        const size_t first = m_opt + U16(m_b, pe + 20);
        for (size_t i = 0; i < cSections; ++i) m_sections.push_back(first + 40 * i);
    }
    bool Ok() const { return m_opt != 0; }
    // The RVA and size of data directory i.
    uint32_t DirRva(int i) const { return U32(m_b, m_opt + 96 + 8 * i); }
    size_t Off(uint32_t rva) const {
        for (size_t s : m_sections) {
            const uint32_t va = U32(m_b, s + 12), cb = U32(m_b, s + 16), raw = U32(m_b, s + 20);
            if (rva >= va && rva < va + cb) return raw + (rva - va);
        }
        return m_b.size();
    }
    const Bytes& B() const { return m_b; }

private:
    Bytes m_b;
    size_t m_opt = 0;
    std::vector<size_t> m_sections;
};

// One export of the module-definition file: its argument bytes, and for an
// alias the export whose routine it names.
struct DefRow {
    uint32_t cb = 0;
    std::string routine;
};
typedef std::map<std::string, DefRow> Def;

// The module-definition file: "Name@N" or "Name@N = Routine@N" per line
// after EXPORTS.
Def ReadDef(const char* path) {
    Def names;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        const size_t at = line.find('@');
        const size_t start = line.find_first_not_of(" \t");
        if (start == 0 || start == std::string::npos || at == std::string::npos) continue;
        DefRow& row = names[line.substr(start, at - start)];
        row.cb = static_cast<uint32_t>(std::stoul(line.substr(at + 1)));
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            const size_t from = line.find_first_not_of(" \t", eq + 1);
            row.routine = line.substr(from, line.find('@', from) - from);
        }
    }
    if (names.empty()) Fault(std::string("no exports in ") + path);
    return names;
}

void CheckExports(const Image& img, const Def& def) {
    const Bytes& b = img.B();
    const size_t dir = img.Off(img.DirRva(0));
    const uint32_t cNames = U32(b, dir + 24);
    const size_t functions = img.Off(U32(b, dir + 28));
    const size_t names = img.Off(U32(b, dir + 32));
    const size_t ordinals = img.Off(U32(b, dir + 36));
    std::map<std::string, uint32_t> rvaOf;
    for (uint32_t i = 0; i < cNames; ++i) {
        const std::string name = Sz(b, img.Off(U32(b, names + 4 * i)));
        if (name.find('@') != std::string::npos || name.empty() || name[0] == '_') Fault("decorated export " + name);
        if (!rvaOf.emplace(name, U32(b, functions + 4 * U16(b, ordinals + 2 * i))).second)
            Fault("export twice: " + name);
        if (!def.count(name)) Fault("export not in the definition file: " + name);
    }
    std::set<uint32_t> aliased;
    for (const auto& [name, row] : def) {
        if (!rvaOf.count(name)) {
            Fault("export missing: " + name);
        } else if (!row.routine.empty()) {
            if (!rvaOf.count(row.routine) || rvaOf[row.routine] != rvaOf[name])
                Fault(name + ": not at the address of " + row.routine + ", whose alias it is");
            aliased.insert(rvaOf[name]);
        }
    }
    std::printf("exports: %u, %zu of them routines under more than one name\n", cNames, aliased.size());
}

void CheckImports(const Image& img) {
    static const char* const kWindows[] = {"kernel32.dll", "advapi32.dll", "user32.dll", "crypt32.dll",
                                           "msvcrt.dll",   "ws2_32.dll",   "ntdll.dll"};
    const Bytes& b = img.B();
    for (size_t d = img.Off(img.DirRva(1)); U32(b, d + 12); d += 20) {
        std::string name = Sz(b, img.Off(U32(b, d + 12)));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool fWindows = name.rfind("api-ms-win-", 0) == 0;
        for (const char* w : kWindows) fWindows |= name == w;
        if (!fWindows) Fault("imports a DLL that is not Windows' own: " + name);
        std::printf("imports: %s\n", name.c_str());
    }
}

// The data of resource type/name, first language; sets *pwLang.
Bytes FindResource(const Image& img, uint32_t type, uint32_t name, uint32_t* pwLang) {
    const Bytes& b = img.B();
    const size_t root = img.Off(img.DirRva(2));
    auto find = [&](size_t dir, uint32_t id) -> size_t {
        const size_t cEntries = U16(b, dir + 12) + U16(b, dir + 14);
        for (size_t i = 0; i < cEntries; ++i) {
            const size_t e = dir + 16 + 8 * i;
            if (U32(b, e) == id) return U32(b, e + 4) & 0x7FFFFFFF;
        }
        return SIZE_MAX;
    };
    size_t at = find(root, type);
    if (at == SIZE_MAX) return {};
    at = find(root + at, name);
    if (at == SIZE_MAX) return {};
    const size_t langs = root + at;
    if (U16(b, langs + 12) + U16(b, langs + 14) != 1) Fault("message table: not exactly one language");
    *pwLang = U32(b, langs + 16);
    const size_t entry = root + (U32(b, langs + 20) & 0x7FFFFFFF);
    const size_t off = img.Off(U32(b, entry));
    const size_t cb = U32(b, entry + 4);
    if (off + cb > b.size()) return {};
    return Bytes(b.begin() + off, b.begin() + off + cb);
}

void CheckMessages(const Image& img, const Bytes& catalogue, unsigned cIds, unsigned cBlocks) {
    uint32_t wLang = 0;
    const Bytes table = FindResource(img, 11, 1, &wLang);
    if (table.empty()) return Fault("no message table 1");
    if (wLang != 0x0409) Fault("message table language is not 0x0409");
    if (table != catalogue) Fault("message table differs from the catalogue's bytes");
    const uint32_t blocks = U32(table, 0);
    unsigned ids = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t low = U32(table, 4 + 12 * i), high = U32(table, 8 + 12 * i);
        if (high < low) return Fault("message block with its ids reversed");
        ids += high - low + 1;
    }
    std::printf("message table: %u ids in %u blocks\n", ids, blocks);
    if (ids != cIds || blocks != cBlocks) {
        Fault("message table: expected " + std::to_string(cIds) + " ids in " + std::to_string(cBlocks) + " blocks");
    }
}

// Defined external symbols _Name@N of a COFF object whose Name the
// definition file exports with another N.
void CheckObject(const char* path, const Def& def, std::set<std::string>* found) {
    const Bytes b = ReadFile(path);
    if (b.size() < 20) return;
    const size_t symbols = U32(b, 8), cSymbols = U32(b, 12);
    const size_t strings = symbols + 18 * cSymbols;
    for (size_t i = 0; i < cSymbols; ++i) {
        const size_t s = symbols + 18 * i;
        const char* inl = reinterpret_cast<const char*>(&b[s]);
        const std::string name = U32(b, s) ? std::string(inl, strnlen(inl, 8)) : Sz(b, strings + U32(b, s + 4));
        const int16_t section = static_cast<int16_t>(U16(b, s + 12));
        const uint8_t storage = b[s + 16];
        i += b[s + 17];  // auxiliary records
        if (storage != 2 || section <= 0 || name.size() < 3 || name[0] != '_') continue;
        const size_t at = name.rfind('@');
        if (at == std::string::npos) continue;
        const std::string plain = name.substr(1, at - 1);
        const auto it = def.find(plain);
        if (it == def.end()) continue;
        found->insert(plain);
        const uint32_t cb = static_cast<uint32_t>(std::stoul(name.substr(at + 1)));
        if (cb != it->second.cb) {
            Fault(plain + ": the code takes " + std::to_string(cb) + " argument bytes, the export table says " +
                  std::to_string(it->second.cb));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: dllshape DLL DEF MESSAGES IDS BLOCKS OBJECT...\n");
        return 2;
    }
    const Image img(ReadFile(argv[1]));
    const Def def = ReadDef(argv[2]);
    if (img.Ok()) {
        CheckExports(img, def);
        CheckImports(img);
        CheckMessages(img, ReadFile(argv[3]), static_cast<unsigned>(std::stoul(argv[4])),
                      static_cast<unsigned>(std::stoul(argv[5])));
    }
    std::set<std::string> found;
    for (int i = 6; i < argc; ++i) CheckObject(argv[i], def, &found);
    for (const auto& [name, row] : def)
        if (!found.count(name)) Fault(name + ": no stdcall definition in the objects");
    if (g_faults) return 1;
    std::printf("dllshape: the DLL has its shape\n");
    return 0;
}
