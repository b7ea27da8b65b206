// Starting the uninstall window from a protected copy of the running program.
#pragma once

#include <windows.h>

// Copies the running program (modulePath) into a new folder under the
// temporary folder that only Administrators and SYSTEM can write, and starts
// that copy with "-u" and folder, so that the install folder can be removed
// and nothing an unelevated process could have changed is started with this
// process's administrator rights. The copy is held open without write or
// delete sharing until the child runs, and the copy and its folder are
// deleted at the next restart. Closes instanceMutex, which the child takes
// over, whether or not the child starts.
void RelaunchFromProtectedCopy(HANDLE instanceMutex, const WCHAR *modulePath, const WCHAR *folder);
