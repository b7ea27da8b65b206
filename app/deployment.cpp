// The modes for software-deployment tools.
#include "app/deployment.h"

#include <windows.h>
#include <strsafe.h>
#include <wchar.h>

#include "app/run_log.h"

#include "common/error_text.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "install/driver_upgrade.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "uninstall/inventory.h"
#include "uninstall/removal.h"

#define MS_PER_SECOND 1000
#define LOG_TEXT_CCH 512
#define SYSTEM_PATH_CCH 260
// TRUST_E_BAD_DIGEST: a package file not as built (common/staged_package.h).
#define TRUST_E_BAD_DIGEST_CODE 0x80096010UL

DWORD DeploymentFailureCode(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_PARAMETER:
    case EXIT_NO_PRINTER:
    case EXIT_NOBODY_TO_SEE:
    case EXIT_ANOTHER_COPY_RUNS:
    case EXIT_RESTART_INITIATED:
    case EXIT_INSTALL_SUCCESS:
    case EXIT_RESTART_NEEDED:
        return EXIT_GENERAL_FAILURE;
    default:
        return code;
    }
}

// How a deployment tool, or this page's table of exit codes, reads a
// reserved code.
static const WCHAR *ReservedMeaning(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS:
    case EXIT_INSTALL_SUCCESS:
        return L"success";
    case EXIT_RESTART_NEEDED:
    case EXIT_RESTART_INITIATED:
        return L"success with a restart";
    case EXIT_ANOTHER_COPY_RUNS:
        return L"another copy running (retry)";
    case EXIT_NO_PRINTER:
        return L"no printer plugged in";
    case ERROR_INVALID_PARAMETER:
        return L"a command line that means nothing";
    case EXIT_NOBODY_TO_SEE:
        return L"a window nobody can see";
    default:
        return L"a staged package (earlier versions' /stage gave 31 for a refused rescan)";
    }
}

// The last line's reason for a step that failed with code, into line (of
// LOG_TEXT_CCH characters), with the system's words for code, without their
// full stop; FALSE when it has none, or they would make the reason too long.
static BOOL DescribeFailure(WCHAR *line, const WCHAR *what, const WCHAR *number, DWORD code) {
    WCHAR message[LOG_TEXT_CCH];
    size_t length;

    if (!ReadErrorMessage(code, message, LOG_TEXT_CCH))
        return FALSE;
    length = wcslen(message);
    if (message[length - 1] == L'.')
        message[length - 1] = 0;
    return SUCCEEDED(StringCchPrintfW(line, RUN_OUTCOME_CCH, L"%ws failed with %ws (%ws; the lines above say why)",
                                      what, number, message));
}

// The run's exit code for a step that failed with code, and the last line's
// reason: what failed, in words. A reserved code becomes 1603, and the log
// keeps the step's own.
static DWORD EndWithFailure(DWORD code, const WCHAR *what) {
    WCHAR line[LOG_TEXT_CCH];
    WCHAR number[16];
    DWORD exitCode = DeploymentFailureCode(code);

    // An HRESULT reads best in hexadecimal, a Win32 error in decimal.
    StringCchPrintfW(number, 16, code > 0xFFFF ? L"0x%08lX" : L"%lu", (unsigned long)code);
    if (exitCode != code) {
        StringCchPrintfW(line, LOG_TEXT_CCH,
                         L"Failed: %ws, with code %ws, which a deployment tool would read as %ws; the run ends with 1603 "
                         L"instead.",
                         what, number, ReservedMeaning(code));
        WriteLogLine(line);
        StringCchPrintfW(line, LOG_TEXT_CCH, L"%ws failed with code %ws, reported as 1603 (the lines above say why)",
                         what, number);
    } else if (!DescribeFailure(line, what, number, code)) {
        StringCchPrintfW(line, LOG_TEXT_CCH, L"%ws failed with %ws (the lines above say why)", what, number);
    }
    SetRunOutcome(line);
    return exitCode;
}

// The exit code of a run that did all it had to, with outcome as the last
// line's reason; the log says what waits for a restart.
static DWORD SuccessCode(const WCHAR *outcome) {
    WCHAR line[LOG_TEXT_CCH];

    if (!RestartNeeded) {
        SetRunOutcome(outcome);
        return ERROR_SUCCESS;
    }
    if (SUCCEEDED(StringCchPrintfW(line, LOG_TEXT_CCH, L"A restart completes this run: %ws.", RestartCause)))
        WriteLogLine(line);
    StringCchPrintfW(line, LOG_TEXT_CCH, L"%ws, and a restart completes it (the line above says what waits for it)",
                     outcome);
    SetRunOutcome(line);
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
    SetRunOutcome(L"an argument means nothing; nothing was done");
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
        SetRunOutcome(L"done: nothing of the product was installed");
        return ERROR_SUCCESS;
    }
    if (!RemoveUnattended(&error))
        return EndWithFailure(error, L"the removal of the product (what stays is named above)");
    return SuccessCode(L"done: everything of the product is removed");
}

// The package staged for the run (StagePackageIntoStore); EXIT_... or
// ERROR_SUCCESS to go on, with the failure's reason set.
static DWORD Staged(void) {
    DWORD error = StagePackageIntoStore();

    if (error == TRUST_E_BAD_DIGEST_CODE) {
        SetRunOutcome(L"a package file is not as built (the line above names it); nothing of the package was used");
        return error;
    }
    if (error != ERROR_SUCCESS)
        return EndWithFailure(error, L"the package's staging (its copy for Windows, or the list of the drivers "
                                     L"installed)");
    return ERROR_SUCCESS;
}

// The installed drivers older than the package, updated in place.
static DWORD Upgraded(void) {
    DWORD error;

    if (PackageStaging.Installed != INSTALLED_OLDER)
        return ERROR_SUCCESS;
    error = UpgradeInstalledDrivers();
    return error == ERROR_SUCCESS ? ERROR_SUCCESS
                                  : EndWithFailure(error, L"the update of the installed driver (it keeps its version)");
}

// "done: WHAT" and what became of the installed driver.
static void DoneWith(WCHAR *outcome, const WCHAR *what) {
    const WCHAR *driver = PackageStaging.Installed == INSTALLED_OLDER  ? L", and the installed driver is updated"
                          : PackageStaging.Installed == INSTALLED_SAME  ? L", and the installed driver is this version"
                          : PackageStaging.Installed == INSTALLED_NEWER ? L", and the newer driver installed is left alone"
                                                                        : L"";
    StringCchPrintfW(outcome, LOG_TEXT_CCH, L"done: %ws%ws", what, driver);
}

DWORD StageForDeployment(const StartOptions *options) {
    WCHAR outcome[LOG_TEXT_CCH];
    DWORD error;
    BOOL rescanned;

    if (!ArgumentsMeanSomething(options, L"/stage"))
        return ERROR_INVALID_PARAMETER;
    UnattendedRun = TRUE;
    if ((error = Staged()) != ERROR_SUCCESS)
        return error;
    if (PackageStaging.Installed == INSTALLED_NEWER) {
        DoneWith(outcome, L"nothing is staged");
        return SuccessCode(outcome);
    }
    if (PackageStaging.Upload != S_OK)
        return EndWithFailure((DWORD)PackageStaging.Upload, L"the driver store's upload of the package");
    // Plug and Play's refusal to look again leaves the package staged: the
    // goal is met, and the warning says what a printer plugged in needs.
    rescanned = RetryDeviceInstallations();
    if ((error = Upgraded()) != ERROR_SUCCESS)
        return error;
    DoneWith(outcome, rescanned ? L"the package is staged"
                                : L"the package is staged, though Plug and Play refused to look at the devices again "
                                  L"(the warning above)");
    return SuccessCode(outcome);
}

DWORD InstallForDeployment(const StartOptions *options) {
    WCHAR outcome[LOG_TEXT_CCH];
    DWORD error = ERROR_SUCCESS;

    if (!ArgumentsMeanSomething(options, L"/quiet"))
        return ERROR_INVALID_PARAMETER;
    UnattendedRun = TRUE;
    // The package goes into the store before the search: a printer plugged
    // in later installs from there without this program.
    if ((error = Staged()) != ERROR_SUCCESS)
        return error;
    if (PackageStaging.Uploaded && PackageStaging.Upload != S_OK)
        WriteLogLine(L"The driver store refused the package: a printer plugged in now is installed on the manual "
                     L"road, one plugged in later gets no driver from Windows.");
    if ((error = Upgraded()) != ERROR_SUCCESS)
        return error;
    switch (InstallWithoutWindow(options->WaitSeconds * MS_PER_SECOND, &error)) {
    case INSTALL_DONE:
        DoneWith(outcome, QueueLeftOnAnotherPort ? L"every recognised printer has a queue of its model, one on another "
                                                   L"port than its printer's (the line above)"
                                                 : L"every recognised printer has its queue");
        return SuccessCode(outcome);
    case INSTALL_NOTHING_FOUND:
        if (options->RequirePrinter) {
            SetRunOutcome(L"no printer the program knows was plugged in within the wait (/requireprinter)");
            return EXIT_NO_PRINTER;
        }
        if (PackageStaging.Uploaded && PackageStaging.Upload != S_OK)
            return EndWithFailure((DWORD)PackageStaging.Upload,
                                  L"the driver store's upload of the package, with no printer to install by hand,");
        if (PackageStaging.Uploaded)
            WriteLogLine(L"The package is staged: a printer plugged in later gets its driver and queue from Windows.");
        DoneWith(outcome, PackageStaging.Uploaded
                              ? L"no printer the program knows was plugged in, and the package is staged for one"
                              : L"no printer the program knows was plugged in");
        return SuccessCode(outcome);
    default:
        return EndWithFailure(error, L"the installation of a printer");
    }
}
