// POSIX side of platform/module.h.
//
// Two kinds of module share one handle type. An image module is a shared
// object or the executable, known by its load address and never freed. A data
// module is a PE file read whole into memory; every offset it contains is
// checked before use, so a truncated or hostile file fails with
// ERROR_BAD_EXE_FORMAT (headers) or ERROR_RESOURCE_DATA_NOT_FOUND (resource
// tree) and never leads to a read outside the bytes read.
#include "sharedcode/platform/module.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sharedcode/platform/errno_posix.h"
#include "sharedcode/platform/process.h"
#include "sharedcode/platform/robust_posix.h"

namespace plat {

namespace {

// Resource libraries are small; anything this large is not one.
constexpr off_t kMaxDataFile = 256 * 1024 * 1024;

constexpr uint32_t kResourceDirectoryIndex = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr uint32_t kHighBit = 0x80000000u;

std::string ToPosixPath(const char* szPath) {
    std::string s(szPath);
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string ToWindowsPath(std::string s) {
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

struct Section {
    uint32_t rva;        // VirtualAddress
    uint32_t cbFile;     // bytes backed by the file: min(SizeOfRawData, mapped size)
    uint32_t offFile;    // PointerToRawData
};

}  // namespace

struct Resource {
    WORD wType;
    WORD wName;
    const uint8_t* pb;
    DWORD cb;
};

struct Module {
    bool fImage;
    std::string path;          // Windows form
    const void* pvBase;        // image modules: load address
    std::vector<uint8_t> file;  // data modules: the whole file
    std::vector<Section> sections;
    uint32_t rvaResources;     // 0: no resource directory
    std::deque<Resource> found;  // handed out by FindResourceA; stable addresses

    // The file bytes behind [rva, rva + cb), or null when any of them lies
    // outside the file-backed part of one section.
    // Computed in 64 bits, so no sum of 32-bit fields can wrap.
    const uint8_t* At(uint64_t rva, uint64_t cb) const {
        for (const Section& s : sections) {
            if (rva < s.rva) continue;
            const uint64_t off = rva - s.rva;
            if (off + cb > s.cbFile) continue;
            const uint64_t pos = static_cast<uint64_t>(s.offFile) + off;
            if (pos + cb > file.size()) return nullptr;
            return file.data() + pos;
        }
        return nullptr;
    }
};

namespace {

// Every module handed out; image modules stay for the life of the process.
struct ModuleList {
    std::mutex lock;
    std::vector<Module*> modules;
    // Modules loaded as data: while there are none, a look-up by name (the
    // message formatter asks on every call) needs no lock.
    std::atomic<int> cDataModules{0};
};

ModuleList& Modules() {
    static ModuleList* p = new ModuleList;  // outlives every static destructor
    return *p;
}

bool IsListed(ModuleList& list, Module* pm) {
    return std::find(list.modules.begin(), list.modules.end(), pm) != list.modules.end();
}

// A module file's errno: a missing file is a missing module.
DWORD ErrorFromErrno(int e) {
    return Win32FromErrno(e, {{ENOENT, ERROR_MOD_NOT_FOUND}, {ENOTDIR, ERROR_MOD_NOT_FOUND}});
}

// Reads the whole file; a Win32 code on failure.
DWORD ReadWholeFile(const std::string& path, std::vector<uint8_t>& out) {
    int fd = RobustOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrorFromErrno(errno);
    struct stat st;
    DWORD err = ERROR_SUCCESS;
    if (::fstat(fd, &st) != 0) {
        err = ErrorFromErrno(errno);
    } else if (S_ISDIR(st.st_mode)) {
        err = ERROR_ACCESS_DENIED;
    } else if (!S_ISREG(st.st_mode) || st.st_size > kMaxDataFile) {
        err = ERROR_BAD_EXE_FORMAT;
    } else {
        out.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;  // less when it shrank since fstat
        if (RobustReadFull(fd, out.data(), out.size(), &got) != 0) err = ErrorFromErrno(errno);
        out.resize(got);
    }
    ::close(fd);
    return err;
}

// Checks the DOS, PE and optional headers and the section table and finds the
// resource directory. ERROR_BAD_EXE_FORMAT for anything out of place.
DWORD ParsePe(Module& m) {
    const std::vector<uint8_t>& f = m.file;
    const size_t cb = f.size();
    if (cb < 64 || f[0] != 'M' || f[1] != 'Z') return ERROR_BAD_EXE_FORMAT;
    const uint64_t offPe = Read32(&f[0x3C]);
    const uint64_t offOpt = offPe + 4 + 20;  // signature, file header
    if (offOpt > cb || std::memcmp(&f[offPe], "PE\0\0", 4) != 0) return ERROR_BAD_EXE_FORMAT;
    const uint32_t cSections = Read16(&f[offPe + 6]);
    const uint32_t cbOpt = Read16(&f[offPe + 20]);
    if (offOpt + cbOpt > cb || cbOpt < 2) return ERROR_BAD_EXE_FORMAT;

    uint32_t offDirs;
    switch (Read16(&f[offOpt])) {
        case 0x10B: offDirs = 96; break;   // PE32
        case 0x20B: offDirs = 112; break;  // PE32+
        default: return ERROR_BAD_EXE_FORMAT;
    }
    if (offDirs > cbOpt) return ERROR_BAD_EXE_FORMAT;
    const uint32_t cDirs = Read32(&f[offOpt + offDirs - 4]);  // NumberOfRvaAndSizes
    uint32_t rvaRsrc = 0, cbRsrc = 0;
    if (cDirs > kResourceDirectoryIndex) {
        const uint64_t offEntry = offOpt + offDirs + 8 * kResourceDirectoryIndex;
        if (offDirs + 8 * (kResourceDirectoryIndex + 1) > cbOpt) return ERROR_BAD_EXE_FORMAT;
        rvaRsrc = Read32(&f[offEntry]);
        cbRsrc = Read32(&f[offEntry + 4]);
    }

    const uint64_t offSections = offOpt + cbOpt;
    if (offSections + 40ull * cSections > cb) return ERROR_BAD_EXE_FORMAT;
    m.sections.reserve(cSections);
    for (uint32_t i = 0; i < cSections; ++i) {
        const uint8_t* p = &f[offSections + 40ull * i];
        const uint32_t cbVirtual = Read32(p + 8);
        const uint32_t cbRaw = Read32(p + 16);
        // The loader maps VirtualSize bytes (SizeOfRawData when it is 0); only
        // the raw part of them comes from the file.
        const uint32_t cbMapped = cbVirtual ? cbVirtual : cbRaw;
        m.sections.push_back(Section{Read32(p + 12), std::min(cbRaw, cbMapped), Read32(p + 20)});
    }

    if (rvaRsrc != 0 && cbRsrc != 0) {
        if (!m.At(rvaRsrc, 16)) return ERROR_BAD_EXE_FORMAT;  // not even the root directory
        m.rvaResources = rvaRsrc;
    }
    return ERROR_SUCCESS;
}

// In the resource directory at offDir (relative to the resource root), the
// entry with numeric id wId (wId < 0: the first entry of any kind). Stores its
// OffsetToData word; fails with dwMissing, or ERROR_RESOURCE_DATA_NOT_FOUND for
// a directory that does not fit.
bool FindEntry(const Module& m, uint32_t offDir, int wId, DWORD dwMissing, uint32_t* pOffData) {
    const uint64_t rvaDir = static_cast<uint64_t>(m.rvaResources) + offDir;
    const uint8_t* pDir = m.At(rvaDir, 16);
    if (!pDir) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    const uint32_t cEntries = static_cast<uint32_t>(Read16(pDir + 12)) + Read16(pDir + 14);
    const uint8_t* pEntries = m.At(rvaDir + 16, 8ull * cEntries);
    if (!pEntries) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    for (uint32_t i = 0; i < cEntries; ++i) {
        const uint32_t dwName = Read32(pEntries + 8 * i);
        // Named entries come first; this layer looks up numeric ids only.
        if (wId >= 0 && ((dwName & kHighBit) || dwName != static_cast<uint32_t>(wId))) continue;
        *pOffData = Read32(pEntries + 8 * i + 4);
        return true;
    }
    SetLastError(dwMissing);
    return false;
}

HRSRC FailResource(DWORD dwError) {
    SetLastError(dwError);
    return nullptr;
}

// The image module holding pv, added to the list on first sight.
Module* ImageModule(const void* pv) {
    Dl_info info;
    struct link_map* plm = nullptr;
    if (!pv || ::dladdr1(pv, &info, reinterpret_cast<void**>(&plm), RTLD_DL_LINKMAP) == 0 || !info.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ModuleList& list = Modules();
    std::lock_guard<std::mutex> guard(list.lock);
    for (Module* pm : list.modules) {
        if (pm->fImage && pm->pvBase == info.dli_fbase) return pm;
    }
    // The executable's link map has an empty name, and dladdr then reports
    // argv[0], which may be relative: ask the kernel for its path instead.
    std::string path;
    char szReal[PATH_MAX];
    if (plm && plm->l_name && plm->l_name[0]) {
        path = ::realpath(plm->l_name, szReal) ? szReal : plm->l_name;
    } else {
        ssize_t n = ::readlink("/proc/self/exe", szReal, sizeof(szReal) - 1);
        if (n > 0) {
            path.assign(szReal, static_cast<size_t>(n));
        } else if (info.dli_fname) {
            path = ::realpath(info.dli_fname, szReal) ? szReal : info.dli_fname;
        }
    }
    Module* pm = new Module();
    pm->fImage = true;
    pm->pvBase = info.dli_fbase;
    pm->path = ToWindowsPath(path);
    list.modules.push_back(pm);
    return pm;
}

const char* BaseName(const char* sz) {
    const char* p = sz;
    for (const char* q = sz; *q; ++q) {
        if (*q == '\\' || *q == '/') p = q + 1;
    }
    return p;
}

}  // namespace

HMODULE ModuleFromAddress(const void* pv) { return ImageModule(pv); }

HMODULE GetModuleHandleA(const char* szName) {
    if (!szName) {
        // The executable: its program headers lie inside its image.
        return ImageModule(reinterpret_cast<const void*>(::getauxval(AT_PHDR)));
    }
    ModuleList& list = Modules();
    if (list.cDataModules.load(std::memory_order_acquire) == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const bool fWithFolder = std::strpbrk(szName, "\\/") != nullptr;
    const std::string wanted = ToWindowsPath(szName);
    std::lock_guard<std::mutex> guard(list.lock);
    for (Module* pm : list.modules) {
        if (pm->fImage) continue;
        const char* have = fWithFolder ? pm->path.c_str() : BaseName(pm->path.c_str());
        if (::strcasecmp(have, wanted.c_str()) == 0) return pm;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameA(HMODULE hModule, char* szPath, DWORD cch) {
    Module* pm = hModule ? hModule : GetModuleHandleA(nullptr);
    if (!pm) return 0;
    std::string path;
    {
        ModuleList& list = Modules();
        std::lock_guard<std::mutex> guard(list.lock);
        if (!IsListed(list, pm)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = pm->path;
    }
    if (cch == 0 || !szPath) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= cch) {
        std::memcpy(szPath, path.data(), cch - 1);
        szPath[cch - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return cch;
    }
    std::memcpy(szPath, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

HMODULE LoadLibraryAsDataA(const char* szPath) {
    if (!szPath || !*szPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Module* pm = new Module();
    pm->fImage = false;
    pm->pvBase = nullptr;
    pm->rvaResources = 0;
    const std::string posixPath = ToPosixPath(szPath);
    DWORD err = ReadWholeFile(posixPath, pm->file);
    if (err == ERROR_SUCCESS) err = ParsePe(*pm);
    if (err != ERROR_SUCCESS) {
        delete pm;
        SetLastError(err);
        return nullptr;
    }
    char szReal[PATH_MAX];
    pm->path = ToWindowsPath(::realpath(posixPath.c_str(), szReal) ? szReal : posixPath);
    ModuleList& list = Modules();
    std::lock_guard<std::mutex> guard(list.lock);
    list.modules.push_back(pm);
    list.cDataModules.fetch_add(1, std::memory_order_release);
    return pm;
}

BOOL FreeLibrary(HMODULE hModule) {
    ModuleList& list = Modules();
    std::lock_guard<std::mutex> guard(list.lock);
    auto it = std::find(list.modules.begin(), list.modules.end(), hModule);
    if (!hModule || it == list.modules.end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (hModule->fImage) return TRUE;  // handed out without a reference
    list.modules.erase(it);
    list.cDataModules.fetch_sub(1, std::memory_order_release);
    delete hModule;
    return TRUE;
}

HRSRC FindResourceA(HMODULE hModule, WORD wName, WORD wType) {
    ModuleList& list = Modules();
    std::lock_guard<std::mutex> guard(list.lock);
    Module* pm = hModule;
    if (!pm || !IsListed(list, pm)) return FailResource(ERROR_INVALID_HANDLE);
    // Shared objects carry no PE resources.
    if (pm->fImage || pm->rvaResources == 0) return FailResource(ERROR_RESOURCE_DATA_NOT_FOUND);
    for (Resource& r : pm->found) {
        if (r.wType == wType && r.wName == wName) return &r;
    }
    // Root → type → name → language: the first two entries must lead to
    // subdirectories, the language entry to a data entry.
    uint32_t off = 0;
    if (!FindEntry(*pm, 0, wType, ERROR_RESOURCE_TYPE_NOT_FOUND, &off)) return nullptr;
    if (!(off & kHighBit)) return FailResource(ERROR_RESOURCE_DATA_NOT_FOUND);
    if (!FindEntry(*pm, off & ~kHighBit, wName, ERROR_RESOURCE_NAME_NOT_FOUND, &off)) return nullptr;
    if (!(off & kHighBit)) return FailResource(ERROR_RESOURCE_DATA_NOT_FOUND);
    if (!FindEntry(*pm, off & ~kHighBit, -1, ERROR_RESOURCE_LANG_NOT_FOUND, &off)) return nullptr;
    if (off & kHighBit) return FailResource(ERROR_RESOURCE_DATA_NOT_FOUND);
    const uint8_t* pEntry = pm->At(static_cast<uint64_t>(pm->rvaResources) + off, 16);
    if (!pEntry) return FailResource(ERROR_RESOURCE_DATA_NOT_FOUND);
    const uint32_t rvaData = Read32(pEntry);
    const uint32_t cbData = Read32(pEntry + 4);
    const uint8_t* pbData = pm->At(rvaData, cbData);
    if (!pbData) return FailResource(ERROR_RESOURCE_DATA_NOT_FOUND);
    pm->found.push_back(Resource{wType, wName, pbData, cbData});
    return &pm->found.back();
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResource) {
    if (!hModule || !hResource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return hResource->cb;
}

const void* LoadResourceBytes(HMODULE hModule, HRSRC hResource) {
    if (!hModule || !hResource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return hResource->pb;
}

}  // namespace plat
