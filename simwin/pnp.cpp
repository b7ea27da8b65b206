// The simulated Plug and Play manager: locating the root of the device tree,
// re-enumeration requests, and driver updates for the printers a test
// declared as plugged in (sim/pnp.h).
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>

#include <cwctype>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/core.h"
#include "sim/pnp.h"
#include "sim/spooler.h"

namespace {

using simk::SameText;

struct PnpState {
    std::vector<sim::PnpPrinter> Printers;
    std::vector<sim::Reenumeration> Reenumerations;
    std::vector<sim::DriverUpdate> Updates;
};

PnpState &P() {
    static PnpState state;
    return state;
}

simk::Registrar registrar([] { simk::OnReset([] { P() = PnpState(); }); });

const sim::PnpPrinter *FindPrinter(const std::wstring &hardwareId) {
    for (auto &p : P().Printers)
        if (SameText(p.HardwareId, hardwareId))
            return &p;
    return nullptr;
}

// The package uploaded from this INF (or the store copy named by it).
const sim::DriverPackage *UploadedPackage(const std::wstring &infPath) {
    for (auto &p : sim::DriverPackages())
        if (SameText(p.SourceInf, infPath) || SameText(p.StoreInf, infPath))
            return &p;
    return nullptr;
}

// What the installation leaves behind: the driver from the package (of the
// machine's own environment, as sim::AddDriver makes it, whatever process
// asked), then the queue on the printer's port.
void CompleteInstallation(const sim::PnpPrinter &printer, const std::wstring &storeInf) {
    if (!sim::FindDriver(printer.DriverName)) {
        sim::PrinterDriver d;
        d.pName = printer.DriverName;
        d.pDriverPath = std::wstring(L"crvndrv6.dll");
        d.pDataFile = std::wstring(L"crvndrv6.dat");
        d.pConfigFile = std::wstring(L"crvndrv6ui.dll");
        d.pDefaultDataType = std::wstring(L"RAW");
        d.pszHardwareID = printer.HardwareId;
        d.pszInfPath = storeInf;
        sim::AddDriver(d);
    }
    if (!sim::FindQueue(printer.QueueName)) {
        sim::PrintQueue q;
        q.pPrinterName = printer.QueueName;
        q.pPortName = printer.PortName;
        q.pDriverName = printer.DriverName;
        q.AddedAt = simk::Now();
        q.AddedByPnp = true;
        sim::AddQueue(q);
    }
}

// Plug and Play's part in an installation from the driver store: the
// driver and queue appear Delay ms from now (or never).
void InstallFromStore(const sim::PnpPrinter &printer, const std::wstring &storeInf) {
    if (printer.Delay == sim::kPnpNever)
        return;
    if (printer.Delay == 0)
        CompleteInstallation(printer, storeInf);
    else
        sim::At(simk::Now() + printer.Delay, [printer, storeInf] { CompleteInstallation(printer, storeInf); });
}

// The newest package the driver store holds for the machine's own print
// environment; null when there is none.
const sim::DriverPackage *StagedPackage() {
    const sim::DriverPackage *newest = nullptr;
    for (auto &p : sim::DriverPackages())
        if (SameText(p.Environment, sim::NativePrintEnvironment()))
            newest = &p;
    return newest;
}

}  // namespace

namespace sim {

void PlugPrinter(const PnpPrinter &printer) {
    UnplugPrinter(printer.HardwareId);
    P().Printers.push_back(printer);
    // Arrival: a package already staged is installed without any program.
    if (const DriverPackage *package = StagedPackage())
        InstallFromStore(printer, package->StoreInf);
}

void UnplugPrinter(const std::wstring &hardwareId) {
    auto &printers = P().Printers;
    for (auto it = printers.begin(); it != printers.end(); ++it) {
        if (SameText(it->HardwareId, hardwareId)) {
            printers.erase(it);
            return;
        }
    }
}

const std::vector<Reenumeration> &Reenumerations() { return P().Reenumerations; }

const std::vector<DriverUpdate> &DriverUpdates() { return P().Updates; }

}  // namespace sim

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
    SIM_ENTER("CM_Locate_DevNodeW", CR_FAILURE);
    if (!pdnDevInst)
        return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags & ~0x00000007u)
        return CR_INVALID_FLAG;
    // No id (or the root's own) names the root of the device tree; the
    // printers' own nodes are not located through this simulation.
    if (pDeviceID && *pDeviceID && !SameText(pDeviceID, L"HTREE\\ROOT\\0"))
        return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = sim::kRootDevInst;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    SIM_ENTER("CM_Reenumerate_DevNode", CR_FAILURE);
    if (dnDevInst != sim::kRootDevInst)
        return CR_INVALID_DEVNODE;
    if (ulFlags & ~0x00000007u)
        return CR_INVALID_FLAG;
    P().Reenumerations.push_back({dnDevInst, ulFlags, simk::Now()});
    // Printers plugged in before their package was staged were found without
    // a driver; asked to, Plug and Play tries their installation again.
    if (ulFlags & CM_REENUMERATE_RETRY_INSTALLATION) {
        if (const sim::DriverPackage *package = StagedPackage()) {
            for (const sim::PnpPrinter &printer : P().Printers)
                if (sim::FindQueue(printer.QueueName) == nullptr)
                    InstallFromStore(printer, package->StoreInf);
        }
    }
    return CR_SUCCESS;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired) {
    SIM_ENTER("UpdateDriverForPlugAndPlayDevicesW", FALSE);
    (void)hwndParent;
    sim::DriverUpdate update;
    update.HardwareId = HardwareId ? HardwareId : L"";
    update.InfPath = FullInfPath ? FullInfPath : L"";
    update.InstallFlags = InstallFlags;
    update.RebootPointerGiven = bRebootRequired != nullptr;
    update.Time = simk::Now();
    update.Process = simk::CurrentProcessId();

    DWORD error = 0;
    const sim::PnpPrinter *printer = nullptr;
    const sim::DriverPackage *package = nullptr;
    if (simk::IsWow64()) {
        // A 32-bit program on 64-bit Windows may not install drivers; the
        // program's x64 build, in a process of its own, may.
        error = ERROR_IN_WOW64;
    } else if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath || (InstallFlags & ~0x00000007u)) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!(printer = FindPrinter(HardwareId)) || !(package = UploadedPackage(FullInfPath))) {
        error = ERROR_NO_SUCH_DEVINST;
    }
    if (error) {
        update.Error = error;
        P().Updates.push_back(update);
        simk::SetError(error);
        return FALSE;
    }

    if (bRebootRequired)
        *bRebootRequired = printer->RebootRequired ? TRUE : FALSE;
    update.Result = TRUE;
    P().Updates.push_back(update);
    InstallFromStore(*printer, package->StoreInf);
    return TRUE;
}
