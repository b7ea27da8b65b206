// The modes for software-deployment tools.
#include "app/deployment.h"

#include <windows.h>
#include <strsafe.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "uninstall/removal.h"

#define MS_PER_SECOND 1000
#define LOG_TEXT_CCH 512

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

// The exit code of a run that did all it had to.
static DWORD SuccessCode(void) { return RestartNeeded ? EXIT_RESTART_NEEDED : ERROR_SUCCESS; }

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

DWORD RemoveForDeployment(const StartOptions *options) {
    DWORD error = ERROR_SUCCESS;

    if (!ArgumentsMeanSomething(options, L"/remove"))
        return ERROR_INVALID_PARAMETER;
    UnattendedRun = TRUE;
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
