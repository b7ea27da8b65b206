// Copying the driver files from the run's staged package (PackageDir, the
// checked copy of the install folder's package) into the spooler's
// printer-driver directory, and the language monitor into the system
// directory.
#include "install/deploy.h"

#include <windows.h>
#include <winspool.h>
#include <stdlib.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/spooler_control.h"
#include "common/system_libraries.h"
#include "common/trace.h"

#define DEPLOY_PATH_CCH 260
#define ARCH_FOLDER_CCH 20
#define SPLIT_DRIVE_CCH 3
#define SPLIT_PART_CCH 256
// Prefix of the temporary file that waits beside a target in use.
#define REPLACEMENT_PREFIX L"crv"

// Reads the printer-driver directory of the machine's own print environment
// (not this process's default, which for a 32-bit process on 64-bit Windows
// is the x86 one) into directory.
static BOOL ReadDriverDirectory(WCHAR *directory, DWORD directoryBytes) {
    DWORD needed = 0;
    return Winspool.GetPrinterDriverDirectoryW(NULL, NativePrintEnvironment(), 1, (LPBYTE)directory, directoryBytes,
                                               &needed);
}

// A target that a copy replaces, and its copy, carry normal attributes: a
// read-only file would refuse the next installation's copy, and its
// replacement at a restart. A target that is not there needs nothing.
static void MakeUsable(const WCHAR *path) { SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL); }

// Replaces target with a copy of source, with normal attributes before and
// after; CopyFileW's result, its error the last one.
static BOOL CopyOver(const WCHAR *source, const WCHAR *target) {
    BOOL copied;
    DWORD error;

    MakeUsable(target);
    copied = CopyFileW(source, target, FALSE);
    error = GetLastError();
    if (copied)
        MakeUsable(target);
    SetLastError(error);
    return copied;
}

static BOOL IsPlainFile(const WCHAR *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// TRUE when a copy failed only because a running program holds the target:
// the target is there and the source too. A missing source is a failure of
// its own, which no restart mends.
static BOOL IsTargetInUse(DWORD copyError, const WCHAR *sourcePath, const WCHAR *targetPath) {
    if (copyError != ERROR_SHARING_VIOLATION && copyError != ERROR_ACCESS_DENIED)
        return FALSE;
    return IsPlainFile(targetPath) && IsPlainFile(sourcePath);
}

// Has a target in use replaced when the machine restarts. The restart moves
// files only within a volume and before the network is up, and the install
// folder keeps its own file: so the source is copied to a temporary file
// beside the target first, and that file is moved over the target, which
// exists and has to be replaced. A temporary file that cannot be filled or
// scheduled is deleted again.
static BOOL ReplaceAtRestart(const WCHAR *sourcePath, const WCHAR *targetDirectory, const WCHAR *targetPath) {
    WCHAR temporaryPath[MAX_PATH];

    memset(temporaryPath, 0, sizeof(temporaryPath));
    if (GetTempFileNameW(targetDirectory, REPLACEMENT_PREFIX, 0, temporaryPath) == 0)
        return FALSE;
    MakeUsable(targetPath);
    if (CopyOver(sourcePath, temporaryPath) &&
        MoveFileExW(temporaryPath, targetPath, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING)) {
        NoteRestartNeeded(L"the driver file in use, replaced at the restart: ", targetPath);
        return TRUE;
    }
    DeleteFileW(temporaryPath);
    return FALSE;
}

int DeployArchFile(const WCHAR *fileName) {
    WCHAR driverDirectory[DEPLOY_PATH_CCH];
    WCHAR targetPath[DEPLOY_PATH_CCH];
    WCHAR sourcePath[DEPLOY_PATH_CCH];
    WCHAR archFolder[ARCH_FOLDER_CCH];
    const NativeArchitecture *architecture;
    BOOL result;
    DWORD error;
    DWORD copyError;

    memset(driverDirectory, 0, sizeof(driverDirectory));
    memset(targetPath, 0, sizeof(targetPath));
    memset(sourcePath, 0, sizeof(sourcePath));
    memset(archFolder, 0, sizeof(archFolder));

    // The binaries of the machine's own processor, also when this process
    // runs emulated; there are none for a processor the product does not know.
    architecture = GetNativeArchitecture();
    if (architecture == NULL)
        return 0;
    StringCchCopyW(archFolder, ARCH_FOLDER_CCH, architecture->FolderName);

    // The sources are the staged package's: without one there is none.
    if (PackageDir[0] == 0) {
        Trace("CopyFile file:%ws to %ws, %d, errcode:%d.", sourcePath, targetPath, 0, (int)ERROR_FILE_NOT_FOUND);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!ReadDriverDirectory(driverDirectory, sizeof(driverDirectory))) {
        // Without the driver directory there is no target: the files would
        // land in the root of the current drive.
        error = GetLastError();
        StringCchPrintfW(sourcePath, DEPLOY_PATH_CCH, L"%ws\\%ws\\%ws", PackageDir, archFolder, fileName);
        Trace("CopyFile file:%ws to %ws, %d, errcode:%d.", sourcePath, targetPath, 0, (int)error);
        return 0;
    }
    StringCchPrintfW(targetPath, DEPLOY_PATH_CCH, L"%ws\\%ws", driverDirectory, fileName);
    StringCchPrintfW(sourcePath, DEPLOY_PATH_CCH, L"%ws\\%ws\\%ws", PackageDir, archFolder, fileName);

    // The old file goes first; a failure (no old file, file in use) does not
    // stop the copy.
    MakeUsable(targetPath);
    result = DeleteFileW(targetPath);
    error = GetLastError();
    Trace("Remove file:%ws, %d, errcode:%d.", targetPath, result ? 1 : 0, (int)error);

    result = CopyOver(sourcePath, targetPath);
    copyError = GetLastError();
    Trace("CopyFile file:%ws to %ws, %d, errcode:%d.", sourcePath, targetPath, result ? 1 : 0, (int)copyError);

    // The spooler keeps the language monitor loaded: its copy in the system
    // directory is replaced while the spooler is stopped.
    if (wcscmp(fileName, MONITOR_DLL_NAME) == 0)
        RunWithSpoolerStopped(CopyToSystemDirectory, sourcePath);

    // A target in use is replaced when the machine restarts. That completes
    // nothing in an unattended run, which must say so in its exit code: this
    // folder's copies are only where the driver's registration takes its
    // files from, the spooler uses those it makes in its version folder, and
    // nothing registers the driver again after the restart. There the copy
    // fails with its own error.
    if (!result && IsTargetInUse(copyError, sourcePath, targetPath) && !UnattendedRun)
        result = ReplaceAtRestart(sourcePath, driverDirectory, targetPath);
    if (!result)
        SetLastError(copyError);
    return result;
}

int DeployDataFile(const WCHAR *fileName) {
    WCHAR targetPath[DEPLOY_PATH_CCH];
    WCHAR sourcePath[DEPLOY_PATH_CCH];
    BOOL result;
    DWORD error;

    memset(targetPath, 0, sizeof(targetPath));
    memset(sourcePath, 0, sizeof(sourcePath));

    if (PackageDir[0] == 0 || !ReadDriverDirectory(sourcePath, sizeof(sourcePath))) {
        error = PackageDir[0] == 0 ? ERROR_FILE_NOT_FOUND : GetLastError();
        StringCchPrintfW(sourcePath, DEPLOY_PATH_CCH, L"%ws\\dat\\%ws", PackageDir, fileName);
        Trace("CopyFile file:%ws to %ws, %d, errcode:%d.", sourcePath, targetPath, 0, (int)error);
        SetLastError(error);
        return 0;
    }
    StringCchPrintfW(targetPath, DEPLOY_PATH_CCH, L"%ws\\%ws", sourcePath, fileName);
    StringCchPrintfW(sourcePath, DEPLOY_PATH_CCH, L"%ws\\dat\\%ws", PackageDir, fileName);

    MakeUsable(targetPath);
    DeleteFileW(targetPath);
    result = CopyOver(sourcePath, targetPath);
    error = GetLastError();
    Trace("CopyFile file:%ws to %ws, %d, errcode:%d.", sourcePath, targetPath, result ? 1 : 0, (int)error);
    if (!result)
        SetLastError(error);
    return result;
}

int CopyToSystemDirectory(const WCHAR *sourcePath) {
    WCHAR systemDirectory[DEPLOY_PATH_CCH];
    WCHAR drive[SPLIT_DRIVE_CCH];
    WCHAR directory[SPLIT_PART_CCH];
    WCHAR name[SPLIT_PART_CCH];
    WCHAR extension[SPLIT_PART_CCH];
    WCHAR targetPath[DEPLOY_PATH_CCH];

    memset(systemDirectory, 0, sizeof(systemDirectory));
    memset(drive, 0, sizeof(drive));
    memset(directory, 0, sizeof(directory));
    memset(name, 0, sizeof(name));
    memset(extension, 0, sizeof(extension));
    memset(targetPath, 0, sizeof(targetPath));

    // The spooler loads the monitor from the machine's own system directory,
    // which a 32-bit process reaches only through its WOW64 alias.
    if (!GetNativeSystemDirectory(systemDirectory, DEPLOY_PATH_CCH))
        return 0;
    // A part that does not fit leaves all four empty; the copy then fails.
    _wsplitpath_s(sourcePath, drive, SPLIT_DRIVE_CCH, directory, SPLIT_PART_CCH, name, SPLIT_PART_CCH, extension,
                  SPLIT_PART_CCH);
    StringCchPrintfW(targetPath, DEPLOY_PATH_CCH, L"%ws\\%ws%ws", systemDirectory, name, extension);
    return CopyOver(sourcePath, targetPath) ? 1 : 0;
}
