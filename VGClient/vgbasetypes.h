/*
 * The base types and the calling convention of VAVarive32.h, shared with the
 * library's own Win32 names (sharedcode/wintypes.h): the types <windows.h>
 * calls DWORD, HRESULT and BOOL (unsigned long and long are 32 bits wide on
 * Windows), so Windows callers pass their own variables. Usable from C and
 * C++.
 */
#ifndef VGBASETYPES_H
#define VGBASETYPES_H

#include <stdint.h>

#if defined(_WIN32)
typedef unsigned long VGDWORD;
typedef long VGHRESULT;
#else
typedef uint32_t VGDWORD;
typedef int32_t VGHRESULT;
#endif
typedef int VGBOOL;

/* The standard calling convention of 32-bit Windows: the callee removes its
 * arguments. */
#if defined(_WIN32) && !defined(_WIN64)
#define VGAPI __stdcall
#else
#define VGAPI
#endif

#endif /* VGBASETYPES_H */
