#include "app/pnp_update_mode.h"

#include <windows.h>
#include <newdev.h>

#include "common/system_libraries.h"
#include "common/whole_number.h"
#include "install/pnp_handover.h"

DWORD RunPnpUpdate(const StartOptions *options, DWORD loadError) {
    DWORD flags = 0;
    DWORD result;
    BOOL rebootRequired = FALSE;

    if (options->PnpHardwareId[0] == 0 || options->PnpInfPath[0] == 0 ||
        !ReadWholeNumber(options->PnpFlags, MAXDWORD, &flags))
        return ERROR_INVALID_PARAMETER;
    if (loadError != ERROR_SUCCESS)
        return loadError;
    // A call that nobody can answer gets the restart question back instead
    // of asking it; an interactive one lets Windows ask the person.
    if (Newdev.UpdateDriverForPlugAndPlayDevicesW(NULL, options->PnpHardwareId, options->PnpInfPath, flags,
                                                  (flags & INSTALLFLAG_NONINTERACTIVE) != 0 ? &rebootRequired
                                                                                           : NULL))
        return rebootRequired ? PNP_CHILD_RESTART_NEEDED : ERROR_SUCCESS;
    // A failure without an error must not read as success.
    result = GetLastError();
    return result != ERROR_SUCCESS && result != PNP_CHILD_RESTART_NEEDED ? result : ERROR_GEN_FAILURE;
}
