// The package as Windows gets it: every file the program carries a hash of,
// read once from the install folder, hashed as it is written into a new
// folder that only Administrators and SYSTEM can change, and handed to
// Windows only from there.
//
// The install folder is often one that a standard user can write (a
// Downloads folder, a share), and no hold on a file there pins what Windows
// reads later: a junction above it can be retargeted while it is open, and a
// writable view mapped before the run still writes after every handle is
// closed. So nothing Windows opens after the check runs through that folder:
// the upload, Plug and Play, the 64-bit child, the manual road's copies and
// the add-printer wizard all read the staged copy.
#pragma once

#include <windows.h>

// Stages the install folder's package for this run, once: the run's copy is
// named in PackageDir from then on. ERROR_SUCCESS when every file is there as
// built (also when an earlier call staged it). Otherwise nothing is staged
// and nothing of the package may be used: the log names the file and why,
// and the result is TRUST_E_BAD_DIGEST for a file that is not as built
// (another size or hash, a link, a second name), or the Windows error of a
// file that could not be read (ERROR_FILE_NOT_FOUND for a missing one) or of
// the copy that could not be made.
DWORD StagePackage(void);

// Deletes the run's staged copy and empties PackageDir; at the end of the run.
void RemoveStagedPackage(void);

// Stages the package into a copy of its own that stays when the run ends (for
// the add-printer wizard, which reads it after this program has let it go).
// ERROR_SUCCESS with folder (PROTECTED_COPY_PATH_CCH characters) naming it,
// with a trailing backslash; otherwise as StagePackage, and folder is empty.
DWORD StagePackageCopy(WCHAR *folder);

// TRUE when the file at path is the table's file of that name (relative to
// the install folder, as in the table) as it was built: not a link, one
// name, the size and hash the program carries.
BOOL IsPackageFileAsBuilt(const WCHAR *path, const WCHAR *name);

// The path of one of the package's files (relative, as in the table) in the
// run's staged copy; FALSE when nothing is staged or it does not fit.
BOOL StagedFilePath(WCHAR *path, size_t capacity, const WCHAR *name);
