// Management sessions against the fake service: what the logon request
// carries, checked against an RC4 + MD5 + Base64 computation of the test's
// own; the sealing limits; what fails before anything is sent. (End and
// abort: test_vgctl_mgmt on the wire, vigilond's management suite end to end.)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "VGClient/vgsession.h"
#include "VGClient/vgwire.h"
#include "sharedcode/blobresource.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/crypto.h"
#include "sharedcode/platform/faults_testhook.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/module.h"
#include "tests/mgmt_test.h"
#include "tests/pe_image.h"

namespace {

constexpr VGHRESULT Hr(uint32_t v) { return static_cast<VGHRESULT>(v); }
constexpr VGHRESULT kNoPipe = Hr(0x80070002u), kMissingArg = Hr(0x800700A0u), kMoreData = Hr(0x800700EAu);

// ---------------------------------------------------------------------------
// The reference: MD5 (RFC 1321), RC4 and Base64, written out here.

Bytes Md5(Bytes m) {
    static const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    const uint64_t cBits = uint64_t{m.size()} * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 0; i < 8; ++i) m.push_back(static_cast<uint8_t>(cBits >> (8 * i)));
    uint32_t h[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    for (size_t off = 0; off < m.size(); off += 64) {
        uint32_t w[16], a = h[0], b = h[1], c = h[2], d = h[3];
        std::memcpy(w, &m[off], 64);
        for (int i = 0; i < 64; ++i) {
            const int r = i / 16, g = (r == 0 ? i : r == 1 ? 5 * i + 1 : r == 2 ? 3 * i + 5 : 7 * i) % 16;
            const uint32_t f = r == 0 ? (b & c) | (~b & d) : r == 1 ? (d & b) | (~d & c)
                             : r == 2 ? b ^ c ^ d : c ^ (b | ~d);
            const uint32_t k = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
            const uint32_t x = a + f + k + w[g];
            a = d, d = c, c = b;
            b += (x << kShift[r][i % 4]) | (x >> (32 - kShift[r][i % 4]));
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    return Bytes(reinterpret_cast<uint8_t*>(h), reinterpret_cast<uint8_t*>(h) + 16);
}

Bytes Rc4(const Bytes& key, Bytes data) {
    uint8_t S[256];
    for (int i = 0; i < 256; ++i) S[i] = static_cast<uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) std::swap(S[i], S[j = (j + S[i] + key[i % key.size()]) & 255]);
    for (size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
        i = (i + 1) & 255;
        j = (j + S[i]) & 255;
        std::swap(S[i], S[j]);
        data[n] ^= S[(S[i] + S[j]) & 255];
    }
    return data;
}

std::string Base64(const Bytes& b) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (size_t i = 0; i < b.size(); i += 3) {
        const uint32_t n = b[i] << 16 | (i + 1 < b.size() ? b[i + 1] << 8 : 0) | (i + 2 < b.size() ? b[i + 2] : 0);
        for (size_t k = 0; k < 4; ++k) s += i + k <= b.size() ? kAlphabet[n >> (18 - 6 * k) & 63] : '=';
    }
    return s;
}

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes kKeyResource = Of("Postern resource library key resource, revision 7");

std::string Sealed(const std::string& text, const Bytes& keyResource = kKeyResource) {
    return Base64(Rc4(Md5(keyResource), Of(text)));
}

// ---------------------------------------------------------------------------

// A module file holding one resource: type 2, name 1000; for this process's
// word size when it is to be loaded as code.
void WritePe(const std::string& path, const Bytes& payload, bool fNative = false) {
    const Bytes pe = peimage::BuildPe({fNative && sizeof(void*) == 8, true, 2, 1000, payload});
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(pe.data()), static_cast<std::streamsize>(pe.size()));
}

bool SameId(const VGSESSIONID& a, const Bytes& b) { return std::memcmp(&a, b.data(), sizeof(a)) == 0; }

// A sealed field: one Base64 line, a NUL, the rest of the field zero.
void ExpectField(const Bytes& req, size_t off, size_t width, const std::string& expected) {
    const std::string text = TextAt(req, off, width);
    EXPECT_EQ(text, expected) << "field at " << off;
    EXPECT_TRUE(Bytes(&req[off + text.size()], &req[off + width]) == Bytes(width - text.size())) << "field at " << off;
}

class Session : public VgMgmtTest {
protected:
    void SetUp() override {
        VgMgmtTest::SetUp();
        WritePe(m_dir + "/PNASRes.dll", kKeyResource);
        WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern]\r\n\"AppPath\"=\"" + m_dir + "\"\r\n");
        Answer(0, m_id);
        std::memset(&m_idOut, 0xCC, sizeof(m_idOut));
    }
    void TearDown() override {
        for (plat::HMODULE h : m_modules) plat::FreeLibrary(h);
        VgMgmtTest::TearDown();
    }
    // A module of the process loaded from a file of this name in the test
    // folder (POSIX: loaded as data, which has a file name there).
    void* Module(const std::string& fileName) {
        WritePe(m_dir + "/" + fileName, Of("code"), true);
        m_modules.push_back(LoadModule(m_dir + "/" + fileName));
        EXPECT_NE(m_modules.back(), nullptr) << fileName;
        return m_modules.back();
    }
    VGHRESULT Open(const std::string& t1, const std::string& t2, const std::string& t3, void* hModule = nullptr) {
        return HrVGOpenMgmtSession(t1.c_str(), t2.c_str(), t3.c_str(), &m_idOut, hModule);
    }

    const Bytes m_id = Of("session-id-16byt");
    VGSESSIONID m_idOut;
    std::vector<plat::HMODULE> m_modules;
};

// With CR LF after every 64 characters and a NUL, 462 bytes fit 638, 183 fit
// 256 and 189 fit 261.
TEST_F(Session, OpenSealsItsTextsAndTakesTheIdFromAnyReply) {
    const std::string t462(462, 'a'), t183(183, 'b'), m189 = std::string(185, 'm') + ".exe";
    Answer(Hr(0x80004005u), m_id);  // the status comes back as it is, the id whatever the status
    ASSERT_EQ(Open(t462, t183, std::string(63, 'c'), Module(m189)), Hr(0x80004005u));
    EXPECT_TRUE(SameId(m_idOut, m_id));
    const Bytes req = Last();
    ASSERT_EQ(req.size(), 1304u);
    EXPECT_EQ(U32At(req, 0), 1304u);
    EXPECT_EQ(U32At(req, 4), static_cast<uint32_t>(VGCMD_OPENMGMTSESSION));
    ExpectField(req, 84, 638, Sealed(t462));
    ExpectField(req, 722, 256, Sealed(t183));
    ExpectField(req, 978, 64, std::string(63, 'c'));
    ExpectField(req, 1042, 261, Sealed(m189));

    // A known answer; a null text seals to nothing; without a module the
    // executable's file name is sealed.
    WritePe(m_dir + "/PNASRes.dll", Of("abc"));
    ASSERT_EQ(HrVGOpenMgmtSession("hello", nullptr, "x", &m_idOut, nullptr), Hr(0x80004005u));
    ExpectField(Last(), 84, 638, "Q4GFrF8=");
    ExpectField(Last(), 722, 256, "");
    ExpectField(Last(), 1042, 261, Sealed(ProgramFileName(), Of("abc")));

    Answer(0, {}, 12);  // a reply without an id leaves its zero preset
    EXPECT_EQ(Open("a", "b", "c"), 0);
    EXPECT_TRUE(SameId(m_idOut, Bytes(16)));
    m_service.reset();  // a failed exchange leaves the id alone
    std::memset(&m_idOut, 0xCC, sizeof(m_idOut));
    EXPECT_EQ(Open("a", "b", "c"), kNoPipe);
    EXPECT_TRUE(SameId(m_idOut, Bytes(16, 0xCC)));
}

TEST_F(Session, FailuresBeforeSendingLeaveTheIdAlone) {
    EXPECT_EQ(HrVGOpenMgmtSession("a", "b", nullptr, &m_idOut, nullptr), kMissingArg);
    EXPECT_EQ(HrVGOpenMgmtSession("a", "b", "c", nullptr, nullptr), kMissingArg);
    // A text one byte longer than its field holds.
    EXPECT_EQ(Open(std::string(463, 'a'), "", ""), kMoreData);
    EXPECT_EQ(Open("", std::string(184, 'b'), ""), kMoreData);
    EXPECT_EQ(Open("", "", "", Module(std::string(186, 'm') + ".exe")), kMoreData);
    EXPECT_EQ(Open("", "", std::string(64, 'c')), Hr(0x8007007Au));  // the clear text is not cut
    // The provider refusing a key; the module heap refusing the work buffer.
    plat::testing::FailKeyDerivations(1);
    EXPECT_EQ(Open("a", "b", "c"), Hr(0x80090020u));
    plat::testing::FailHeapAllocs(CModuleHeap::Instance().Handle(), 1);
    EXPECT_EQ(Open("a", "b", "c"), Hr(0x8007000Eu));
    plat::testing::FailHeapAllocs(CModuleHeap::Instance().Handle(), 0);
    // The key material: the resource empty, the library missing, no AppPath.
    WritePe(m_dir + "/PNASRes.dll", {});
    EXPECT_EQ(Open("a", "b", "c"), Hr(0x8007000Du));
    // Missing, it fails as the resource loader does (0x8007007E; Wine's
    // loader calls a missing data file a missing file, 0x80070002).
    std::remove((m_dir + "/PNASRes.dll").c_str());
    EXPECT_EQ(Open("a", "b", "c"), CBlobResource().Load((m_dir + "/PNASRes.dll").c_str()));
    WriteRegistry("");
    EXPECT_EQ(Open("a", "b", "c"), kNoPipe);
    EXPECT_EQ(m_service->RequestCount(), 0u);
    EXPECT_TRUE(SameId(m_idOut, Bytes(16, 0xCC)));
}

// SealCredential at representative lengths (empty, each Base64 padding, a
// line of 64 characters exactly and one more) against the reference; the
// count includes CR LF after every 64 characters.
TEST_F(Session, SealCredentialMatchesTheReference) {
    Bytes text(470);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 131 + 7);
    for (DWORD cb : {0u, 1u, 2u, 3u, 48u, 49u, 462u}) {
        std::vector<char> out(638, '#');
        DWORD cch = 638;
        ASSERT_EQ(SealCredential(text.data(), cb, out.data(), &cch), 0) << cb;
        const std::string expected = Base64(Rc4(Md5(kKeyResource), Bytes(text.begin(), text.begin() + cb)));
        EXPECT_EQ(std::string(out.data()), expected) << cb;
        EXPECT_EQ(cch, expected.size() + 2 * (cb == 0 ? 1 : (expected.size() + 63) / 64)) << cb;
        EXPECT_EQ(std::count(out.begin() + expected.size(), out.end(), 0), 638 - expected.size()) << cb;
    }
}

}  // namespace
