// The simulated print spooler (winspool): ports, monitors, printer drivers,
// print queues, the printer-driver directory and the driver store.
//
// State is plain lists of records kept as the spooler received them; every
// enumeration packs its records, followed by their strings, into the caller's
// buffer, so that pointers into it live exactly as long as that buffer. Names
// are looked up without regard to case, as the spooler does.
#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/registry.h"
#include "sim/services.h"
#include "sim/spooler.h"

// Error codes of the spooler that the product never names.
#ifndef ERROR_UNKNOWN_PORT
#define ERROR_UNKNOWN_PORT 1796L
#endif
#ifndef ERROR_UNKNOWN_PRINTPROCESSOR
#define ERROR_UNKNOWN_PRINTPROCESSOR 1798L
#endif
#ifndef RPC_X_NULL_REF_POINTER
#define RPC_X_NULL_REF_POINTER 1780L
#endif

namespace {

struct Spooler {
    std::vector<sim::SpoolerPort> Ports;
    std::vector<sim::SpoolerMonitor> Monitors;
    std::vector<sim::PrinterDriver> Drivers;
    std::vector<sim::PrintQueue> Queues;
    std::vector<sim::SetPrinterRequest> SetPrinterRequests;
    std::vector<sim::OpenPrinterRequest> OpenPrinterRequests;
    std::vector<sim::DriverPackage> Packages;
    std::vector<sim::DriverPackage> Uploads;
    std::vector<sim::EnvironmentArgument> EnvironmentArguments;
    std::map<HANDLE, std::wstring> Handles;  // printer handle -> queue name ("" = server)
    uint64_t DriverListingDelay = 0;
    uint64_t QueueListingDelay = 0;
    std::wstring StoreHash = L"1a2b3c4d";
    bool Wow64NullEnvironmentIsX86 = true;
};

Spooler &S() {
    static Spooler spooler;
    return spooler;
}

simk::Registrar registrar([] { simk::OnReset([] { S() = Spooler(); }); });

using simk::Lower;

bool Listed(uint64_t listedAt) { return listedAt != sim::kNeverListed && simk::Now() >= listedAt; }

uint64_t After(uint64_t delay) { return delay == sim::kNeverListed ? sim::kNeverListed : simk::Now() + delay; }

// Every call needs the spooler's RPC server.
bool SpoolerUp() {
    if (sim::ServiceRunning(L"Spooler"))
        return true;
    simk::SetError(RPC_S_SERVER_UNAVAILABLE);
    return false;
}

// --- Environments ------------------------------------------------------------

struct EnvironmentInfo {
    const wchar_t *Name;
    const wchar_t *Directory;  // under spool\DRIVERS
    const wchar_t *StoreArch;  // in driver-store folder names
    WORD Architecture;
};

const EnvironmentInfo kEnvironments[] = {
    {L"Windows NT x86", L"W32X86", L"x86", PROCESSOR_ARCHITECTURE_INTEL},
    {L"Windows x64", L"x64", L"amd64", PROCESSOR_ARCHITECTURE_AMD64},
    {L"Windows ARM", L"ARM", L"arm", PROCESSOR_ARCHITECTURE_ARM},
    {L"Windows ARM64", L"ARM64", L"arm64", PROCESSOR_ARCHITECTURE_ARM64},
};

const EnvironmentInfo *NativeEnvironment() {
    WORD arch = simk::NativeArchitecture();
    for (auto &e : kEnvironments)
        if (e.Architecture == arch)
            return &e;
    return nullptr;
}

// The environment of the calling program: "Windows NT x86" for a WOW64
// process (unless the test says otherwise), the machine's own for a native
// one.
const EnvironmentInfo *CallerEnvironment() {
    if (simk::IsWow64() && S().Wow64NullEnvironmentIsX86)
        return &kEnvironments[0];
    return NativeEnvironment();
}

// Null or empty: the current environment of the calling program. Sets
// ERROR_INVALID_ENVIRONMENT when there is none of that name. Every call that
// takes an environment is recorded with what it was given.
const EnvironmentInfo *ResolveEnvironment(const char *api, const wchar_t *name) {
    const EnvironmentInfo *env = nullptr;
    if (!name || !*name) {
        env = CallerEnvironment();
    } else {
        for (auto &e : kEnvironments)
            if (simk::SameText(e.Name, name))
                env = &e;
    }
    if (!env)
        simk::SetError(ERROR_INVALID_ENVIRONMENT);
    sim::EnvironmentArgument arg;
    arg.Api = api;
    arg.Given = name ? sim::Text(std::wstring(name)) : sim::Text();
    arg.Resolved = env ? env->Name : L"";
    arg.Time = simk::Now();
    S().EnvironmentArguments.push_back(arg);
    return env;
}

const wchar_t kSpoolDrivers[] = L"C:\\Windows\\system32\\spool\\DRIVERS\\";
const wchar_t kFileRepository[] = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\";

std::wstring DriverDirectory(const EnvironmentInfo &env) { return std::wstring(kSpoolDrivers) + env.Directory; }

std::wstring FileNameOf(const std::wstring &path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring StorePath(const std::wstring &sourceInf, const EnvironmentInfo &env,
                       const std::wstring &hash = std::wstring()) {
    std::wstring name = FileNameOf(sourceInf);
    return std::wstring(kFileRepository) + Lower(name) + L"_" + env.StoreArch + L"_" +
           (hash.empty() ? S().StoreHash : hash) + L"\\" + name;
}

// Where the store keeps an uploaded package. The store names a package's
// folder by a hash of the package: the same package uploaded again is the
// package it has, another version of it gets a folder of its own beside the
// first. The first package of an INF name on a machine takes the hash the
// test chose (SetDriverStoreHash); a later, different one a hash of its INF.
std::wstring StoreFolderFor(const std::wstring &sourceInf, const std::string &content, const EnvironmentInfo &env) {
    bool known = false;
    for (auto &existing : S().Packages) {
        if (!simk::SameText(existing.Environment, env.Name) ||
            !simk::SameText(FileNameOf(existing.StoreInf), FileNameOf(sourceInf)))
            continue;
        if (sim::files::IsFile(existing.StoreInf) && sim::files::ReadFile(existing.StoreInf) == content)
            return existing.StoreInf;
        known = true;
    }
    if (!known)
        return StorePath(sourceInf, env);
    uint32_t hash = 2166136261u;  // FNV-1a
    for (unsigned char c : content)
        hash = (hash ^ c) * 16777619u;
    wchar_t digits[9];
    swprintf(digits, 9, L"%08x", static_cast<unsigned>(hash));
    return StorePath(sourceInf, env, digits);
}

// The spooler's record of a package in the driver store, named after the
// package's store folder: PackageInstallation\<environment>\DriverPackages.
std::wstring PackageKey(const std::wstring &storeInf, const std::wstring &environment) {
    std::wstring folder = storeInf.substr(0, storeInf.find_last_of(L'\\'));
    return L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation\\" + environment +
           L"\\DriverPackages\\" + FileNameOf(folder);
}

// --- Lookups -------------------------------------------------------------------

sim::PrintQueue *FindQueue(const std::wstring &name, bool listedOnly) {
    for (auto &q : S().Queues)
        if (simk::SameText(q.pPrinterName, name) && (!listedOnly || Listed(q.ListedAt)))
            return &q;
    return nullptr;
}

sim::PrinterDriver *FindDriver(const std::wstring &name, const std::wstring &environment, bool listedOnly) {
    for (auto &d : S().Drivers)
        if (d.pName && simk::SameText(*d.pName, name) && simk::SameText(d.Environment, environment) &&
            (!listedOnly || Listed(d.ListedAt)))
            return &d;
    return nullptr;
}

sim::SpoolerPort *FindPort(const std::wstring &name) {
    for (auto &p : S().Ports)
        if (simk::SameText(p.Name, name))
            return &p;
    return nullptr;
}

sim::SpoolerMonitor *FindMonitor(const std::wstring &name) {
    for (auto &m : S().Monitors)
        if (simk::SameText(m.Name, name))
            return &m;
    return nullptr;
}

void StoreDriver(const sim::PrinterDriver &driver) {
    auto &drivers = S().Drivers;
    for (auto it = drivers.begin(); it != drivers.end(); ++it) {
        if (it->pName && driver.pName && simk::SameText(*it->pName, *driver.pName) &&
            simk::SameText(it->Environment, driver.Environment)) {
            drivers.erase(it);
            break;
        }
    }
    drivers.push_back(driver);
}

// --- Deep copies of the caller's records ------------------------------------------

sim::Text TextOf(const WCHAR *s) { return s ? sim::Text(std::wstring(s)) : sim::Text(); }

sim::MultiText MultiOf(const WCHAR *s) {
    if (!s)
        return sim::MultiText();
    std::vector<std::wstring> items;
    while (*s) {
        items.emplace_back(s);
        s += wcslen(s) + 1;
    }
    return items;
}

// --- Packing records and their strings into the caller's buffer -------------------

size_t TextBytes(const sim::Text &t) { return t ? (t->size() + 1) * sizeof(WCHAR) : 0; }

size_t MultiBytes(const sim::MultiText &m) {
    if (!m)
        return 0;
    size_t chars = 1;
    for (auto &s : *m)
        chars += s.size() + 1;
    return chars * sizeof(WCHAR);
}

// Places the strings after the records.
struct StringArea {
    BYTE *Next;

    LPWSTR Put(const sim::Text &t) {
        if (!t)
            return nullptr;
        LPWSTR out = reinterpret_cast<LPWSTR>(Next);
        memcpy(out, t->c_str(), (t->size() + 1) * sizeof(WCHAR));
        Next += (t->size() + 1) * sizeof(WCHAR);
        return out;
    }

    LPWSTR PutMulti(const sim::MultiText &m) {
        if (!m)
            return nullptr;
        LPWSTR out = reinterpret_cast<LPWSTR>(Next);
        LPWSTR p = out;
        for (auto &s : *m) {
            memcpy(p, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
            p += s.size() + 1;
        }
        *p++ = 0;
        Next = reinterpret_cast<BYTE *>(p);
        return out;
    }
};

// The common part of every enumeration and Get call: the size check against
// the caller's buffer. Returns false (last error set) when the records do not
// fit; *pcbNeeded always receives the size needed.
bool FitsBuffer(size_t needed, LPBYTE buffer, DWORD cbBuf, LPDWORD pcbNeeded) {
    *pcbNeeded = (DWORD)needed;
    if (!buffer && cbBuf != 0) {
        simk::SetError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    if (needed > cbBuf || (!buffer && needed > 0)) {
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

// Packs count records of type T built by fill(record, strings, index), after
// measuring them with bytes(index).
template <typename T>
BOOL PackRecords(size_t count, const std::function<size_t(size_t)> &bytes,
                 const std::function<void(T *, StringArea &, size_t)> &fill, LPBYTE buffer, DWORD cbBuf,
                 LPDWORD pcbNeeded, LPDWORD pcReturned) {
    size_t needed = count * sizeof(T);
    for (size_t i = 0; i < count; i++)
        needed += bytes(i);
    if (pcReturned)
        *pcReturned = 0;
    if (!FitsBuffer(needed, buffer, cbBuf, pcbNeeded))
        return FALSE;
    if (count > 0) {
        memset(buffer, 0, needed);
        StringArea area{buffer + count * sizeof(T)};
        T *records = reinterpret_cast<T *>(buffer);
        for (size_t i = 0; i < count; i++)
            fill(&records[i], area, i);
    }
    if (pcReturned)
        *pcReturned = (DWORD)count;
    return TRUE;
}

// A driver file as the enumeration gives it: a bare name lives in the
// environment's version-3 folder of the driver directory.
sim::Text FullDriverPath(const sim::Text &file, const EnvironmentInfo &env) {
    if (!file || file->empty() || file->find(L'\\') != std::wstring::npos)
        return file;
    return DriverDirectory(env) + L"\\3\\" + *file;
}

sim::MultiText FullDriverPaths(const sim::MultiText &files, const EnvironmentInfo &env) {
    if (!files)
        return files;
    std::vector<std::wstring> out;
    for (auto &f : *files)
        out.push_back(*FullDriverPath(sim::Text(f), env));
    return out;
}

// The driver record as EnumPrinterDriversW level 8 reports it.
sim::PrinterDriver Reported(const sim::PrinterDriver &d, const EnvironmentInfo &env) {
    sim::PrinterDriver r = d;
    r.pEnvironment = std::wstring(env.Name);
    r.pDriverPath = FullDriverPath(d.pDriverPath, env);
    r.pDataFile = FullDriverPath(d.pDataFile, env);
    r.pConfigFile = FullDriverPath(d.pConfigFile, env);
    r.pHelpFile = FullDriverPath(d.pHelpFile, env);
    r.pDependentFiles = FullDriverPaths(d.pDependentFiles, env);
    return r;
}

size_t DriverBytes(const sim::PrinterDriver &d) {
    return TextBytes(d.pName) + TextBytes(d.pEnvironment) + TextBytes(d.pDriverPath) + TextBytes(d.pDataFile) +
           TextBytes(d.pConfigFile) + TextBytes(d.pHelpFile) + MultiBytes(d.pDependentFiles) +
           TextBytes(d.pMonitorName) + TextBytes(d.pDefaultDataType) + MultiBytes(d.pszzPreviousNames) +
           TextBytes(d.pszMfgName) + TextBytes(d.pszOEMUrl) + TextBytes(d.pszHardwareID) + TextBytes(d.pszProvider) +
           TextBytes(d.pszPrintProcessor) + TextBytes(d.pszVendorSetup) + MultiBytes(d.pszzColorProfiles) +
           TextBytes(d.pszInfPath) + MultiBytes(d.pszzCoreDriverDependencies);
}

void FillDriver(DRIVER_INFO_8W *out, StringArea &a, const sim::PrinterDriver &d) {
    out->cVersion = d.cVersion;
    out->pName = a.Put(d.pName);
    out->pEnvironment = a.Put(d.pEnvironment);
    out->pDriverPath = a.Put(d.pDriverPath);
    out->pDataFile = a.Put(d.pDataFile);
    out->pConfigFile = a.Put(d.pConfigFile);
    out->pHelpFile = a.Put(d.pHelpFile);
    out->pDependentFiles = a.PutMulti(d.pDependentFiles);
    out->pMonitorName = a.Put(d.pMonitorName);
    out->pDefaultDataType = a.Put(d.pDefaultDataType);
    out->pszzPreviousNames = a.PutMulti(d.pszzPreviousNames);
    out->ftDriverDate = d.ftDriverDate;
    out->dwlDriverVersion = d.dwlDriverVersion;
    out->pszMfgName = a.Put(d.pszMfgName);
    out->pszOEMUrl = a.Put(d.pszOEMUrl);
    out->pszHardwareID = a.Put(d.pszHardwareID);
    out->pszProvider = a.Put(d.pszProvider);
    out->pszPrintProcessor = a.Put(d.pszPrintProcessor);
    out->pszVendorSetup = a.Put(d.pszVendorSetup);
    out->pszzColorProfiles = a.PutMulti(d.pszzColorProfiles);
    out->pszInfPath = a.Put(d.pszInfPath);
    out->dwPrinterDriverAttributes = d.dwPrinterDriverAttributes;
    out->pszzCoreDriverDependencies = a.PutMulti(d.pszzCoreDriverDependencies);
    out->ftMinInboxDriverVerDate = d.ftMinInboxDriverVerDate;
    out->dwlMinInboxDriverVerVersion = d.dwlMinInboxDriverVerVersion;
}

size_t QueueBytes(const sim::PrintQueue &q) {
    return TextBytes(q.pPrinterName) + TextBytes(q.pShareName) + TextBytes(q.pPortName) + TextBytes(q.pDriverName) +
           TextBytes(q.pComment) + TextBytes(q.pLocation) + TextBytes(q.pSepFile) + TextBytes(q.pPrintProcessor) +
           TextBytes(q.pDatatype) + TextBytes(q.pParameters);
}

void FillQueue(PRINTER_INFO_2W *out, StringArea &a, const sim::PrintQueue &q) {
    out->pServerName = nullptr;  // a local queue
    out->pPrinterName = a.Put(q.pPrinterName);
    out->pShareName = a.Put(q.pShareName);
    out->pPortName = a.Put(q.pPortName);
    out->pDriverName = a.Put(q.pDriverName);
    out->pComment = a.Put(q.pComment);
    out->pLocation = a.Put(q.pLocation);
    out->pDevMode = nullptr;
    out->pSepFile = a.Put(q.pSepFile);
    out->pPrintProcessor = a.Put(q.pPrintProcessor);
    out->pDatatype = a.Put(q.pDatatype);
    out->pParameters = a.Put(q.pParameters);
    out->pSecurityDescriptor = nullptr;
    out->Attributes = q.Attributes;
    out->Priority = q.Priority;
    out->DefaultPriority = q.DefaultPriority;
    out->StartTime = q.StartTime;
    out->UntilTime = q.UntilTime;
    out->Status = q.Status;
    out->cJobs = q.cJobs;
    out->AveragePPM = q.AveragePPM;
}

// A server name other than none (the local machine) is a remote server the
// simulation does not have.
bool LocalServer(const WCHAR *server) {
    if (!server || !*server)
        return true;
    simk::SetError(ERROR_INVALID_NAME);
    return false;
}

// A driver file named by AddPrinterDriverW must be in place: a bare name in
// the environment's printer-driver directory, a full path where it says.
bool DriverFilePresent(const std::wstring &file, const EnvironmentInfo &env) {
    if (file.find(L'\\') != std::wstring::npos)
        return sim::files::IsFile(file);
    return sim::files::IsFile(DriverDirectory(env) + L"\\" + file);
}

bool DriverFilesPresent(const sim::PrinterDriver &d, const EnvironmentInfo &env) {
    for (const sim::Text *t : {&d.pDriverPath, &d.pDataFile, &d.pConfigFile, &d.pHelpFile})
        if (*t && !t->value().empty() && !DriverFilePresent(t->value(), env))
            return false;
    if (d.pDependentFiles)
        for (auto &f : *d.pDependentFiles)
            if (!DriverFilePresent(f, env))
                return false;
    return true;
}

HRESULT HresultOfEnter(DWORD error) { return (HRESULT)error < 0 ? (HRESULT)error : HRESULT_FROM_WIN32(error); }

}  // namespace

// ============================================================================
// Test-facing API
// ============================================================================

namespace sim {

void AddPort(const SpoolerPort &port) {
    if (SpoolerPort *p = ::FindPort(port.Name))
        *p = port;
    else
        S().Ports.push_back(port);
}

void AddPort(const std::wstring &name) {
    SpoolerPort port;
    port.Name = name;
    AddPort(port);
}

void RemovePort(const std::wstring &name) {
    auto &ports = S().Ports;
    ports.erase(std::remove_if(ports.begin(), ports.end(), [&](const SpoolerPort &p) { return simk::SameText(p.Name, name); }),
                ports.end());
}

const std::vector<SpoolerPort> &Ports() { return S().Ports; }

void AddMonitor(const std::wstring &name, const std::wstring &dllName) {
    SpoolerMonitor m;
    m.Name = name;
    m.DllName = dllName;
    m.AddedAt = simk::Now();
    S().Monitors.push_back(m);
}

const std::vector<SpoolerMonitor> &Monitors() { return S().Monitors; }

const SpoolerMonitor *FindMonitor(const std::wstring &name) { return ::FindMonitor(name); }

void AddDriver(const PrinterDriver &driver) {
    PrinterDriver d = driver;
    if (d.Environment.empty())
        d.Environment = NativePrintEnvironment();
    if (d.AddedAt == 0)
        d.AddedAt = simk::Now();
    StoreDriver(d);
}

const std::vector<PrinterDriver> &Drivers() { return S().Drivers; }

const PrinterDriver *FindDriver(const std::wstring &name) {
    for (auto &d : S().Drivers)
        if (d.pName && simk::SameText(*d.pName, name))
            return &d;
    return nullptr;
}

void SetDriverListingDelay(uint64_t ms) { S().DriverListingDelay = ms; }

void AddQueue(const PrintQueue &queue) { S().Queues.push_back(queue); }

void RemoveQueue(const std::wstring &name) {
    auto &queues = S().Queues;
    queues.erase(std::remove_if(queues.begin(), queues.end(),
                                [&](const PrintQueue &q) { return simk::SameText(q.pPrinterName, name); }),
                 queues.end());
}

const std::vector<PrintQueue> &Queues() { return S().Queues; }

const PrintQueue *FindQueue(const std::wstring &name) { return ::FindQueue(name, false); }

void SetQueueListingDelay(uint64_t ms) { S().QueueListingDelay = ms; }

int OpenPrinterHandles() { return (int)S().Handles.size(); }

const std::vector<SetPrinterRequest> &SetPrinterRequests() { return S().SetPrinterRequests; }

const std::vector<OpenPrinterRequest> &OpenPrinterRequests() { return S().OpenPrinterRequests; }

const std::vector<DriverPackage> &DriverPackages() { return S().Packages; }

const std::vector<DriverPackage> &Uploads() { return S().Uploads; }

const std::vector<EnvironmentArgument> &EnvironmentArguments() { return S().EnvironmentArguments; }

std::wstring DriverPackageKey(const std::wstring &storeInf, const std::wstring &environment) {
    return PackageKey(storeInf, environment.empty() ? NativePrintEnvironment() : environment);
}

void RemoveDriver(const std::wstring &name) {
    auto &drivers = S().Drivers;
    drivers.erase(std::remove_if(drivers.begin(), drivers.end(),
                                 [&](const PrinterDriver &d) { return d.pName && simk::SameText(*d.pName, name); }),
                  drivers.end());
}

void RemoveMonitor(const std::wstring &name) {
    auto &monitors = S().Monitors;
    monitors.erase(std::remove_if(monitors.begin(), monitors.end(),
                                  [&](const SpoolerMonitor &m) { return simk::SameText(m.Name, name); }),
                   monitors.end());
}

std::wstring DriverStorePath(const std::wstring &sourceInf, const std::wstring &environment) {
    const EnvironmentInfo *env = nullptr;
    if (environment.empty()) {
        env = NativeEnvironment();
    } else {
        for (auto &e : kEnvironments)
            if (simk::SameText(e.Name, environment))
                env = &e;
    }
    return env ? StorePath(sourceInf, *env) : std::wstring();
}

std::wstring AddDriverPackage(const std::wstring &sourceInf) {
    DriverPackage p;
    p.SourceInf = sourceInf;
    p.StoreInf = DriverStorePath(sourceInf);
    p.Environment = NativePrintEnvironment();
    p.Time = simk::Now();
    for (auto &existing : S().Packages)
        if (simk::SameText(existing.StoreInf, p.StoreInf))
            return p.StoreInf;
    S().Packages.push_back(p);
    return p.StoreInf;
}

void SetDriverStoreHash(const std::wstring &hash) { S().StoreHash = hash; }

void SetWow64NullEnvironmentIsX86(bool x86) { S().Wow64NullEnvironmentIsX86 = x86; }

std::wstring NativePrintEnvironment() {
    const EnvironmentInfo *env = NativeEnvironment();
    return env ? env->Name : L"";
}

std::wstring PrinterDriverDirectory(const std::wstring &environment) {
    for (auto &e : kEnvironments)
        if (environment.empty() ? &e == NativeEnvironment() : simk::SameText(e.Name, environment))
            return DriverDirectory(e);
    return L"";
}

}  // namespace sim

// ============================================================================
// winspool
// ============================================================================

// --- Ports and monitors --------------------------------------------------------------

// What a level-2 list of the local spooler checks before it fills anything:
// the spooler's server, the level, the pointers the counts go to.
static bool ListOfLevel2Ready(LPWSTR pName, DWORD Level, LPDWORD pcbNeeded, LPDWORD pcReturned) {
    if (!SpoolerUp() || !LocalServer(pName))
        return false;
    if (Level != 2) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (!pcbNeeded || !pcReturned) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return false;
    }
    return true;
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
    SIM_ENTER("EnumPortsW", FALSE);
    if (!ListOfLevel2Ready(pName, Level, pcbNeeded, pcReturned))
        return FALSE;
    const auto &ports = S().Ports;
    return PackRecords<PORT_INFO_2W>(
        ports.size(),
        [&](size_t i) {
            return TextBytes(ports[i].Name) + TextBytes(ports[i].Monitor) + TextBytes(ports[i].Description);
        },
        [&](PORT_INFO_2W *out, StringArea &a, size_t i) {
            out->pPortName = a.Put(ports[i].Name);
            out->pMonitorName = a.Put(ports[i].Monitor);
            out->pDescription = a.Put(ports[i].Description);
            out->fPortType = ports[i].PortType;
            out->Reserved = 0;
        },
        pPorts, cbBuf, pcbNeeded, pcReturned);
}

BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitorInfo) {
    SIM_ENTER("AddMonitorW", FALSE);
    if (!SpoolerUp() || !LocalServer(pName))
        return FALSE;
    if (Level != 2) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const MONITOR_INFO_2W *info = reinterpret_cast<const MONITOR_INFO_2W *>(pMonitorInfo);
    if (!info || !info->pName || !*info->pName || !info->pDLLName || !*info->pDLLName) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A monitor runs in the spooler, so only the machine's own environment
    // will do.
    const EnvironmentInfo *env = ResolveEnvironment("AddMonitorW", info->pEnvironment);
    if (!env)
        return FALSE;
    if (env != NativeEnvironment()) {
        simk::SetError(ERROR_INVALID_ENVIRONMENT);
        return FALSE;
    }
    if (FindMonitor(info->pName)) {
        simk::SetError(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
        return FALSE;
    }
    // The spooler loads the monitor from its own (the real) system directory.
    if (!sim::files::IsFile(std::wstring(sim::files::kSystemDirectory) + L"\\" + info->pDLLName)) {
        simk::SetError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    sim::SpoolerMonitor m;
    m.Name = info->pName;
    m.Environment = TextOf(info->pEnvironment);
    m.DllName = info->pDLLName;
    m.AddedAt = simk::Now();
    S().Monitors.push_back(m);
    return TRUE;
}

BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
    SIM_ENTER("DeleteMonitorW", FALSE);
    if (!SpoolerUp() || !LocalServer(pName) || !ResolveEnvironment("DeleteMonitorW", pEnvironment))
        return FALSE;
    if (!pMonitorName || !*pMonitorName) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto &monitors = S().Monitors;
    for (auto it = monitors.begin(); it != monitors.end(); ++it) {
        if (!simk::SameText(it->Name, pMonitorName))
            continue;
        // A monitor still in use, by a port it serves or by a driver that
        // names it as its language monitor, stays.
        bool inUse = false;
        for (auto &port : S().Ports)
            inUse = inUse || simk::SameText(port.Monitor, pMonitorName);
        for (auto &d : S().Drivers)
            inUse = inUse || (d.pMonitorName && simk::SameText(*d.pMonitorName, pMonitorName));
        if (inUse) {
            simk::SetError(ERROR_PRINT_MONITOR_IN_USE);
            return FALSE;
        }
        monitors.erase(it);
        return TRUE;
    }
    simk::SetError(ERROR_UNKNOWN_PRINT_MONITOR);
    return FALSE;
}

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
    SIM_ENTER("EnumMonitorsW", FALSE);
    if (!ListOfLevel2Ready(pName, Level, pcbNeeded, pcReturned))
        return FALSE;
    // A monitor runs in the spooler: it is listed in the machine's own
    // environment, whatever the record that added it said.
    const auto &monitors = S().Monitors;
    const sim::Text environment = std::wstring(NativeEnvironment() ? NativeEnvironment()->Name : L"");
    return PackRecords<MONITOR_INFO_2W>(
        monitors.size(),
        [&](size_t i) {
            return TextBytes(monitors[i].Name) + TextBytes(environment) + TextBytes(monitors[i].DllName);
        },
        [&](MONITOR_INFO_2W *out, StringArea &a, size_t i) {
            out->pName = a.Put(monitors[i].Name);
            out->pEnvironment = a.Put(environment);
            out->pDLLName = a.Put(monitors[i].DllName);
        },
        pMonitor, cbBuf, pcbNeeded, pcReturned);
}

// --- Printer drivers -------------------------------------------------------------

namespace {

// The spooler's own copy of a driver's files: each named file, from the
// printer-driver directory (or from where a full path says), into the
// environment's version folder "3", where the driver is used from
// ("AddPrinterDriverEx function"). The simulation keeps no write times:
// every file the caller put into the directory counts as newer than the one
// in use, as the files the program copies there just before are.
void CopyIntoVersionFolder(const sim::PrinterDriver &d, const EnvironmentInfo &env) {
    std::vector<std::wstring> files;
    for (const sim::Text *t : {&d.pDriverPath, &d.pDataFile, &d.pConfigFile, &d.pHelpFile})
        if (*t && !t->value().empty())
            files.push_back(t->value());
    if (d.pDependentFiles)
        files.insert(files.end(), d.pDependentFiles->begin(), d.pDependentFiles->end());
    for (const std::wstring &file : files) {
        std::wstring source = file.find(L'\\') != std::wstring::npos ? file : DriverDirectory(env) + L"\\" + file;
        sim::files::WriteFile(DriverDirectory(env) + L"\\3\\" + FileNameOf(file), sim::files::ReadFile(source));
    }
}

// The file names a driver record uses, without their folders, in lower case.
std::vector<std::wstring> DriverFileNames(const sim::PrinterDriver &d) {
    std::vector<std::wstring> names;
    for (const sim::Text *t : {&d.pDriverPath, &d.pDataFile, &d.pConfigFile, &d.pHelpFile})
        if (*t && !t->value().empty())
            names.push_back(Lower(FileNameOf(t->value())));
    if (d.pDependentFiles)
        for (auto &f : *d.pDependentFiles)
            names.push_back(Lower(FileNameOf(f)));
    return names;
}

// AddPrinterDriverW is AddPrinterDriverExW with APD_COPY_NEW_FILES ("This
// flag emulates the behavior of AddPrinterDriver").
BOOL AddDriver(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo, DWORD dwFileCopyFlags) {
    if (!SpoolerUp() || !LocalServer(pName))
        return FALSE;
    if (Level != 8) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const DRIVER_INFO_8W *in = reinterpret_cast<const DRIVER_INFO_8W *>(pDriverInfo);
    if (!in || !in->pName || !*in->pName || !in->pDriverPath || !in->pDataFile || !in->pConfigFile) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const EnvironmentInfo *env = ResolveEnvironment("AddPrinterDriverW", in->pEnvironment);
    if (!env)
        return FALSE;

    sim::PrinterDriver d;
    d.cVersion = in->cVersion;
    d.pName = TextOf(in->pName);
    d.pEnvironment = TextOf(in->pEnvironment);
    d.pDriverPath = TextOf(in->pDriverPath);
    d.pDataFile = TextOf(in->pDataFile);
    d.pConfigFile = TextOf(in->pConfigFile);
    d.pHelpFile = TextOf(in->pHelpFile);
    d.pDependentFiles = MultiOf(in->pDependentFiles);
    d.pMonitorName = TextOf(in->pMonitorName);
    d.pDefaultDataType = TextOf(in->pDefaultDataType);
    d.pszzPreviousNames = MultiOf(in->pszzPreviousNames);
    d.ftDriverDate = in->ftDriverDate;
    d.dwlDriverVersion = in->dwlDriverVersion;
    d.pszMfgName = TextOf(in->pszMfgName);
    d.pszOEMUrl = TextOf(in->pszOEMUrl);
    d.pszHardwareID = TextOf(in->pszHardwareID);
    d.pszProvider = TextOf(in->pszProvider);
    d.pszPrintProcessor = TextOf(in->pszPrintProcessor);
    d.pszVendorSetup = TextOf(in->pszVendorSetup);
    d.pszzColorProfiles = MultiOf(in->pszzColorProfiles);
    d.pszInfPath = TextOf(in->pszInfPath);
    d.dwPrinterDriverAttributes = in->dwPrinterDriverAttributes;
    d.pszzCoreDriverDependencies = MultiOf(in->pszzCoreDriverDependencies);
    d.ftMinInboxDriverVerDate = in->ftMinInboxDriverVerDate;
    d.dwlMinInboxDriverVerVersion = in->dwlMinInboxDriverVerVersion;
    d.Environment = env->Name;
    if (!DriverFilesPresent(d, *env)) {
        simk::SetError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    (void)dwFileCopyFlags;
    CopyIntoVersionFolder(d, *env);
    d.AddedAt = simk::Now();
    d.ListedAt = After(S().DriverListingDelay);
    StoreDriver(d);
    return TRUE;
}

}  // namespace

BOOL WINAPI AddPrinterDriverW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo) {
    SIM_ENTER("AddPrinterDriverW", FALSE);
    return AddDriver(pName, Level, pDriverInfo, APD_COPY_NEW_FILES);
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo, DWORD dwFileCopyFlags) {
    SIM_ENTER("AddPrinterDriverExW", FALSE);
    return AddDriver(pName, Level, pDriverInfo, dwFileCopyFlags);
}

BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                                LPDWORD pcbNeeded, LPDWORD pcReturned) {
    SIM_ENTER("EnumPrinterDriversW", FALSE);
    if (!SpoolerUp() || !LocalServer(pName))
        return FALSE;
    // "all" lists the drivers of every environment, each in its own.
    const bool all = pEnvironment && simk::SameText(pEnvironment, L"all");
    const EnvironmentInfo *env = all ? nullptr : ResolveEnvironment("EnumPrinterDriversW", pEnvironment);
    if (!env && !all)
        return FALSE;
    if (Level != 8) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded || !pcReturned) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    std::vector<sim::PrinterDriver> listed;
    for (auto &e : kEnvironments)
        for (auto &d : S().Drivers)
            if ((all || &e == env) && simk::SameText(d.Environment, e.Name) && Listed(d.ListedAt))
                listed.push_back(Reported(d, e));
    return PackRecords<DRIVER_INFO_8W>(
        listed.size(), [&](size_t i) { return DriverBytes(listed[i]); },
        [&](DRIVER_INFO_8W *out, StringArea &a, size_t i) { FillDriver(out, a, listed[i]); }, pDriverInfo, cbBuf,
        pcbNeeded, pcReturned);
}

BOOL WINAPI DeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName, DWORD dwDeleteFlag,
                                   DWORD dwVersionFlag) {
    SIM_ENTER("DeletePrinterDriverExW", FALSE);
    (void)dwVersionFlag;
    if (!SpoolerUp() || !LocalServer(pName))
        return FALSE;
    const EnvironmentInfo *env = ResolveEnvironment("DeletePrinterDriverExW", pEnvironment);
    if (!env)
        return FALSE;
    if (!pDriverName || !*pDriverName) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::PrinterDriver *d = FindDriver(pDriverName, env->Name, true);
    if (!d) {
        simk::SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    for (auto &q : S().Queues) {
        if (simk::SameText(q.pDriverName, pDriverName)) {
            simk::SetError(ERROR_PRINTER_DRIVER_IN_USE);
            return FALSE;
        }
    }
    auto &drivers = S().Drivers;
    std::vector<std::wstring> files = DriverFileNames(*d);
    drivers.erase(drivers.begin() + (d - drivers.data()));
    // With DPD_DELETE_UNUSED_FILES its files in the version folder go with
    // it, unless another driver of the environment still uses them.
    if (dwDeleteFlag & DPD_DELETE_UNUSED_FILES) {
        for (const std::wstring &file : files) {
            bool used = false;
            for (auto &other : drivers)
                if (simk::SameText(other.Environment, env->Name))
                    for (const std::wstring &name : DriverFileNames(other))
                        used = used || name == file;
            if (!used)
                sim::files::Remove(DriverDirectory(*env) + L"\\3\\" + file);
        }
    }
    return TRUE;
}

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverDirectory,
                                       DWORD cbBuf, LPDWORD pcbNeeded) {
    SIM_ENTER("GetPrinterDriverDirectoryW", FALSE);
    if (!SpoolerUp() || !LocalServer(pName))
        return FALSE;
    const EnvironmentInfo *env = ResolveEnvironment("GetPrinterDriverDirectoryW", pEnvironment);
    if (!env)
        return FALSE;
    if (Level != 1) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    std::wstring dir = DriverDirectory(*env);
    size_t needed = (dir.size() + 1) * sizeof(WCHAR);
    if (!FitsBuffer(needed, pDriverDirectory, cbBuf, pcbNeeded))
        return FALSE;
    memcpy(pDriverDirectory, dir.c_str(), needed);
    return TRUE;
}

// --- Print queues -------------------------------------------------------------------

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
    SIM_ENTER("OpenPrinterW", FALSE);
    if (!phPrinter) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phPrinter = nullptr;
    if (!SpoolerUp())
        return FALSE;
    sim::OpenPrinterRequest request;
    request.Name = TextOf(pPrinterName);
    request.DefaultsGiven = pDefault != nullptr;
    if (pDefault) {
        request.Datatype = TextOf(pDefault->pDatatype);
        request.DevModeGiven = pDefault->pDevMode != nullptr;
        request.DesiredAccess = pDefault->DesiredAccess;
    }
    request.Time = simk::Now();
    std::wstring name;
    if (pPrinterName && *pPrinterName) {
        sim::PrintQueue *q = FindQueue(pPrinterName, true);
        if (!q) {
            S().OpenPrinterRequests.push_back(request);
            simk::SetError(ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
        name = q->pPrinterName;
    }
    request.Opened = true;
    S().OpenPrinterRequests.push_back(request);
    HANDLE h = simk::NewHandleValue();
    S().Handles[h] = name;
    *phPrinter = h;
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    SIM_ENTER("ClosePrinter", FALSE);
    if (!S().Handles.erase(hPrinter)) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace {

// The queue a printer handle stands for; sets the error when there is none.
sim::PrintQueue *QueueOfHandle(HANDLE h) {
    auto it = S().Handles.find(h);
    if (it == S().Handles.end() || it->second.empty()) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    sim::PrintQueue *q = FindQueue(it->second, false);
    if (!q)
        simk::SetError(ERROR_INVALID_PRINTER_NAME);
    return q;
}

}  // namespace

HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
    SIM_ENTER("AddPrinterW", nullptr);
    if (!SpoolerUp() || !LocalServer(pName))
        return nullptr;
    if (Level != 2) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return nullptr;
    }
    const PRINTER_INFO_2W *in = reinterpret_cast<const PRINTER_INFO_2W *>(pPrinter);
    if (!in) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!in->pPrinterName || !*in->pPrinterName) {
        simk::SetError(ERROR_INVALID_PRINTER_NAME);
        return nullptr;
    }
    if (FindQueue(in->pPrinterName, false)) {
        simk::SetError(ERROR_PRINTER_ALREADY_EXISTS);
        return nullptr;
    }
    if (!in->pPortName || !FindPort(in->pPortName)) {
        simk::SetError(ERROR_UNKNOWN_PORT);
        return nullptr;
    }
    // The queue's driver is one of the machine's own environment, whoever
    // asks: a WOW64 caller's "Windows NT x86" driver does not do.
    const EnvironmentInfo *env = NativeEnvironment();
    if (!in->pDriverName || !env || !FindDriver(in->pDriverName, env->Name, true)) {
        simk::SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return nullptr;
    }
    if (!in->pPrintProcessor || !simk::SameText(in->pPrintProcessor, L"WinPrint")) {
        simk::SetError(ERROR_UNKNOWN_PRINTPROCESSOR);
        return nullptr;
    }
    sim::PrintQueue q;
    q.pPrinterName = in->pPrinterName;
    q.pShareName = TextOf(in->pShareName);
    q.pPortName = in->pPortName;
    q.pDriverName = in->pDriverName;
    q.pComment = TextOf(in->pComment);
    q.pLocation = TextOf(in->pLocation);
    q.pSepFile = TextOf(in->pSepFile);
    q.pPrintProcessor = in->pPrintProcessor;
    q.pDatatype = in->pDatatype ? in->pDatatype : L"RAW";
    q.pParameters = TextOf(in->pParameters);
    q.Attributes = in->Attributes;
    q.Priority = in->Priority;
    q.DefaultPriority = in->DefaultPriority;
    q.StartTime = in->StartTime;
    q.UntilTime = in->UntilTime;
    q.AddedAt = simk::Now();
    q.ListedAt = After(S().QueueListingDelay);
    S().Queues.push_back(q);
    HANDLE h = simk::NewHandleValue();
    S().Handles[h] = q.pPrinterName;
    return h;
}

BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
    SIM_ENTER("DeletePrinter", FALSE);
    if (!SpoolerUp())
        return FALSE;
    sim::PrintQueue *q = QueueOfHandle(hPrinter);
    if (!q)
        return FALSE;
    auto &queues = S().Queues;
    queues.erase(queues.begin() + (q - queues.data()));
    return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
    SIM_ENTER("GetPrinterW", FALSE);
    if (!SpoolerUp())
        return FALSE;
    sim::PrintQueue *q = QueueOfHandle(hPrinter);
    if (!q)
        return FALSE;
    if (Level != 2) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    const sim::PrintQueue queue = *q;
    return PackRecords<PRINTER_INFO_2W>(
        1, [&](size_t) { return QueueBytes(queue); },
        [&](PRINTER_INFO_2W *out, StringArea &a, size_t) { FillQueue(out, a, queue); }, pPrinter, cbBuf, pcbNeeded,
        nullptr);
}

BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
    SIM_ENTER("SetPrinterW", FALSE);
    if (!SpoolerUp())
        return FALSE;
    sim::PrintQueue *q = QueueOfHandle(hPrinter);
    if (!q)
        return FALSE;
    sim::SetPrinterRequest request;
    request.Queue = q->pPrinterName;
    request.Level = Level;
    request.Command = Command;
    request.Time = simk::Now();
    if (Level == 0) {
        if (pPrinter || Command < PRINTER_CONTROL_PAUSE || Command > PRINTER_CONTROL_SET_STATUS) {
            simk::SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        S().SetPrinterRequests.push_back(request);
        if (Command == PRINTER_CONTROL_PURGE)
            q->cJobs = 0;
        return TRUE;
    }
    if (Level != 2) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const PRINTER_INFO_2W *in = reinterpret_cast<const PRINTER_INFO_2W *>(pPrinter);
    if (!in || Command != 0) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    request.PortName = in->pPortName ? in->pPortName : L"";
    S().SetPrinterRequests.push_back(request);
    if (!in->pPortName || !FindPort(in->pPortName)) {
        simk::SetError(ERROR_UNKNOWN_PORT);
        return FALSE;
    }
    const EnvironmentInfo *env = NativeEnvironment();
    if (!in->pDriverName || !env || !FindDriver(in->pDriverName, env->Name, true)) {
        simk::SetError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    if (in->pPrinterName && *in->pPrinterName && !simk::SameText(in->pPrinterName, q->pPrinterName)) {
        if (FindQueue(in->pPrinterName, false)) {
            simk::SetError(ERROR_PRINTER_ALREADY_EXISTS);
            return FALSE;
        }
        for (auto &h : S().Handles)
            if (simk::SameText(h.second, q->pPrinterName))
                h.second = in->pPrinterName;
        q->pPrinterName = in->pPrinterName;
    }
    q->pShareName = TextOf(in->pShareName);
    q->pPortName = in->pPortName;
    q->pDriverName = in->pDriverName;
    q->pComment = TextOf(in->pComment);
    q->pLocation = TextOf(in->pLocation);
    q->pSepFile = TextOf(in->pSepFile);
    if (in->pPrintProcessor)
        q->pPrintProcessor = in->pPrintProcessor;
    if (in->pDatatype)
        q->pDatatype = in->pDatatype;
    q->pParameters = TextOf(in->pParameters);
    q->Attributes = in->Attributes;
    q->Priority = in->Priority;
    q->DefaultPriority = in->DefaultPriority;
    q->StartTime = in->StartTime;
    q->UntilTime = in->UntilTime;
    return TRUE;
}

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
    SIM_ENTER("EnumPrintersW", FALSE);
    if (!SpoolerUp() || !LocalServer(Name))
        return FALSE;
    if (Level != 2) {
        simk::SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded || !pcReturned) {
        simk::SetError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    std::vector<sim::PrintQueue> listed;
    if (Flags & PRINTER_ENUM_LOCAL) {
        for (auto &q : S().Queues)
            if (Listed(q.ListedAt))
                listed.push_back(q);
    }
    return PackRecords<PRINTER_INFO_2W>(
        listed.size(), [&](size_t i) { return QueueBytes(listed[i]); },
        [&](PRINTER_INFO_2W *out, StringArea &a, size_t i) { FillQueue(out, a, listed[i]); }, pPrinterEnum, cbBuf,
        pcbNeeded, pcReturned);
}

// --- Driver store -----------------------------------------------------------------------

HRESULT WINAPI UploadPrinterDriverPackageW(LPCWSTR pszServer, LPCWSTR pszInfPath, LPCWSTR pszEnvironment,
                                           DWORD dwFlags, HWND hwnd, LPWSTR pszDestInfPath, PULONG pcchDestInfPath) {
    if (DWORD e = simk::Enter("UploadPrinterDriverPackageW"))
        return HresultOfEnter(e);
    (void)hwnd;
    if (!SpoolerUp() || !LocalServer(pszServer))
        return HRESULT_FROM_WIN32(simk::GetError());
    if (!pszInfPath || !*pszInfPath || !pcchDestInfPath)
        return E_INVALIDARG;
    const EnvironmentInfo *env = ResolveEnvironment("UploadPrinterDriverPackageW", pszEnvironment);
    if (!env)
        return HRESULT_FROM_WIN32(ERROR_INVALID_ENVIRONMENT);
    if (!sim::files::IsFile(pszInfPath))
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::wstring store = StoreFolderFor(pszInfPath, sim::files::ReadFile(pszInfPath), *env);
    if (!pszDestInfPath || *pcchDestInfPath < store.size() + 1) {
        *pcchDestInfPath = (ULONG)(store.size() + 1);
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(pszDestInfPath, store.c_str(), (store.size() + 1) * sizeof(WCHAR));
    *pcchDestInfPath = (ULONG)(store.size() + 1);

    sim::DriverPackage p;
    p.SourceInf = pszInfPath;
    p.StoreInf = store;
    p.Environment = env->Name;
    p.Flags = dwFlags;
    p.Time = simk::Now();
    S().Uploads.push_back(p);
    bool known = false;
    for (auto &existing : S().Packages)
        known = known || simk::SameText(existing.StoreInf, store);
    if (!known)
        S().Packages.push_back(p);
    sim::files::WriteFile(store, sim::files::ReadFile(pszInfPath));
    sim::SetMultiStringValue(PackageKey(store, env->Name), L"DriverStorePath", {store});
    return S_OK;
}

HRESULT WINAPI DeletePrinterDriverPackageW(LPCWSTR pszServer, LPCWSTR pszInfPath, LPCWSTR pszEnvironment) {
    if (DWORD e = simk::Enter("DeletePrinterDriverPackageW"))
        return HresultOfEnter(e);
    if (!SpoolerUp() || !LocalServer(pszServer))
        return HRESULT_FROM_WIN32(simk::GetError());
    if (!pszInfPath || !*pszInfPath)
        return E_INVALIDARG;
    const EnvironmentInfo *env = ResolveEnvironment("DeletePrinterDriverPackageW", pszEnvironment);
    if (!env)
        return HRESULT_FROM_WIN32(ERROR_INVALID_ENVIRONMENT);
    auto &packages = S().Packages;
    for (auto it = packages.begin(); it != packages.end(); ++it) {
        // A package is one environment's: another's of the same path is not it.
        if (!simk::SameText(it->StoreInf, pszInfPath) || !simk::SameText(it->Environment, env->Name))
            continue;
        // A package that an installed driver came from stays in the store.
        for (auto &d : S().Drivers)
            if (d.pszInfPath && simk::SameText(*d.pszInfPath, it->StoreInf))
                return SPAPI_E_INF_IN_USE_BY_DEVICES;
        // The store folder goes, and with it the spooler's record.
        sim::DeleteKey(PackageKey(it->StoreInf, it->Environment));
        sim::files::Remove(it->StoreInf.substr(0, it->StoreInf.find_last_of(L'\\')));
        packages.erase(it);
        return S_OK;
    }
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}
