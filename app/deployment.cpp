// The modes for software-deployment tools.
#include "app/deployment.h"

#include <windows.h>

#include "common/globals.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "uninstall/removal.h"

#define MS_PER_SECOND 1000

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

DWORD RemoveForDeployment(void) {
    DWORD error = ERROR_SUCCESS;

    if (!RemoveUnattended(&error))
        return DeploymentFailureCode(error);
    return SuccessCode();
}

DWORD StageForDeployment(void) {
    DWORD result = StageDriverPackage();

    return result == ERROR_SUCCESS ? ERROR_SUCCESS : DeploymentFailureCode(result);
}

DWORD InstallForDeployment(const StartOptions *options) {
    DWORD error = ERROR_SUCCESS;

    if (options->WaitMalformed)
        return ERROR_INVALID_PARAMETER;
    switch (InstallWithoutWindow(options->WaitSeconds * MS_PER_SECOND, &error)) {
    case INSTALL_DONE:
        return SuccessCode();
    case INSTALL_NOTHING_FOUND:
        return EXIT_NO_PRINTER;
    default:
        return DeploymentFailureCode(error);
    }
}
