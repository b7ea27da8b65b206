// The 64-bit build's private mode: the one Plug and Play call that the
// 32-bit program hands over to it on x64 (install/pnp_handover.h).
#pragma once

#include <windows.h>

#include "app/options.h"

// Makes the call that options describe and returns the exit code: 0 on
// success, PNP_CHILD_RESTART_NEEDED when a non-interactive call succeeded and
// Windows asks for a restart, otherwise the call's Win32 error. loadError is
// the error of loading the system libraries (ERROR_SUCCESS when they loaded),
// which ends the child before the call; arguments it cannot use (an empty
// one, flags that are not a whole number) end it with
// ERROR_INVALID_PARAMETER. It takes no single-instance guard (its parent
// holds it), shows nothing and writes no trace or log line.
DWORD RunPnpUpdate(const StartOptions *options, DWORD loadError);
