// The registry file of the POSIX build, read through the platform layer.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "sharedcode/platform/registry.h"
#include "tests/test_env.h"

namespace {

class Registry : public VgTestEnv {
protected:
    // Reads a value of key; the Win32 code, the type and the bytes.
    LONG Read(const char* key, const char* name, std::string* data, DWORD* type = nullptr, DWORD cb = 256) {
        plat::HKEY h = nullptr;
        LONG err = plat::RegOpenKeyExA(plat::HkeyLocalMachine(), key, 0, plat::kKeyRead, &h);
        if (err != ERROR_SUCCESS) return err;
        std::string buf(cb, '\0');
        err = plat::RegQueryValueExA(h, name, nullptr, type, reinterpret_cast<BYTE*>(&buf[0]), &cb);
        plat::RegCloseKey(h);
        if (err == ERROR_SUCCESS && data) *data = buf.substr(0, cb);
        return err;
    }
    void WriteRaw(const std::string& bytes) {
        std::string tmp = m_registry + ".raw";
        std::ofstream(tmp, std::ios::binary) << bytes;
        std::rename(tmp.c_str(), m_registry.c_str());
    }
};

TEST_F(Registry, ValueKindsAndEscapes) {
    WriteRegistry(
        "; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Text\"=\"C:\\\\Program Files\\\\x \\\"quoted\\\"\"\r\n"
        "\"Number\"=dword:0000002a\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  03,ff\r\n"
        "\"Expand\"=hex(2):41,00\r\n"
        "@=\"default\"\r\n");
    std::string v;
    DWORD type = 0;
    ASSERT_EQ(Read("SOFTWARE\\Test", "Text", &v, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, plat::kRegSz);
    EXPECT_EQ(v, std::string("C:\\Program Files\\x \"quoted\"") + '\0');
    ASSERT_EQ(Read("software\\TEST", "number", &v, &type), ERROR_SUCCESS) << "names fold case";
    EXPECT_EQ(type, plat::kRegDword);
    EXPECT_EQ(v, std::string("\x2a\0\0\0", 4));
    ASSERT_EQ(Read("SOFTWARE\\Test", "Blob", &v, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, plat::kRegBinary);
    EXPECT_EQ(v, "\x01\x02\x03\xff");
    ASSERT_EQ(Read("SOFTWARE\\Test", "Expand", &v, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, plat::kRegExpandSz);
    ASSERT_EQ(Read("SOFTWARE\\Test", "", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, std::string("default\0", 8));
    EXPECT_EQ(Read("SOFTWARE", "x", &v), ERROR_FILE_NOT_FOUND) << "parent keys exist, without values";
}

TEST_F(Registry, MissingAndTooLarge) {
    EXPECT_EQ(Read("SOFTWARE\\Test", "Text", nullptr), ERROR_FILE_NOT_FOUND) << "no file: empty registry";
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n\"Text\"=\"abcdef\"\n");
    EXPECT_EQ(Read("SOFTWARE\\Other", "Text", nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("SOFTWARE\\Test", "Other", nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("SOFTWARE\\Test", "Text", nullptr, nullptr, 6), ERROR_MORE_DATA);
    std::string v;
    EXPECT_EQ(Read("SOFTWARE\\Test", "Text", &v, nullptr, 7), ERROR_SUCCESS);
}

TEST_F(Registry, LaterLinesAndDeletionsWin) {
    WriteRegistry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n\"X\"=\"1\"\n\"Y\"=\"2\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n\"X\"=\"3\"\n\"Y\"=-\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\C]\n\"Z\"=\"z\"\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\C]\n");
    std::string v;
    ASSERT_EQ(Read("SOFTWARE\\A\\B", "X", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, std::string("3\0", 2));
    EXPECT_EQ(Read("SOFTWARE\\A\\B", "Y", &v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Read("SOFTWARE\\C", "Z", &v), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, OtherEncodingsAndLineEnds) {
    // REGEDIT4 with LF ends and a UTF-8 byte-order mark.
    WriteRaw("\xEF\xBB\xBFREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"w\"\n");
    std::string v;
    ASSERT_EQ(Read("K", "V", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, std::string("w\0", 2));

    // regedit's own UTF-16LE export.
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"u16\"\r\n";
    std::string u16 = "\xFF\xFE";
    for (char c : text) {
        u16 += c;
        u16 += '\0';
    }
    WriteRaw(u16);
    ASSERT_EQ(Read("K", "V", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, std::string("u16\0", 4));
}

TEST_F(Registry, MalformedFilesAreRefusedAsAWhole) {
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
        EXPECT_EQ(Read("K", "V", nullptr), ERROR_BADDB) << text;
    }
}

TEST_F(Registry, ChangesAreSeenOnTheNextRead) {
    std::string v;
    for (int i = 0; i < 20; ++i) {
        char line[64];
        std::snprintf(line, sizeof(line), "\"V\"=dword:%08x\r\n", 0x10 + i);
        WriteRegistry(std::string("[HKEY_LOCAL_MACHINE\\K]\r\n") + line);
        ASSERT_EQ(Read("K", "V", &v), ERROR_SUCCESS);
        EXPECT_EQ(static_cast<unsigned char>(v[0]), 0x10 + i) << i;
    }
    std::remove(m_registry.c_str());
    EXPECT_EQ(Read("K", "V", &v), ERROR_FILE_NOT_FOUND);
}

}  // namespace
