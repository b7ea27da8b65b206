// The modes for software-deployment tools (/remove, /stage, /quiet): no
// window, no message box, no hand-over, and an exit code the tool can act on.
#pragma once

#include <windows.h>

#include "app/options.h"

// Exit codes that deployment tools read in their own way.
#define EXIT_RESTART_NEEDED 3010     // ERROR_SUCCESS_REBOOT_REQUIRED: success, restart pending
#define EXIT_ANOTHER_COPY_RUNS 1618  // ERROR_INSTALL_ALREADY_RUNNING: try again later
#define EXIT_GENERAL_FAILURE 1603    // ERROR_INSTALL_FAILURE
#define EXIT_NO_PRINTER 1167         // ERROR_DEVICE_NOT_CONNECTED
// A window, or a hand-over to one, where nobody can see it (session 0): the
// run ends at once instead of holding the single-instance guard forever.
#define EXIT_NOBODY_TO_SEE 1459      // ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION

// The exit code of a failure whose own code is `code` (a Win32 error or an
// HRESULT). A code that deployment tools take for success, for "retry" or
// for "restart" (0, 1618, 1641, 1707, 3010) would hide the failure: it
// becomes 1603.
DWORD DeploymentFailureCode(DWORD code);

// Every deployment mode first checks that each token of its command line
// means something: an unknown option, a stray argument, an option without
// the argument it needs, or a /wait without a whole number of seconds from 0
// to MAX_WAIT_SECONDS ends it with ERROR_INVALID_PARAMETER (87) before it
// does anything, with a log line that names the token.

// /remove: everything the uninstaller's "Remove" would remove, without a
// window, and the install folder left alone. 0 when everything is gone or
// nothing was installed, 3010 when part of it goes at the next restart,
// otherwise the first failure's code.
DWORD RemoveForDeployment(const StartOptions *options);

// /stage: the package into the driver store (see StageDriverPackage). 0, or
// the failure's code.
DWORD StageForDeployment(const StartOptions *options);

// /quiet: the silent install for every recognised printer plugged in,
// waiting at most options->WaitSeconds between passes for one to appear.
// 0 when every recognised printer has its queue, 3010 when Windows asks for
// a restart after installing a driver, 1167 when the device scan found no
// recognised printer within the wait, otherwise the failure's code (a driver
// file in use is one: its replacement at a restart would complete nothing).
DWORD InstallForDeployment(const StartOptions *options);
