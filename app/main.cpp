// Start-up: one running copy, the command line, and the choice of run mode.
#include <windows.h>
#include <commctrl.h>
#include <errno.h>
#include <stdlib.h>
#include <strsafe.h>
#include <string.h>

#include "app/deployment.h"
#include "app/options.h"
#include "app/pnp_update_mode.h"
#include "app/relaunch.h"
#include "app/run_log.h"
#include "common/default_log.h"
#include "common/globals.h"
#include "common/instance_guard.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/own_image.h"
#include "common/package_files.h"
#include "common/protected_copy.h"
#include "common/resource_ids.h"
#include "common/staged_package.h"
#include "common/system_libraries.h"
#include "install/install_window.h"
#include "uninstall/inventory.h"
#include "uninstall/uninstall_window.h"

#define MODULE_PATH_CCH 260
#define DRIVE_CCH 3
#define DIRECTORY_CCH 256
#define FILE_NAME_CCH 260
#define EXTENSION_CCH 256
#define CAUSE_CCH 256

// What start-up knows when it chooses the run mode.
typedef struct StartUp {
    InstanceGuard Guard;  // released by the mode that hands it over
    HANDLE OwnImage;      // the program's file, held from the first line (see HoldOwnImage)
    DWORD LoadError;      // why the system libraries did not load, or ERROR_SUCCESS
    const WCHAR *CommandLine;
    StartOptions Options;
    WCHAR ModulePath[MODULE_PATH_CCH];
    WCHAR FileName[FILE_NAME_CCH];  // the program file's name without its extension
} StartUp;

// One run mode: its name in the log, whether it runs under the
// single-instance guard (start-up takes the guard before it looks at the
// first mode that does), whether it works on the program's own folder
// (InstallDir and startUp's path are then set before it is looked at),
// whether it opens a window or hands over to a program that does, when it
// applies, and what it does; Run returns the exit code.
typedef struct RunMode {
    const WCHAR *Name;
    BOOL Guarded;
    BOOL OwnFolder;
    BOOL ShowsWindow;
    BOOL (*Applies)(const StartUp *startUp);
    int (*Run)(StartUp *startUp);
} RunMode;

static void ReleaseGuard(StartUp *startUp) { ReleaseInstanceGuard(&startUp->Guard); }

static BOOL AsksForPnpUpdate(const StartUp *startUp) { return startUp->Options.PnpUpdate; }
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

// The 64-bit build's private mode, started by the 32-bit program on x64,
// which holds the guard and waits for the exit code.
static int UpdateDriverForParent(StartUp *startUp) { return (int)RunPnpUpdate(&startUp->Options, startUp->LoadError); }

static int ShowUninstallWindow(StartUp *startUp) {
    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_UNINSTALL), NULL, UninstallDlgProc, 0);
    ReleaseGuard(startUp);
    return 0;
}

static int RemoveWithoutWindow(StartUp *startUp) { return (int)RemoveForDeployment(&startUp->Options); }

static int Stage(StartUp *startUp) { return (int)StageForDeployment(&startUp->Options); }

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
// 64-bit build's private mode comes first, without the guard its parent
// holds. The uninstall window comes next and works on the folder -u named;
// every other mode works on the program's own folder. At most one deployment
// mode runs, and none of them relaunches or hands over.
static const RunMode RunModes[] = {
    {L"the 64-bit build's Plug and Play call", FALSE, FALSE, FALSE, AsksForPnpUpdate, UpdateDriverForParent},
    {L"-u (the uninstall window)", TRUE, FALSE, TRUE, AsksForUninstallWindow, ShowUninstallWindow},
    {L"/remove", TRUE, TRUE, FALSE, AsksForRemove, RemoveWithoutWindow},
    {L"/stage", TRUE, TRUE, FALSE, AsksForStage, Stage},
    {L"/quiet", TRUE, TRUE, FALSE, AsksForQuiet, InstallQuietly},
    {L"unins000 (the uninstaller's relaunch)", TRUE, TRUE, TRUE, IsNamedAsUninstaller, RelaunchUninstaller},
    {L"the hand-over to the uninstaller (the product is installed)", TRUE, TRUE, TRUE, FindsProductInstalled,
     HandOverToUninstaller},
    {L"/silence", TRUE, TRUE, FALSE, AsksForSilence, InstallSilently},
    {L"the install window", TRUE, TRUE, TRUE, Always, ShowInstallWindow},
};
const size_t RunModeCount = sizeof(RunModes) / sizeof(RunModes[0]);

// A window that nobody can see would never be closed, and would hold the
// guard until the machine restarts: in session 0, or where the window
// station is not interactive, a mode that opens one, or starts a program that
// does, ends at once instead.
static int EndWithoutWindow(void) {
    WriteLogLine(L"Nobody can see a window here (session 0, or a window station that is not interactive): the run "
                 L"ends without opening one. Use /quiet, /remove or /stage.");
    SetRunOutcome(L"nobody can see a window here; nothing was opened");
    return EXIT_NOBODY_TO_SEE;
}

// The run's first line in the log, and what the guard has to say, if
// anything (why the run goes on without the machine's guard, or ignores the
// session's mutex).
static void LogStart(const StartUp *startUp, const WCHAR *mode) {
    LogRunStart(startUp->CommandLine, mode);
    if (startUp->Guard.Note[0] != 0)
        WriteLogLine(startUp->Guard.Note);
}

// The exit code of a run that ends before its mode begins: 0, as every run
// ends, except for a deployment mode, whose exit code the tool reads. The
// log gets the run's first line, the cause (a text and an error, or a text
// alone when error is ERROR_SUCCESS) and the last line, with reason.
static int EndEarly(const StartUp *startUp, const WCHAR *cause, DWORD error, DWORD exitCode, const WCHAR *reason) {
    WCHAR line[CAUSE_CCH];
    BOOL deployment = IsDeploymentMode(&startUp->Options);

    LogStart(startUp, NULL);
    if (error == ERROR_SUCCESS)
        WriteLogLine(cause);
    else if (SUCCEEDED(StringCchPrintfW(line, CAUSE_CCH, L"%ws: error %lu.", cause, (unsigned long)error)))
        WriteLogLine(line);
    SetRunOutcome(deployment ? reason : L"the run ended before its mode began; the line above says why");
    LogRunEnd(deployment ? (int)exitCode : 0, deployment);
    return deployment ? (int)exitCode : 0;
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

// Takes the single-instance guard and gets ready for the modes under it.
// FALSE, with *exitCode set, when the run ends here.
static BOOL TakeGuard(StartUp *startUp, BOOL librariesLoaded, int *exitCode) {
    INITCOMMONCONTROLSEX classes;

    // Without its system libraries the program cannot run; it ends before
    // it calls one.
    if (!librariesLoaded) {
        *exitCode = EndEarly(startUp, L"A system library or one of its functions cannot be loaded", startUp->LoadError,
                             startUp->LoadError, L"a system library or one of its functions cannot be loaded");
        return FALSE;
    }
    // A guard that cannot be made lets the run go on (its note says why).
    if (TakeInstanceGuard(&startUp->Guard) == ERROR_ALREADY_EXISTS) {
        startUp->Guard.Note[0] = 0;
        *exitCode = EndEarly(startUp,
                             L"Another copy of the program runs: it holds the single-instance guard, the mutex "
                             L"SWIFTSETINSTALLERFORPRINTERDRIVER or the machine's guard.",
                             ERROR_SUCCESS, EXIT_ANOTHER_COPY_RUNS,
                             L"another copy of the program runs; nothing was done, run it again later");
        return FALSE;
    }
    // Both windows hold common controls: register their classes first.
    classes.dwSize = sizeof(classes);
    classes.dwICC = ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS;
    Comctl32.InitCommonControlsEx(&classes);
    return TRUE;
}

// Start-up after the program's own file is held; returns the exit code.
static int StartAndRun(StartUp *startUp, LPWSTR commandLine) {
    DWORD error = ERROR_SUCCESS;
    BOOL ownFolderRead = FALSE;
    BOOL guarded = FALSE;
    BOOL librariesLoaded;
    size_t i;
    int exitCode = 0;

    startUp->CommandLine = commandLine;
    librariesLoaded = LoadSystemLibraries();
    if (!librariesLoaded)
        startUp->LoadError = DeploymentFailureCode(GetLastError());
    // A command line that cannot be split is read as one without options: the
    // install window, or the uninstaller's modes by the program's name, which
    // end at once with 1459 where nobody can see a window.
    startUp->Options = ReadCommandLine(commandLine);
    // A deployment run leaves a record even where nobody asked for one.
    if (LogFilePath[0] == 0 && IsDeploymentMode(&startUp->Options))
        UseDefaultLog();
    OpenLogFile();

    for (i = 0; i < RunModeCount; i++) {
        if (RunModes[i].Guarded && !guarded) {
            if (!TakeGuard(startUp, librariesLoaded, &exitCode))
                return exitCode;
            guarded = TRUE;
        }
        if (RunModes[i].OwnFolder && !ownFolderRead) {
            if (!ReadOwnFolder(startUp, &error)) {
                exitCode = EndEarly(startUp, L"The program's own path cannot be read whole", error,
                                    DeploymentFailureCode(error), L"the program's own path cannot be read whole");
                break;
            }
            ownFolderRead = TRUE;
        }
        if (RunModes[i].Applies(startUp)) {
            LogStart(startUp, RunModes[i].Name);
            // What earlier runs left in %SystemRoot%\Temp goes, under the guard.
            if (RunModes[i].Guarded)
                RemoveEarlierCopies();
            exitCode = RunModes[i].ShowsWindow && !IsWindowStationInteractive() ? EndWithoutWindow()
                                                                                : RunModes[i].Run(startUp);
            LogRunEnd(exitCode, IsDeploymentMode(&startUp->Options));
            break;
        }
    }
    return exitCode;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    StartUp startUp;
    int exitCode;

    (void)previous;
    (void)showCommand;
    ModuleInstance = instance;
    memset(&startUp, 0, sizeof(startUp));
    // Before anything loads a DLL: only System32's.
    RestrictDllSearch();
    // Then at once: the relaunch and the hand-over copy this very file, which
    // nobody may rename or replace from here on.
    startUp.OwnImage = HoldOwnImage();
    exitCode = StartAndRun(&startUp, commandLine);
    // Whatever the run came to, nothing is left open, and the package it
    // staged for Windows goes.
    RemoveStagedPackage();
    ReleaseGuard(&startUp);
    CloseLogFile();
    if (startUp.OwnImage != INVALID_HANDLE_VALUE)
        CloseHandle(startUp.OwnImage);
    return exitCode;
}
