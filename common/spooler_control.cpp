// Stopping and starting the print spooler service through the service
// control manager. Nothing here traces or reports an error: callers learn
// the outcome, where at all, from a 0/1 result.
//
// A service this program has stopped must not stay stopped: a start that
// could not be asked for (manager, service or status out of reach) or that
// the service manager refused is asked for again, a second later, up to
// three times in all.
#include "common/spooler_control.h"

#include <windows.h>
#include <winsvc.h>
#include <string.h>

#define SPOOLER_SERVICE_NAME L"Spooler"
#define POLL_PAUSE_MS 10
#define SPOOLER_BUDGET_MS 10000
#define SPOOLER_POLLS 1000
#define RESTART_SETTLE_MS 1000
#define ACTION_PAUSE_MS 200
#define START_TRIES 3
#define START_RETRY_MS 1000

// How one change of state went.
#define CHANGE_DONE 1     // the target state was seen
#define CHANGE_OTHER 0    // not in the starting state, or the target not seen in time
#define CHANGE_REFUSED 2  // could not be asked for, or the start was refused

// Reads the service's status into the caller's record. A failed query
// leaves the record as it was.
static BOOL ReadStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS *status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (LPBYTE)status, sizeof(SERVICE_STATUS_PROCESS),
                                &needed);
}

// Polls up to `polls` times for `target`, sleeping between polls.
static int WaitForState(SC_HANDLE service, SERVICE_STATUS_PROCESS *status, DWORD target, DWORD polls) {
    DWORD i;
    for (i = 0; i < polls; i++) {
        ReadStatus(service, status);
        if (status->dwCurrentState == target)
            return 1;
        Sleep(POLL_PAUSE_MS);
    }
    return 0;
}

// Brings the named service from state `from` to state `to`: checks the
// starting state, sends the stop or the start, and waits within the budget.
// Returns CHANGE_DONE, CHANGE_OTHER or CHANGE_REFUSED.
static int ChangeServiceState(const WCHAR *serviceName, DWORD budgetMs, DWORD from, DWORD to) {
    SERVICE_STATUS_PROCESS status;
    SC_HANDLE manager;
    SC_HANDLE service;
    DWORD polls = budgetMs / POLL_PAUSE_MS;
    int result = CHANGE_REFUSED;

    memset(&status, 0, sizeof(status));
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return CHANGE_REFUSED;
    service = OpenServiceW(manager, serviceName, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        CloseServiceHandle(manager);
        return CHANGE_REFUSED;
    }
    if (ReadStatus(service, &status)) {
        result = CHANGE_OTHER;
        if (status.dwCurrentState == from) {
            if (to == SERVICE_STOPPED) {
                ControlService(service, SERVICE_CONTROL_STOP, (LPSERVICE_STATUS)&status);
                result = WaitForState(service, &status, to, polls) ? CHANGE_DONE : CHANGE_OTHER;
            } else if (StartServiceW(service, 0, NULL)) {
                result = WaitForState(service, &status, to, polls) ? CHANGE_DONE : CHANGE_OTHER;
            } else {
                result = CHANGE_REFUSED;
            }
        }
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int StopServiceAndWait(const WCHAR *serviceName, DWORD budgetMs) {
    return ChangeServiceState(serviceName, budgetMs, SERVICE_RUNNING, SERVICE_STOPPED) == CHANGE_DONE;
}

int StartServiceAndWait(const WCHAR *serviceName, DWORD budgetMs) {
    int result = CHANGE_REFUSED;
    int tries;

    for (tries = 0; tries < START_TRIES && result == CHANGE_REFUSED; tries++) {
        if (tries > 0)
            Sleep(START_RETRY_MS);
        result = ChangeServiceState(serviceName, budgetMs, SERVICE_STOPPED, SERVICE_RUNNING);
    }
    return result == CHANGE_DONE;
}

void RestartSpooler(void) {
    StopServiceAndWait(SPOOLER_SERVICE_NAME, SPOOLER_BUDGET_MS);
    StartServiceAndWait(SPOOLER_SERVICE_NAME, SPOOLER_BUDGET_MS);
    Sleep(RESTART_SETTLE_MS);
}

// Stops the spooler, runs the action, and starts the spooler again. The
// start is sent even when the stop was not seen, so that the spooler is
// never left stopped; nothing happens when the spooler is not running.
void RunWithSpoolerStopped(SpoolerAction action, const WCHAR *argument) {
    SERVICE_STATUS_PROCESS status;
    SC_HANDLE manager;
    SC_HANDLE service;
    int tries;

    memset(&status, 0, sizeof(status));
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL)
        return;
    service = OpenServiceW(manager, SPOOLER_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        CloseServiceHandle(manager);
        return;
    }
    if (ReadStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) {
        ControlService(service, SERVICE_CONTROL_STOP, (LPSERVICE_STATUS)&status);
        WaitForState(service, &status, SERVICE_STOPPED, SPOOLER_POLLS);
        if (action != NULL && argument != NULL) {
            Sleep(ACTION_PAUSE_MS);
            action(argument);
        }
        for (tries = 1; !StartServiceW(service, 0, NULL) && tries < START_TRIES; tries++)
            Sleep(START_RETRY_MS);
        WaitForState(service, &status, SERVICE_RUNNING, SPOOLER_POLLS);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
