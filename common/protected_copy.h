// A copy of a program that an elevated process may start: in a new folder of
// the system's temporary folder that only Administrators and SYSTEM can
// change, held open until it has started.
#pragma once

#include <windows.h>

#define PROTECTED_COPY_PATH_CCH 260

// Copies source into a new folder under %SystemRoot%\Temp. That folder lets
// any user create files and folders, but not rename, delete or change what
// an administrator made there, so nothing an unelevated process does between
// the steps can put another file in the copy's place; the new folder itself
// grants full control to SYSTEM and Administrators alone. The copy is opened
// without write or delete sharing, so that it stays as it is while it is
// started; the caller closes the returned handle once the program runs.
// Neither is scheduled for deletion at the next restart, which deployment
// tools would read as a restart the installation needs. Returns the handle
// and the copy's path, or INVALID_HANDLE_VALUE.
HANDLE MakeProtectedCopy(const WCHAR *source, WCHAR *copyPath);

// The same, with the copy read from source, an open file handle read from its
// position to its end (the program's own file, held since start-up).
HANDLE MakeProtectedCopyOfFile(HANDLE source, WCHAR *copyPath);

// Makes a new folder under %SystemRoot%\Temp that only SYSTEM and
// Administrators can change, as for the copies above, and names it in folder
// (PROTECTED_COPY_PATH_CCH characters). What is made in it inherits that.
BOOL MakeProtectedFolder(WCHAR *folder);

// Writes a new file at target with what source holds from its position to
// its end; FALSE, with the file removed again, when any step fails.
BOOL CopyFromHandle(HANDLE source, const WCHAR *target);
