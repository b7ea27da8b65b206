// The simulated Plug and Play manager: locating the root of the device tree,
// re-enumeration requests, and driver updates for the printers a test
// declared as plugged in (sim/pnp.h).
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>

#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/core.h"
#include "sim/inf.h"
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

// The queue Plug and Play made for a device: one on its port with its
// driver, or of its name on its port.
bool HasQueueOfItsOwn(const sim::PnpPrinter &printer) {
    for (const sim::PrintQueue &q : sim::Queues())
        if (SameText(q.pPortName, printer.PortName) &&
            (SameText(q.pDriverName, printer.DriverName) || SameText(q.pPrinterName, printer.QueueName)))
            return true;
    return false;
}

// The name Windows gives a device's queue: the model's, or, where a queue of
// that name serves another device, "NAME (Copy N)" with the first N free
// (as Windows 10 and 11 name a second printer of one model).
std::wstring QueueNameFor(const sim::PnpPrinter &printer) {
    if (!sim::FindQueue(printer.QueueName))
        return printer.QueueName;
    for (int n = 1;; n++) {
        std::wstring name = printer.QueueName + L" (Copy " + std::to_wstring(n) + L")";
        if (!sim::FindQueue(name))
            return name;
    }
}

// What the installation leaves behind: the driver from the package, with
// the package's DriverVer (of the machine's own environment, as
// sim::AddDriver makes it, whatever process asked), replacing one of the
// same name installed before; then the device's queue on its port, unless it
// has one.
void CompleteInstallation(const sim::PnpPrinter &printer, const std::wstring &storeInf) {
    sim::PrinterDriver d;
    if (const sim::PrinterDriver *installed = sim::FindDriver(printer.DriverName))
        d = *installed;
    d.pName = printer.DriverName;
    d.pDriverPath = std::wstring(L"crvndrv6.dll");
    d.pDataFile = std::wstring(L"crvndrv6.dat");
    d.pConfigFile = std::wstring(L"crvndrv6ui.dll");
    d.pDefaultDataType = std::wstring(L"RAW");
    d.pszHardwareID = printer.HardwareId;
    d.pszInfPath = storeInf;
    d.ftDriverDate = FILETIME{0, 0};
    d.dwlDriverVersion = 0;
    sim::inf::ReadDriverVer(storeInf, &d.ftDriverDate, &d.dwlDriverVersion);
    d.Environment.clear();
    d.AddedAt = 0;
    d.ListedAt = 0;
    sim::AddDriver(d);
    if (!HasQueueOfItsOwn(printer)) {
        sim::PrintQueue q;
        q.pPrinterName = QueueNameFor(printer);
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

// Whether the package's driver ranks above the device's installed one: a
// later DriverVer date, or the same date and a higher version. A device
// without a driver takes any.
bool BetterThanInstalled(const sim::PnpPrinter &printer, const std::wstring &storeInf) {
    const sim::PrinterDriver *installed = sim::FindDriver(printer.DriverName);
    FILETIME date = {0, 0};
    DWORDLONG version = 0;
    if (!installed)
        return true;
    sim::inf::ReadDriverVer(storeInf, &date, &version);
    uint64_t packageDate = (uint64_t(date.dwHighDateTime) << 32) | date.dwLowDateTime;
    uint64_t installedDate = (uint64_t(installed->ftDriverDate.dwHighDateTime) << 32) |
                             installed->ftDriverDate.dwLowDateTime;
    return packageDate > installedDate || (packageDate == installedDate && version > installed->dwlDriverVersion);
}

// The package Plug and Play takes from the driver store for a device that
// arrives: of the machine's own print environment, the one of the latest
// DriverVer (date, then version), the newest of equals; null when there is
// none (the store holds only the product's packages).
const sim::DriverPackage *StagedPackage() {
    const sim::DriverPackage *best = nullptr;
    uint64_t bestDate = 0;
    DWORDLONG bestVersion = 0;
    for (auto &p : sim::DriverPackages()) {
        if (!SameText(p.Environment, sim::NativePrintEnvironment()))
            continue;
        FILETIME date = {0, 0};
        DWORDLONG version = 0;
        sim::inf::ReadDriverVer(p.StoreInf, &date, &version);
        uint64_t when = (uint64_t(date.dwHighDateTime) << 32) | date.dwLowDateTime;
        if (!best || when > bestDate || (when == bestDate && version >= bestVersion)) {
            best = &p;
            bestDate = when;
            bestVersion = version;
        }
    }
    return best;
}

}  // namespace

namespace sim {

void PlugPrinter(const PnpPrinter &printer) {
    auto &printers = P().Printers;
    for (auto it = printers.begin(); it != printers.end(); ++it) {
        if (SameText(it->HardwareId, printer.HardwareId) && SameText(it->PortName, printer.PortName)) {
            printers.erase(it);
            break;
        }
    }
    printers.push_back(printer);
    // Arrival: a package already staged is installed without any program.
    if (const DriverPackage *package = StagedPackage())
        InstallFromStore(printer, package->StoreInf);
}

void UnplugPrinter(const std::wstring &hardwareId) {
    auto &printers = P().Printers;
    for (auto it = printers.begin(); it != printers.end();)
        it = SameText(it->HardwareId, hardwareId) ? printers.erase(it) : it + 1;
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
                if (!HasQueueOfItsOwn(printer))
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
    } else if (!(InstallFlags & INSTALLFLAG_FORCE) && !BetterThanInstalled(*printer, package->StoreInf)) {
        // Without INSTALLFLAG_FORCE only a better driver is installed.
        error = ERROR_NO_MORE_ITEMS;
    }
    if (error) {
        update.Error = error;
        P().Updates.push_back(update);
        simk::SetError(error);
        return FALSE;
    }

    // Every device of that hardware id gets the driver.
    bool restart = false;
    std::vector<sim::PnpPrinter> matching;
    for (const sim::PnpPrinter &p : P().Printers)
        if (SameText(p.HardwareId, HardwareId))
            matching.push_back(p);
    for (const sim::PnpPrinter &p : matching) {
        restart = restart || p.RebootRequired;
        InstallFromStore(p, package->StoreInf);
    }
    if (bRebootRequired)
        *bRebootRequired = restart ? TRUE : FALSE;
    update.Result = TRUE;
    P().Updates.push_back(update);
    return TRUE;
}
