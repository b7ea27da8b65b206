#include "common/instance_guard.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <string.h>
#include <strsafe.h>

#include "common/accounts.h"

#define SESSION_MUTEX_NAME L"SWIFTSETINSTALLERFORPRINTERDRIVER"
#define NAMESPACE_ALIAS L"CorvaneSetup"
#define MACHINE_MUTEX_NAME NAMESPACE_ALIAS L"\\Guard"
// The sign that hands the guard to a relaunched copy, named after its
// process id: in the namespace, or beside the session's mutex without one.
#define HAND_OVER_NAME_CCH 64
#define HAND_OVER_FORMAT_IN_NAMESPACE NAMESPACE_ALIAS L"\\HandOver.%lu"
#define HAND_OVER_FORMAT_IN_SESSION NAMESPACE_ALIAS L"HandOver.%lu"
// Between two copies, the namespace can vanish after one failed to create it
// and before it opens it: a few more tries.
#define NAMESPACE_TRIES 4
// The exit code of a relaunched copy that could not be resumed.
#define NOT_RESUMED_EXIT_CODE ERROR_OPERATION_ABORTED

// Only SYSTEM and Administrators may open the namespace, its guard and the
// hand-over's sign.
#define GUARD_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"

typedef BOOL(WINAPI *AddIntegrityLabelFunction)(HANDLE *boundaryDescriptor, PSID integrityLabel);

static BOOL MeansAnotherCopy(DWORD error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED; }

// The last error, or fallback for a call that failed without one.
static DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();

    return error != ERROR_SUCCESS ? error : fallback;
}

// Creates or opens the namespace of the boundary: a process outside it (a
// standard user's, or one below High integrity) cannot create it, nor open
// it. NULL with the error when neither works.
static HANDLE OpenGuardNamespace(HANDLE boundary, SECURITY_ATTRIBUTES *attributes, DWORD *error) {
    HANDLE space = NULL;
    int i;

    for (i = 0; i < NAMESPACE_TRIES && space == NULL; i++) {
        space = CreatePrivateNamespaceW(attributes, boundary, NAMESPACE_ALIAS);
        if (space != NULL || (*error = GetLastError()) != ERROR_ALREADY_EXISTS)
            break;
        space = OpenPrivateNamespaceW(boundary, NAMESPACE_ALIAS);
        if (space == NULL && (*error = GetLastError()) != ERROR_PATH_NOT_FOUND && *error != ERROR_FILE_NOT_FOUND)
            break;
    }
    // Still there when created, gone when opened, every time: another copy
    // keeps starting and ending.
    if (space == NULL && (*error == ERROR_PATH_NOT_FOUND || *error == ERROR_FILE_NOT_FOUND))
        *error = ERROR_ALREADY_EXISTS;
    return space;
}

// The High mandatory label on the boundary, as Microsoft recommends against
// squatting: a process below it cannot create the namespace. Kernel32 has
// the call from Windows 7 on; it is looked up, since not every
// implementation of the library has it.
static BOOL AddHighIntegrityLabel(HANDLE *boundary, PSID label) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    AddIntegrityLabelFunction add = NULL;

    if (kernel != NULL)
        add = (AddIntegrityLabelFunction)(void (*)(void))GetProcAddress(kernel, "AddIntegrityLabelToBoundaryDescriptor");
    return add != NULL && add(boundary, label);
}

// Takes the machine guard. Returns ERROR_SUCCESS when held, the error that
// means another copy runs, ERROR_NOT_SUPPORTED when the system has no private
// namespaces (an emulation whose boundary descriptor is a stub that fails
// without an error, or says it is not implemented), or the error that kept
// the guard from being made; *administrator is FALSE when it was not tried
// because this process is not an (elevated) administrator.
static DWORD TakeMachineGuard(InstanceGuard *guard, BOOL *administrator) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE highLabel[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    DWORD labelSize = sizeof(highLabel);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    HANDLE boundary = NULL;
    DWORD error = ERROR_SUCCESS;

    *administrator = TRUE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size) ||
        !CreateWellKnownSid(WinHighLabelSid, NULL, highLabel, &labelSize) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(GUARD_SDDL, SDDL_REVISION_1, &descriptor, NULL))
        return LastErrorOr(ERROR_GEN_FAILURE);
    memset(&attributes, 0, sizeof(attributes));
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    SetLastError(ERROR_SUCCESS);
    boundary = CreateBoundaryDescriptorW(NAMESPACE_ALIAS, 0);
    if (boundary == NULL) {
        error = LastErrorOr(ERROR_NOT_SUPPORTED);
        if (error == ERROR_CALL_NOT_IMPLEMENTED)
            error = ERROR_NOT_SUPPORTED;
    } else if (!CheckTokenMembership(NULL, administrators, administrator)) {
        *administrator = TRUE;
        error = LastErrorOr(ERROR_GEN_FAILURE);
    } else if (!*administrator) {
        error = ERROR_ACCESS_DENIED;
    } else if (!AddSIDToBoundaryDescriptor(&boundary, administrators) || !AddHighIntegrityLabel(&boundary, highLabel)) {
        error = LastErrorOr(ERROR_GEN_FAILURE);
    } else {
        guard->Namespace = OpenGuardNamespace(boundary, &attributes, &error);
        if (guard->Namespace != NULL) {
            guard->MachineMutex = CreateMutexW(&attributes, FALSE, MACHINE_MUTEX_NAME);
            error = GetLastError();
            if (guard->MachineMutex == NULL)
                error = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
            else if (error != ERROR_ALREADY_EXISTS)
                error = ERROR_SUCCESS;
        }
    }
    if (boundary != NULL)
        DeleteBoundaryDescriptor(boundary);
    LocalFree(descriptor);
    return error;
}

// Whether the session's mutex, found existing, is a copy's of the program:
// TRUE unless its owner is known and is none of Administrators, SYSTEM and
// the running account.
static BOOL OwnedByACopy(HANDLE mutex) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    PSID owner = NULL;
    BOOL copy;

    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &descriptor) !=
        ERROR_SUCCESS)
        return TRUE;
    copy = owner == NULL || IsAdministratorsOrSelf(owner);
    LocalFree(descriptor);
    return copy;
}

// With the machine guard held: whether the session's mutex (session: how
// its creation went) says that another copy runs; when it is ignored, the
// note says why.
static BOOL SessionMutexMeansAnotherCopy(InstanceGuard *guard, DWORD session) {
    if (session == ERROR_SUCCESS)
        return FALSE;
    if (session == ERROR_ALREADY_EXISTS && OwnedByACopy(guard->SessionMutex))
        return TRUE;
    if (session == ERROR_ALREADY_EXISTS)
        StringCchCopyW(guard->Note, GUARD_NOTE_CCH,
                       L"The mutex " SESSION_MUTEX_NAME L" exists, but neither Administrators, SYSTEM nor this account "
                       L"owns it, so no copy of this program made it (a standard user can make it first to keep the "
                       L"program from running): it is ignored, and the machine's single-instance guard keeps a "
                       L"second copy out.");
    else
        StringCchPrintfW(guard->Note, GUARD_NOTE_CCH,
                         L"The mutex " SESSION_MUTEX_NAME L" cannot be made or opened (error %lu), which no copy of "
                         L"this program would keep from another: it is ignored, and the machine's single-instance "
                         L"guard keeps a second copy out.",
                         (unsigned long)session);
    return FALSE;
}

// Without the machine guard (error: why): the note says so, except where the
// system has no private namespaces at all.
static void NoteMachineGuardMissing(InstanceGuard *guard, DWORD error, BOOL administrator) {
    if (!administrator)
        StringCchCopyW(guard->Note, GUARD_NOTE_CCH,
                       L"The program does not run as an administrator: the machine's single-instance guard, which "
                       L"only administrators can make, is not taken, and the mutex " SESSION_MUTEX_NAME
                       L" of this session alone keeps a second copy out.");
    else if (error != ERROR_NOT_SUPPORTED)
        StringCchPrintfW(guard->Note, GUARD_NOTE_CCH,
                         L"The machine's single-instance guard cannot be made (error %lu): the mutex "
                         SESSION_MUTEX_NAME L" of this session alone keeps a second copy out.",
                         (unsigned long)error);
}

// The name of the sign for the copy of process id processId.
static BOOL HandOverName(const InstanceGuard *guard, DWORD processId, WCHAR *name) {
    return SUCCEEDED(StringCchPrintfW(name, HAND_OVER_NAME_CCH,
                                      guard->Namespace != NULL ? HAND_OVER_FORMAT_IN_NAMESPACE
                                                               : HAND_OVER_FORMAT_IN_SESSION,
                                      (unsigned long)processId));
}

// Whether this process is the copy that a relaunch handed the guard to: the
// sign with its own process id exists (its parent made it, and keeps it in
// this process).
static BOOL WasHandedTheGuard(const InstanceGuard *guard) {
    WCHAR name[HAND_OVER_NAME_CCH];
    HANDLE sign;

    if (!HandOverName(guard, GetCurrentProcessId(), name))
        return FALSE;
    sign = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (sign == NULL)
        return FALSE;
    CloseHandle(sign);
    return TRUE;
}

DWORD TakeInstanceGuard(InstanceGuard *guard) {
    BOOL administrator = TRUE;
    BOOL anotherCopy;
    DWORD machine;
    DWORD session;

    memset(guard, 0, sizeof(*guard));
    machine = TakeMachineGuard(guard, &administrator);
    guard->SessionMutex = CreateMutexW(NULL, FALSE, SESSION_MUTEX_NAME);
    if (guard->SessionMutex == NULL)
        session = LastErrorOr(ERROR_GEN_FAILURE);
    else
        session = GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    if (machine == ERROR_SUCCESS) {
        anotherCopy = SessionMutexMeansAnotherCopy(guard, session);
    } else if (MeansAnotherCopy(machine) && administrator) {
        anotherCopy = TRUE;
    } else {
        anotherCopy = MeansAnotherCopy(session);
        NoteMachineGuardMissing(guard, machine, administrator);
    }
    if (anotherCopy && !WasHandedTheGuard(guard))
        return ERROR_ALREADY_EXISTS;
    return ERROR_SUCCESS;
}

BOOL HandOverInstanceGuard(InstanceGuard *guard, const PROCESS_INFORMATION *child) {
    WCHAR name[HAND_OVER_NAME_CCH];
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    HANDLE held[3];
    HANDLE sign = NULL;
    HANDLE given = NULL;
    BOOL signGiven = FALSE;
    int i;

    if (HandOverName(guard, child->dwProcessId, name) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(GUARD_SDDL, SDDL_REVISION_1, &descriptor, NULL)) {
        memset(&attributes, 0, sizeof(attributes));
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = descriptor;
        sign = CreateEventW(&attributes, TRUE, FALSE, name);
        // A sign of that name made before is not this program's to give.
        if (sign != NULL && GetLastError() != ERROR_ALREADY_EXISTS)
            signGiven = DuplicateHandle(GetCurrentProcess(), sign, child->hProcess, &given, 0, FALSE,
                                        DUPLICATE_SAME_ACCESS);
        LocalFree(descriptor);
    }
    // The guard's objects live on in the child; one that cannot be given is
    // made again by the child itself.
    held[0] = guard->Namespace;
    held[1] = guard->MachineMutex;
    held[2] = guard->SessionMutex;
    for (i = 0; i < 3 && signGiven; i++)
        if (held[i] != NULL)
            DuplicateHandle(GetCurrentProcess(), held[i], child->hProcess, &given, 0, FALSE, DUPLICATE_SAME_ACCESS);
    if (sign != NULL)
        CloseHandle(sign);
    ReleaseInstanceGuard(guard);
    if (ResumeThread(child->hThread) != (DWORD)-1)
        return TRUE;
    TerminateProcess(child->hProcess, NOT_RESUMED_EXIT_CODE);
    return FALSE;
}

void ReleaseInstanceGuard(InstanceGuard *guard) {
    if (guard->SessionMutex != NULL)
        CloseHandle(guard->SessionMutex);
    if (guard->MachineMutex != NULL)
        CloseHandle(guard->MachineMutex);
    if (guard->Namespace != NULL && !ClosePrivateNamespace(guard->Namespace, 0))
        CloseHandle(guard->Namespace);
    memset(guard, 0, sizeof(*guard));
}
