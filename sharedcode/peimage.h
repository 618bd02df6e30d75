// A minimal PE image holding one resource, built in memory: the service
// makes PNASRes.dll with it, and tests load such images as data (resource
// blobs, message tables) and damage them at the offsets below.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace peimage {

struct PeLayout {
    bool fPe32Plus = false;
    bool fResources = true;
    uint16_t wType = 2;
    uint16_t wName = 1000;
    std::vector<uint8_t> payload;
};

// Offsets into the image BuildPe makes (tests damage it there).
constexpr size_t kOffPe = 0x40;
constexpr size_t kOffOptional = kOffPe + 24;
constexpr size_t kOffRsrc = 0x200;   // file offset of the resource section
constexpr uint32_t kRvaRsrc = 0x1000;
// Inside the resource section:
constexpr size_t kRootDir = 0;       // types: one named entry, then the type entry
constexpr size_t kNamesDir = 32;     // names of the type: 16 + 2 * 8 after the root
constexpr size_t kLangsDir = 56;     // languages of the name
constexpr size_t kEmptyDir = 80;
constexpr size_t kDataEntry = 96;
constexpr size_t kString = 112;      // name of the named root entry
constexpr size_t kData = 128;

inline void Put16(std::vector<uint8_t>& v, size_t off, uint32_t x) {
    v[off] = static_cast<uint8_t>(x);
    v[off + 1] = static_cast<uint8_t>(x >> 8);
}
inline void Put32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
    Put16(v, off, x & 0xFFFF);
    Put16(v, off + 2, x >> 16);
}
inline void PutDir(std::vector<uint8_t>& v, size_t off, uint32_t cNamed, uint32_t cIds) {
    Put16(v, kOffRsrc + off + 12, cNamed);
    Put16(v, kOffRsrc + off + 14, cIds);
}
inline void PutEntry(std::vector<uint8_t>& v, size_t off, uint32_t dwName, uint32_t dwData) {
    Put32(v, kOffRsrc + off, dwName);
    Put32(v, kOffRsrc + off + 4, dwData);
}

// A minimal DLL image: headers, one ".rsrc" section, and the resource tree
// type → name → language 0x409 → data entry. The root starts with a named
// entry (pointing at an empty directory), as real files order them. The file
// ends where the data ends, so any cut damages it.
inline std::vector<uint8_t> BuildPe(const PeLayout& s) {
    const uint32_t cbRsrc = static_cast<uint32_t>(kData + s.payload.size());
    std::vector<uint8_t> v(kOffRsrc + cbRsrc, 0);
    v[0] = 'M';
    v[1] = 'Z';
    Put32(v, 0x3C, kOffPe);
    std::memcpy(&v[kOffPe], "PE\0\0", 4);
    const uint32_t cbOptional = s.fPe32Plus ? 240 : 224;
    Put16(v, kOffPe + 4, s.fPe32Plus ? 0x8664 : 0x14C);
    Put16(v, kOffPe + 6, 1);  // sections
    Put16(v, kOffPe + 20, cbOptional);
    Put16(v, kOffPe + 22, 0x2102);  // DLL, executable, 32-bit
    Put16(v, kOffOptional, s.fPe32Plus ? 0x20B : 0x10B);
    // The fields a loader that maps the image checks: base, alignments, the
    // image and header sizes, the subsystem and its version.
    if (s.fPe32Plus) {
        Put32(v, kOffOptional + 24, 0x10000000);
    } else {
        Put32(v, kOffOptional + 28, 0x10000000);
    }
    Put32(v, kOffOptional + 32, 0x1000);  // section alignment
    Put32(v, kOffOptional + 36, 0x200);   // file alignment
    Put16(v, kOffOptional + 40, 4);       // operating system version 4.0
    Put16(v, kOffOptional + 48, 4);       // subsystem version 4.0
    Put32(v, kOffOptional + 56, kRvaRsrc + ((cbRsrc + 0xFFF) & ~0xFFFu));
    Put32(v, kOffOptional + 60, kOffRsrc);  // headers
    Put16(v, kOffOptional + 68, 2);       // Windows GUI
    const size_t offDirs = kOffOptional + (s.fPe32Plus ? 112 : 96);
    Put32(v, offDirs - 4, 16);
    if (s.fResources) {
        Put32(v, offDirs + 16, kRvaRsrc);
        Put32(v, offDirs + 20, cbRsrc);
    }
    const size_t offSection = kOffOptional + cbOptional;
    std::memcpy(&v[offSection], ".rsrc", 5);
    Put32(v, offSection + 8, cbRsrc);
    Put32(v, offSection + 12, kRvaRsrc);
    Put32(v, offSection + 16, cbRsrc);
    Put32(v, offSection + 20, kOffRsrc);
    Put32(v, offSection + 36, 0x40000040);  // initialised data, readable

    PutDir(v, kRootDir, 1, 1);
    PutEntry(v, kRootDir + 16, 0x80000000u | kString, 0x80000000u | kEmptyDir);
    PutEntry(v, kRootDir + 24, s.wType, 0x80000000u | kNamesDir);
    PutDir(v, kNamesDir, 0, 1);
    PutEntry(v, kNamesDir + 16, s.wName, 0x80000000u | kLangsDir);
    PutDir(v, kLangsDir, 0, 1);
    PutEntry(v, kLangsDir + 16, 0x409, kDataEntry);
    Put32(v, kOffRsrc + kDataEntry, static_cast<uint32_t>(kRvaRsrc + kData));
    Put32(v, kOffRsrc + kDataEntry + 4, static_cast<uint32_t>(s.payload.size()));
    Put16(v, kOffRsrc + kString, 4);
    std::memcpy(&v[kOffRsrc + kString + 2], "B\0L\0O\0B\0", 8);
    std::copy(s.payload.begin(), s.payload.end(), v.begin() + kOffRsrc + kData);
    return v;
}

}  // namespace peimage
