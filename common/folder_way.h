// The way to a folder held open: every folder from the root of its drive or
// share down to it, so that the path keeps leading where it was checked.
#pragma once

#include <windows.h>

// The most folders a held way may have, the root included.
#define HELD_FOLDERS_MAX 64

typedef struct HeldFolders {
    HANDLE Handles[HELD_FOLDERS_MAX];
    int Count;
} HeldFolders;

// Holds every folder from the root of folder's drive or share down to folder
// itself, each opened by the name it has, not through a junction or link it
// may be. None may be a junction or a link (a reparse point of any kind),
// and none above folder can be renamed, moved or replaced while held (no
// delete sharing). folder itself shares deletion when lastMayMove is set, so
// that it can still be moved. folder is a full path ("X:\...", a share
// "\\server\share\...", "\\?\X:\...") or one from the current drive's root
// ("\..."); either separator, a trailing one or none. FALSE, with nothing
// held, when the path is of another form, when any folder cannot be held or
// is a reparse point, or when the way is longer than HELD_FOLDERS_MAX.
BOOL HoldFolderWay(HeldFolders *held, const WCHAR *folder, BOOL lastMayMove);

// Closes what HoldFolderWay holds; it can be called more than once.
void ReleaseFolderWay(HeldFolders *held);
