// The single-instance guard: the session's named mutex, and one guard for the
// whole machine that no standard user can create first.
#pragma once

#include <windows.h>

typedef struct InstanceGuard {
    HANDLE SessionMutex;  // "SWIFTSETINSTALLERFORPRINTERDRIVER", in the session's namespace
    HANDLE Namespace;     // the private namespace bounded by Administrators
    HANDLE MachineMutex;  // the guard in that namespace
} InstanceGuard;

// Takes both guards. TRUE when another copy of the program runs:
// - the machine guard exists already, or it or its namespace cannot be
//   opened (ERROR_ACCESS_DENIED): every session sees it, and only
//   administrators and SYSTEM can create it;
// - without the machine guard (a system that cannot make it), the session's
//   mutex exists already or cannot be opened (ERROR_ACCESS_DENIED). With the
//   machine guard taken, the session's mutex is still created, for releases
//   that know only that one, but does not decide: a standard user can create
//   it first under that name, which in session 0 is the global one.
// Any other failure lets the run go on, as the session's mutex always has.
BOOL TakeInstanceGuard(InstanceGuard *guard);

// Closes whatever guard is held; the guard can be released more than once.
void ReleaseInstanceGuard(InstanceGuard *guard);
