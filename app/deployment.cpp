// The modes for software-deployment tools.
#include "app/deployment.h"

#include <windows.h>
#include <strsafe.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "uninstall/inventory.h"
#include "uninstall/removal.h"

#define MS_PER_SECOND 1000
#define LOG_TEXT_CCH 512
#define SYSTEM_PATH_CCH 260

DWORD DeploymentFailureCode(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS:
    case EXIT_ANOTHER_COPY_RUNS:
    case 1641:  // ERROR_SUCCESS_REBOOT_INITIATED
    case 1707:  // ERROR_INSTALL_SUCCESS
    case EXIT_RESTART_NEEDED:
        return EXIT_GENERAL_FAILURE;
    default:
        return code;
    }
}

// The exit code of a run that did all it had to; the log says what waits
// for a restart.
static DWORD SuccessCode(void) {
    WCHAR line[LOG_TEXT_CCH];

    if (!RestartNeeded)
        return ERROR_SUCCESS;
    if (SUCCEEDED(StringCchPrintfW(line, LOG_TEXT_CCH, L"A restart completes this run: %ws.", RestartCause)))
        WriteLogLine(line);
    return EXIT_RESTART_NEEDED;
}

// FALSE, with a log line that names it, when a token of the command line
// means nothing to the deployment mode named `mode`.
static BOOL ArgumentsMeanSomething(const StartOptions *options, const WCHAR *mode) {
    WCHAR line[LOG_TEXT_CCH];

    if (options->StrayToken[0] != 0)
        StringCchPrintfW(line, LOG_TEXT_CCH, L"The argument %ws means nothing to %ws: nothing was done.",
                         options->StrayToken, mode);
    else if (options->WaitMalformed)
        StringCchPrintfW(line, LOG_TEXT_CCH,
                         L"/wait takes a whole number of seconds from 0 to %d, not \"%ws\": nothing was done.",
                         MAX_WAIT_SECONDS, options->WaitText);
    else
        return TRUE;
    WriteLogLine(line);
    return FALSE;
}

// TRUE when the machine holds nothing of the product: an inventory that saw
// everything found no package, driver, queue or stray monitor, and the
// monitor DLL is not in the machine's own system directory. Anything less
// certain is left to the removal, which stops the spooler for the DLL.
static BOOL NothingInstalled(void) {
    WCHAR path[SYSTEM_PATH_CCH];
    DWORD error;

    TakeInventory();
    if (InventoryIncomplete || PackageList != NULL || StrayMonitor)
        return FALSE;
    if (!GetNativeSystemDirectory(path, SYSTEM_PATH_CCH) || FAILED(StringCchCatW(path, SYSTEM_PATH_CCH, L"\\")) ||
        FAILED(StringCchCatW(path, SYSTEM_PATH_CCH, MONITOR_DLL_NAME)))
        return FALSE;
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        return FALSE;
    error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

DWORD RemoveForDeployment(const StartOptions *options) {
    DWORD error = ERROR_SUCCESS;

    if (!ArgumentsMeanSomething(options, L"/remove"))
        return ERROR_INVALID_PARAMETER;
    UnattendedRun = TRUE;
    // A re-run on a clean PC must not interrupt other printers' jobs.
    if (NothingInstalled()) {
        WriteLogLine(L"Nothing of the product is installed: nothing was removed, and the spooler was not touched.");
        return ERROR_SUCCESS;
    }
    if (!RemoveUnattended(&error))
        return DeploymentFailureCode(error);
    return SuccessCode();
}

DWORD StageForDeployment(const StartOptions *options) {
    DWORD result;

    if (!ArgumentsMeanSomething(options, L"/stage"))
        return ERROR_INVALID_PARAMETER;
    UnattendedRun = TRUE;
    result = StageDriverPackage();

    return result == ERROR_SUCCESS ? ERROR_SUCCESS : DeploymentFailureCode(result);
}

DWORD InstallForDeployment(const StartOptions *options) {
    DWORD error = ERROR_SUCCESS;

    if (!ArgumentsMeanSomething(options, L"/quiet"))
        return ERROR_INVALID_PARAMETER;
    UnattendedRun = TRUE;
    switch (InstallWithoutWindow(options->WaitSeconds * MS_PER_SECOND, &error)) {
    case INSTALL_DONE:
        return SuccessCode();
    case INSTALL_NOTHING_FOUND:
        return EXIT_NO_PRINTER;
    default:
        return DeploymentFailureCode(error);
    }
}
