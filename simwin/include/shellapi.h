// Shell functions of the simulated Windows.
#pragma once

#include <windows.h>

// --- Command line ------------------------------------------------------------

// Splits a command line into arguments with the rules of Windows' shell32:
// the first token is read as a program name (up to the next quote when it
// starts with one, else up to the first blank; backslashes are ordinary), the
// others with the backslash and quote rules. An empty line gives one token,
// the current program's path. The result is one LocalAlloc block (the pointer
// array, NULL-terminated, followed by the strings), freed with LocalFree.
LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs);

// ---- File operations (used by the uninstaller) ------------------------------

#define FO_MOVE 0x0001
#define FO_COPY 0x0002
#define FO_DELETE 0x0003
#define FO_RENAME 0x0004

typedef WORD FILEOP_FLAGS;

#define FOF_MULTIDESTFILES 0x0001
#define FOF_CONFIRMMOUSE 0x0002
#define FOF_SILENT 0x0004
#define FOF_RENAMEONCOLLISION 0x0008
#define FOF_NOCONFIRMATION 0x0010
#define FOF_WANTMAPPINGHANDLE 0x0020
#define FOF_ALLOWUNDO 0x0040
#define FOF_FILESONLY 0x0080
#define FOF_SIMPLEPROGRESS 0x0100
#define FOF_NOCONFIRMMKDIR 0x0200
#define FOF_NOERRORUI 0x0400

typedef struct _SHFILEOPSTRUCTW {
    HWND hwnd;
    UINT wFunc;
    PCZZWSTR pFrom;
    PCZZWSTR pTo;
    FILEOP_FLAGS fFlags;
    BOOL fAnyOperationsAborted;
    LPVOID hNameMappings;
    PCWSTR lpszProgressTitle;
} SHFILEOPSTRUCTW, *LPSHFILEOPSTRUCTW;

// Returns 0 on success, otherwise an error code (a Win32 code, or one of the
// shell's own DE_ codes for bad paths).
int WINAPI SHFileOperationW(LPSHFILEOPSTRUCTW lpFileOp);
