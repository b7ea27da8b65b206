#include "common/instance_guard.h"

#include <windows.h>
#include <sddl.h>
#include <string.h>

#define SESSION_MUTEX_NAME L"SWIFTSETINSTALLERFORPRINTERDRIVER"
#define NAMESPACE_ALIAS L"CorvaneSetup"
#define MACHINE_MUTEX_NAME NAMESPACE_ALIAS L"\\Guard"
// Between two copies, the namespace can vanish after one failed to create it
// and before it opens it: a few more tries.
#define NAMESPACE_TRIES 4

// Only SYSTEM and Administrators may open the namespace and its guard.
#define GUARD_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"

static BOOL MeansAnotherCopy(DWORD error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED; }

// Creates or opens the namespace whose boundary is the Administrators group:
// a process without that group enabled (a standard user's) cannot create it,
// nor open it. NULL with the error when neither works.
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

// The last error, or fallback for a call that failed without one.
static DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();

    return error != ERROR_SUCCESS ? error : fallback;
}

// Takes the machine guard. Returns ERROR_SUCCESS when held, the error that
// means another copy runs, ERROR_NOT_SUPPORTED when the system has no private
// namespaces (an emulation whose boundary descriptor is a stub that fails
// without an error, or says it is not implemented), or the error that kept
// the guard from being made.
static DWORD TakeMachineGuard(InstanceGuard *guard) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    HANDLE boundary = NULL;
    DWORD error = ERROR_SUCCESS;

    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size) ||
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
    } else if (!AddSIDToBoundaryDescriptor(&boundary, administrators)) {
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

DWORD TakeInstanceGuard(InstanceGuard *guard) {
    DWORD machine;
    DWORD session;

    memset(guard, 0, sizeof(*guard));
    machine = TakeMachineGuard(guard);
    guard->SessionMutex = CreateMutexW(NULL, FALSE, SESSION_MUTEX_NAME);
    session = GetLastError();
    if (machine == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    if (MeansAnotherCopy(machine) || MeansAnotherCopy(session))
        return ERROR_ALREADY_EXISTS;
    return machine == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : machine;
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
