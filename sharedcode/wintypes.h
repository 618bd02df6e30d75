// Win32 base types and result codes for the core, without <windows.h>.
//
// The typedefs are the very types <windows.h> uses (DWORD is unsigned long on
// Windows), so a platform file may include both. HRESULTs are macros guarded
// the same way, with the values of winerror.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VGClient/vgbasetypes.h"

typedef VGDWORD DWORD;
typedef VGHRESULT HRESULT;
typedef VGBOOL BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
#if defined(_WIN32)
typedef long LONG;
#else
typedef int32_t LONG;
#endif

// Lets the compiler check printf-style arguments.
#if !defined(CRVN_PRINTF_FORMAT) && defined(__GNUC__)
#define CRVN_PRINTF_FORMAT(iFormat, iFirst) __attribute__((format(printf, iFormat, iFirst)))
#elif !defined(CRVN_PRINTF_FORMAT)
#define CRVN_PRINTF_FORMAT(iFormat, iFirst)
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// HRESULTs
#ifndef S_OK
#define S_OK ((HRESULT)0L)
#endif
#ifndef S_FALSE
#define S_FALSE ((HRESULT)1L)
#endif
#ifndef E_FAIL
#define E_FAIL ((HRESULT)0x80004005L)
#endif
#ifndef E_POINTER
#define E_POINTER ((HRESULT)0x80004003L)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG ((HRESULT)0x80070057L)
#endif

// System error codes, one line each in winerrors.inc. Where winerror.h is
// already in (a platform file of the Windows build), its macros are the
// names; they have the same values and type.
#ifndef ERROR_SUCCESS
#define VG_WIN32_ERROR(dwCode, Name, szText) constexpr long Name = dwCode##L;
#include "sharedcode/winerrors.inc"
#undef VG_WIN32_ERROR
#endif
