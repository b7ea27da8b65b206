#include "common/verified_package.h"

#include <windows.h>
#include <wincrypt.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_hashes.h"
#include "common/protected_copy.h"

#define PACKAGE_PATH_CCH 300
#define CHECK_LINE_CCH 512
#define READ_CHUNK 4096

// TRUE when the run uses this entry on this machine.
static BOOL UsedHere(const WCHAR *name) {
    const NativeArchitecture *architecture;
    const WCHAR *separator = wcschr(name, L'\\');
    size_t folderLength;

    if (separator == NULL)
        return TRUE;
    folderLength = (size_t)(separator - name);
    if (folderLength == 3 && wcsncmp(name, L"dat", 3) == 0)
        return TRUE;
    architecture = GetNativeArchitecture();
    return architecture != NULL && wcslen(architecture->FolderName) == folderLength &&
           wcsncmp(name, architecture->FolderName, folderLength) == 0;
}

// Hashes the file from its handle, from the start: ERROR_SUCCESS, or the
// error of the call that failed.
static DWORD HashFile(HANDLE file, BYTE *digest) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE chunk[READ_CHUNK];
    DWORD read = 0;
    DWORD length = PACKAGE_HASH_BYTES;
    DWORD error = ERROR_SUCCESS;

    if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return GetLastError();
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        error = GetLastError();
    } else {
        for (;;) {
            if (!ReadFile(file, chunk, READ_CHUNK, &read, NULL) || (read != 0 && !CryptHashData(hash, chunk, read, 0))) {
                error = GetLastError();
                break;
            }
            if (read == 0) {
                if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0))
                    error = GetLastError();
                else if (length != PACKAGE_HASH_BYTES)
                    error = (DWORD)NTE_BAD_HASH_STATE;
                break;
            }
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return error;
}

// Opens the file where it lies, for reading and without write or delete
// sharing, and checks it: no link, one name, the table's hash. NULL with
// *why set when it is not so.
static HANDLE HoldFile(const WCHAR *path, const BYTE *expected, const WCHAR **why, DWORD *error) {
    BY_HANDLE_FILE_INFORMATION information;
    BYTE digest[PACKAGE_HASH_BYTES];
    HANDLE file;

    *error = ERROR_SUCCESS;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        *why = L"cannot be opened for the check";
        return NULL;
    }
    memset(&information, 0, sizeof(information));
    if (!GetFileInformationByHandle(file, &information)) {
        *error = GetLastError();
        *why = L"cannot be looked at";
    } else if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        *why = L"is a link, not a file";
    } else if (information.nNumberOfLinks != 1) {
        *why = L"has more than one name";
    } else if ((*error = HashFile(file, digest)) != ERROR_SUCCESS) {
        *why = L"cannot be hashed";
    } else if (memcmp(digest, expected, PACKAGE_HASH_BYTES) != 0) {
        *why = L"does not match the hash the program carries";
    } else {
        return file;
    }
    CloseHandle(file);
    return NULL;
}

BOOL IsPackageFileAsBuilt(const WCHAR *path, const WCHAR *name) {
    const WCHAR *why = NULL;
    DWORD error = ERROR_SUCCESS;
    HANDLE file;
    int i;

    for (i = 0; i < PackageFileHashCount; i++)
        if (wcscmp(PackageFileHashes[i].Name, name) == 0) {
            file = HoldFile(path, PackageFileHashes[i].Sha256, &why, &error);
            if (file == NULL)
                return FALSE;
            CloseHandle(file);
            return TRUE;
        }
    return FALSE;
}

void ReleasePackageFiles(HeldFile **hold) {
    HeldFile *held;

    while (*hold != NULL) {
        held = *hold;
        *hold = held->Next;
        CloseHandle(held->File);
        LocalFree(held);
    }
}

DWORD HoldPackageFiles(HeldFile **hold) {
    WCHAR path[PACKAGE_PATH_CCH];
    WCHAR line[CHECK_LINE_CCH];
    const WCHAR *why = L"cannot be held";
    DWORD error = ERROR_SUCCESS;
    HeldFile *held;
    HANDLE file;
    int i;

    *hold = NULL;
    for (i = 0; i < PackageFileHashCount; i++) {
        if (!UsedHere(PackageFileHashes[i].Name))
            continue;
        file = NULL;
        held = NULL;
        error = ERROR_SUCCESS;
        if (FAILED(StringCchPrintfW(path, PACKAGE_PATH_CCH, L"%ws%ws", InstallDir, PackageFileHashes[i].Name))) {
            error = ERROR_INSUFFICIENT_BUFFER;
            why = L"has a path too long to check";
        } else {
            file = HoldFile(path, PackageFileHashes[i].Sha256, &why, &error);
        }
        if (file != NULL) {
            held = (HeldFile *)LocalAlloc(LMEM_ZEROINIT, sizeof(HeldFile));
            if (held == NULL) {
                error = GetLastError();
                why = L"cannot be held";
                CloseHandle(file);
            }
        }
        if (held == NULL) {
            ReleasePackageFiles(hold);
            StringCchPrintfW(line, CHECK_LINE_CCH, L"The package file %ws%ws %ws (error %lu): nothing of the package was used.",
                             InstallDir, PackageFileHashes[i].Name, why, (unsigned long)error);
            WriteLogLine(line);
            return error != ERROR_SUCCESS ? error : (DWORD)TRUST_E_BAD_DIGEST;
        }
        held->File = file;
        held->Name = PackageFileHashes[i].Name;
        held->Next = *hold;
        *hold = held;
    }
    return ERROR_SUCCESS;
}

// Makes the folder of a held file's relative name ("amd64" of
// "amd64\crvndrv6.dll") under folder and puts the file's path in path.
static BOOL PlaceCopy(const WCHAR *folder, const WCHAR *name, WCHAR *path) {
    const WCHAR *separator = wcschr(name, L'\\');

    if (separator != NULL &&
        (FAILED(StringCchPrintfW(path, PACKAGE_PATH_CCH, L"%ws\\%.*ws", folder, (int)(separator - name), name)) ||
         (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)))
        return FALSE;
    return SUCCEEDED(StringCchPrintfW(path, PACKAGE_PATH_CCH, L"%ws\\%ws", folder, name));
}

// Removes what a failed copy made: its files, their folders, the folder.
static void RemoveCopiedPackage(const HeldFile *hold, const WCHAR *folder) {
    WCHAR path[PACKAGE_PATH_CCH];
    const HeldFile *held;
    WCHAR *separator;

    for (held = hold; held != NULL; held = held->Next)
        if (PlaceCopy(folder, held->Name, path)) {
            DeleteFileW(path);
            separator = wcsrchr(path, L'\\');
            if (separator != NULL && wcschr(held->Name, L'\\') != NULL) {
                *separator = 0;
                RemoveDirectoryW(path);
            }
        }
    RemoveDirectoryW(folder);
}

BOOL CopyHeldPackage(const HeldFile *hold, WCHAR *folder) {
    WCHAR path[PACKAGE_PATH_CCH];
    LARGE_INTEGER start;
    const HeldFile *held;

    if (!MakeProtectedFolder(folder))
        return FALSE;
    start.QuadPart = 0;
    for (held = hold; held != NULL; held = held->Next) {
        if (!PlaceCopy(folder, held->Name, path) || !SetFilePointerEx(held->File, start, NULL, FILE_BEGIN) ||
            !CopyFromHandle(held->File, path)) {
            RemoveCopiedPackage(hold, folder);
            folder[0] = 0;
            return FALSE;
        }
    }
    return TRUE;
}
