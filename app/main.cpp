// Start-up: one running copy, the command line, and the choice of run mode.
#include <windows.h>
#include <commctrl.h>
#include <errno.h>
#include <stdlib.h>
#include <strsafe.h>
#include <string.h>

#include "app/deployment.h"
#include "app/options.h"
#include "app/relaunch.h"
#include "app/resource.h"
#include "common/globals.h"
#include "common/instance_guard.h"
#include "common/log_file.h"
#include "common/own_image.h"
#include "common/package_files.h"
#include "common/system_libraries.h"
#include "install/install_window.h"
#include "install/pnp_handover.h"
#include "uninstall/inventory.h"
#include "uninstall/uninstall_window.h"

#define MODULE_PATH_CCH 260
#define DRIVE_CCH 3
#define DIRECTORY_CCH 256
#define FILE_NAME_CCH 260
#define EXTENSION_CCH 256

// What start-up knows when it chooses the run mode.
typedef struct StartUp {
    InstanceGuard Guard;  // released by the mode that hands it over
    HANDLE OwnImage;      // the program's file, held from the first line (see HoldOwnImage)
    StartOptions Options;
    WCHAR ModulePath[MODULE_PATH_CCH];
    WCHAR FileName[FILE_NAME_CCH];  // the program file's name without its extension
} StartUp;

// One run mode: whether it works on the program's own folder (InstallDir and
// startUp's path are then set before it is looked at), when it applies, and
// what it does; Run returns the exit code.
typedef struct RunMode {
    BOOL OwnFolder;
    BOOL (*Applies)(const StartUp *startUp);
    int (*Run)(StartUp *startUp);
} RunMode;

static void ReleaseGuard(StartUp *startUp) { ReleaseInstanceGuard(&startUp->Guard); }

static BOOL AsksForUninstallWindow(const StartUp *startUp) { return startUp->Options.Uninstall; }
static BOOL AsksForRemove(const StartUp *startUp) { return startUp->Options.Remove; }
static BOOL AsksForStage(const StartUp *startUp) { return startUp->Options.Stage; }
static BOOL AsksForQuiet(const StartUp *startUp) { return startUp->Options.Quiet; }
static BOOL IsNamedAsUninstaller(const StartUp *startUp) {
    return wcscmp(startUp->FileName, UNINSTALLER_BASE_NAME) == 0;
}
static BOOL FindsProductInstalled(const StartUp *startUp) {
    (void)startUp;
    return IsProductInstalled();
}
static BOOL AsksForSilence(const StartUp *startUp) { return startUp->Options.Silent; }
static BOOL Always(const StartUp *startUp) {
    (void)startUp;
    return TRUE;
}

static int ShowUninstallWindow(StartUp *startUp) {
    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_UNINSTALL), NULL, UninstallDlgProc, 0);
    ReleaseGuard(startUp);
    return 0;
}

static int RemoveWithoutWindow(StartUp *startUp) {
    (void)startUp;
    return (int)RemoveForDeployment();
}

static int Stage(StartUp *startUp) {
    (void)startUp;
    return (int)StageForDeployment();
}

static int InstallQuietly(StartUp *startUp) { return (int)InstallForDeployment(&startUp->Options); }

// The uninstaller restarts from a copy of itself, so that the install folder,
// which holds this file, can be removed.
static int RelaunchUninstaller(StartUp *startUp) {
    RelaunchFromProtectedCopy(&startUp->Guard, startUp->OwnImage, InstallDir);
    return 0;
}

// Hands over to the uninstaller when the product is installed. The installed
// uninstaller is this same program; it would only copy itself away and start
// the copy on this folder. That is done here directly, from this process's
// own file: an "unins000.exe" in a folder that an unelevated process can
// write (a Downloads folder) must never be started with administrator rights.
// Without an uninstaller in the folder nothing is started, as before.
static int HandOverToUninstaller(StartUp *startUp) {
    WCHAR uninstallerPath[MODULE_PATH_CCH];
    DWORD attributes = INVALID_FILE_ATTRIBUTES;

    if (SUCCEEDED(StringCchPrintfW(uninstallerPath, MODULE_PATH_CCH, L"%ws" UNINSTALLER_FILE_NAME, InstallDir)))
        attributes = GetFileAttributesW(uninstallerPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return 0;
    return RelaunchUninstaller(startUp);
}

static int InstallSilently(StartUp *startUp) {
    (void)startUp;
    InstallWorker(NULL);
    return 0;
}

static int ShowInstallWindow(StartUp *startUp) {
    (void)startUp;
    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_INSTALL), NULL, InstallDlgProc, 0);
    // An installation under way when the window closed is finished first.
    WaitForInstallToFinish();
    return 0;
}

// The run modes in their precedence: the first that applies runs. The
// uninstall window comes first and works on the folder -u named; every other
// mode works on the program's own folder. At most one deployment mode runs,
// and none of them relaunches or hands over.
static const RunMode RunModes[] = {
    {FALSE, AsksForUninstallWindow, ShowUninstallWindow},  // -u FOLDER
    {TRUE, AsksForRemove, RemoveWithoutWindow},            // /remove
    {TRUE, AsksForStage, Stage},                           // /stage
    {TRUE, AsksForQuiet, InstallQuietly},                  // /quiet
    {TRUE, IsNamedAsUninstaller, RelaunchUninstaller},     // run as unins000.exe
    {TRUE, FindsProductInstalled, HandOverToUninstaller},  // the product is installed
    {TRUE, AsksForSilence, InstallSilently},               // /silence
    {TRUE, Always, ShowInstallWindow},
};

// The exit code of a run that ends before its mode begins: 0, as every run
// ends, except for a deployment mode, whose exit code the tool reads.
static int EarlyEndCode(const StartOptions *options, DWORD exitCode) {
    return IsDeploymentMode(options) ? (int)exitCode : 0;
}

// Reads the program's own path into startUp and its folder into InstallDir.
// FALSE, with the error, when the path cannot be read whole: a path cut short
// could name another folder.
static BOOL ReadOwnFolder(StartUp *startUp, DWORD *error) {
    WCHAR drive[DRIVE_CCH];
    WCHAR directory[DIRECTORY_CCH];
    WCHAR extension[EXTENSION_CCH];
    DWORD length;
    errno_t split;

    memset(drive, 0, sizeof(drive));
    memset(directory, 0, sizeof(directory));
    memset(extension, 0, sizeof(extension));
    length = GetModuleFileNameW(NULL, startUp->ModulePath, MODULE_PATH_CCH);
    if (length == 0 || length >= MODULE_PATH_CCH) {
        *error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    // A path that does not split whole would leave InstallDir empty, and the
    // package's files would be looked for at the drive's root.
    split = _wsplitpath_s(startUp->ModulePath, drive, DRIVE_CCH, directory, DIRECTORY_CCH, startUp->FileName,
                          FILE_NAME_CCH, extension, EXTENSION_CCH);
    if (split != 0) {
        *error = split == ERANGE ? ERROR_INSUFFICIENT_BUFFER : ERROR_BAD_PATHNAME;
        return FALSE;
    }
    if (FAILED(StringCchPrintfW(InstallDir, INSTALL_DIR_CCH, L"%ws%ws", drive, directory))) {
        InstallDir[0] = 0;
        *error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    return TRUE;
}

// Start-up after the program's own file is held; returns the exit code.
static int StartAndRun(StartUp *startUp, HINSTANCE instance, LPWSTR commandLine) {
    INITCOMMONCONTROLSEX classes;
    DWORD error = ERROR_SUCCESS;
    BOOL ownFolderRead = FALSE;
    BOOL librariesLoaded;
    BOOL anotherCopyRuns;
    size_t i;
    int exitCode = 0;

    ModuleInstance = instance;

    // Without its system libraries the program cannot run; it ends before
    // it calls one.
    librariesLoaded = LoadSystemLibraries();
    if (!librariesLoaded)
        error = DeploymentFailureCode(GetLastError());
    // The 64-bit build run by the 32-bit program for one Plug and Play call:
    // its parent holds the single-instance guard and waits for its exit code.
    if (IsPnpUpdateCommandLine(commandLine))
        return (int)RunPnpUpdate(commandLine, error);
    if (!librariesLoaded) {
        startUp->Options = ReadCommandLine(commandLine);
        return EarlyEndCode(&startUp->Options, error);
    }

    anotherCopyRuns = TakeInstanceGuard(&startUp->Guard);
    startUp->Options = ReadCommandLine(commandLine);
    OpenLogFile();
    if (anotherCopyRuns)
        return EarlyEndCode(&startUp->Options, EXIT_ANOTHER_COPY_RUNS);
    // Without its options the program cannot tell what it was asked for: a
    // window, where a deployment tool waits for an exit code, would never end.
    if (startUp->Options.Unreadable != ERROR_SUCCESS) {
        ReleaseGuard(startUp);
        return (int)DeploymentFailureCode(startUp->Options.Unreadable);
    }

    // Both windows hold common controls: register their classes first.
    classes.dwSize = sizeof(classes);
    classes.dwICC = ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS;
    Comctl32.InitCommonControlsEx(&classes);

    for (i = 0; i < sizeof(RunModes) / sizeof(RunModes[0]); i++) {
        if (RunModes[i].OwnFolder && !ownFolderRead) {
            if (!ReadOwnFolder(startUp, &error)) {
                exitCode = EarlyEndCode(&startUp->Options, DeploymentFailureCode(error));
                break;
            }
            ownFolderRead = TRUE;
        }
        if (RunModes[i].Applies(startUp)) {
            exitCode = RunModes[i].Run(startUp);
            break;
        }
    }
    ReleaseGuard(startUp);
    return exitCode;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    StartUp startUp;
    int exitCode;

    (void)previous;
    (void)showCommand;
    memset(&startUp, 0, sizeof(startUp));
    // Before anything loads a DLL: only System32's.
    RestrictDllSearch();
    // Then at once: the relaunch and the hand-over copy this very file, which
    // nobody may rename or replace from here on.
    startUp.OwnImage = HoldOwnImage();
    exitCode = StartAndRun(&startUp, instance, commandLine);
    // Whatever the run came to, nothing is left open.
    ReleaseGuard(&startUp);
    CloseLogFile();
    if (startUp.OwnImage != INVALID_HANDLE_VALUE)
        CloseHandle(startUp.OwnImage);
    return exitCode;
}
