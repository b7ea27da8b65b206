// The simulated service control manager: a few services with Windows' state
// machine, and the handles and calls of advapi32 that reach them.
//
// A stop or start that takes time leaves the service in STOP_PENDING or
// START_PENDING until the virtual clock reaches the moment it completes; the
// state is brought up to date whenever somebody looks at it, so no clock
// event is needed.
#include <windows.h>
#include <winsvc.h>

#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/services.h"

// Error codes the service manager gives that the product itself never names.
#ifndef ERROR_INVALID_SERVICE_CONTROL
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#endif
#ifndef ERROR_DATABASE_DOES_NOT_EXIST
#define ERROR_DATABASE_DOES_NOT_EXIST 1065L
#endif
#ifndef RPC_X_NULL_REF_POINTER
#define RPC_X_NULL_REF_POINTER 1780L
#endif

namespace {

struct Service {
    std::wstring Name;
    DWORD State = SERVICE_STOPPED;
    DWORD Target = 0;                     // state a pending stop/start ends in
    uint64_t CompleteAt = simk::kForever; // when it does
    uint64_t StopDelay = 0;
    uint64_t StartDelay = 0;
    DWORD ProcessId = 0;
};

struct ScHandle {
    bool Manager = false;
    std::wstring Key;  // the service's key (services only)
    DWORD Access = 0;
    DWORD Pid = 0;     // the process that opened it
};

std::map<std::wstring, Service> services;   // by upper-cased name
std::map<void *, ScHandle> handles;
std::vector<sim::ServiceRequest> requests;
std::vector<sim::ServiceOpen> opens;
DWORD nextServicePid = 2000;

std::wstring Key(const std::wstring &name) {
    std::wstring k = name;
    for (auto &c : k)
        c = (wchar_t)towupper(c);
    return k;
}

Service &AddService(const std::wstring &name, DWORD state) {
    Service &s = services[Key(name)];
    s.Name = name;
    s.State = state;
    s.Target = 0;
    s.CompleteAt = simk::kForever;
    s.ProcessId = state == SERVICE_STOPPED ? 0 : nextServicePid++;
    return s;
}

void Settle(Service &s) {
    if ((s.State == SERVICE_STOP_PENDING || s.State == SERVICE_START_PENDING) && s.Target != 0 &&
        s.CompleteAt != simk::kForever && simk::Now() >= s.CompleteAt) {
        s.State = s.Target;
        s.Target = 0;
        s.CompleteAt = simk::kForever;
        if (s.State == SERVICE_STOPPED)
            s.ProcessId = 0;
    }
}

Service *FindService(const std::wstring &name) {
    auto it = services.find(Key(name));
    if (it == services.end())
        return nullptr;
    Settle(it->second);
    return &it->second;
}

void ResetServices() {
    services.clear();
    handles.clear();
    requests.clear();
    opens.clear();
    nextServicePid = 2000;
    AddService(L"Spooler", SERVICE_RUNNING);
}

simk::Registrar registrar([] {
    simk::OnReset(ResetServices);
    simk::OnProcessExit([](DWORD pid) {
        for (auto it = handles.begin(); it != handles.end();) {
            if (it->second.Pid == pid)
                it = handles.erase(it);
            else
                ++it;
        }
    });
    ResetServices();
});

// The service behind a service handle, with the access the caller needs;
// sets the last error and returns null otherwise.
Service *ServiceFor(SC_HANDLE h, DWORD access) {
    auto it = handles.find((void *)h);
    if (h == NULL || it == handles.end() || it->second.Manager) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((it->second.Access & access) != access) {
        simk::SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    Service *s = FindService(it->second.Key);
    if (s == nullptr)  // deleted meanwhile
        simk::SetError(ERROR_INVALID_HANDLE);
    return s;
}

void FillStatus(const Service &s, SERVICE_STATUS *st) {
    st->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st->dwCurrentState = s.State;
    st->dwControlsAccepted = s.State == SERVICE_RUNNING || s.State == SERVICE_PAUSED ? SERVICE_ACCEPT_STOP : 0;
    st->dwWin32ExitCode = NO_ERROR;
    st->dwServiceSpecificExitCode = 0;
    st->dwCheckPoint = 0;
    st->dwWaitHint = 0;
    if (s.State == SERVICE_STOP_PENDING || s.State == SERVICE_START_PENDING) {
        st->dwCheckPoint = 1;
        st->dwWaitHint = 2000;
    }
}

// Starts a stop or a start: pending now, the target state after the delay.
void BeginTransition(Service &s, DWORD pending, DWORD target, uint64_t delay) {
    if (delay == 0) {
        s.State = target;
        s.Target = 0;
        s.CompleteAt = simk::kForever;
    } else {
        s.State = pending;
        s.Target = target;
        s.CompleteAt = delay == sim::kServiceNeverCompletes ? simk::kForever : simk::Now() + delay;
    }
    if (target == SERVICE_RUNNING && s.ProcessId == 0)
        s.ProcessId = nextServicePid++;
    if (s.State == SERVICE_STOPPED)
        s.ProcessId = 0;
}

BOOL Record(const Service &s, bool start, DWORD control, DWORD error) {
    sim::ServiceRequest r;
    r.Service = s.Name;
    r.Start = start;
    r.Control = control;
    r.Time = simk::Now();
    r.Accepted = error == 0;
    r.Error = error;
    requests.push_back(r);
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    return TRUE;
}

void RecordOpen(bool manager, const std::wstring &service, DWORD access) {
    sim::ServiceOpen o;
    o.Manager = manager;
    o.Service = service;
    o.Access = access;
    o.Time = simk::Now();
    opens.push_back(o);
}

}  // namespace

// --- advapi32 -------------------------------------------------------------

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    SIM_ENTER("OpenSCManagerW", NULL);
    // Only the local machine: a null or empty name.
    if (lpMachineName != NULL && lpMachineName[0] != 0) {
        simk::SetError(RPC_S_SERVER_UNAVAILABLE);
        return NULL;
    }
    if (lpDatabaseName != NULL && Key(lpDatabaseName) != Key(SERVICES_ACTIVE_DATABASEW)) {
        simk::SetError(ERROR_DATABASE_DOES_NOT_EXIST);
        return NULL;
    }
    void *h = simk::NewHandleValue();
    ScHandle rec;
    rec.Manager = true;
    rec.Access = dwDesiredAccess;
    rec.Pid = simk::CurrentProcessId();
    handles[h] = rec;
    RecordOpen(true, std::wstring(), dwDesiredAccess);
    simk::SetError(NO_ERROR);
    return (SC_HANDLE)h;
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    SIM_ENTER("OpenServiceW", NULL);
    auto it = handles.find((void *)hSCManager);
    if (hSCManager == NULL || it == handles.end() || !it->second.Manager) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    if (lpServiceName == NULL || lpServiceName[0] == 0) {
        simk::SetError(ERROR_INVALID_NAME);
        return NULL;
    }
    if (FindService(lpServiceName) == nullptr) {
        simk::SetError(ERROR_SERVICE_DOES_NOT_EXIST);
        return NULL;
    }
    void *h = simk::NewHandleValue();
    ScHandle rec;
    rec.Key = Key(lpServiceName);
    rec.Access = dwDesiredAccess;
    rec.Pid = simk::CurrentProcessId();
    handles[h] = rec;
    RecordOpen(false, lpServiceName, dwDesiredAccess);
    simk::SetError(NO_ERROR);
    return (SC_HANDLE)h;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    SIM_ENTER("CloseServiceHandle", FALSE);
    auto it = handles.find((void *)hSCObject);
    if (hSCObject == NULL || it == handles.end()) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    handles.erase(it);
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    SIM_ENTER("QueryServiceStatus", FALSE);
    Service *s = ServiceFor(hService, SERVICE_QUERY_STATUS);
    if (s == nullptr)
        return FALSE;
    if (lpServiceStatus == NULL) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    FillStatus(*s, lpServiceStatus);
    return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
    SIM_ENTER("QueryServiceStatusEx", FALSE);
    Service *s = ServiceFor(hService, SERVICE_QUERY_STATUS);
    if (s == nullptr)
        return FALSE;
    if (InfoLevel != SC_STATUS_PROCESS_INFO) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (pcbBytesNeeded == NULL) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (lpBuffer == NULL || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SERVICE_STATUS st;
    FillStatus(*s, &st);
    SERVICE_STATUS_PROCESS sp;
    sp.dwServiceType = st.dwServiceType;
    sp.dwCurrentState = st.dwCurrentState;
    sp.dwControlsAccepted = st.dwControlsAccepted;
    sp.dwWin32ExitCode = st.dwWin32ExitCode;
    sp.dwServiceSpecificExitCode = st.dwServiceSpecificExitCode;
    sp.dwCheckPoint = st.dwCheckPoint;
    sp.dwWaitHint = st.dwWaitHint;
    sp.dwProcessId = s->ProcessId;
    sp.dwServiceFlags = 0;
    __builtin_memcpy(lpBuffer, &sp, sizeof(sp));
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    SIM_ENTER("ControlService", FALSE);
    DWORD access = SERVICE_INTERROGATE;
    if (dwControl == SERVICE_CONTROL_STOP)
        access = SERVICE_STOP;
    else if (dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE)
        access = SERVICE_PAUSE_CONTINUE;
    Service *s = ServiceFor(hService, access);
    if (s == nullptr)
        return FALSE;
    if (lpServiceStatus == NULL) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    // The manager's checks in its order: a service that is not running, a
    // service in a pending state, a control the service does not accept. On
    // these three refusals the caller's status record is still filled.
    DWORD error = 0;
    if (s->State == SERVICE_STOPPED)
        error = ERROR_SERVICE_NOT_ACTIVE;
    else if (s->State != SERVICE_RUNNING && s->State != SERVICE_PAUSED)
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    else if (dwControl != SERVICE_CONTROL_STOP && dwControl != SERVICE_CONTROL_INTERROGATE)
        error = ERROR_INVALID_SERVICE_CONTROL;
    if (error == 0 && dwControl == SERVICE_CONTROL_STOP)
        BeginTransition(*s, SERVICE_STOP_PENDING, SERVICE_STOPPED, s->StopDelay);
    FillStatus(*s, lpServiceStatus);
    return Record(*s, false, dwControl, error);
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors) {
    SIM_ENTER("StartServiceW", FALSE);
    Service *s = ServiceFor(hService, SERVICE_START);
    if (s == nullptr)
        return FALSE;
    if (dwNumServiceArgs != 0 && lpServiceArgVectors == NULL) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Any state but STOPPED means an instance of the service still exists.
    DWORD error = s->State == SERVICE_STOPPED ? 0 : ERROR_SERVICE_ALREADY_RUNNING;
    if (error == 0)
        BeginTransition(*s, SERVICE_START_PENDING, SERVICE_RUNNING, s->StartDelay);
    return Record(*s, true, 0, error);
}

// --- test API ---------------------------------------------------------------

namespace sim {

bool ServiceRunning(const std::wstring &name) {
    Service *s = FindService(name);
    return s != nullptr && s->State == SERVICE_RUNNING;
}

DWORD ServiceState(const std::wstring &name) {
    Service *s = FindService(name);
    return s == nullptr ? 0 : s->State;
}

void SetServiceState(const std::wstring &name, DWORD state) {
    Service *s = FindService(name);
    if (s == nullptr) {
        AddService(name, state);
        return;
    }
    s->State = state;
    s->Target = 0;
    s->CompleteAt = simk::kForever;
    if (state == SERVICE_STOPPED)
        s->ProcessId = 0;
    else if (s->ProcessId == 0)
        s->ProcessId = nextServicePid++;
}

void SetServiceStopDelay(const std::wstring &name, uint64_t ms) {
    Service *s = FindService(name);
    if (s == nullptr)
        s = &AddService(name, SERVICE_STOPPED);
    s->StopDelay = ms;
}

void SetServiceStartDelay(const std::wstring &name, uint64_t ms) {
    Service *s = FindService(name);
    if (s == nullptr)
        s = &AddService(name, SERVICE_STOPPED);
    s->StartDelay = ms;
}

const std::vector<ServiceRequest> &ServiceRequests() { return requests; }
const std::vector<ServiceOpen> &ServiceOpens() { return opens; }

int OpenServiceHandles() { return (int)handles.size(); }

}  // namespace sim
