// The test-facing side of the simulated print spooler and driver store.
//
// A reset machine's spooler knows no port, monitor, driver, queue or driver
// package. Tests put them in place with the Add* calls, read what the product
// created with the accessors, and shape the spooler's answers with the Set*
// calls. Every winspool call needs the "Spooler" service (sim/services.h) to
// be RUNNING; otherwise it fails with RPC_S_SERVER_UNAVAILABLE (1722), as the
// client side of winspool does when the spooler's RPC server is gone.
//
// The spooler looks names up without regard to case (queues, drivers,
// monitors, ports), as Windows does; the product's own comparisons of the
// names it reads back are its business.
//
// Records are kept as the spooler received them, deep-copied: a null pointer
// of the caller's record is an absent Text, a multi-string is a list.
#pragma once

#include <windef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Text = std::optional<std::wstring>;
using MultiText = std::optional<std::vector<std::wstring>>;

// A delay that never ends: the object is kept but never shows up.
constexpr uint64_t kNeverListed = UINT64_MAX;

// --- Ports -------------------------------------------------------------------

struct SpoolerPort {
    std::wstring Name;
    std::wstring Monitor = L"USB Monitor";
    std::wstring Description = L"Virtual printer port for USB";
    DWORD PortType = 0x0001 | 0x0002;  // PORT_TYPE_WRITE | PORT_TYPE_READ
};
void AddPort(const SpoolerPort &port);
void AddPort(const std::wstring &name);
void RemovePort(const std::wstring &name);
const std::vector<SpoolerPort> &Ports();

// --- Monitors ----------------------------------------------------------------

struct SpoolerMonitor {
    std::wstring Name;
    Text Environment;      // as AddMonitorW got it
    std::wstring DllName;
    uint64_t AddedAt = 0;
};
// A monitor that is already installed. DeleteMonitorW refuses one that a
// port or a driver (its pMonitorName) still uses with
// ERROR_PRINT_MONITOR_IN_USE, and answers ERROR_UNKNOWN_PRINT_MONITOR for a
// name it does not know.
void AddMonitor(const std::wstring &name, const std::wstring &dllName);
// Another program removed it.
void RemoveMonitor(const std::wstring &name);
const std::vector<SpoolerMonitor> &Monitors();
const SpoolerMonitor *FindMonitor(const std::wstring &name);

// --- Printer drivers -----------------------------------------------------------

// The DRIVER_INFO_8W record as AddPrinterDriverW received it, plus where the
// spooler keeps it.
struct PrinterDriver {
    DWORD cVersion = 3;
    Text pName;
    Text pEnvironment;
    Text pDriverPath;
    Text pDataFile;
    Text pConfigFile;
    Text pHelpFile;
    MultiText pDependentFiles;
    Text pMonitorName;
    Text pDefaultDataType;
    MultiText pszzPreviousNames;
    FILETIME ftDriverDate = {0, 0};
    DWORDLONG dwlDriverVersion = 0;
    Text pszMfgName;
    Text pszOEMUrl;
    Text pszHardwareID;
    Text pszProvider;
    Text pszPrintProcessor;
    Text pszVendorSetup;
    MultiText pszzColorProfiles;
    Text pszInfPath;
    DWORD dwPrinterDriverAttributes = 0;
    MultiText pszzCoreDriverDependencies;
    FILETIME ftMinInboxDriverVerDate = {0, 0};
    DWORDLONG dwlMinInboxDriverVerVersion = 0;

    // The print environment the driver belongs to ("Windows x64", ...); empty
    // in AddDriver means the machine's native one.
    std::wstring Environment;
    // EnumPrinterDriversW lists the driver from this virtual time on.
    uint64_t ListedAt = 0;
    uint64_t AddedAt = 0;
};
// A driver that is already installed (listed at once unless ListedAt says
// otherwise). A driver of the same name (any case) in the same environment is
// replaced, as AddPrinterDriverW does; its files are the test's to place (in
// the version folder "3" of PrinterDriverDirectory, where AddPrinterDriver(Ex)W
// copies them).
void AddDriver(const PrinterDriver &driver);
// Every driver the spooler holds, listed or not, in order of addition.
const std::vector<PrinterDriver> &Drivers();
const PrinterDriver *FindDriver(const std::wstring &name);
// Another program removed the drivers of that name (every environment).
void RemoveDriver(const std::wstring &name);
// Drivers accepted by later AddPrinterDriverW calls are listed this long after
// the call (0 at once, kNeverListed never).
void SetDriverListingDelay(uint64_t ms);

// --- Print queues ----------------------------------------------------------------

struct PrintQueue {
    std::wstring pPrinterName;
    Text pShareName;
    std::wstring pPortName;
    std::wstring pDriverName;
    Text pComment;
    Text pLocation;
    Text pSepFile;
    std::wstring pPrintProcessor = L"WinPrint";
    std::wstring pDatatype = L"RAW";
    Text pParameters;
    DWORD Attributes = 0x00000040;  // PRINTER_ATTRIBUTE_LOCAL
    DWORD Priority = 0;
    DWORD DefaultPriority = 0;
    DWORD StartTime = 0;
    DWORD UntilTime = 0;
    DWORD Status = 0;
    DWORD cJobs = 0;
    DWORD AveragePPM = 0;

    // OpenPrinterW and EnumPrintersW see the queue from this virtual time on.
    uint64_t ListedAt = 0;
    uint64_t AddedAt = 0;
    bool AddedByPnp = false;
};
// A queue that already exists (its driver and port are not checked).
void AddQueue(const PrintQueue &queue);
// Another program deleted it.
void RemoveQueue(const std::wstring &name);
const std::vector<PrintQueue> &Queues();
const PrintQueue *FindQueue(const std::wstring &name);
// Queues added by later AddPrinterW calls show up this long after the call.
void SetQueueListingDelay(uint64_t ms);
// Printer handles opened and not closed yet.
int OpenPrinterHandles();

// Every OpenPrinterW call that reached the spooler, with the defaults given.
struct OpenPrinterRequest {
    Text Name;
    bool DefaultsGiven = false;
    Text Datatype;
    bool DevModeGiven = false;
    DWORD DesiredAccess = 0;
    bool Opened = false;
    uint64_t Time = 0;
};
const std::vector<OpenPrinterRequest> &OpenPrinterRequests();

// Every SetPrinterW call that reached a queue.
struct SetPrinterRequest {
    std::wstring Queue;
    DWORD Level = 0;
    DWORD Command = 0;
    std::wstring PortName;  // level 2: the pPortName given
    uint64_t Time = 0;
};
const std::vector<SetPrinterRequest> &SetPrinterRequests();

// --- Driver store ------------------------------------------------------------------

struct DriverPackage {
    std::wstring SourceInf;    // the INF path UploadPrinterDriverPackageW got
    std::wstring StoreInf;     // its copy in the driver store
    std::wstring Environment;  // the environment it was uploaded for
    DWORD Flags = 0;
    uint64_t Time = 0;
};
// Packages in the driver store, in order of arrival (one per store path:
// another version of a package, another INF, has a folder of its own).
// UploadPrinterDriverPackageW also records the package as the spooler does,
// in the registry: PackageInstallation\<environment>\DriverPackages\<store
// folder> with "DriverStorePath" (REG_MULTI_SZ); DeletePrinterDriverPackageW
// of that environment's package removes that key and the store folder.
// (AddDriverPackage leaves the key to the test.)
const std::vector<DriverPackage> &DriverPackages();
// The registry key (below HKLM) of a package's record.
std::wstring DriverPackageKey(const std::wstring &storeInf, const std::wstring &environment = L"");
// Every successful upload, also repeated ones of the same package.
const std::vector<DriverPackage> &Uploads();
// A package already in the store; returns its store path.
std::wstring AddDriverPackage(const std::wstring &sourceInf);
// The hash part of the store folder ("crvnv6.inf_amd64_<hash>") of the first
// package of an INF name on the machine; default "1a2b3c4d". Another package
// of that name uploaded later gets a hash of its INF.
void SetDriverStoreHash(const std::wstring &hash);
// The driver-store path a package of this INF gets for this environment
// (empty: the native one).
std::wstring DriverStorePath(const std::wstring &sourceInf, const std::wstring &environment = L"");

// --- Environments --------------------------------------------------------------------

// A null or empty environment in a winspool call (GetPrinterDriverDirectoryW,
// EnumPrinterDriversW, DeletePrinterDriverExW, DeleteMonitorW, the records of
// AddPrinterDriverW and AddMonitorW, UploadPrinterDriverPackageW,
// DeletePrinterDriverPackageW) means "the current environment of the calling
// application". For a native program that is the machine's environment. For a
// WOW64 program it is "Windows NT x86" (true, the default), or, with false,
// the machine's environment again: the documentation leaves room for both.
// Whoever calls, AddPrinterW needs a driver of the machine's environment and
// AddMonitorW the machine's environment (ERROR_INVALID_ENVIRONMENT for any
// other) with the DLL in the real system directory.
void SetWow64NullEnvironmentIsX86(bool x86);

// Every call that takes an environment, with what it was given (an absent
// Given is a null pointer) and the environment the spooler took it for
// (empty: none, the call failed with ERROR_INVALID_ENVIRONMENT).
struct EnvironmentArgument {
    std::string Api;
    Text Given;
    std::wstring Resolved;
    uint64_t Time = 0;
};
const std::vector<EnvironmentArgument> &EnvironmentArguments();

// The print environment of the machine's native processor architecture
// ("Windows x64", "Windows NT x86", "Windows ARM", "Windows ARM64"; empty for
// any other architecture).
std::wstring NativePrintEnvironment();
// The printer-driver directory of an environment (empty: the native one), as
// GetPrinterDriverDirectoryW gives it, e.g.
// "C:\Windows\system32\spool\DRIVERS\x64".
std::wstring PrinterDriverDirectory(const std::wstring &environment = L"");

}  // namespace sim
