// What a first start makes in an empty place: the registry file the library
// reads (AppPath, IniPath, CLSID, FailoverMode), the resource library
// "PNASRes.dll" with fresh key material for sealing logon texts, the state
// folder, and (through Settings) the INI file. Nothing that exists is
// touched.
#pragma once

#include <string>

#include "sharedcode/wintypes.h"

namespace vgsvc {

struct Paths {
    std::string stateDir;  // the database; also AppPath, where PNASRes.dll lives
    std::string iniPath;   // empty: the registry's IniPath, else <stateDir>/vigilon.ini
    std::string registry;  // the registry file (VIGILON_REGISTRY)
};

// Makes what is missing and fills in iniPath. False with a reason when
// something cannot be made.
bool PrepareFirstStart(Paths& paths, std::string* pError);

}  // namespace vgsvc
