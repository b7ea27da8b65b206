// The single-instance guard: the session's named mutex, and one guard for the
// whole machine that no standard user can create first.
#pragma once

#include <windows.h>

// What the log is told about the guard, at most one line.
#define GUARD_NOTE_CCH 320

typedef struct InstanceGuard {
    HANDLE SessionMutex;  // "SWIFTSETINSTALLERFORPRINTERDRIVER", in the session's namespace
    HANDLE Namespace;     // the private namespace bounded by Administrators at High integrity
    HANDLE MachineMutex;  // the guard in that namespace
    // Why the run goes on without the machine guard, or ignores the
    // session's mutex: a line for the log; empty when there is nothing to say.
    WCHAR Note[GUARD_NOTE_CCH];
} InstanceGuard;

// Takes the guard. ERROR_ALREADY_EXISTS when another copy of the program
// runs, ERROR_SUCCESS when the run may go on:
// - The machine guard, which every session sees, lives in a private
//   namespace whose boundary only Administrators at High integrity (an
//   elevated administrator, SYSTEM) are inside, so no standard user can make
//   it first. When it exists already, or it or its namespace is refused
//   (ERROR_ACCESS_DENIED), another copy runs.
// - With the machine guard held, the session's mutex (the name every release
//   of the program keeps to) also means another copy when it exists already,
//   unless its owner is someone other than Administrators, SYSTEM or the
//   running account: a standard user may make it first under that name,
//   which in session 0 is the global one. Such a mutex, and one that cannot
//   be opened at all (which no copy of the program makes), is ignored, and
//   Note says why.
// - Without the machine guard (the system has no private namespaces, as
//   under Wine; the program does not run as an administrator; the guard
//   cannot be made), the session's mutex decides alone: existing or refused,
//   another copy runs; otherwise the run goes on, also when it cannot be made
//   either. Note says why the machine guard is missing, except where the
//   system has no private namespaces.
// - A copy that this program's relaunch started (see HandOverInstanceGuard)
//   takes over the guard that its parent gave it, held all along.
DWORD TakeInstanceGuard(InstanceGuard *guard);

// Gives the guard to child, a copy of this program created suspended, and
// resumes it: the child holds the guard before this process lets go of it,
// so that no other copy can start in between. The guard's objects and a
// sign for the child alone (an event named after its process id, in the
// namespace when there is one) are duplicated into the child, which finds
// the sign when it takes the guard. This process's hold is released. When no
// sign can be made, the guard is released first and the child takes it as
// any copy would. A child that cannot be resumed is ended, so that nothing
// holds the guard for ever. FALSE when the child was ended.
BOOL HandOverInstanceGuard(InstanceGuard *guard, const PROCESS_INFORMATION *child);

// Closes whatever guard is held; the guard can be released more than once.
void ReleaseInstanceGuard(InstanceGuard *guard);
