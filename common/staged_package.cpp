#include "common/staged_package.h"

#include <windows.h>
#include <wincrypt.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/package_hashes.h"
#include "common/protected_copy.h"

#define PACKAGE_PATH_CCH 300
#define CHECK_LINE_CCH 512
#define READ_CHUNK 8192

// Opens a package file where it lies, for reading, without write or delete
// sharing and as the link itself should its name be one; NULL with *why set
// when it cannot be opened, is a link, has a second name or is not the size
// the table gives (checked before a byte is read: a file of the wrong size is
// not as built, however large it claims to be).
static HANDLE OpenPackageFile(const WCHAR *path, const PackageFileHash *entry, const WCHAR **why, DWORD *error) {
    BY_HANDLE_FILE_INFORMATION information;
    HANDLE file;

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
    } else if ((((ULONGLONG)information.nFileSizeHigh << 32) | information.nFileSizeLow) != entry->Size) {
        *why = L"is not the size the program carries";
    } else {
        return file;
    }
    CloseHandle(file);
    return NULL;
}

// Reads the open package file once, to its end, hashing each piece, and
// writes each piece into copy unless it is INVALID_HANDLE_VALUE (a new file in
// the staged folder). ERROR_SUCCESS and *matches when what was read is
// exactly what the table names; a file that grows or shrinks while it is read
// does not match. *why says what failed.
static DWORD ReadAndHash(HANDLE source, HANDLE copy, const PackageFileHash *entry, BOOL *matches, const WCHAR **why) {
    BYTE chunk[READ_CHUNK];
    BYTE digest[PACKAGE_HASH_BYTES];
    DWORD length = PACKAGE_HASH_BYTES;
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    ULONGLONG total = 0;
    DWORD read = 0;
    DWORD written = 0;
    DWORD error = ERROR_SUCCESS;

    *matches = FALSE;
    *why = L"cannot be hashed";
    if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return GetLastError();
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash))
        error = GetLastError();
    while (error == ERROR_SUCCESS) {
        if (!ReadFile(source, chunk, READ_CHUNK, &read, NULL)) {
            error = GetLastError();
            *why = L"cannot be read";
        } else if (read == 0 || (total += read) > entry->Size) {
            break;
        } else if (!CryptHashData(hash, chunk, read, 0)) {
            error = GetLastError();
        } else if (copy != INVALID_HANDLE_VALUE && (!WriteFile(copy, chunk, read, &written, NULL) || written != read)) {
            error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
            *why = L"cannot be staged";
        }
    }
    if (error == ERROR_SUCCESS && total != entry->Size) {
        *why = L"changed its size while it was read";
    } else if (error == ERROR_SUCCESS) {
        if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0))
            error = GetLastError();
        else if (length != PACKAGE_HASH_BYTES)
            error = (DWORD)NTE_BAD_HASH_STATE;
        else if (!(*matches = memcmp(digest, entry->Sha256, PACKAGE_HASH_BYTES) == 0))
            *why = L"does not match the hash the program carries";
    }
    if (hash != 0)
        CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return error;
}

// The length of the folder part of a relative name ("amd64" of
// "amd64\\crvndrv6.dll"; 0 for a file of the package's own folder).
static size_t FolderLength(const WCHAR *name) {
    const WCHAR *separator = wcschr(name, L'\\');

    return separator != NULL ? (size_t)(separator - name) : 0;
}

// Puts entry i's path under folder into path, making its folder first when no
// entry before it is in that folder: every folder of the copy is new.
static BOOL PlaceFile(const WCHAR *folder, int i, WCHAR *path) {
    const WCHAR *name = PackageFileHashes[i].Name;
    size_t length = FolderLength(name);
    int j;

    for (j = 0; j < i && length != 0; j++)
        if (FolderLength(PackageFileHashes[j].Name) == length && wcsncmp(PackageFileHashes[j].Name, name, length) == 0)
            length = 0;
    if (length != 0 &&
        (FAILED(StringCchPrintfW(path, PACKAGE_PATH_CCH, L"%ws%.*ws", folder, (int)length, name)) ||
         !CreateDirectoryW(path, NULL)))
        return FALSE;
    return SUCCEEDED(StringCchPrintfW(path, PACKAGE_PATH_CCH, L"%ws%ws", folder, name));
}

// Stages entry i of the table into folder (which ends with a backslash).
static DWORD StageFile(const WCHAR *folder, int i) {
    const PackageFileHash *entry = &PackageFileHashes[i];
    WCHAR source[PACKAGE_PATH_CCH];
    WCHAR target[PACKAGE_PATH_CCH];
    WCHAR line[CHECK_LINE_CCH];
    const WCHAR *why = L"has a path too long to check";
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    BOOL matches = FALSE;
    HANDLE file;
    HANDLE copy;

    if (SUCCEEDED(StringCchPrintfW(source, PACKAGE_PATH_CCH, L"%ws%ws", InstallDir, entry->Name))) {
        error = ERROR_SUCCESS;
        file = OpenPackageFile(source, entry, &why, &error);
        if (file != NULL) {
            // A new file, with normal attributes and nothing but its data.
            copy = PlaceFile(folder, i, target)
                       ? CreateFileW(target, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL)
                       : INVALID_HANDLE_VALUE;
            if (copy == INVALID_HANDLE_VALUE) {
                error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
                why = L"cannot be staged";
            } else {
                error = ReadAndHash(file, copy, entry, &matches, &why);
                CloseHandle(copy);
            }
            CloseHandle(file);
        }
    }
    if (error == ERROR_SUCCESS && matches)
        return ERROR_SUCCESS;
    StringCchPrintfW(line, CHECK_LINE_CCH, L"The package file %ws%ws %ws (error %lu): nothing of the package was used.",
                     InstallDir, entry->Name, why, (unsigned long)error);
    WriteLogLine(line);
    return error != ERROR_SUCCESS ? error : (DWORD)TRUST_E_BAD_DIGEST;
}

// Makes a new protected folder and stages every file of the table into it;
// folder (PROTECTED_COPY_PATH_CCH characters) names it with a trailing
// backslash. Whatever fails leaves no folder behind.
static DWORD StageInto(WCHAR *folder) {
    DWORD error = ERROR_SUCCESS;
    int i;

    if (!MakeProtectedFolder(folder) || FAILED(StringCchCatW(folder, PROTECTED_COPY_PATH_CCH, L"\\"))) {
        error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        WriteLogLine(L"The package cannot be staged: no folder of its own can be made under %SystemRoot%\\Temp. "
                     L"Nothing of the package was used.");
        DeleteFolderTree(folder);
        folder[0] = 0;
        return error;
    }
    for (i = 0; i < PackageFileHashCount && error == ERROR_SUCCESS; i++)
        error = StageFile(folder, i);
    if (error != ERROR_SUCCESS) {
        DeleteFolderTree(folder);
        folder[0] = 0;
    }
    return error;
}

DWORD StagePackage(void) {
    WCHAR folder[PROTECTED_COPY_PATH_CCH];
    WCHAR line[CHECK_LINE_CCH];
    DWORD error;

    if (PackageDir[0] != 0)
        return ERROR_SUCCESS;
    memset(folder, 0, sizeof(folder));
    error = StageInto(folder);
    if (error != ERROR_SUCCESS)
        return error;
    StringCchCopyW(PackageDir, INSTALL_DIR_CCH, folder);
    if (SUCCEEDED(StringCchPrintfW(line, CHECK_LINE_CCH,
                                   L"The package of %ws is as built, and Windows gets it from %ws.", InstallDir,
                                   PackageDir)))
        WriteLogLine(line);
    return ERROR_SUCCESS;
}

void RemoveStagedPackage(void) {
    size_t length = wcslen(PackageDir);

    if (length == 0)
        return;
    // The folder itself, without its trailing backslash.
    PackageDir[length - 1] = 0;
    DeleteFolderTree(PackageDir);
    memset(PackageDir, 0, sizeof(PackageDir));
}

DWORD StagePackageCopy(WCHAR *folder) {
    memset(folder, 0, PROTECTED_COPY_PATH_CCH * sizeof(WCHAR));
    return StageInto(folder);
}

BOOL StagedFilePath(WCHAR *path, size_t capacity, const WCHAR *name) {
    if (PackageDir[0] == 0 || FAILED(StringCchPrintfW(path, capacity, L"%ws%ws", PackageDir, name))) {
        path[0] = 0;
        return FALSE;
    }
    return TRUE;
}

BOOL IsPackageFileAsBuilt(const WCHAR *path, const WCHAR *name) {
    const WCHAR *why = NULL;
    DWORD error = ERROR_SUCCESS;
    BOOL matches = FALSE;
    HANDLE file;
    int i;

    for (i = 0; i < PackageFileHashCount; i++) {
        if (wcscmp(PackageFileHashes[i].Name, name) != 0)
            continue;
        file = OpenPackageFile(path, &PackageFileHashes[i], &why, &error);
        if (file == NULL)
            return FALSE;
        error = ReadAndHash(file, INVALID_HANDLE_VALUE, &PackageFileHashes[i], &matches, &why);
        CloseHandle(file);
        return error == ERROR_SUCCESS && matches;
    }
    return FALSE;
}
