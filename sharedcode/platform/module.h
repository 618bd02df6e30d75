// Platform layer: modules and their resources.
//
// Shaped after GetModuleHandleExA, GetModuleHandleA, GetModuleFileNameA,
// LoadLibraryExA (as a data file), FreeLibrary, FindResourceA,
// SizeofResource, LoadResource and LockResource. Failures set the last error.
//
// POSIX: a module loaded as a data file is a PE image (PE32 or PE32+) read
// whole from disk and parsed for its resource directory (the same file a
// Windows installation carries); its path is given in the Windows form and
// '\' becomes '/' at the system call. "Loaded" modules are those this process
// loaded that way and has not freed. The library's own module is the shared
// object (or executable) that holds a given address. File names come back in
// the Windows form, with backslashes.
#pragma once

#include "sharedcode/wintypes.h"

namespace plat {

struct Module;
typedef Module* HMODULE;
struct Resource;
typedef Resource* HRSRC;

// GetModuleHandleExA(FROM_ADDRESS | UNCHANGED_REFCOUNT): the module whose
// image holds pv, without taking a reference; null when none.
HMODULE ModuleFromAddress(const void* pv);

// GetModuleHandleA: a module already loaded in the process, matched by its
// file name (case-insensitive, with or without a folder); never loads one.
// Null: the process executable. Missing: ERROR_MOD_NOT_FOUND (126).
HMODULE GetModuleHandleA(const char* szName);

// GetModuleFileNameA: the module's full path (null: the executable's). Returns
// the length written without the terminator; a path that does not fit is cut
// to cch - 1 characters and terminated, and the call returns cch and sets
// ERROR_INSUFFICIENT_BUFFER. 0 on failure.
DWORD GetModuleFileNameA(HMODULE hModule, char* szPath, DWORD cch);

// LoadLibraryExA(szPath, null, LOAD_LIBRARY_AS_DATAFILE |
// LOAD_LIBRARY_AS_IMAGE_RESOURCE): maps the module's resources; no code runs.
// A missing file: ERROR_MOD_NOT_FOUND (126); not a PE image, or headers,
// section table or resource root out of the file's bounds:
// ERROR_BAD_EXE_FORMAT (193).
HMODULE LoadLibraryAsDataA(const char* szPath);
// Releases a module loaded as data; modules found by address or name were
// handed out without a reference and stay.
BOOL FreeLibrary(HMODULE hModule);

// FindResourceA(hModule, MAKEINTRESOURCE(name), MAKEINTRESOURCE(type)), first
// language; missing: ERROR_RESOURCE_TYPE_NOT_FOUND (1813) or
// ERROR_RESOURCE_NAME_NOT_FOUND (1814); no resources at all, or a resource
// tree or data entry that does not fit the file:
// ERROR_RESOURCE_DATA_NOT_FOUND (1812).
HRSRC FindResourceA(HMODULE hModule, WORD wName, WORD wType);
// SizeofResource: the resource's size in bytes; 0 for an empty resource,
// which sets no error.
DWORD SizeofResource(HMODULE hModule, HRSRC hResource);
// LoadResource + LockResource: the resource's bytes, valid while the module
// stays loaded.
const void* LoadResourceBytes(HMODULE hModule, HRSRC hResource);

}  // namespace plat
