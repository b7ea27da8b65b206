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
#define EXIT_RESTART_INITIATED 1641  // ERROR_SUCCESS_REBOOT_INITIATED: success, restart started
#define EXIT_INSTALL_SUCCESS 1707    // ERROR_INSTALL_SUCCESS
// A window, or a hand-over to one, where nobody can see it (session 0): the
// run ends at once instead of holding the single-instance guard forever.
#define EXIT_NOBODY_TO_SEE 1459      // ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION

// The exit code of a failure whose own code is `code` (a Win32 error or an
// HRESULT). A code that deployment tools take for success, for "retry" or
// for "restart" (0, 1618, 1641, 1707, 3010), or that the program documents
// for an ending of its own (87, 31, 1167, 1459), would say something else
// than what happened: it becomes 1603, and the mode logs the step's own code.
DWORD DeploymentFailureCode(DWORD code);

// Every deployment mode first checks that each token of its command line
// means something: an unknown option, a stray argument, an option without
// the argument it needs, or a /wait without a whole number of seconds from 0
// to MAX_WAIT_SECONDS ends it with ERROR_INVALID_PARAMETER (87) before it
// does anything, with a log line that names the token.

// Each mode below sets the last line's reason (app/run_log.h) from what it
// did as it ends; a step's failure ends with DeploymentFailureCode of its
// own code.

// /remove: everything the uninstaller's "Remove" would remove, without a
// window, and the install folder left alone. 0 when everything is gone or
// nothing was installed, 3010 when part of it goes at the next restart,
// otherwise the first failure's code.
DWORD RemoveForDeployment(const StartOptions *options);

// /stage: the package into the driver store (StagePackageIntoStore), Plug and
// Play asked to retry the printers it found without a driver, and an older
// installed driver updated in place. 0 (also when Plug and Play refused to
// look again: the package is staged, and a warning says so; and with a newer
// driver installed, which is left alone and nothing staged), 3010 when
// Windows asks for a restart after updating a driver, or the failure's code.
DWORD StageForDeployment(const StartOptions *options);

// /quiet: the package staged first, as /stage stages it (a store that
// refuses it leaves the manual road to the printers plugged in), an older
// installed driver updated in place, then the silent install for every
// recognised printer plugged in, waiting at most options->WaitSeconds
// between passes for one to appear. 0 when every recognised printer has its
// queue, or when none appeared and the package is staged; 1167 then instead
// with options->RequirePrinter; 3010 when Windows asks for a restart after
// installing a driver; otherwise the failure's code (a driver file in use is
// one: its replacement at a restart would complete nothing), the store's
// refusal when no printer appeared to install by hand.
DWORD InstallForDeployment(const StartOptions *options);
