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
    return space;
}

// Takes the machine guard. Returns ERROR_SUCCESS when held, the error that
// means another copy runs, or ERROR_NOT_SUPPORTED when the system cannot make
// it (older systems, or an emulation that lacks private namespaces).
static DWORD TakeMachineGuard(InstanceGuard *guard) {
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    HANDLE boundary = NULL;
    DWORD error = ERROR_NOT_SUPPORTED;

    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &size) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(GUARD_SDDL, SDDL_REVISION_1, &descriptor, NULL))
        return ERROR_NOT_SUPPORTED;
    memset(&attributes, 0, sizeof(attributes));
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    boundary = CreateBoundaryDescriptorW(NAMESPACE_ALIAS, 0);
    if (boundary != NULL && AddSIDToBoundaryDescriptor(&boundary, administrators)) {
        guard->Namespace = OpenGuardNamespace(boundary, &attributes, &error);
        if (guard->Namespace != NULL) {
            guard->MachineMutex = CreateMutexW(&attributes, FALSE, MACHINE_MUTEX_NAME);
            error = GetLastError();
            if (guard->MachineMutex != NULL && error != ERROR_ALREADY_EXISTS)
                error = ERROR_SUCCESS;
        }
    }
    if (boundary != NULL)
        DeleteBoundaryDescriptor(boundary);
    LocalFree(descriptor);
    return MeansAnotherCopy(error) || error == ERROR_SUCCESS ? error : ERROR_NOT_SUPPORTED;
}

BOOL TakeInstanceGuard(InstanceGuard *guard) {
    DWORD machine;
    DWORD session;

    memset(guard, 0, sizeof(*guard));
    machine = TakeMachineGuard(guard);
    guard->SessionMutex = CreateMutexW(NULL, FALSE, SESSION_MUTEX_NAME);
    session = GetLastError();
    if (machine == ERROR_SUCCESS)
        return FALSE;
    return MeansAnotherCopy(machine) || MeansAnotherCopy(session);
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
