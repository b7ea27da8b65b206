// The test-facing side of the simulated service manager.
//
// Every reset machine has the service "Spooler", RUNNING, whose stops and
// starts complete at once. A test can make them take virtual time (the
// service then stays in STOP_PENDING / START_PENDING until the delay has
// passed) or never complete. Access failures of OpenSCManagerW /
// OpenServiceW and failing status queries are injected with sim::FailCall.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A delay that never ends: the service stays in its pending state.
constexpr uint64_t kServiceNeverCompletes = UINT64_MAX;

// True when the named service exists and is in SERVICE_RUNNING (4). A service
// that is stopping, starting or paused does not count as running. Service
// names are compared without regard to case, as the service manager does.
bool ServiceRunning(const std::wstring &name);

// The service's current state (SERVICE_STOPPED 1 .. SERVICE_PAUSED 7), or 0
// when there is no such service.
DWORD ServiceState(const std::wstring &name);

// Puts the service in a state directly (creating it when absent), as if it
// had got there by itself; a stop or start in progress is forgotten.
void SetServiceState(const std::wstring &name, DWORD state);

// Virtual time, in ms, that a stop (ControlService SERVICE_CONTROL_STOP) and
// a start (StartServiceW) take to complete. 0 (the default) completes at
// once; kServiceNeverCompletes never does. Applies to later requests.
void SetServiceStopDelay(const std::wstring &name, uint64_t ms);
void SetServiceStartDelay(const std::wstring &name, uint64_t ms);

// Every ControlService and StartServiceW call that reached a service, in
// order, also the ones the service manager refused.
struct ServiceRequest {
    std::wstring Service;  // the service's name as the manager knows it
    bool Start = false;    // StartServiceW; otherwise ControlService
    DWORD Control = 0;     // the control code (0 for a start)
    uint64_t Time = 0;     // virtual time of the call
    bool Accepted = false; // the call returned TRUE
    DWORD Error = 0;       // its last error when refused
};
const std::vector<ServiceRequest> &ServiceRequests();

// Every handle that OpenSCManagerW and OpenServiceW gave, in order, with the
// access it was opened for.
struct ServiceOpen {
    bool Manager = false;  // OpenSCManagerW; otherwise OpenServiceW
    std::wstring Service;  // the name the service was opened by (services only)
    DWORD Access = 0;      // dwDesiredAccess
    uint64_t Time = 0;
};
const std::vector<ServiceOpen> &ServiceOpens();
// Service manager and service handles open right now (a process's own close
// when it ends).
int OpenServiceHandles();

}  // namespace sim
