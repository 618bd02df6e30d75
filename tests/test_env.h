// Test fixture: a private folder and registry for each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "sharedcode/platform/module.h"
#include "sharedcode/wintypes.h"

// Skips a test of a POSIX substitute on Windows, saying why.
#ifdef _WIN32
#define VG_POSIX_ONLY(reason) GTEST_SKIP() << "POSIX only: " << reason
#else
#define VG_POSIX_ONLY(reason) (void)0
#endif

// An ASCII text as a wide one.
inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Milliseconds since t0.
inline int64_t MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

// Loads a PE image as a module of the process, so that GetModuleHandleA finds
// it by name (a module loaded as data is not one on Windows); on POSIX, as
// data, which the substitute counts as loaded. Free with plat::FreeLibrary.
plat::HMODULE LoadModule(const std::string& path);

// An address in a system library (the C library; Windows: kernel32).
const void* SystemLibraryAddress();

// The running program's file name, without its folder, as the system gives it
// (POSIX: /proc/self/exe).
std::string ProgramFileName();

#ifdef _WIN32
// A wide text in the ANSI code page (on POSIX the code page is UTF-8).
std::string AnsiText(const wchar_t* wsz);
#endif

// The system's text of a code without its line break: what FormatMessageA
// gives on this machine; on POSIX, the Windows text the library's table holds.
std::string SystemText(DWORD code);

// A new empty folder in the system's temporary folder, named after szPrefix
// (with forward slashes on both platforms); empty on failure.
std::string MakeTempFolder(const char* szPrefix);
// Removes a folder and everything in it.
void RemoveTempFolder(const std::string& dir);

class VgTestEnv : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the test's registry with the keys and values of body, written
    // as in a .reg file: the registry file on POSIX; on Windows the system's
    // registry, where the keys tests write are removed first.
    void WriteRegistry(const std::string& body);
    // Writes the configuration key with these value lines.
    void WriteConfiguration(const std::string& valueLines);

    std::string m_dir;
    std::string m_pipeDir;
    std::string m_registry;  // POSIX: the registry file
};
