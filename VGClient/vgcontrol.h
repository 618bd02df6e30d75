// Internal pieces of service control.
#pragma once

#include "VGClient/VAVarive32.h"

// A GUID from its text: braced {8-4-4-4-12}, hyphenated without braces, or
// 32 digits alone. Any character other than a hexadecimal digit, a brace or
// a hyphen gives all zero; a short text reads as zeros where it ends.
void ParseGuidText(const char* szText, VGSESSIONID* pGuid);

// Whether the service's INI file (the cached INI path) says "Enable" in
// "System"; false for an empty path, a missing or unreadable file and a
// missing key.
bool VgReadServiceEnabled();

// Fills the cached INI path from "IniPath" when it is empty.
void VgCacheIniPath();
