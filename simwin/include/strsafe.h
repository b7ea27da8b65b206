// Bounded string functions with the semantics of the SDK's strsafe.h: every
// function takes the destination's capacity in characters, always leaves a
// terminated string when the capacity is at least 1, and reports a result cut
// short with STRSAFE_E_INSUFFICIENT_BUFFER.
#pragma once

#include <windows.h>

#include <stdarg.h>

typedef char *STRSAFE_LPSTR;
typedef const char *STRSAFE_LPCSTR;
typedef WCHAR *STRSAFE_LPWSTR;
typedef const WCHAR *STRSAFE_LPCWSTR;

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE ((HRESULT)0x80070026L)

// Formatting with the C runtime's rules for the wide functions: %s and %ws
// are wide strings, %hs and %S narrow ones.
HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, va_list argList);

HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchCopyNW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc, size_t cchToCopy);
HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);

// The string must be terminated within its first cchMax characters; the
// length excludes the terminator.
HRESULT StringCchLengthW(STRSAFE_LPCWSTR psz, size_t cchMax, size_t *pcchLength);
HRESULT StringCchLengthA(STRSAFE_LPCSTR psz, size_t cchMax, size_t *pcchLength);

// As with the SDK's header, a file that includes strsafe.h may not call the
// unbounded formatters unless it defines STRSAFE_NO_DEPRECATE first.
#ifndef STRSAFE_NO_DEPRECATE
#undef wsprintfW
#define wsprintfW wsprintfW_instead_use_StringCbPrintfW_or_StringCchPrintfW;
#undef wvsprintfW
#define wvsprintfW wvsprintfW_instead_use_StringCbVPrintfW_or_StringCchVPrintfW;
#endif
