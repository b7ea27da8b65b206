// The package files a run uses, checked against the hashes the program
// carries (common/package_hashes.h) and held open until the run is done with
// them: no one can write, replace, rename or delete a held file, so what was
// checked is what Windows gets.
#pragma once

#include <windows.h>

// One held file; a hold is a list of them, newest at head.
typedef struct HeldFile {
    HANDLE File;
    const WCHAR *Name;  // relative to the install folder, as in the table
    struct HeldFile *Next;
} HeldFile;

// Checks and holds every file of the table that a run on this machine uses:
// those in the install folder itself, in "dat" and in the folder of the
// machine's own processor. ERROR_SUCCESS when all are held. Otherwise
// nothing is held, the log names the file and why, and the result is
// TRUST_E_BAD_DIGEST for a file that is not as built (another hash, a link,
// a second name), or the Windows error of a file that could not be opened,
// read or hashed (ERROR_FILE_NOT_FOUND for a missing one).
// *hold is NULL before and the caller's to release.
DWORD HoldPackageFiles(HeldFile **hold);
// TRUE when the file at path is the table's file of that name (relative to
// the install folder, as in the table) as it was built: not a link, one
// name, the hash the program carries.
BOOL IsPackageFileAsBuilt(const WCHAR *path, const WCHAR *name);
// Lets the held files go; *hold is NULL after.
void ReleasePackageFiles(HeldFile **hold);

// Copies the held files, from their handles and in the package's layout, into
// a new folder that only SYSTEM and Administrators can change, for a program
// that reads the package after this one has let it go (the add-printer
// wizard). TRUE with folder (PROTECTED_COPY_PATH_CCH characters) naming it;
// FALSE, with as much as was made removed again, when a step fails.
BOOL CopyHeldPackage(const HeldFile *hold, WCHAR *folder);
