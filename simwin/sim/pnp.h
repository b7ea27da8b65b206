// The test-facing side of the simulated Plug and Play manager
// (CM_Locate_DevNodeW, CM_Reenumerate_DevNode, UpdateDriverForPlugAndPlayDevicesW).
//
// Plug and Play installs a printer only as the test declares it: a plugged
// printer is a hardware id together with the driver and queue that an
// installation from an uploaded package produces for it, where and when.
// Such an installation comes of UpdateDriverForPlugAndPlayDevicesW, or of the
// printer's arrival when the driver store already holds a package for the
// machine's own print environment (a staged package). A re-enumeration is
// only recorded.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// A delay that never ends: the installation is accepted but nothing appears.
constexpr uint64_t kPnpNever = UINT64_MAX;

struct PnpPrinter {
    std::wstring HardwareId;   // compared without regard to case
    std::wstring DriverName;   // the driver the package's INF installs for it
    std::wstring QueueName;    // the queue Plug and Play creates ("Corvane MODEL")
    std::wstring PortName;     // the port the queue is put on
    uint64_t Delay = 0;        // after UpdateDriverForPlugAndPlayDevicesW, or kPnpNever
    // Installing its driver needs a restart: UpdateDriverForPlugAndPlayDevicesW
    // says so through bRebootRequired (with none, Windows would ask the user).
    bool RebootRequired = false;
};
// Plugs a printer in (a second one of the same hardware id on another port
// is a second device). UpdateDriverForPlugAndPlayDevicesW for its hardware id,
// with an INF whose package was uploaded to the driver store, installs the
// package's driver (replacing one of that name, with the INF's DriverVer) and
// the device's queue (unless a queue on its port uses its driver or bears its
// name; "NAME (Copy N)" when the name is taken) Delay ms later, on every
// device of the id; without INSTALLFLAG_FORCE only a better driver than the
// one installed (ERROR_NO_MORE_ITEMS otherwise). So does the arrival itself
// when a package is staged for the native environment (the best-ranked such
// package; the store holds only the product's).
void PlugPrinter(const PnpPrinter &printer);
// Unplugs every device of that hardware id.
void UnplugPrinter(const std::wstring &hardwareId);

// Every CM_Reenumerate_DevNode call.
struct Reenumeration {
    DWORD DevInst = 0;
    ULONG Flags = 0;   // CM_REENUMERATE_NORMAL 0, CM_REENUMERATE_SYNCHRONOUS 1, ...
    uint64_t Time = 0;
};
const std::vector<Reenumeration> &Reenumerations();

// Every UpdateDriverForPlugAndPlayDevicesW call. From a WOW64 process it fails
// at once with ERROR_IN_WOW64 (0xE0000235); a process of the program's x64
// build (sim::kProgramImage64) is native and may make it. CM_Locate_DevNodeW
// and CM_Reenumerate_DevNode work the same for every caller.
struct DriverUpdate {
    std::wstring HardwareId;
    std::wstring InfPath;
    DWORD InstallFlags = 0;
    bool RebootPointerGiven = false;
    BOOL Result = FALSE;
    DWORD Error = 0;     // its last error when it failed
    uint64_t Time = 0;
    DWORD Process = 0;   // the calling process (1: the test's own)
};
const std::vector<DriverUpdate> &DriverUpdates();

// The device instance CM_Locate_DevNodeW gives for the root of the tree.
constexpr DWORD kRootDevInst = 1;

}  // namespace sim
