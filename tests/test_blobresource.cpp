// Raw resources read from PE files, and the module handles behind them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "sharedcode/blobresource.h"
#include "sharedcode/platform/module.h"
#include "sharedcode/platform/process.h"
#include "tests/pe_image.h"

namespace {

// Folded system errors.
constexpr HRESULT kHrModNotFound = static_cast<HRESULT>(0x8007007Eu);
constexpr HRESULT kHrBadExeFormat = static_cast<HRESULT>(0x800700C1u);
constexpr HRESULT kHrNoResources = static_cast<HRESULT>(0x80070714u);   // 1812
constexpr HRESULT kHrNoType = static_cast<HRESULT>(0x80070715u);        // 1813
constexpr HRESULT kHrNoName = static_cast<HRESULT>(0x80070716u);        // 1814
constexpr HRESULT kHrNoLanguage = static_cast<HRESULT>(0x80070717u);    // 1815

using namespace peimage;

class BlobResource : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vgblob.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // Writes the file and returns its path in the Windows form.
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(m_dir + "/" + name, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::string path = m_dir + "/" + name;
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }

    // A failed load must leave nothing behind.
    void ExpectNothingLoaded(const CBlobResource& blob, const char* szName) {
        EXPECT_FALSE(blob.IsLoaded());
        EXPECT_EQ(nullptr, blob.Data());
        EXPECT_EQ(0u, blob.Size());
        EXPECT_EQ(nullptr, plat::GetModuleHandleA(szName));
    }

    std::string m_dir;
};

TEST_F(BlobResource, LoadsTheResourceOfPe32AndPe32Plus) {
    for (bool fPlus : {false, true}) {
        SCOPED_TRACE(fPlus ? "PE32+" : "PE32");
        PeLayout layout;
        layout.fPe32Plus = fPlus;
        const std::string path = Write("PNASRes.dll", BuildPe(layout));
        {
            CBlobResource blob;
            ASSERT_EQ(S_OK, blob.Load(path.c_str()));
            ASSERT_EQ(layout.payload.size(), blob.Size());
            EXPECT_EQ(0, std::memcmp(layout.payload.data(), blob.Data(), layout.payload.size()));

            // Found by file name in any case, and named in the Windows form.
            plat::HMODULE h = plat::GetModuleHandleA("pnasres.DLL");
            ASSERT_NE(nullptr, h);
            EXPECT_EQ(h, plat::GetModuleHandleA(path.c_str()));
            char sz[512];
            ASSERT_EQ(path.size(), plat::GetModuleFileNameA(h, sz, sizeof(sz)));
            EXPECT_EQ(path, sz);
        }
        EXPECT_EQ(nullptr, plat::GetModuleHandleA("PNASRes.dll"));
    }
}

TEST_F(BlobResource, FailuresFoldTheLoaderErrorAndUnload) {
    PeLayout otherType;
    otherType.wType = 3;
    PeLayout otherName;
    otherName.wName = 1001;
    PeLayout noResources;
    noResources.fResources = false;
    std::vector<uint8_t> noLanguage = BuildPe(PeLayout());
    PutDir(noLanguage, kLangsDir, 0, 0);

    const struct {
        const char* szFile;
        std::vector<uint8_t> bytes;
        HRESULT hr;
    } cases[] = {
        {"type.dll", BuildPe(otherType), kHrNoType},
        {"name.dll", BuildPe(otherName), kHrNoName},
        {"lang.dll", noLanguage, kHrNoLanguage},
        {"none.dll", BuildPe(noResources), kHrNoResources},
        {"text.dll", {'h', 'e', 'l', 'l', 'o'}, kHrBadExeFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szFile);
        CBlobResource blob;
        EXPECT_EQ(c.hr, blob.Load(Write(c.szFile, c.bytes).c_str()));
        ExpectNothingLoaded(blob, c.szFile);
    }

    CBlobResource blob;
    EXPECT_EQ(kHrModNotFound, blob.Load((m_dir + "/missing.dll").c_str()));
    ExpectNothingLoaded(blob, "missing.dll");
}

TEST_F(BlobResource, EmptyResourceGivesZeroAndNoData) {
    PeLayout layout;
    layout.payload.clear();
    CBlobResource blob;
    EXPECT_EQ(S_OK, blob.Load(Write("empty.dll", BuildPe(layout)).c_str()));
    ExpectNothingLoaded(blob, "empty.dll");
}

TEST_F(BlobResource, LoadAgainReleasesTheFirstModule) {
    PeLayout second;
    second.payload = {1, 2, 3};
    CBlobResource blob;
    ASSERT_EQ(S_OK, blob.Load(Write("a.dll", BuildPe(PeLayout())).c_str()));
    ASSERT_EQ(S_OK, blob.Load(Write("b.dll", BuildPe(second)).c_str()));
    EXPECT_EQ(nullptr, plat::GetModuleHandleA("a.dll"));
    EXPECT_NE(nullptr, plat::GetModuleHandleA("b.dll"));
    EXPECT_EQ(3u, blob.Size());
    EXPECT_EQ(3, blob.Data()[2]);
}

// Every cut of a good image, damaged fields, and random damage: each load
// fails with a loader error or, if it succeeds, yields bytes inside the file.
// Under the address sanitizer this also proves no read leaves the file.
TEST_F(BlobResource, TruncatedAndHostileImagesFailCleanly) {
    const std::vector<uint8_t> good = BuildPe(PeLayout());
    auto isLoaderError = [](HRESULT hr) {
        return hr == kHrBadExeFormat || hr == kHrNoResources || hr == kHrNoType || hr == kHrNoName ||
               hr == kHrNoLanguage;
    };
    for (size_t cb = 0; cb < good.size(); ++cb) {
        CBlobResource blob;
        const HRESULT hr = blob.Load(Write("cut.dll", std::vector<uint8_t>(good.begin(), good.begin() + cb)).c_str());
        EXPECT_TRUE(isLoaderError(hr)) << "cut at " << cb << ": " << std::hex << hr;
        EXPECT_FALSE(blob.IsLoaded());
    }

    const size_t offSection = kOffOptional + 224;
    const struct {
        const char* szWhat;
        size_t off;
        uint32_t value;
        HRESULT hr;
    } patches[] = {
        {"header offset past the end", 0x3C, 0xFFFFFFF0u, kHrBadExeFormat},
        {"PE signature", kOffPe, 0x00004550u ^ 1, kHrBadExeFormat},
        {"optional header magic", kOffOptional, 0x107, kHrBadExeFormat},
        {"optional header size", kOffPe + 20, 0xFFFF, kHrBadExeFormat},
        {"section count", kOffPe + 6, 0xFFFF, kHrBadExeFormat},
        {"section raw offset", offSection + 20, 0xFFFFFF00u, kHrBadExeFormat},
        {"resource directory outside every section", kOffOptional + 96 + 16, 0x5000, kHrBadExeFormat},
        {"root entry count", kOffRsrc + kRootDir + 12, 0xFFFFFFFFu, kHrNoResources},
        {"type directory offset", kOffRsrc + kRootDir + 28, 0xFFFFFFF0u, kHrNoResources},
        {"type entry not a directory", kOffRsrc + kRootDir + 28, kNamesDir, kHrNoResources},
        {"language entry a directory", kOffRsrc + kLangsDir + 20, 0x80000000u | kEmptyDir, kHrNoResources},
        {"data address", kOffRsrc + kDataEntry, 0xFFFFFFF0u, kHrNoResources},
        {"data size", kOffRsrc + kDataEntry + 4, 0xFFFFFFFFu, kHrNoResources},
    };
    for (const auto& p : patches) {
        std::vector<uint8_t> bad = good;
        Put32(bad, p.off, p.value);
        CBlobResource blob;
        EXPECT_EQ(p.hr, blob.Load(Write("bad.dll", bad).c_str())) << p.szWhat;
        EXPECT_FALSE(blob.IsLoaded()) << p.szWhat;
    }

    std::mt19937 rng(20240521);
    for (int round = 0; round < 1500; ++round) {
        std::vector<uint8_t> bad = good;
        for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
            bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
        }
        CBlobResource blob;
        const HRESULT hr = blob.Load(Write("fuzz.dll", bad).c_str());
        if (hr == S_OK && blob.Size() != 0) {
            ASSERT_NE(nullptr, blob.Data());
            ASSERT_LE(blob.Size(), bad.size());
        } else {
            ASSERT_TRUE(hr == S_OK || isLoaderError(hr)) << "round " << round << ": " << std::hex << hr;
        }
    }
}

TEST(Module, ImageOfAnAddressAndItsFileName) {
    // The test program links the library statically: its code is the
    // executable's.
    plat::HMODULE hExe = plat::GetModuleHandleA(nullptr);
    ASSERT_NE(nullptr, hExe);
    EXPECT_EQ(hExe, plat::ModuleFromAddress(reinterpret_cast<const void*>(&plat::GetLastError)));

    char szExe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", szExe, sizeof(szExe) - 1), 0);
    std::string expected = szExe;
    std::replace(expected.begin(), expected.end(), '/', '\\');
    char sz[4096];
    EXPECT_EQ(expected.size(), plat::GetModuleFileNameA(hExe, sz, sizeof(sz)));
    EXPECT_EQ(expected, sz);
    EXPECT_EQ(expected.size(), plat::GetModuleFileNameA(nullptr, sz, sizeof(sz)));

    // A buffer too small: cut and terminated, its size returned.
    char szShort[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(5u, plat::GetModuleFileNameA(hExe, szShort, sizeof(szShort)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), plat::GetLastError());
    EXPECT_EQ(expected.substr(0, 4), szShort);

    // A shared object is a module of its own; handing out handles takes no
    // reference, so freeing one changes nothing.
    plat::HMODULE hLibc = plat::ModuleFromAddress(reinterpret_cast<const void*>(&::getpid));
    ASSERT_NE(nullptr, hLibc);
    EXPECT_NE(hExe, hLibc);
    EXPECT_TRUE(plat::FreeLibrary(hLibc));
    ASSERT_NE(0u, plat::GetModuleFileNameA(hLibc, sz, sizeof(sz)));
    EXPECT_NE(nullptr, std::strstr(sz, "\\libc")) << sz;

    int onTheStack = 0;
    EXPECT_EQ(nullptr, plat::ModuleFromAddress(&onTheStack));
    EXPECT_EQ(126u, plat::GetLastError());
}

}  // namespace
