#include "common/protected_copy.h"

#include <windows.h>
#include <sddl.h>
#include <wincrypt.h>
#include <string.h>
#include <strsafe.h>

#define WINDOWS_FOLDER_CCH 240
#define TEMP_FOLDER_CCH 260
#define FOLDER_NAME_TRIES 16
#define COPY_CHUNK 8192

// Full control for SYSTEM and Administrators, to the folder and everything in
// it, and nothing inherited from the temporary folder.
#define PROTECTED_FOLDER_SDDL L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

// %SystemRoot%\Temp, without a trailing backslash.
static BOOL GetSystemTempFolder(WCHAR *folder) {
    WCHAR windows[WINDOWS_FOLDER_CCH];
    UINT length = GetSystemWindowsDirectoryW(windows, WINDOWS_FOLDER_CCH);

    if (length == 0 || length >= WINDOWS_FOLDER_CCH)
        return FALSE;
    return SUCCEEDED(StringCchPrintfW(folder, TEMP_FOLDER_CCH, L"%ws\\Temp", windows));
}

// A name for a new folder under parent: 64 bits from the system's random
// generator, so that nobody can make the folders it could be beforehand.
static BOOL MakeFolderName(HCRYPTPROV provider, const WCHAR *parent, WCHAR *folder) {
    DWORD random[2];

    return CryptGenRandom(provider, sizeof(random), (BYTE *)random) &&
           SUCCEEDED(StringCchPrintfW(folder, PROTECTED_COPY_PATH_CCH, L"%ws\\uni%08lX%08lX.tmp", parent,
                                      (unsigned long)random[0], (unsigned long)random[1]));
}

// Creates a new folder under parent with the protected security descriptor.
// A name that exists already is never used: whoever made it may own it.
static BOOL CreateProtectedFolder(const WCHAR *parent, WCHAR *folder) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    HCRYPTPROV provider = 0;
    BOOL created = FALSE;
    int i;

    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PROTECTED_FOLDER_SDDL, SDDL_REVISION_1, &descriptor,
                                                              NULL))
        return FALSE;
    memset(&attributes, 0, sizeof(attributes));
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    if (CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        for (i = 0; i < FOLDER_NAME_TRIES && !created; i++) {
            if (!MakeFolderName(provider, parent, folder))
                break;
            created = CreateDirectoryW(folder, &attributes);
            if (!created && GetLastError() != ERROR_ALREADY_EXISTS)
                break;
        }
        CryptReleaseContext(provider, 0);
    }
    LocalFree(descriptor);
    return created;
}

BOOL MakeProtectedFolder(WCHAR *folder) {
    WCHAR tempFolder[TEMP_FOLDER_CCH];

    memset(tempFolder, 0, sizeof(tempFolder));
    memset(folder, 0, PROTECTED_COPY_PATH_CCH * sizeof(WCHAR));
    return GetSystemTempFolder(tempFolder) && CreateProtectedFolder(tempFolder, folder);
}

// Makes the new folder and names the copy in it (an empty file, made there).
// The copy gets a name of its own, which is not "unins000": as the
// uninstaller it does not relaunch again.
static BOOL NameCopy(WCHAR *copyPath) {
    WCHAR copyFolder[PROTECTED_COPY_PATH_CCH];

    memset(copyPath, 0, PROTECTED_COPY_PATH_CCH * sizeof(WCHAR));
    return MakeProtectedFolder(copyFolder) && GetTempFileNameW(copyFolder, L"unins", 0, copyPath) != 0;
}

// Held from here until the child runs: nobody can change or replace it, yet
// it can still be started.
static HANDLE HoldCopy(const WCHAR *copyPath) {
    return CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

HANDLE MakeProtectedCopy(const WCHAR *source, WCHAR *copyPath) {
    if (!NameCopy(copyPath) || !CopyFileW(source, copyPath, FALSE))
        return INVALID_HANDLE_VALUE;
    return HoldCopy(copyPath);
}

BOOL CopyFromHandle(HANDLE source, const WCHAR *target) {
    BYTE buffer[COPY_CHUNK];
    HANDLE copy;
    DWORD read = 0;
    DWORD written = 0;
    BOOL copied = TRUE;

    copy = CreateFileW(target, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (copy == INVALID_HANDLE_VALUE)
        return FALSE;
    do {
        copied = ReadFile(source, buffer, COPY_CHUNK, &read, NULL) &&
                 (read == 0 || (WriteFile(copy, buffer, read, &written, NULL) && written == read));
    } while (copied && read != 0);
    CloseHandle(copy);
    if (!copied)
        DeleteFileW(target);
    return copied;
}

HANDLE MakeProtectedCopyOfFile(HANDLE source, WCHAR *copyPath) {
    if (!NameCopy(copyPath) || !CopyFromHandle(source, copyPath))
        return INVALID_HANDLE_VALUE;
    return HoldCopy(copyPath);
}
