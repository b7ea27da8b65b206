#include "common/protected_copy.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/log_file.h"

#define WINDOWS_FOLDER_CCH 240
#define TEMP_FOLDER_CCH 260
#define FOLDER_NAME_TRIES 16
#define COPY_CHUNK 8192
// The deepest the program's own folders go (the package's "amd64\x.dll" is
// one level down); a deeper tree is not the program's.
#define TREE_DEPTH_MAX 4
#define REMOVED_LINE_CCH 320
// A day, in FILETIME's 100-nanosecond units.
#define ONE_DAY_FILETIME 864000000000ULL

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
           SUCCEEDED(StringCchPrintfW(folder, PROTECTED_COPY_PATH_CCH, L"%ws\\" PROTECTED_FOLDER_PREFIX L"%08lX%08lX",
                                      parent, (unsigned long)random[0], (unsigned long)random[1]));
}

// Creates a new folder under parent with the protected security descriptor.
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
    if (!created)
        folder[0] = 0;
    return created;
}

BOOL MakeProtectedFolder(WCHAR *folder) {
    WCHAR tempFolder[TEMP_FOLDER_CCH];

    memset(tempFolder, 0, sizeof(tempFolder));
    memset(folder, 0, PROTECTED_COPY_PATH_CCH * sizeof(WCHAR));
    return GetSystemTempFolder(tempFolder) && CreateProtectedFolder(tempFolder, folder);
}

// Writes a new file at target with what source holds from its position to
// its end; FALSE, with the file removed again, when any step fails.
static BOOL CopyFromHandle(HANDLE source, const WCHAR *target) {
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
    WCHAR copyFolder[PROTECTED_COPY_PATH_CCH];

    // The copy gets a name of its own, which is not "unins000": as the
    // uninstaller it does not relaunch again.
    HANDLE held = INVALID_HANDLE_VALUE;
    DWORD error;

    memset(copyPath, 0, PROTECTED_COPY_PATH_CCH * sizeof(WCHAR));
    if (!MakeProtectedFolder(copyFolder))
        return INVALID_HANDLE_VALUE;
    // Held from here until the child runs: nobody can change or replace it,
    // yet it can still be started.
    if (GetTempFileNameW(copyFolder, L"unins", 0, copyPath) != 0 && CopyFromHandle(source, copyPath))
        held = CreateFileW(copyPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE) {
        // A copy that cannot be made leaves no folder behind; the caller
        // reports the error of the step that failed.
        error = GetLastError();
        DeleteFolderTree(copyFolder);
        copyPath[0] = 0;
        SetLastError(error);
    }
    return held;
}

// "." and "..", which a folder listing names too.
static BOOL IsDotEntry(const WCHAR *name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

static void DeleteTree(const WCHAR *folder, int depth) {
    WCHAR pattern[PROTECTED_COPY_PATH_CCH];
    WCHAR path[PROTECTED_COPY_PATH_CCH];
    WIN32_FIND_DATAW entry;
    HANDLE search;

    if (depth < TREE_DEPTH_MAX && SUCCEEDED(StringCchPrintfW(pattern, PROTECTED_COPY_PATH_CCH, L"%ws\\*", folder))) {
        search = FindFirstFileW(pattern, &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (IsDotEntry(entry.cFileName) ||
                    FAILED(StringCchPrintfW(path, PROTECTED_COPY_PATH_CCH, L"%ws\\%ws", folder, entry.cFileName)))
                    continue;
                // A link goes as the link: RemoveDirectoryW and DeleteFileW
                // act on it, not on what it leads to.
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(path);
                } else {
                    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                        DeleteTree(path, depth + 1);
                    RemoveDirectoryW(path);
                }
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
    }
    RemoveDirectoryW(folder);
}

void DeleteFolderTree(const WCHAR *folder) {
    if (folder != NULL && folder[0] != 0)
        DeleteTree(folder, 0);
}

// Whether the folder at path is one this program made: no link, owned by
// Administrators or SYSTEM. Opened by its own name, not through a link.
static BOOL IsProgramsFolder(const WCHAR *path) {
    BY_HANDLE_FILE_INFORMATION information;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    PSID owner = NULL;
    HANDLE folder;
    BOOL programs = FALSE;

    folder = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return FALSE;
    if (GetFileInformationByHandle(folder, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
            FILE_ATTRIBUTE_DIRECTORY &&
        GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor) ==
            ERROR_SUCCESS) {
        programs = owner != NULL &&
                   (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid));
        LocalFree(descriptor);
    }
    CloseHandle(folder);
    return programs;
}

static ULONGLONG FileTimeValue(const FILETIME *time) {
    return ((ULONGLONG)time->dwHighDateTime << 32) | time->dwLowDateTime;
}

void RemoveEarlierCopies(void) {
    WCHAR tempFolder[TEMP_FOLDER_CCH];
    WCHAR pattern[TEMP_FOLDER_CCH];
    WCHAR path[PROTECTED_COPY_PATH_CCH];
    WCHAR line[REMOVED_LINE_CCH];
    WIN32_FIND_DATAW entry;
    FILETIME now;
    HANDLE search;

    if (!GetSystemTempFolder(tempFolder) ||
        FAILED(StringCchPrintfW(pattern, TEMP_FOLDER_CCH, L"%ws\\" PROTECTED_FOLDER_PREFIX L"*", tempFolder)))
        return;
    GetSystemTimeAsFileTime(&now);
    search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                FILE_ATTRIBUTE_DIRECTORY ||
            FileTimeValue(&entry.ftCreationTime) + ONE_DAY_FILETIME > FileTimeValue(&now) ||
            FAILED(StringCchPrintfW(path, PROTECTED_COPY_PATH_CCH, L"%ws\\%ws", tempFolder, entry.cFileName)) ||
            !IsProgramsFolder(path))
            continue;
        DeleteFolderTree(path);
        if (SUCCEEDED(StringCchPrintfW(line, REMOVED_LINE_CCH, L"An earlier run's copy %ws was %ws.", path,
                                       GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES
                                           ? L"removed"
                                           : L"removed in part: what is in use stays")))
            WriteLogLine(line);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}
