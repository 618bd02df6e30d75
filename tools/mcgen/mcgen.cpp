// mcgen: builds the library's message table from VGClient/vgmessages.inc.
//
//   mcgen <messages.bin> <table.cpp> <messages.rc>
//
// writes the table three ways: the raw bytes (the RT_MESSAGETABLE layout
// described in VGClient/vgmessagetable.h), a C++ source holding the same
// bytes behind VgMessageTableBytes(), and a resource script that embeds the
// raw file as message table 1, language 0x0409. Every code is written at
// severities 1, 2 and 3 with the same text.
//
//   mcgen --def <VAVarive32.def> decorated|plain
//
// writes the module-definition file of the Windows DLL from the export
// table VGClient/vgexports.inc (the named settings enter it through that
// file), one name per line; "decorated" appends "@" and the argument bytes
// that a 32-bit __stdcall name carries. An alias row becomes
// "Name = Routine", so that both names export one address.
//
// The rows are compiled in, so this program is rebuilt whenever they change.
// It runs on the build machine, also when the library is cross-compiled.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "VGClient/vgmessagetable.h"

namespace {

// ---------------------------------------------------------------------------
// The rows

enum FamilyId {
#define VG_MSG_FAMILY(name, first, text0, prefix, suffix) kFamily##name,
#include "VGClient/vgmessages.inc"
    kFamilyCount
};

struct Message {
    uint32_t code;
    const char* text;
};

struct Family {
    const char* name;
    uint32_t first;
    const char* text0;
    const char* prefix;
    const char* suffix;
};

struct FamilyRow {
    FamilyId family;
    uint32_t service;
    const char* text;
};

struct Label {
    uint32_t service;
    const char* label;
};

const std::vector<Message> kMessages = {
#define VG_MSG(code, text) {code, text},
#include "VGClient/vgmessages.inc"
};

const Family kFamilies[kFamilyCount] = {
#define VG_MSG_FAMILY(name, first, text0, prefix, suffix) {#name, first, text0, prefix, suffix},
#include "VGClient/vgmessages.inc"
};

const std::vector<FamilyRow> kFamilyRows = {
#define VG_MSG_FAMILY_ROW(name, s, text) {kFamily##name, s, text},
#include "VGClient/vgmessages.inc"
};

const std::vector<Label> kLabels = {
#define VG_MSG_LABEL(s, label) {s, label},
#include "VGClient/vgmessages.inc"
};

const uint32_t kServiceCount = 16;  // service codes 0 to 15; 0 is untagged

// ---------------------------------------------------------------------------
// Expansion and checks

bool Fail(const char* what, uint32_t code) {
    std::fprintf(stderr, "mcgen: code 0x%04X: %s\n", static_cast<unsigned>(code), what);
    return false;
}

// Expands the rows into one text per code, rejecting rows that clash or that
// the table could not carry.
bool Expand(std::map<uint32_t, std::string>* texts) {
    std::string labels[kServiceCount];
    for (const Label& l : kLabels) {
        if (l.service == 0 || l.service >= kServiceCount)
            return Fail("label for a service code outside 1 to 15", l.service);
        if (!labels[l.service].empty())
            return Fail("service label given twice", l.service);
        labels[l.service] = l.label;
    }
    for (uint32_t s = 1; s < kServiceCount; ++s)
        if (labels[s].empty())
            return Fail("service code without a label", s);

    auto add = [texts](uint32_t code, std::string text) {
        if (code > 0xFFFF)
            return Fail("code does not fit 16 bits", code);
        if (!texts->emplace(code, std::move(text)).second)
            return Fail("code given twice", code);
        return true;
    };
    for (const Message& m : kMessages)
        if (!add(m.code, m.text))
            return false;
    for (const Family& f : kFamilies) {
        if (!add(f.first, f.text0))
            return false;
        for (uint32_t s = 1; s < kServiceCount; ++s)
            if (!add(f.first + s, f.prefix + labels[s] + f.suffix))
                return false;
    }

    std::map<uint32_t, bool> replaced;
    for (const FamilyRow& r : kFamilyRows) {
        const uint32_t code = kFamilies[r.family].first + r.service;
        if (r.service == 0 || r.service >= kServiceCount)
            return Fail("family row for a service code outside 1 to 15", code);
        if (replaced[code])
            return Fail("family row given twice", code);
        replaced[code] = true;
        (*texts)[code] = r.text;
    }

    for (const auto& [code, text] : *texts) {
        if (text.empty())
            return Fail("empty text", code);
        if (text.back() == '\r' || text.back() == '\n')
            return Fail("text ends in a line break", code);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The table

void PutU16(std::vector<unsigned char>* out, size_t at, uint32_t v) {
    (*out)[at] = static_cast<unsigned char>(v);
    (*out)[at + 1] = static_cast<unsigned char>(v >> 8);
}

void PutU32(std::vector<unsigned char>* out, size_t at, uint32_t v) {
    PutU16(out, at, v & 0xFFFF);
    PutU16(out, at + 2, v >> 16);
}

// Where each identifier's text stands in the table, in identifier order.
struct IndexRow {
    uint32_t id, offset, cch;
};

bool BuildTable(const std::map<uint32_t, std::string>& texts, std::vector<unsigned char>* out,
                std::vector<IndexRow>* index) {
    struct Entry {
        uint32_t id;
        const std::string* text;
    };
    // Severity in the top bits: iterating severities outermost gives the
    // identifiers in ascending unsigned order.
    std::vector<Entry> entries;
    for (uint32_t severity = 1; severity <= 3; ++severity)
        for (const auto& [code, text] : texts)
            entries.push_back({VgMessageId(severity, code), &text});

    // One block per run of consecutive identifiers.
    struct Block {
        uint32_t low, high;
        size_t first;  // index into entries
    };
    std::vector<Block> blocks;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (blocks.empty() || entries[i].id != blocks.back().high + 1)
            blocks.push_back({entries[i].id, entries[i].id, i});
        else
            blocks.back().high = entries[i].id;
    }

    out->assign(4 + 12 * blocks.size(), 0);
    PutU32(out, 0, static_cast<uint32_t>(blocks.size()));
    for (size_t b = 0; b < blocks.size(); ++b) {
        const size_t end = b + 1 < blocks.size() ? blocks[b + 1].first : entries.size();
        PutU32(out, 4 + 12 * b, blocks[b].low);
        PutU32(out, 4 + 12 * b + 4, blocks[b].high);
        PutU32(out, 4 + 12 * b + 8, static_cast<uint32_t>(out->size()));
        for (size_t i = blocks[b].first; i < end; ++i) {
            const std::string& text = *entries[i].text;
            // Header, text, at least one NUL, padded to a multiple of four.
            const size_t length = (4 + text.size() + 1 + 3) & ~size_t{3};
            if (length > 0xFFFF)
                return Fail("text too long for a message-table entry", entries[i].id & 0xFFFF);
            const size_t at = out->size();
            out->resize(at + length, 0);
            PutU16(out, at, static_cast<uint32_t>(length));
            PutU16(out, at + 2, 0);  // ANSI
            std::memcpy(out->data() + at + 4, text.data(), text.size());
            index->push_back({entries[i].id, static_cast<uint32_t>(at + 4), static_cast<uint32_t>(text.size())});
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Output

bool WriteFile(const char* path, const void* data, size_t cb) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::perror(path);
        return false;
    }
    const bool ok = std::fwrite(data, 1, cb, f) == cb;
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "mcgen: cannot write %s\n", path);
        return false;
    }
    return true;
}

bool WriteFile(const char* path, const std::string& text) {
    return WriteFile(path, text.data(), text.size());
}

const char kGeneratedNote[] = "// Generated by mcgen from VGClient/vgmessages.inc; do not edit.\n";

std::string CppSource(const std::vector<unsigned char>& table, const std::vector<IndexRow>& index) {
    std::string s = kGeneratedNote;
    s += "#include \"VGClient/vgmessagetable.h\"\n\nnamespace {\n\n";
    s += "alignas(4) const unsigned char kMessageTable[" + std::to_string(table.size()) + "] = {\n";
    char hex[8];
    for (size_t i = 0; i < table.size(); ++i) {
        std::snprintf(hex, sizeof hex, "0x%02x,", table[i]);
        s += i % 16 == 0 ? "    " : " ";
        s += hex;
        if (i % 16 == 15 || i + 1 == table.size())
            s += '\n';
    }
    s += "};\n\n";
    // The index spares the library's own lookups the walk through a block.
    s += "const VgMessageIndexRow kMessageIndex[" + std::to_string(index.size()) + "] = {\n";
    char row[64];
    for (const IndexRow& r : index) {
        std::snprintf(row, sizeof row, "    {0x%08X, %u, %u},\n", static_cast<unsigned>(r.id),
                      static_cast<unsigned>(r.offset), static_cast<unsigned>(r.cch));
        s += row;
    }
    s += "};\n\n}  // namespace\n\n";
    s += "const VgMessageIndexRow* VgMessageIndex(size_t* pcRows) {\n"
         "    if (pcRows != nullptr)\n"
         "        *pcRows = sizeof kMessageIndex / sizeof kMessageIndex[0];\n"
         "    return kMessageIndex;\n"
         "}\n\n";
    s += "const unsigned char* VgMessageTableBytes(size_t* pcb) {\n"
         "    if (pcb != nullptr)\n"
         "        *pcb = sizeof kMessageTable;\n"
         "    return kMessageTable;\n"
         "}\n";
    return s;
}

bool ResourceScript(const char* binPath, std::string* rc) {
    std::string quoted;
    for (const char* p = binPath; *p != '\0'; ++p) {
        if (*p == '"') {
            std::fprintf(stderr, "mcgen: cannot name %s in a resource script\n", binPath);
            return false;
        }
        quoted += *p;
        if (*p == '\\')
            quoted += '\\';
    }
    *rc = kGeneratedNote;
    *rc += "LANGUAGE 0x09, 0x01\n"
           "1 MESSAGETABLE \"" + quoted + "\"\n";
    return true;
}

// ---------------------------------------------------------------------------
// The module-definition file

struct ExportRow {
    const char* szName;
    int cSlots;             // 32-bit argument slots
    const char* szRoutine;  // an alias: the export whose routine it names; else null
};

const ExportRow kExports[] = {
#define VG_EXPORT(name, slots) {#name, slots, nullptr},
#define VG_EXPORT_ALIAS(name, slots, routine) {#name, slots, #routine},
#include "VGClient/vgexports.inc"
#undef VG_EXPORT_ALIAS
#undef VG_EXPORT
};

std::string ModuleDefinition(bool fDecorated) {
    std::string s = "LIBRARY VAVarive32\nEXPORTS\n";
    for (const ExportRow& row : kExports) {
        const std::string suffix = fDecorated ? "@" + std::to_string(row.cSlots * 4) : "";
        s += "    ";
        s += row.szName + suffix;
        if (row.szRoutine) s += " = " + (row.szRoutine + suffix);
        s += "\n";
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--def") == 0) {
        const bool fDecorated = std::strcmp(argv[3], "decorated") == 0;
        if (!fDecorated && std::strcmp(argv[3], "plain") != 0) {
            std::fprintf(stderr, "mcgen --def: decorated or plain, not %s\n", argv[3]);
            return 2;
        }
        return WriteFile(argv[2], ModuleDefinition(fDecorated)) ? 0 : 1;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: mcgen <messages.bin> <table.cpp> <messages.rc>\n");
        return 2;
    }
    std::map<uint32_t, std::string> texts;
    std::vector<unsigned char> table;
    std::vector<IndexRow> index;
    std::string rc;
    if (!Expand(&texts) || !BuildTable(texts, &table, &index) || !ResourceScript(argv[1], &rc))
        return 1;
    if (!WriteFile(argv[1], table.data(), table.size()) || !WriteFile(argv[2], CppSource(table, index)) ||
        !WriteFile(argv[3], rc))
        return 1;
    return 0;
}
