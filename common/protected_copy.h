// Folders and copies that an elevated process may hand to Windows or start:
// new folders of the system's temporary folder that only Administrators and
// SYSTEM can change.
#pragma once

#include <windows.h>

#define PROTECTED_COPY_PATH_CCH 260

// Every folder the program makes under %SystemRoot%\Temp is named this,
// followed by 16 hexadecimal digits.
#define PROTECTED_FOLDER_PREFIX L"CorvaneSetup."

// Copies source into a new folder under %SystemRoot%\Temp. That folder lets
// any user create files and folders, but not rename, delete or change what
// an administrator made there, so nothing an unelevated process does between
// the steps can put another file in the copy's place; the new folder itself
// grants full control to SYSTEM and Administrators alone. The copy is read
// from source, an open file handle, from its position to its end (the
// program's own file, held since start-up), and opened again without write or
// delete sharing, so that it stays as it is while it is started; the caller
// closes the returned handle once the program runs. Neither is scheduled for
// deletion at the next restart, which deployment tools would read as a
// restart the installation needs: a later run removes them (see
// RemoveEarlierCopies). Returns the handle and the copy's path, or
// INVALID_HANDLE_VALUE.
HANDLE MakeProtectedCopyOfFile(HANDLE source, WCHAR *copyPath);

// Makes a new folder under %SystemRoot%\Temp that only SYSTEM and
// Administrators can change, as for the copy above, and names it in folder
// (PROTECTED_COPY_PATH_CCH characters, without a trailing backslash). A name
// that exists already is never taken: whoever made it may own it. What is
// made in the folder inherits its rights.
BOOL MakeProtectedFolder(WCHAR *folder);

// Deletes a folder with everything in it. A link found inside (a junction, a
// symbolic link) is deleted as the link, never followed; folder itself must
// not be one. What cannot be deleted stays.
void DeleteFolderTree(const WCHAR *folder);

// Deletes the folders that earlier runs left under %SystemRoot%\Temp (the
// relaunched uninstaller's copy, the add-printer wizard's copy of the
// package, a run that ended before it cleaned up) once they are older than a
// day: only folders named with PROTECTED_FOLDER_PREFIX, that are no link, and
// that Administrators or SYSTEM own, which no standard user can make. Each
// deleted folder is logged.
void RemoveEarlierCopies(void);
