// Starting the uninstall window from a protected copy of the running program.
#pragma once

#include <windows.h>

#include "common/instance_guard.h"

// Starts a protected copy of the running program (read from ownImage, its
// file held since start-up, see HoldOwnImage; INVALID_HANDLE_VALUE when that
// could not be held, and then nothing starts) with "-u" and folder, so that the install folder can be
// removed and nothing an unelevated process could have changed is started
// with this process's administrator rights. A build signed with a
// certificate starts the copy only when it carries a valid signature made
// with that certificate (MayStartCopy). The copy stays where it is, as
// the temporary copies of uninstallers do. The child is given guard before
// it runs (HandOverInstanceGuard); this process's hold is released whether or
// not the child starts.
void RelaunchFromProtectedCopy(InstanceGuard *guard, HANDLE ownImage, const WCHAR *folder);
