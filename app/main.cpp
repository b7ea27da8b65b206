// Start-up: one running copy, the command line, and the choice of run mode.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <stdlib.h>
#include <strsafe.h>
#include <string.h>

#include "app/relaunch.h"
#include "app/resource.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/package_files.h"
#include "common/system_libraries.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "uninstall/inventory.h"
#include "uninstall/uninstall_window.h"

#define INSTANCE_MUTEX_NAME L"SWIFTSETINSTALLERFORPRINTERDRIVER"

#define MODULE_PATH_CCH 260
#define DRIVE_CCH 3
#define DIRECTORY_CCH 256
#define FILE_NAME_CCH 260
#define EXTENSION_CCH 256

typedef struct StartOptions {
    BOOL Uninstall;
    BOOL Silent;
    BOOL Stage;
} StartOptions;

// Reads -u FOLDER, /silence, /stage and /log FILE, all in any letter case. A
// later -u or /log wins. A folder that does not fit InstallDir is never cut
// short (a shortened path could name a parent folder, which the uninstaller
// would remove): such a -u is ignored together with its folder; so is a /log
// whose file does not fit LogFilePath.
static StartOptions ReadCommandLine(LPWSTR commandLine) {
    StartOptions options = {FALSE, FALSE, FALSE};
    LPWSTR *tokens;
    int count = 0;
    int i;

    tokens = CommandLineToArgvW(commandLine, &count);
    if (!tokens)
        return options;
    for (i = 0; i < count; i++) {
        if (lstrcmpiW(tokens[i], L"-u") == 0 && i + 1 < count) {
            i++;
            if (wcslen(tokens[i]) < INSTALL_DIR_CCH) {
                options.Uninstall = TRUE;
                StringCchCopyW(InstallDir, INSTALL_DIR_CCH, tokens[i]);
            }
        } else if (lstrcmpiW(tokens[i], L"/log") == 0 && i + 1 < count) {
            i++;
            if (wcslen(tokens[i]) < LOG_PATH_CCH)
                StringCchCopyW(LogFilePath, LOG_PATH_CCH, tokens[i]);
        } else if (lstrcmpiW(tokens[i], L"/silence") == 0) {
            options.Silent = TRUE;
        } else if (lstrcmpiW(tokens[i], L"/stage") == 0) {
            options.Stage = TRUE;
        }
    }
    LocalFree(tokens);
    return options;
}

// Hands over to the uninstaller when the product is installed. The installed
// uninstaller is this same program; it would only copy itself away and start
// the copy on this folder. That is done here directly, from this process's
// own file: an "unins000.exe" in a folder that an unelevated process can
// write (a Downloads folder) must never be started with administrator rights.
// Without an uninstaller in the folder nothing is started, as before.
static void StartInstalledUninstaller(HANDLE instanceMutex, const WCHAR *modulePath) {
    WCHAR uninstallerPath[MODULE_PATH_CCH];
    DWORD attributes = INVALID_FILE_ATTRIBUTES;

    if (SUCCEEDED(StringCchPrintfW(uninstallerPath, MODULE_PATH_CCH, L"%ws" UNINSTALLER_FILE_NAME, InstallDir)))
        attributes = GetFileAttributesW(uninstallerPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(instanceMutex);
        return;
    }
    RelaunchFromProtectedCopy(instanceMutex, modulePath, InstallDir);
}

static void RegisterCommonControls(void) {
    INITCOMMONCONTROLSEX classes;

    classes.dwSize = sizeof(classes);
    classes.dwICC = ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS;
    Comctl32.InitCommonControlsEx(&classes);
}

// The exit code of a run that ends before its mode begins: 0, as every run
// ends, except for a staging, whose exit code a deployment tool reads: it
// must not take a staging that never ran for one that succeeded.
static int EarlyEndCode(LPWSTR commandLine, DWORD error) {
    StartOptions options = ReadCommandLine(commandLine);

    return options.Stage && !options.Uninstall ? (int)error : 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    HANDLE instanceMutex;
    StartOptions options;
    DWORD exitCode;
    WCHAR modulePath[MODULE_PATH_CCH];
    WCHAR drive[DRIVE_CCH];
    WCHAR directory[DIRECTORY_CCH];
    WCHAR fileName[FILE_NAME_CCH];
    WCHAR extension[EXTENSION_CCH];
    DWORD length;

    (void)previous;
    (void)showCommand;
    ModuleInstance = instance;

    // Before anything loads a DLL: only System32's. Without its system
    // libraries the program cannot run; it ends before it calls one.
    RestrictDllSearch();
    if (!LoadSystemLibraries())
        return EarlyEndCode(commandLine, GetLastError());

    instanceMutex = CreateMutexW(NULL, FALSE, INSTANCE_MUTEX_NAME);
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return EarlyEndCode(commandLine, ERROR_ALREADY_EXISTS);

    // Both windows hold common controls: register their classes first.
    RegisterCommonControls();

    options = ReadCommandLine(commandLine);
    if (options.Uninstall) {
        DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_UNINSTALL), NULL, UninstallDlgProc, 0);
        CloseHandle(instanceMutex);
        return 0;
    }

    memset(modulePath, 0, sizeof(modulePath));
    memset(drive, 0, sizeof(drive));
    memset(directory, 0, sizeof(directory));
    memset(fileName, 0, sizeof(fileName));
    memset(extension, 0, sizeof(extension));
    // Without its whole own path the program does not know its folder: a
    // path that could not be read, or was cut short, could name another one.
    length = GetModuleFileNameW(NULL, modulePath, MODULE_PATH_CCH);
    if (length == 0 || length >= MODULE_PATH_CCH) {
        exitCode = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        CloseHandle(instanceMutex);
        return options.Stage ? (int)exitCode : 0;
    }
    _wsplitpath_s(modulePath, drive, DRIVE_CCH, directory, DIRECTORY_CCH, fileName, FILE_NAME_CCH, extension,
                  EXTENSION_CCH);
    StringCchPrintfW(InstallDir, INSTALL_DIR_CCH, L"%ws%ws", drive, directory);

    // The uninstaller restarts from a copy of itself, so that the install
    // folder, which holds this file, can be removed.
    if (wcscmp(fileName, UNINSTALLER_BASE_NAME) == 0) {
        RelaunchFromProtectedCopy(instanceMutex, modulePath, InstallDir);
        return 0;
    }
    // Staging prepares the machine whatever is installed: no hand-over.
    if (options.Stage) {
        exitCode = StageDriverPackage();
        CloseHandle(instanceMutex);
        return (int)exitCode;
    }
    if (IsProductInstalled()) {
        StartInstalledUninstaller(instanceMutex, modulePath);
        return 0;
    }
    if (options.Silent)
        InstallWorker(NULL);
    else {
        DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_INSTALL), NULL, InstallDlgProc, 0);
        // An installation under way when the window closed is finished first.
        WaitForInstallToFinish();
    }

    CloseHandle(instanceMutex);
    return 0;
}
