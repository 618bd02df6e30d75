// Management sessions against the fake service: what the logon request
// carries, checked against an RC4 + MD5 + Base64 computation of the test's
// own; the sealing limits; what fails before anything is sent; end and abort.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "VGClient/VAVarive32.h"
#include "VGClient/vgsession.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/crypto.h"
#include "sharedcode/platform/heap.h"
#include "sharedcode/platform/module.h"
#include "tests/fake_service.h"
#include "tests/pe_image.h"
#include "tests/test_env.h"

namespace {

constexpr VGHRESULT kNoPipe = static_cast<VGHRESULT>(0x80070002u);
constexpr VGHRESULT kMissingArg = static_cast<VGHRESULT>(0x800700A0u);
constexpr VGHRESULT kTruncated = static_cast<VGHRESULT>(0x8007007Au);
constexpr VGHRESULT kMoreData = static_cast<VGHRESULT>(0x800700EAu);

// ---------------------------------------------------------------------------
// The reference: MD5 (RFC 1321), RC4 and Base64, written out here.

std::vector<uint8_t> Md5(const std::vector<uint8_t>& msg) {
    static const int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t K[64];
    for (int i = 0; i < 64; ++i) K[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
    std::vector<uint8_t> m(msg);
    const uint64_t cBits = static_cast<uint64_t>(msg.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 0; i < 8; ++i) m.push_back(static_cast<uint8_t>(cBits >> (8 * i)));
    uint32_t h[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    for (size_t off = 0; off < m.size(); off += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) std::memcpy(&w[i], &m[off + 4 * i], 4);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) f = (b & c) | (~b & d), g = i;
            else if (i < 32) f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
            else if (i < 48) f = b ^ c ^ d, g = (3 * i + 5) % 16;
            else f = c ^ (b | ~d), g = (7 * i) % 16;
            const uint32_t x = a + f + K[i] + w[g];
            const int s = kShift[i / 16][i % 4];
            a = d, d = c, c = b;
            b += (x << s) | (x >> (32 - s));
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d;
    }
    std::vector<uint8_t> digest(16);
    std::memcpy(digest.data(), h, 16);
    return digest;
}

std::vector<uint8_t> Rc4(const std::vector<uint8_t>& key, std::vector<uint8_t> data) {
    uint8_t S[256];
    for (int i = 0; i < 256; ++i) S[i] = static_cast<uint8_t>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + S[i] + key[i % key.size()]) & 255;
        std::swap(S[i], S[j]);
    }
    for (size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
        i = (i + 1) & 255;
        j = (j + S[i]) & 255;
        std::swap(S[i], S[j]);
        data[n] ^= S[(S[i] + S[j]) & 255];
    }
    return data;
}

std::string Base64(const std::vector<uint8_t>& b) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    for (size_t i = 0; i < b.size(); i += 3) {
        const uint32_t n = b[i] << 16 | (i + 1 < b.size() ? b[i + 1] << 8 : 0) | (i + 2 < b.size() ? b[i + 2] : 0);
        s += kAlphabet[n >> 18 & 63];
        s += kAlphabet[n >> 12 & 63];
        s += i + 1 < b.size() ? kAlphabet[n >> 6 & 63] : '=';
        s += i + 2 < b.size() ? kAlphabet[n & 63] : '=';
    }
    return s;
}

std::vector<uint8_t> Of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string Sealed(const std::vector<uint8_t>& keyResource, const std::string& text) {
    return Base64(Rc4(Md5(keyResource), Of(text)));
}

const std::vector<uint8_t> kKeyResource = Of("Postern resource library key resource, revision 7");

// ---------------------------------------------------------------------------

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> PeWith(const std::vector<uint8_t>& payload, uint16_t wName = 1000) {
    peimage::PeLayout layout;
    layout.payload = payload;
    layout.wName = wName;
    return peimage::BuildPe(layout);
}

Bytes Reply(int32_t hrStatus, uint8_t idFill, size_t cb = 28) {
    Bytes b(cb, 0);
    std::memcpy(&b[8], &hrStatus, 4);
    for (size_t i = 12; i < cb; ++i) b[i] = static_cast<uint8_t>(idFill + i);
    return b;
}

VGSESSIONID Filled(uint8_t v) {
    VGSESSIONID id;
    std::memset(&id, v, sizeof(id));
    return id;
}

bool SameId(const VGSESSIONID& a, const VGSESSIONID& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

// A sealed field: one Base64 line, a NUL, the rest of the field zero.
void ExpectField(const Bytes& req, size_t off, size_t width, const std::string& expected) {
    const std::string text = TextAt(req, off, width);
    EXPECT_EQ(text, expected) << "field at " << off;
    EXPECT_EQ(text.find_first_of("\r\n \t"), std::string::npos);
    for (size_t i = off + text.size(); i < off + width; ++i) ASSERT_EQ(req[i], 0) << "byte " << i;
}

class Session : public VgTestEnv {
protected:
    void SetUp() override {
        VgTestEnv::SetUp();
        m_app = m_dir + "/Postern";
        ::mkdir(m_app.c_str(), 0700);
        WriteFile(m_app + "/PNASRes.dll", PeWith(kKeyResource));
        WriteAppPath(m_app);
        m_service.reset(new FakeService(VG_MANAGEMENT_PIPE));
        Answer(Reply(0, 0x40));
    }
    void TearDown() override {
        for (plat::HMODULE h : m_modules) plat::FreeLibrary(h);
        m_service.reset();
        VgTestEnv::TearDown();
    }
    void WriteAppPath(const std::string& appPath) {
        WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern]\r\n\"AppPath\"=\"" + appPath + "\"\r\n");
    }
    void Answer(Bytes reply) {
        m_service->SetHandler([reply](const Bytes&) {
            FakeAction a;
            a.reply = reply;
            return a;
        });
    }
    // A module loaded as data from a file of this name in the test folder.
    plat::HMODULE Module(const std::string& fileName) {
        const std::string path = m_dir + "/" + fileName;
        WriteFile(path, PeWith(Of("code")));
        plat::HMODULE h = plat::LoadLibraryAsDataA(path.c_str());
        EXPECT_NE(h, nullptr) << fileName;
        m_modules.push_back(h);
        return h;
    }
    VGHRESULT Open(const char* t1, const char* t2, const char* t3, VGSESSIONID* pid, void* hModule = nullptr) {
        return HrVGOpenMgmtSession(t1, t2, t3, pid, hModule);
    }

    std::string m_app;
    std::unique_ptr<FakeService> m_service;
    std::vector<plat::HMODULE> m_modules;
};

TEST_F(Session, OpenSealsTwoTextsAndTheModuleBaseName) {
    Answer(Reply(0x00150001, 0x40));  // a success code other than S_OK
    VGSESSIONID id = Filled(0xCC);
    ASSERT_EQ(Open("admin", "s3cret", "in-clear", &id, Module("Admin Console.exe")), 0x00150001);

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    const Bytes& req = reqs[0];
    ASSERT_EQ(req.size(), 1304u);
    EXPECT_EQ(U32At(req, 0), 1304u);
    EXPECT_EQ(U32At(req, 4), static_cast<uint32_t>(VGCMD_OPENMGMTSESSION));
    EXPECT_EQ(U32At(req, 16), VG_PROTOCOL_VERSION);
    ExpectField(req, 84, 638, Sealed(kKeyResource, "admin"));
    ExpectField(req, 722, 256, Sealed(kKeyResource, "s3cret"));
    ExpectField(req, 978, 64, "in-clear");
    ExpectField(req, 1042, 261, Sealed(kKeyResource, "Admin Console.exe"));
    EXPECT_EQ(req[1303], 0);

    const Bytes reply = Reply(0, 0x40);
    EXPECT_EQ(std::memcmp(&id, &reply[12], 16), 0);

    // Each text is sealed afresh: the same text gives the same field.
    ASSERT_EQ(Open("same", "same", "", &id), 0x00150001);
    reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(TextAt(reqs[1], 84, 638), Sealed(kKeyResource, "same"));
    EXPECT_EQ(TextAt(reqs[1], 722, 256), Sealed(kKeyResource, "same"));
}

TEST_F(Session, KnownAnswerAndEmptyTexts) {
    WriteFile(m_app + "/PNASRes.dll", PeWith(Of("abc")));
    VGSESSIONID id;
    ASSERT_EQ(Open("hello", nullptr, "x", &id), 0);
    // Without a module the executable's file name is sealed.
    char szExe[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", szExe, sizeof(szExe) - 1), 0);
    const std::string exe = std::strrchr(szExe, '/') + 1;

    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    ExpectField(reqs[0], 84, 638, "Q4GFrF8=");
    ExpectField(reqs[0], 722, 256, "");  // a null text seals to nothing
    ExpectField(reqs[0], 1042, 261, Sealed(Of("abc"), exe));
    EXPECT_EQ(Md5(Of("abc")), (std::vector<uint8_t>{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96,
                                                    0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72}));
}

// With CR LF after every 64 characters and a NUL, 462 bytes fit 638, 183 fit
// 256 and 189 fit 261; one byte more fails before anything is sent.
TEST_F(Session, SealedTextsAreLimitedByTheirFieldsInLineBrokenForm) {
    VGSESSIONID id = Filled(0xCC);
    const std::string t462(462, 'a'), t183(183, 'b');
    ASSERT_EQ(Open(t462.c_str(), t183.c_str(), "", &id, Module(std::string(185, 'm') + ".exe")), 0);
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(TextAt(reqs[0], 84, 638).size(), 616u);
    ExpectField(reqs[0], 84, 638, Sealed(kKeyResource, t462));
    ExpectField(reqs[0], 722, 256, Sealed(kKeyResource, t183));
    ExpectField(reqs[0], 1042, 261, Sealed(kKeyResource, std::string(185, 'm') + ".exe"));

    id = Filled(0xCC);
    EXPECT_EQ(Open(std::string(463, 'a').c_str(), "", "", &id), kMoreData);
    EXPECT_EQ(Open("", std::string(184, 'b').c_str(), "", &id), kMoreData);
    EXPECT_EQ(Open("", "", "", &id, Module(std::string(186, 'm') + ".exe")), kMoreData);
    EXPECT_EQ(Open("", "", std::string(63, 'c').c_str(), &id), 0);
    EXPECT_EQ(TextAt(m_service->Requests().back(), 978, 64), std::string(63, 'c'));
    id = Filled(0xCC);
    EXPECT_EQ(Open("", "", std::string(64, 'c').c_str(), &id), kTruncated);
    EXPECT_EQ(m_service->RequestCount(), 2u);
    EXPECT_TRUE(SameId(id, Filled(0xCC)));
}

TEST_F(Session, FailuresBeforeSendingLeaveTheIdAlone) {
    VGSESSIONID id = Filled(0xCC);
    EXPECT_EQ(Open("a", "b", nullptr, &id), kMissingArg);
    EXPECT_EQ(Open("a", "b", "c", nullptr), kMissingArg);

    // The key material: resource library missing, without the resource, or
    // with an empty one.
    WriteFile(m_app + "/PNASRes.dll", PeWith(kKeyResource, 1001));
    EXPECT_EQ(Open("a", "b", "c", &id), static_cast<VGHRESULT>(0x80070716u));  // resource name not found
    WriteFile(m_app + "/PNASRes.dll", PeWith({}));
    EXPECT_EQ(Open("a", "b", "c", &id), static_cast<VGHRESULT>(0x8007000Du));
    WriteAppPath(m_dir + "/elsewhere");
    EXPECT_EQ(Open("a", "b", "c", &id), static_cast<VGHRESULT>(0x8007007Eu));  // module not found
    WriteRegistry("");
    EXPECT_EQ(Open("a", "b", "c", &id), kNoPipe);  // no AppPath
    WriteAppPath(m_app);
    WriteFile(m_app + "/PNASRes.dll", PeWith(kKeyResource));

    // The provider refusing a key; the module heap refusing the work buffer.
    plat::testing::FailKeyDerivations(1);
    EXPECT_EQ(Open("a", "b", "c", &id), static_cast<VGHRESULT>(0x80090020u));
    plat::HHEAP hHeap = CModuleHeap::Instance().Handle();
    plat::testing::FailHeapAllocs(hHeap, 1);
    EXPECT_EQ(Open("a", "b", "c", &id), static_cast<VGHRESULT>(0x8007000Eu));
    plat::testing::FailHeapAllocs(hHeap, 0);

    EXPECT_EQ(m_service->RequestCount(), 0u);
    EXPECT_TRUE(SameId(id, Filled(0xCC)));
    EXPECT_EQ(Open("a", "b", "c", &id), 0);  // and nothing stays broken
}

TEST_F(Session, TheIdComesFromAnyReplyButNotFromAFailedExchange) {
    VGSESSIONID id = Filled(0xCC);
    Answer(Reply(static_cast<int32_t>(0x80004005u), 0x10));
    EXPECT_EQ(Open("a", "b", "c", &id), static_cast<VGHRESULT>(0x80004005u));
    EXPECT_EQ(std::memcmp(&id, &Reply(0, 0x10)[12], 16), 0);

    Answer(Reply(0, 0, 12));  // no id in the reply: its zero preset
    EXPECT_EQ(Open("a", "b", "c", &id), 0);
    EXPECT_TRUE(SameId(id, Filled(0)));

    m_service.reset();
    id = Filled(0xCC);
    EXPECT_EQ(Open("a", "b", "c", &id), kNoPipe);
    EXPECT_TRUE(SameId(id, Filled(0xCC)));
}

TEST_F(Session, EndAndAbortDifferOnlyInTheCommand) {
    Answer(Reply(static_cast<int32_t>(0xC1500010u), 0, 12));
    VGSESSIONID id = {0x01234567u, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(HrVGEndMgmtSession(id, 0xFFFFFFFFu), static_cast<VGHRESULT>(0xC1500010u));
    EXPECT_EQ(HrVGAbortMgmtSession(id, 0), static_cast<VGHRESULT>(0xC1500010u));
    auto reqs = m_service->Requests();
    ASSERT_EQ(reqs.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(reqs[i].size(), 116u);
        EXPECT_EQ(U32At(reqs[i], 0), 116u);
        EXPECT_EQ(std::memcmp(&reqs[i][84], &id, 16), 0);
        for (size_t off = 100; off < 116; ++off) EXPECT_EQ(reqs[i][off], 0);
    }
    EXPECT_EQ(U32At(reqs[0], 4), static_cast<uint32_t>(VGCMD_ENDMGMTSESSION));
    EXPECT_EQ(U32At(reqs[1], 4), static_cast<uint32_t>(VGCMD_ABORTMGMTSESSION));
    reqs[1][4] = reqs[0][4];
    EXPECT_EQ(reqs[0], reqs[1]);

    m_service.reset();
    EXPECT_EQ(HrVGEndMgmtSession(id, 0), kNoPipe);
}

// ---------------------------------------------------------------------------
// The platform's provider, and SealCredential over every length up to past
// the largest field (the count includes CR LF after every 64 characters).

class Seal : public Session {};

TEST_F(Seal, ProviderKnownAnswerAndKeyStreamRestart) {
    plat::HCRYPTPROV hProv = nullptr;
    ASSERT_TRUE(plat::CryptAcquireContextA(&hProv, nullptr, plat::kMsStrongProv, plat::kProvRsaFull, 0xF0000060u));
    plat::HCRYPTHASH hHash = nullptr;
    ASSERT_TRUE(plat::CryptCreateHash(hProv, plat::kCalgMd5, &hHash));
    ASSERT_TRUE(plat::CryptHashData(hHash, reinterpret_cast<const BYTE*>("abc"), 3));
    plat::HCRYPTKEY hKey = nullptr;
    ASSERT_TRUE(plat::CryptDeriveKey(hProv, plat::kCalgRc4, hHash, plat::kCryptExportable, &hKey));
    EXPECT_FALSE(plat::CryptHashData(hHash, reinterpret_cast<const BYTE*>("x"), 1));  // finished
    EXPECT_EQ(plat::GetLastError(), plat::kNteBadHashState);

    for (int round = 0; round < 2; ++round) {  // a final block restarts the key stream
        BYTE ab[5];
        std::memcpy(ab, "hello", 5);
        DWORD cb = 5;
        ASSERT_TRUE(plat::CryptEncrypt(hKey, TRUE, ab, &cb, sizeof(ab)));
        char sz[16];
        DWORD cch = sizeof(sz);
        ASSERT_TRUE(plat::CryptBinaryToStringA(ab, cb, plat::kCryptStringBase64, sz, &cch));
        EXPECT_EQ(std::string(sz), "Q4GFrF8=\r\n");
        EXPECT_EQ(cch, 10u);
    }
    plat::CryptDestroyKey(hKey);
    plat::CryptDestroyHash(hHash);
    plat::CryptReleaseContext(hProv);

    EXPECT_FALSE(plat::CryptAcquireContextA(&hProv, nullptr, plat::kMsStrongProv, plat::kProvRsaFull, 0));
    EXPECT_EQ(plat::GetLastError(), plat::kNteBadKeyset);
}

TEST_F(Seal, EveryLengthMatchesTheReferenceOrFailsWhenTooLong) {
    std::vector<uint8_t> text(470);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 131 + 7);
    for (DWORD field : {638u, 256u, 261u}) {
        const DWORD cbLongest = field == 638 ? 462 : field == 256 ? 183 : 189;
        for (DWORD cb = 0; cb <= cbLongest + 1; ++cb) {
            std::vector<char> out(field, '#');
            DWORD cch = field;
            const HRESULT hr = SealCredential(text.data(), cb, out.data(), &cch);
            if (cb > cbLongest) {
                EXPECT_EQ(hr, kMoreData) << field << "/" << cb;
                continue;
            }
            ASSERT_EQ(hr, 0) << field << "/" << cb;
            const std::string expected = Base64(Rc4(Md5(kKeyResource), {text.begin(), text.begin() + cb}));
            ASSERT_EQ(std::string(out.data()), expected) << field << "/" << cb;
            EXPECT_EQ(cch, expected.size() + 2 * (cb == 0 ? 1 : (expected.size() + 63) / 64));
            for (size_t i = expected.size(); i < field; ++i) ASSERT_EQ(out[i], 0);
        }
    }
}

}  // namespace
