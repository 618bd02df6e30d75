// The registry through the platform layer: the system's on Windows, the
// registry file of the POSIX build elsewhere.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>

#include "sharedcode/platform/registry.h"
#include "tests/test_env.h"

namespace {

class Registry : public VgTestEnv {
protected:
    // Reads a value of key into m_value and m_type; the Win32 code.
    LONG Read(const char* key, const char* name, DWORD cb = 256) {
        plat::HKEY h = nullptr;
        LONG err = plat::RegOpenKeyExA(plat::HkeyLocalMachine(), key, 0, plat::kKeyRead, &h);
        if (err != ERROR_SUCCESS) return err;
        m_value.assign(cb, '\0');
        err = plat::RegQueryValueExA(h, name, nullptr, &m_type, reinterpret_cast<BYTE*>(&m_value[0]), &cb);
        plat::RegCloseKey(h);
        m_value.resize(err == ERROR_SUCCESS ? cb : 0);
        return err;
    }
    void WriteRaw(const std::string& bytes) {
        std::string tmp = m_registry + ".raw";
        std::ofstream(tmp, std::ios::binary) << bytes;
        std::rename(tmp.c_str(), m_registry.c_str());
    }
    struct Value { const char* key; const char* name; DWORD type; std::string value; };
    void ExpectValues(std::initializer_list<Value> values) {
        for (const Value& v : values) {
            EXPECT_EQ(Read(v.key, v.name), ERROR_SUCCESS) << v.name;
            EXPECT_EQ(m_type, v.type) << v.name;
            EXPECT_EQ(m_value, v.value) << v.name;
        }
    }
    std::string m_value;
    DWORD m_type = 0;
};

// A text value's bytes: the text and its terminator.
std::string Sz(const char* sz) { return std::string(sz) + '\0'; }

// Value kinds as RegQueryValueExA gives them, missing keys and values, and a
// buffer one byte short.
TEST_F(Registry, ValueKindsAndMisses) {
    WriteRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n\"Text\"=\"C:\\\\x \\\"q\\\"\"\r\n\"Number\"=dword:0000002a\r\n"
        "\"Blob\"=hex:01,02,03,ff\r\n");
    ExpectValues({
        {"SOFTWARE\\Test", "Text", plat::kRegSz, Sz("C:\\x \"q\"")},
        {"software\\TEST", "number", plat::kRegDword, std::string("\x2a\0\0\0", 4)},  // names fold case
        {"SOFTWARE\\Test", "Blob", plat::kRegBinary, "\x01\x02\x03\xff"},
    });
    EXPECT_EQ(Read("SOFTWARE\\Test", "Other"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("SOFTWARE\\Missing", "Text"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("SOFTWARE", "x"), ERROR_FILE_NOT_FOUND) << "parent keys exist, without values";
    EXPECT_EQ(Read("SOFTWARE\\Test", "Text", 8), ERROR_MORE_DATA);
    EXPECT_EQ(Read("SOFTWARE\\Test", "Text", 9), ERROR_SUCCESS);
}

// The file's own syntax: comments, continued hex lines, expandable texts, the
// default value; a later line for a value, and deletions, win.
TEST_F(Registry, FileSyntaxAndDeletions) {
    VG_POSIX_ONLY("the registry file stands in for the system's registry");
    WriteRegistry(
        "; a comment\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Blob\"=hex:01,02,\\\r\n  03,ff\r\n\"Expand\"=hex(2):41,00\r\n@=\"default\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"X\"=\"1\"\r\n\"Y\"=\"2\"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
        "\"X\"=\"3\"\r\n\"Y\"=-\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\C]\r\n\"Z\"=\"z\"\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\C]\r\n");
    ExpectValues({
        {"SOFTWARE\\Test", "Blob", plat::kRegBinary, "\x01\x02\x03\xff"},
        {"SOFTWARE\\Test", "Expand", plat::kRegExpandSz, Sz("A")},
        {"SOFTWARE\\Test", "", plat::kRegSz, Sz("default")},
        {"SOFTWARE\\A", "X", plat::kRegSz, Sz("3")},
    });
    EXPECT_EQ(Read("SOFTWARE\\A", "Y"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("SOFTWARE\\C", "Z"), ERROR_FILE_NOT_FOUND);
}

// REGEDIT4 with LF ends and a UTF-8 byte-order mark, a change of the same
// size, and regedit's own UTF-16LE export: each read sees the file as it is.
TEST_F(Registry, OtherEncodingsAndChangesBetweenReads) {
    VG_POSIX_ONLY("the registry file stands in for the system's registry");
    const std::string utf8 = "\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"";
    std::string u16 = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"u16\"\r\n"))
        u16 += std::string{c, '\0'};
    const std::pair<std::string, std::string> files[] = {{utf8 + "w\"\n", "w"}, {utf8 + "x\"\n", "x"}, {u16, "u16"}};
    for (const auto& [file, value] : files) {
        WriteRaw(file);
        ASSERT_EQ(Read("K", "V"), ERROR_SUCCESS);
        EXPECT_EQ(m_value, Sz(value.c_str()));
    }
    std::remove(m_registry.c_str());
    EXPECT_EQ(Read("K", "V"), ERROR_FILE_NOT_FOUND) << "no file: an empty registry";
}

#if !defined(_WIN32)
// Every edit is seen by the next read, however it is made: in place keeping
// the size and the modification time, through a symbolic link, or in a
// folder that did not exist when the registry was first read.
TEST_F(Registry, EditsAreSeenByTheNextRead) {
    namespace fs = std::filesystem;
    const std::string head = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"";
    WriteRaw(head + "a\"\r\n");
    ASSERT_EQ(Read("K", "V"), ERROR_SUCCESS);
    const fs::file_time_type mtime = fs::last_write_time(m_registry);
    {
        std::fstream f(m_registry, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(head.size()));
        f << 'b';
    }
    fs::last_write_time(m_registry, mtime);
    ASSERT_EQ(Read("K", "V"), ERROR_SUCCESS);
    EXPECT_EQ(m_value, Sz("b")) << "in place, same size and time";

    const std::string saved = m_registry;
    const std::string link = m_registry + ".link";
    fs::create_symlink(m_registry, link);
    ::setenv("VIGILON_REGISTRY", link.c_str(), 1);
    ASSERT_EQ(Read("K", "V"), ERROR_SUCCESS);
    WriteRaw(head + "c\"\r\n");
    ASSERT_EQ(Read("K", "V"), ERROR_SUCCESS);
    EXPECT_EQ(m_value, Sz("c")) << "through a link";

    const std::string later = m_registry + ".d/registry.reg";
    ::setenv("VIGILON_REGISTRY", later.c_str(), 1);
    EXPECT_EQ(Read("K", "V"), ERROR_FILE_NOT_FOUND);
    fs::create_directory(m_registry + ".d");
    std::ofstream(later, std::ios::binary) << head << "d\"\r\n";
    ASSERT_EQ(Read("K", "V"), ERROR_SUCCESS);
    EXPECT_EQ(m_value, Sz("d")) << "in a new folder";
    ::setenv("VIGILON_REGISTRY", saved.c_str(), 1);
}
#endif

// A value name holding a zero byte matches no name a caller can pass; the
// comparison ends at the caller's terminator instead of reading past it.
TEST_F(Registry, NameWithAZeroByteMatchesNothing) {
    const char text[] = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"\0x\"=\"odd\"\r\n";
    WriteRaw(std::string(text, sizeof(text) - 1));
    const char szEmptyThenX[] = {'\0', 'x', '\0'};
    EXPECT_EQ(Read("K", szEmptyThenX), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("K", "x"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, MalformedFilesAreRefusedAsAWhole) {
    VG_POSIX_ONLY("the registry file stands in for the system's registry");
    const char* bad[] = {
        "",                                                  // no header
        "REGEDIT5\r\n[HKEY_LOCAL_MACHINE\\K]\r\n",           // wrong header
        "REGEDIT4\r\n\"V\"=\"value before any key\"\r\n",
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"unterminated\r\n",
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=dword:123456789\r\n",
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=hex:1,zz\r\n",
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K\r\n",
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\nV=1\r\n",
    };
    for (const char* text : bad) {
        WriteRaw(text);
        EXPECT_EQ(Read("K", "V"), ERROR_BADDB) << text;
    }
}

}  // namespace
