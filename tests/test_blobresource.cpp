// Raw resources read from PE files, and the module handles behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sharedcode/blobresource.h"
#include "sharedcode/platform/process.h"
#include "tests/pe_image.h"
#include "tests/test_env.h"

namespace {

using namespace peimage;

// Folded system errors.
constexpr HRESULT kHrBadExeFormat = static_cast<HRESULT>(0x800700C1u);
constexpr HRESULT kHrNoResources = static_cast<HRESULT>(0x80070714u);  // 1812; 1813 to 1815 follow

bool IsLoaderError(HRESULT hr) { return hr == kHrBadExeFormat || (hr >= kHrNoResources && hr <= kHrNoResources + 3); }

class BlobResource : public VgTestEnv {
protected:
    // Writes the file and returns its path in the Windows form.
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(m_dir + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::string path = m_dir + "/" + name;
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }
};

TEST_F(BlobResource, LoadsTheResourceOfPe32AndPe32Plus) {
    for (bool fPlus : {false, true}) {
        PeLayout layout = KeyLayout();
        layout.fPe32Plus = fPlus;
        {
            CBlobResource blob;
            ASSERT_EQ(S_OK, blob.Load(Write("PNASRes.dll", BuildPe(layout)).c_str())) << fPlus;
            ASSERT_EQ(layout.payload.size(), blob.Size());
            EXPECT_EQ(0, std::memcmp(layout.payload.data(), blob.Data(), layout.payload.size()));
#ifndef _WIN32  // Windows does not list modules loaded as data
            EXPECT_NE(nullptr, plat::GetModuleHandleA("pnasres.DLL"));  // by file name, in any case
#endif
        }
        EXPECT_EQ(nullptr, plat::GetModuleHandleA("PNASRes.dll"));
    }
    // Loading again releases the first module.
    CBlobResource blob;
    ASSERT_EQ(S_OK, blob.Load(Write("a.dll", BuildPe(KeyLayout())).c_str()));
    ASSERT_EQ(S_OK, blob.Load(Write("b.dll", BuildPe(KeyLayout())).c_str()));
    EXPECT_EQ(nullptr, plat::GetModuleHandleA("a.dll"));
}

// Each failure folds the loader's error and leaves nothing loaded; an empty
// resource succeeds without data.
TEST_F(BlobResource, FailuresFoldTheLoaderErrorAndUnload) {
    auto pe = [](void (*change)(PeLayout&)) {
        PeLayout layout = KeyLayout();
        change(layout);
        return BuildPe(layout);
    };
    std::vector<uint8_t> noLanguage = BuildPe(KeyLayout());
    PutDir(noLanguage, kLangsDir, 0, 0);
    const struct { const char* szFile; std::vector<uint8_t> bytes; HRESULT hr; } cases[] = {
        {"type.dll", pe([](PeLayout& l) { l.wType = 3; }), kHrNoResources + 1},
        {"name.dll", pe([](PeLayout& l) { l.wName = 1001; }), kHrNoResources + 2},
        {"lang.dll", noLanguage, kHrNoResources + 3},
        {"none.dll", pe([](PeLayout& l) { l.fResources = false; }), kHrNoResources},
        {"text.dll", {'h', 'e', 'l', 'l', 'o'}, kHrBadExeFormat},
        {"empty.dll", pe([](PeLayout& l) { l.payload.clear(); }), S_OK},
    };
    for (const auto& c : cases) {
        CBlobResource blob;
        EXPECT_EQ(c.hr, blob.Load(Write(c.szFile, c.bytes).c_str())) << c.szFile;
        EXPECT_FALSE(blob.IsLoaded() || blob.Data() || blob.Size() || plat::GetModuleHandleA(c.szFile)) << c.szFile;
    }
    CBlobResource blob;
    const HRESULT hrMissing = blob.Load((m_dir + "/missing.dll").c_str());
#ifdef _WIN32  // the system's loader may call a missing data file a missing file
    if (hrMissing == static_cast<HRESULT>(0x80070002u)) return;
#endif
    EXPECT_EQ(static_cast<HRESULT>(0x8007007Eu), hrMissing);
}

// Every cut of a good image, damaged fields, and random damage: each load
// fails with a loader error or, if it succeeds, yields bytes inside the file.
// Under the address sanitizer this also proves no read leaves the file.
TEST_F(BlobResource, TruncatedAndHostileImagesFailCleanly) {
    const std::vector<uint8_t> good = BuildPe(KeyLayout());
    auto loadsCleanly = [&](const std::vector<uint8_t>& bytes, bool fMustFail) {
        CBlobResource blob;
        const HRESULT hr = blob.Load(Write("bad.dll", bytes).c_str());
#ifdef _WIN32
        // The system's loader may map a cut image, and has errors of its own
        // for damage; a clean outcome is what counts.
        if (hr == S_OK) return blob.Size() <= bytes.size() && (blob.Size() == 0 || blob.Data());
        return (void)fMustFail, hr < 0 && !blob.IsLoaded();
#endif
        if (hr == S_OK && !fMustFail) return blob.Size() <= bytes.size() && (blob.Size() == 0 || blob.Data());
        return IsLoaderError(hr) && !blob.IsLoaded();
    };
    for (size_t cb = 0; cb < good.size(); ++cb)
        EXPECT_TRUE(loadsCleanly(std::vector<uint8_t>(good.begin(), good.begin() + cb), true)) << "cut at " << cb;

    const std::pair<size_t, uint32_t> patches[] = {
        {0x3C, 0xFFFFFFF0u},                                   // header offset past the end
        {kOffOptional + 224 + 20, 0xFFFFFF00u},                // section raw offset
        {kOffOptional + 96 + 16, 0x5000},                      // resources outside every section
        {kOffRsrc + kRootDir + 12, 0xFFFFFFFFu},               // root entry count
        {kOffRsrc + kRootDir + 28, 0xFFFFFFF0u},               // type directory offset
        {kOffRsrc + kDataEntry + 4, 0xFFFFFFFFu},              // data size
    };
    for (const auto& [off, value] : patches) {
        std::vector<uint8_t> bad = good;
        Put32(bad, off, value);
        EXPECT_TRUE(loadsCleanly(bad, true)) << "patch at " << std::hex << off;
    }

    std::mt19937 rng(20240521);
    for (int round = 0; round < 1500; ++round) {
        std::vector<uint8_t> bad = good;
        for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
        ASSERT_TRUE(loadsCleanly(bad, false)) << "round " << round;
    }
}

// Module handles of addresses, and file names cut to the caller's buffer.
TEST(Module, ImageOfAnAddressAndItsFileName) {
    // A shared object is a module of its own; the stack is in none.
    plat::HMODULE hLibc = plat::ModuleFromAddress(SystemLibraryAddress());
    EXPECT_NE(plat::GetModuleHandleA(nullptr), hLibc);
    char sz[5];
    EXPECT_EQ(5u, plat::GetModuleFileNameA(hLibc, sz, sizeof(sz)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), plat::GetLastError());
    EXPECT_EQ(4u, std::strlen(sz));
    EXPECT_EQ(nullptr, plat::ModuleFromAddress(sz));
    EXPECT_EQ(126u, plat::GetLastError());
}

}  // namespace
