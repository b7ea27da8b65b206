#include "common/folder_way.h"

#include <windows.h>
#include <string.h>
#include <strsafe.h>

// The longest folder path a way is held for.
#define FOLDER_WAY_CCH 1024

static BOOL IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// The length of the root that path begins with, its separator included ("X:\",
// "\", "\\server\share\", "\\?\X:\"); 0 for a path of any other form.
static size_t RootLength(const WCHAR *path) {
    size_t i = 2;
    int names;

    if (path[0] != 0 && path[1] == L':')
        return IsSeparator(path[2]) ? 3 : 0;
    if (!IsSeparator(path[0]))
        return 0;
    if (!IsSeparator(path[1]))
        return 1;
    if ((path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]))
        return path[4] != 0 && path[5] == L':' && IsSeparator(path[6]) ? 7 : 0;
    // "\\server\share\": two names, each ended by a separator.
    for (names = 0; names < 2; names++) {
        if (path[i] == 0 || IsSeparator(path[i]))
            return 0;
        while (path[i] != 0 && !IsSeparator(path[i]))
            i++;
        if (path[i] == 0)
            return 0;
        i++;
    }
    return i;
}

// Opens one folder of the way by the name it has; FALSE when it cannot be
// held, or is no folder, or is a reparse point.
static BOOL HoldFolder(HeldFolders *held, const WCHAR *path, DWORD share) {
    BY_HANDLE_FILE_INFORMATION information;
    HANDLE handle;

    if (held->Count >= HELD_FOLDERS_MAX)
        return FALSE;
    handle = CreateFileW(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return FALSE;
    held->Handles[held->Count++] = handle;
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Holds the first length characters of path (the root and the folders below
// it, without a trailing separator but the root's).
static BOOL HoldPrefix(HeldFolders *held, const WCHAR *path, size_t length, DWORD share) {
    WCHAR prefix[FOLDER_WAY_CCH];

    return SUCCEEDED(StringCchCopyNW(prefix, FOLDER_WAY_CCH, path, length)) && HoldFolder(held, prefix, share);
}

BOOL HoldFolderWay(HeldFolders *held, const WCHAR *folder, BOOL lastMayMove) {
    WCHAR path[FOLDER_WAY_CCH];
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    size_t length = 0;
    size_t root;
    size_t i;
    BOOL holding;

    memset(held, 0, sizeof(*held));
    if (folder == NULL || FAILED(StringCchCopyW(path, FOLDER_WAY_CCH, folder)) ||
        FAILED(StringCchLengthW(path, FOLDER_WAY_CCH, &length)) || (root = RootLength(path)) == 0)
        return FALSE;
    while (length > root && IsSeparator(path[length - 1]))
        path[--length] = 0;
    holding = length == root || HoldPrefix(held, path, root, share);
    // Each folder below the root, up to the last separator before folder's
    // own name; a doubled separator names no folder of its own.
    for (i = root; holding && i < length; i++)
        if (IsSeparator(path[i]) && !IsSeparator(path[i - 1]))
            holding = HoldPrefix(held, path, i, share);
    holding = holding && HoldPrefix(held, path, length, lastMayMove ? share | FILE_SHARE_DELETE : share);
    if (!holding)
        ReleaseFolderWay(held);
    return holding;
}

void ReleaseFolderWay(HeldFolders *held) {
    while (held->Count > 0)
        CloseHandle(held->Handles[--held->Count]);
}
