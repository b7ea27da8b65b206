// The log of a deployment run that names none with /log.
#include "common/default_log.h"

#include <windows.h>
#include <sddl.h>
#include <string.h>
#include <strsafe.h>

#include "common/log_file.h"

// SYSTEM and Administrators may do anything in the folder and to what it
// holds, users only read; nothing is inherited from above.
#define DEFAULT_LOG_FOLDER_SDDL L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"
#define LOGS_FOLDER L"\\Logs"
#define DEFAULT_LOG_FOLDER L"\\Logs\\Corvane"
#define DEFAULT_LOG_NAME L"\\setup.log"
#define OLDER_LOG_NAME L"\\setup.old.log"

// Makes folder with the log folder's rights, or checks the one there.
static BOOL MakeLogFolder(const WCHAR *folder) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    BY_HANDLE_FILE_INFORMATION information;
    HANDLE handle;
    BOOL made;
    BOOL fit;

    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(DEFAULT_LOG_FOLDER_SDDL, SDDL_REVISION_1, &descriptor,
                                                              NULL))
        return FALSE;
    memset(&attributes, 0, sizeof(attributes));
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    made = CreateDirectoryW(folder, &attributes);
    LocalFree(descriptor);
    if (made)
        return TRUE;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        return FALSE;
    // Whoever made it first decides who may write in it.
    handle = CreateFileW(folder, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return FALSE;
    fit = GetFileInformationByHandle(handle, &information) &&
          (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
              FILE_ATTRIBUTE_DIRECTORY &&
          OwnedByAdministrators(handle);
    CloseHandle(handle);
    return fit;
}

// Renames a log that reached the bound to the older log's name.
static void SetAsideFullLog(const WCHAR *log, const WCHAR *older) {
    LARGE_INTEGER size;
    HANDLE handle;
    BOOL full;

    handle = CreateFileW(log, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    size.QuadPart = 0;
    full = GetFileSizeEx(handle, &size) && size.QuadPart >= DEFAULT_LOG_BOUND_BYTES;
    CloseHandle(handle);
    // A copy that writes the log meanwhile keeps it: the rename fails.
    if (full)
        MoveFileExW(log, older, MOVEFILE_REPLACE_EXISTING);
}

// The default log's path into path, its folder made or checked.
static BOOL PrepareDefaultLog(WCHAR *path) {
    WCHAR windows[MAX_PATH];
    WCHAR older[LOG_PATH_CCH];
    UINT length;

    length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || FAILED(StringCchPrintfW(path, LOG_PATH_CCH, L"%ws" LOGS_FOLDER, windows)))
        return FALSE;
    // Every Windows has the folder Logs; one made here gets its rights from
    // the Windows folder, which only administrators can change.
    if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return FALSE;
    if (FAILED(StringCchPrintfW(path, LOG_PATH_CCH, L"%ws" DEFAULT_LOG_FOLDER, windows)) || !MakeLogFolder(path))
        return FALSE;
    if (FAILED(StringCchPrintfW(older, LOG_PATH_CCH, L"%ws" DEFAULT_LOG_FOLDER OLDER_LOG_NAME, windows)) ||
        FAILED(StringCchCatW(path, LOG_PATH_CCH, DEFAULT_LOG_NAME)))
        return FALSE;
    SetAsideFullLog(path, older);
    return TRUE;
}

void UseDefaultLog(void) {
    WCHAR path[LOG_PATH_CCH];
    DWORD savedError = GetLastError();

    LogFilePath[0] = 0;
    if (PrepareDefaultLog(path))
        StringCchCopyW(LogFilePath, LOG_PATH_CCH, path);
    SetLastError(savedError);
}
