// Code pages, and the kernel's and user32's small string helpers, of the
// simulated Windows. The ANSI code page of the simulated machine is
// Windows-1252.
#pragma once

#include <windef.h>

typedef CHAR *LPCH;
typedef const CHAR *LPCCH;
typedef WCHAR *LPWCH;
typedef const WCHAR *LPCWCH;

#define CP_ACP 0
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif

UINT WINAPI GetACP(void);

// Code pages CP_ACP, 1252 and CP_UTF8. Characters that Windows-1252 lacks
// become the default character; there is no best-fit mapping.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);

// The SDK declares these in winbase.h (lstr*) and winuser.h (CharLower*).
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
LPWSTR WINAPI CharLowerW(LPWSTR lpsz);
DWORD WINAPI CharLowerBuffW(LPWSTR lpsz, DWORD cchLength);
