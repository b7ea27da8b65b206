// The single-instance guard: the session's named mutex, and one guard for the
// whole machine that no standard user can create first.
#pragma once

#include <windows.h>

typedef struct InstanceGuard {
    HANDLE SessionMutex;  // "SWIFTSETINSTALLERFORPRINTERDRIVER", in the session's namespace
    HANDLE Namespace;     // the private namespace bounded by Administrators
    HANDLE MachineMutex;  // the guard in that namespace
} InstanceGuard;

// Takes both guards. ERROR_ALREADY_EXISTS when another copy of the program
// runs:
// - the machine guard exists already, or it or its namespace cannot be
//   opened (ERROR_ACCESS_DENIED): every session sees it, and only
//   administrators and SYSTEM can create it;
// - without the machine guard, the session's mutex exists already or cannot
//   be opened (ERROR_ACCESS_DENIED). With the machine guard taken, the
//   session's mutex is still created, for releases that know only that one,
//   but does not decide: a standard user can create it first under that
//   name, which in session 0 is the global one.
// ERROR_SUCCESS when the run may go on: the machine guard is held, or the
// system has no private namespaces (as under Wine) and the session's mutex
// is all there is; any failure of that mutex lets the run go on, as it always
// has. Any other error is the one that kept the machine guard from being
// made: a copy without it would not keep a second copy out.
DWORD TakeInstanceGuard(InstanceGuard *guard);

// Closes whatever guard is held; the guard can be released more than once.
void ReleaseInstanceGuard(InstanceGuard *guard);
