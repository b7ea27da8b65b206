// The fault sweep: every call a whole run of the program makes is made to
// fail, one at a time, and the run must still end in a defined, safe state.
//
// For each of four runs (the silent install on the Plug and Play road and on
// the manual road, the install window that ends in "Done", and "Remove" in
// the uninstall window) the sweep first records a clean run: every call of a
// simulated API, by name and occurrence. It then replays the run once per
// recorded call with that one call failing, and once per API with every call
// of it failing, each time with the error Windows gives for a plausible
// failure of that API (kErrorTable). After each replay it checks:
//   - no crash: no bad heap free (a sanitizer report ends the whole binary,
//     and then the death callback names the replay);
//   - nothing left open beyond what the clean run leaves: kernel handles,
//     service handles, registry keys, printer handles, device information
//     sets, heap blocks that no product list holds (the product creates no
//     GDI object: its pictures are static controls of the dialog templates);
//   - the spooler runs at the end;
//   - no failure passes for success: what the run reports as installed or
//     removed really is there, or really is gone;
//   - nothing outside the product's folder and its own driver files is
//     deleted, recycled or replaced;
//   - the run ends within the virtual time its mandated waits allow, plus a
//     second for each search pass of the install worker (the only wait that
//     may run on).
// Every broken point is reported with the run, the API, the occurrence and
// the broken check; the test does not stop at the first.
//
// Calls added to the product later are swept automatically: the points come
// from the recorded run. An API without a row in the error table is swept
// with kUnlistedError and reported, so that it gets its row.
#include <windows.h>
#include <cfgmgr32.h>
#include <strsafe.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "app/resource.h"
#include "common/package_files.h"
#include "install/discovery.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/pnp.h"
#include "sim/resources.h"
#include "sim/services.h"
#include "sim/shell.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/install_fixture.h"
#include "tests/uninstall_fixture.h"
#include "uninstall/inventory.h"

namespace {

// Error codes the SDK headers of the simulation do not declare (the product
// never names them).
const DWORD kNotEnoughQuota = 1816;           // ERROR_NOT_ENOUGH_QUOTA
const DWORD kServiceDatabaseLocked = 1055;    // ERROR_SERVICE_DATABASE_LOCKED
const DWORD kOutOfMemoryHresult = 0x8007000E;  // E_OUTOFMEMORY
const DWORD kDiskFull = 112;                   // ERROR_DISK_FULL

// --- The error each API fails with --------------------------------------------

struct ErrorRow {
    const char *Api;
    DWORD Error;         // the last error (or HRESULT, registry result) it fails with
    const char *NoFault;  // non-null: the call cannot fail in this program, and why
};

const ErrorRow kErrorTable[] = {
    // Kernel
    {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CreateMutexW", ERROR_ACCESS_DENIED, nullptr},
    {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CreateThread", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CreateProcessW", ERROR_ACCESS_DENIED, nullptr},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE, nullptr},
    {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SystemTimeToFileTime", ERROR_INVALID_PARAMETER, nullptr},
    {"GetLocalTime", 0, "returns nothing"},
    {"GetCurrentProcess", 0, "a pseudo handle: no failure value"},
    {"IsWow64Process", ERROR_ACCESS_DENIED, nullptr},
    {"IsWow64Process2", ERROR_ACCESS_DENIED, nullptr},
    {"GetSystemWindowsDirectoryW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    // Libraries
    {"GetModuleHandleW", 0, "asked for kernel32, which every process has loaded"},
    {"GetProcAddress", ERROR_PROC_NOT_FOUND, nullptr},
    {"SetDefaultDllDirectories", ERROR_INVALID_PARAMETER, nullptr},
    {"SetDllDirectoryW", ERROR_INVALID_PARAMETER, nullptr},
    {"LoadLibraryExW", ERROR_MOD_NOT_FOUND, nullptr},
    {"Sleep", 0, "returns nothing"},
    {"GetNativeSystemInfo", 0, "returns nothing"},
    {"OutputDebugStringW", 0, "returns nothing"},
    {"OutputDebugStringA", 0, "returns nothing"},
    // Text
    {"MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, nullptr},
    {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER, nullptr},
    {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"lstrcmpiW", 0, "a comparison: no failure value"},
    {"lstrcmpW", 0, "a comparison: no failure value"},
    {"lstrlenW", 0, "a length: no failure value"},
    {"GetACP", 0, "always has a code page"},
    // Registry
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED, nullptr},
    {"RegOpenKeyW", ERROR_ACCESS_DENIED, nullptr},
    {"RegQueryValueExW", ERROR_ACCESS_DENIED, nullptr},
    {"RegGetValueW", ERROR_ACCESS_DENIED, nullptr},
    {"RegEnumKeyW", ERROR_ACCESS_DENIED, nullptr},
    {"RegCloseKey", 0, "releases a handle the program holds: fails only for an invalid one"},
    // Files
    {"CopyFileW", ERROR_SHARING_VIOLATION, nullptr},
    {"DeleteFileW", ERROR_ACCESS_DENIED, nullptr},
    {"MoveFileExW", ERROR_ACCESS_DENIED, nullptr},
    {"GetFileAttributesW", ERROR_ACCESS_DENIED, nullptr},
    {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"GetTempPathW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"GetTempFileNameW", ERROR_ACCESS_DENIED, nullptr},
    {"CreateFileW", ERROR_SHARING_VIOLATION, nullptr},
    {"WriteFile", kDiskFull, nullptr},
    {"CreateDirectoryW", ERROR_ACCESS_DENIED, nullptr},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    // Services
    {"OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr},
    {"OpenServiceW", ERROR_ACCESS_DENIED, nullptr},
    {"QueryServiceStatusEx", ERROR_ACCESS_DENIED, nullptr},
    {"QueryServiceStatus", ERROR_ACCESS_DENIED, nullptr},
    {"ControlService", kServiceDatabaseLocked, nullptr},
    {"StartServiceW", kServiceDatabaseLocked, nullptr},
    {"CloseServiceHandle", 0, "releases a handle the program holds: fails only for an invalid one"},
    // Spooler and driver store
    {"EnumPortsW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"AddMonitorW", ERROR_ACCESS_DENIED, nullptr},
    {"DeleteMonitorW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"AddPrinterDriverW", ERROR_ACCESS_DENIED, nullptr},
    {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"DeletePrinterDriverExW", ERROR_ACCESS_DENIED, nullptr},
    {"GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"OpenPrinterW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"ClosePrinter", 0, "releases a handle the program holds: fails only for an invalid one"},
    {"AddPrinterW", ERROR_ACCESS_DENIED, nullptr},
    {"DeletePrinter", ERROR_ACCESS_DENIED, nullptr},
    {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"SetPrinterW", ERROR_ACCESS_DENIED, nullptr},
    {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"UploadPrinterDriverPackageW", ERROR_ACCESS_DENIED, nullptr},
    {"DeletePrinterDriverPackageW", ERROR_ACCESS_DENIED, nullptr},
    // Setup API, configuration manager, newdev
    {"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SetupDiGetClassDevsExW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SetupDiEnumDeviceInterfaces", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SetupDiGetDeviceInterfaceDetailW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SetupDiEnumDeviceInfo", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SetupDiGetDeviceRegistryPropertyW", ERROR_ACCESS_DENIED, nullptr},
    {"SetupDiClassGuidsFromNameW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SetupDiRemoveDevice", ERROR_ACCESS_DENIED, nullptr},
    {"SetupDiDestroyDeviceInfoList", 0, "releases a set the program holds: fails only for an invalid one"},
    {"SetupGetInfInformationW", ERROR_ACCESS_DENIED, nullptr},
    {"SetupQueryInfVersionInformationW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CM_Locate_DevNodeW", CR_FAILURE, nullptr},
    {"CM_Reenumerate_DevNode", CR_FAILURE, nullptr},
    {"UpdateDriverForPlugAndPlayDevicesW", ERROR_ACCESS_DENIED, nullptr},
    // Shell
    {"SHFileOperationW", ERROR_ACCESS_DENIED, nullptr},
    {"SHChangeNotify", 0, "returns nothing"},
    // Resources, windows and dialogs
    {"LoadStringW", ERROR_RESOURCE_NAME_NOT_FOUND, nullptr},
    {"InitCommonControlsEx", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"DialogBoxParamW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"MessageBoxW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"PostMessageW", kNotEnoughQuota, nullptr},
    {"SetWindowTextW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SendMessageW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"EnumWindows", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"GetDlgItem", 0, "names a control of the dialog's own template"},
    {"EndDialog", 0, "called with the dialog's own valid handle"},
    {"ShowWindow", 0, "returns the earlier visibility, not a failure"},
    {"EnableWindow", 0, "returns the earlier state, not a failure"},
    {"IsWindowEnabled", 0, "a question about the program's own window: no failure value"},
    {"GetWindowTextLengthW", 0, "0 is also the length of an empty text: no failure value"},
    {"GetWindowThreadProcessId", 0, "called with a window EnumWindows has just listed"},
    {"SetForegroundWindow", 0, "FALSE only means the window was not brought to the front"},
};

// The error of an API the table does not list yet.
const DWORD kUnlistedError = ERROR_NOT_ENOUGH_MEMORY;

const ErrorRow *RowOf(const std::string &api) {
    for (const ErrorRow &row : kErrorTable)
        if (api == row.Api)
            return &row;
    return nullptr;
}

// --- What one run leaves -------------------------------------------------------

struct Leftovers {
    int Handles = 0;
    int ServiceHandles = 0;
    int RegistryKeys = 0;
    int PrinterHandles = 0;
    int DeviceInfoSets = 0;
    int FileHandles = 0;
    int LeakedBlocks = 0;  // heap blocks no list of the product holds
};

// The heap blocks the product keeps by design for the process's life: the
// device list of the last scan and the inventory's tree with its buffers.
int HeldBlocks() {
    std::set<const void *> held;
    auto hold = [&held](const void *block) {
        if (block != nullptr && sim::IsLiveAllocation(block))
            held.insert(block);
    };
    for (DeviceRecord *d = DiscoveredDevices; d != nullptr; d = d->Next)
        hold(d);
    for (PackageNode *p = PackageList; p != nullptr; p = p->Next) {
        hold(p);
        for (DriverNode *d = p->Drivers; d != nullptr; d = d->Next) {
            hold(d);
            hold(d->DriverInfo);
            for (QueueNode *q = d->Queues; q != nullptr; q = q->Next)
                hold(q);
        }
    }
    hold(DriverEnumBuffer);
    hold(PrinterEnumBuffer);
    return static_cast<int>(held.size());
}

Leftovers TakeLeftovers(DWORD processId) {
    Leftovers l;
    l.Handles = sim::OpenHandles(processId);
    l.ServiceHandles = sim::OpenServiceHandles();
    l.RegistryKeys = sim::OpenKeyCount();
    l.PrinterHandles = sim::OpenPrinterHandles();
    l.DeviceInfoSets = sim::OpenDeviceInfoSets();
    l.FileHandles = sim::files::OpenFileHandles();
    l.LeakedBlocks = static_cast<int>(sim::LiveAllocations()) - HeldBlocks();
    return l;
}

// A worker still searching when the window closed holds the installation
// guard (its idle event) until the process ends and the system closes it: it
// may begin an installation at any moment, and start-up cannot tell when it
// is done with the guard. The search shows the Wizard button.
int HandlesOfASearchingWorker() {
    HWND window = sim::FindDialog(IDD_INSTALL);
    return window != nullptr && sim::ControlVisible(window, IDC_WIZARD) ? 1 : 0;
}

void CompareLeftovers(const Leftovers &got, const Leftovers &allowed, std::vector<std::string> *broken) {
    struct Item {
        const char *What;
        int Got, Allowed;
    } items[] = {
        {"kernel handles", got.Handles, allowed.Handles},
        {"service handles", got.ServiceHandles, allowed.ServiceHandles},
        {"registry keys", got.RegistryKeys, allowed.RegistryKeys},
        {"printer handles", got.PrinterHandles, allowed.PrinterHandles},
        {"device information sets", got.DeviceInfoSets, allowed.DeviceInfoSets},
        {"file handles", got.FileHandles, allowed.FileHandles},
        {"heap blocks no list holds", got.LeakedBlocks, allowed.LeakedBlocks},
    };
    for (const Item &i : items)
        if (i.Got > i.Allowed)
            broken->push_back(std::to_string(i.Got) + " " + i.What + " left at the end, " + std::to_string(i.Allowed) +
                              " allowed");
}

// --- The file system: nothing but the product's own may go ----------------------

const wchar_t kFolder[] = L"C:\\Program Files\\Corvane\\";

std::wstring Lower(std::wstring text) {
    for (auto &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring Canonical(const std::wstring &path) { return Lower(sim::files::Canonical(path)); }

bool Within(const std::wstring &path, const std::wstring &folder) {
    std::wstring p = Canonical(path), f = Canonical(folder);
    return p == f || p.compare(0, f.size() + 1, f + L"\\") == 0;
}

// A file of the product's own that the installation puts into the printer-
// driver directory or the system directory.
bool IsProductFileOutside(const std::wstring &path) {
    std::wstring p = Canonical(path);
    size_t slash = p.rfind(L'\\');
    if (slash == std::wstring::npos)
        return false;
    std::wstring parent = p.substr(0, slash), name = p.substr(slash + 1);
    if (parent != Canonical(sim::PrinterDriverDirectory()) && parent != Canonical(sim::files::kSystemDirectory))
        return false;
    for (const wchar_t *own : {DRIVER_DLL_NAME, CONFIG_DLL_NAME, MONITOR_DLL_NAME, DRIVER_DATA_FILE_NAME})
        if (name == Lower(own))
            return true;
    return false;
}

bool MayGo(const std::wstring &path) { return Within(path, kFolder) || IsProductFileOutside(path); }

void CheckFiles(const std::vector<std::wstring> &before, std::vector<std::string> *broken) {
    auto narrow = [](const std::wstring &w) { return std::string(w.begin(), w.end()); };
    for (const std::wstring &path : before)
        if (!sim::files::Exists(path) && !MayGo(path))
            broken->push_back("deleted " + narrow(path));
    for (const sim::shell::RecycledItem &item : sim::shell::RecycleBin())
        if (!Within(item.OriginalPath, kFolder))
            broken->push_back("recycled " + narrow(item.OriginalPath));
    for (const sim::files::PendingRename &r : sim::files::PendingRenames())
        if (!MayGo(r.From) || (!r.To.empty() && !MayGo(r.To)))
            broken->push_back("replaced at restart: " + narrow(r.From) + " -> " + narrow(r.To));
}

// --- Runs and replays ------------------------------------------------------------

// One run of the program on a machine set up for it.
struct SweptRun {
    std::string Name;
    std::function<void()> Arrange;  // the machine, after a reset
    std::function<DWORD()> Start;   // the user's actions and the program's start; the program's process id
    // The longest the run may take by the waits the program mandates and the
    // user's own timing, the install worker's search passes aside.
    uint64_t WaitBudget = 0;
    uint64_t TimeLimit = 0;
    // Appends what the run reported as done and is not.
    std::function<void(std::vector<std::string> *)> CheckReports;
};

struct Fault {
    std::string Api;     // empty: none
    int Occurrence = 0;  // 0: every call
    DWORD Error = 0;

    std::string Name() const {
        char error[16];
        std::snprintf(error, sizeof(error), Error > 0xFFFF ? "0x%08lX" : "%lu", static_cast<unsigned long>(Error));
        return Api + (Occurrence == 0 ? std::string(" every call") : " #" + std::to_string(Occurrence)) +
               " (error " + error + ")";
    }
};

struct Outcome {
    sim::Process Process;
    Leftovers AtEnd;
    std::vector<sim::Call> Calls;
    std::vector<std::string> Broken;
};

// The replay under way, named by the sanitizers' death callback.
std::string gReplay;

void NameTheReplayThatDied() {
    std::fprintf(stderr, "\n*** fault sweep: the process died replaying %s\n", gReplay.c_str());
}

struct DeathNotice {
    DeathNotice() {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(NameTheReplayThatDied);
#endif
        static std::terminate_handler previous = std::set_terminate([] {
            NameTheReplayThatDied();
            previous();
        });
    }
};

// The spooler runs at the end. Only when every call of an API fails may it
// stay stopped, and then the program must have asked for a start after its
// last stop (the service manager refused it, or the program could not reach
// it).
void CheckSpooler(const Fault &fault, std::vector<std::string> *broken) {
    if (sim::ServiceRunning(L"Spooler"))
        return;
    bool startAsked = false;
    for (const sim::Call &c : sim::Calls()) {
        if (c.Api == "ControlService")
            startAsked = false;
        else if (c.Api == "StartServiceW" || c.Api == "OpenSCManagerW")
            startAsked = true;
    }
    if (fault.Occurrence != 0 || !startAsked)
        broken->push_back("the spooler is not running at the end");
}

// Sets up the machine, runs the program with the fault and checks the end.
// The leftovers of the clean run, if given, are allowed.
Outcome RunOnce(const SweptRun &run, const Fault &fault, const Leftovers *clean) {
    static DeathNotice notice;
    gReplay = run.Name + " / " + (fault.Api.empty() ? std::string("clean run") : fault.Name());
    sim::Reset();
    ResetProductGlobals();
    run.Arrange();
    std::vector<std::wstring> before = sim::files::ListTree(L"C:\\");

    Outcome out;
    DWORD pid = 0;
    bool ended = false;
    sim::OnProcessEnd([&](const sim::Process &p) {
        if (p.Id == pid) {
            out.AtEnd = TakeLeftovers(pid);
            ended = true;
        }
    });
    if (!fault.Api.empty()) {
        if (fault.Occurrence == 0)
            sim::FailCall(fault.Api, fault.Error, -1);
        else
            sim::FailCallAt(fault.Api, fault.Occurrence, fault.Error);
    }
    pid = run.Start();
    out.Process = sim::Run(run.TimeLimit);
    out.Calls = sim::Calls();

    std::vector<std::string> &broken = out.Broken;
    if (sim::BadFrees() != 0)
        broken.push_back(std::to_string(sim::BadFrees()) + " heap frees of blocks that were not allocated");
    if (!ended)
        broken.push_back("the program never ended");
    // A program ended at the time limit is judged by its time alone: what
    // it held then, the system closes.
    if (ended && !out.Process.Killed) {
        Leftovers allowed = clean ? *clean : Leftovers();
        allowed.Handles += HandlesOfASearchingWorker();
        CompareLeftovers(out.AtEnd, allowed, &broken);
    }
    CheckSpooler(fault, &broken);
    run.CheckReports(&broken);
    CheckFiles(before, &broken);

    // The install worker searches on, a pass a second, while it finds no
    // printer it knows: each pass after the first may add its second.
    int passes = sim::CallCount("SetupDiGetClassDevsW");
    uint64_t allowedEnd = run.WaitBudget + 1000u * static_cast<uint64_t>(passes > 1 ? passes - 1 : 0);
    if (out.Process.EndTime > allowedEnd)
        broken.push_back(std::string(out.Process.Killed ? "still running when ended at " : "ended at ") +
                         std::to_string(out.Process.EndTime) + " ms, the waits allow " + std::to_string(allowedEnd) +
                         " ms");
    gReplay.clear();
    return out;
}

std::string Joined(const std::vector<std::string> &broken) {
    std::string all;
    for (const std::string &b : broken)
        all += "\n    " + b;
    return all;
}

// Records the clean run, then replays every failure point; each broken
// point is one test failure.
void Sweep(const SweptRun &run) {
    Outcome clean = RunOnce(run, Fault(), nullptr);
    if (!clean.Broken.empty())
        ADD_FAILURE() << run.Name << " / clean run:" << Joined(clean.Broken);

    std::vector<std::string> apis;  // in the order of their first call
    std::map<std::string, int> counts;
    for (const sim::Call &c : clean.Calls)
        if (counts[c.Api]++ == 0)
            apis.push_back(c.Api);

    int points = 0, leftOutCalls = 0, leftOutApis = 0;
    std::vector<Fault> faults;
    for (const std::string &api : apis) {
        const ErrorRow *row = RowOf(api);
        if (row == nullptr)
            ADD_FAILURE() << run.Name << ": " << api << " has no row in the error table; swept with error "
                          << kUnlistedError;
        if (row != nullptr && row->NoFault != nullptr) {
            leftOutCalls += counts[api];
            leftOutApis++;
            continue;
        }
        DWORD error = row != nullptr ? row->Error : kUnlistedError;
        for (int n = 1; n <= counts[api]; n++)
            faults.push_back({api, n, error});
        faults.push_back({api, 0, error});
        points += counts[api];
    }

    for (const Fault &fault : faults) {
        Outcome replay = RunOnce(run, fault, &clean.AtEnd);
        if (!replay.Broken.empty())
            ADD_FAILURE() << run.Name << " / " << fault.Name() << ":" << Joined(replay.Broken);
    }

    std::printf("[ SWEEP    ] %s: %d calls of %d APIs; %d failure points (%d calls of %d APIs that cannot fail left "
                "out); %d replays\n",
                run.Name.c_str(), static_cast<int>(clean.Calls.size()), static_cast<int>(apis.size()), points,
                leftOutCalls, leftOutApis, static_cast<int>(faults.size()));
}

// --- The install runs ---------------------------------------------------------------

using install_fixture::kSetup;
const wchar_t kModel[] = L"Corvane LX-420";

// The waits one installation may take (install/install_sequence.cpp,
// install/manual_install.cpp, common/spooler_control.cpp): a spooler stop of
// up to 1000 polls 10 ms apart, 200 ms for the action, a start asked up to
// three times a second apart and up to 1000 polls; ten one-second looks for
// the Plug and Play queue; five for the manual driver and five for the
// manual queue.
const uint64_t kSpoolerCycleMs = 10000 + 200 + 2 * 1000 + 10000;
const uint64_t kInstallWaitsMs = 10 * 1000 + kSpoolerCycleMs            // the Plug and Play queue, the monitor DLL
                                 + kSpoolerCycleMs + 5 * 1000 + 5 * 1000  // manual: monitor DLL, driver, queue
                                 + kSpoolerCycleMs;                       // a port the spooler does not list
// A person at the machine closes the install window, should one show, at 15 s
// ("Done" shows at 10 s in a clean run). In a silent run one shows only when
// the command line cannot be split: then no option is recognised.
const uint64_t kWindowClosedMs = 15000;

DWORD StartInstall(const wchar_t *tail) {
    sim::At(kWindowClosedMs, [] {
        if (HWND window = sim::FindDialog(IDD_INSTALL))
            sim::Click(window, IDCANCEL);
    });
    return sim::StartProgram(kSetup, tail);
}

// The printer reported installed (string 103, which the silent run formats
// all the same; "Done" in the window): its queue is listed and its driver
// installed.
void CheckInstalledReport(std::vector<std::string> *broken) {
    bool reported = false;
    for (UINT id : sim::StringLoads())
        reported = reported || id == IDS_INSTALLED;
    HWND window = sim::FindDialog(IDD_INSTALL);
    bool done = window != nullptr && sim::ControlText(window, IDCANCEL) == L"Done";
    if (!reported && !done)
        return;
    std::string what = done ? "\"Done\"" : "string 103 (installed)";
    const sim::PrintQueue *queue = sim::FindQueue(kModel);
    if (queue == nullptr || queue->ListedAt > sim::Now())
        broken->push_back(what + " without the queue");
    else if (sim::FindDriver(queue->pDriverName) == nullptr)
        broken->push_back(what + " without the queue's driver");
}

SweptRun SilentInstall(bool plugAndPlay) {
    SweptRun run;
    run.Name = plugAndPlay ? "silent install, Plug and Play road" : "silent install, manual road";
    run.Arrange = [plugAndPlay] { install_fixture::ArrangeProgramInstall(kModel, plugAndPlay); };
    run.Start = [] { return StartInstall(L"/silence"); };
    run.WaitBudget = kInstallWaitsMs;
    run.TimeLimit = run.WaitBudget + 20000;
    run.CheckReports = CheckInstalledReport;
    return run;
}

SweptRun InstallWindow() {
    SweptRun run;
    run.Name = "install window ending in Done";
    run.Arrange = [] { install_fixture::ArrangeProgramInstall(kModel, true); };
    run.Start = [] { return StartInstall(L""); };
    // An installation under way when the window closes is finished first.
    run.WaitBudget = kWindowClosedMs + kInstallWaitsMs;
    run.TimeLimit = run.WaitBudget + 20000;
    run.CheckReports = CheckInstalledReport;
    return run;
}

// --- The uninstall run ------------------------------------------------------------------

const wchar_t kTemporaryCopy[] = L"C:\\Users\\Setup\\AppData\\Local\\Temp\\uni1.tmp";
const wchar_t kProductModel[] = L"Corvane MODEL";
const wchar_t kCopyQueue[] = L"Corvane MODEL (copy 1)";

// The waits of "Remove" (uninstall/removal.cpp, common/spooler_control.cpp)
// for two queues, one driver and one package: 300 ms after each queue; ten
// tries of the driver, each with a spooler restart (a stop of up to 1000
// polls 10 ms apart, a start asked up to three times a second apart with up
// to 1000 polls, 1000 ms to settle) and 1000 ms before the next, then 300 ms;
// five tries of the package 1000 ms apart; the monitor DLL with the spooler
// stopped (1000 polls), five tries 1000 ms apart, and the spooler started.
const uint64_t kStartMs = 2 * 1000 + 10000;
const uint64_t kRemovalWaitsMs =
    2 * 300 + 10 * (10000 + kStartMs + 1000 + 1000) + 300 + 5 * 1000 + 10000 + 5 * 1000 + kStartMs;
const uint64_t kRemoveClickMs = 1000;

// The user closes the window as soon as it lets them, trying once a second.
void CloseWhenPossible(uint64_t time) {
    sim::At(time, [time] {
        HWND window = sim::FindDialog(IDD_UNINSTALL);
        if (window == nullptr || !sim::IsDialogOpen(window))
            return;
        sim::CloseDialog(window);
        CloseWhenPossible(time + 1000);
    });
}

bool ShowsRemoved(const WCHAR *status) { return std::wstring(status) == L"Removed."; }

std::string Narrow(const WCHAR *text) {
    std::wstring w = text != nullptr ? text : L"";
    return std::string(w.begin(), w.end());
}

// "Removed." on a node of the tree, and message 115: what they speak of is
// gone.
void CheckRemovedReports(std::vector<std::string> *broken) {
    for (const PackageNode *p = PackageList; p != nullptr; p = p->Next) {
        if (ShowsRemoved(p->StatusText))
            for (const sim::DriverPackage &left : sim::DriverPackages())
                if (Canonical(left.StoreInf) == Canonical(p->StoreInfPath))
                    broken->push_back("package " + Narrow(p->StoreInfPath) + " shows \"Removed.\" and is still there");
        for (const DriverNode *d = p->Drivers; d != nullptr; d = d->Next) {
            if (ShowsRemoved(d->StatusText) && d->DriverInfo != nullptr && d->DriverInfo->pName != nullptr &&
                sim::FindDriver(d->DriverInfo->pName) != nullptr)
                broken->push_back("driver " + Narrow(d->DriverInfo->pName) + " shows \"Removed.\" and is still there");
            for (const QueueNode *q = d->Queues; q != nullptr; q = q->Next)
                if (ShowsRemoved(q->StatusText) && q->PrinterInfo != nullptr &&
                    q->PrinterInfo->pPrinterName != nullptr && sim::FindQueue(q->PrinterInfo->pPrinterName) != nullptr)
                    broken->push_back("queue " + Narrow(q->PrinterInfo->pPrinterName) +
                                      " shows \"Removed.\" and is still there");
        }
    }
    bool uninstalled = false;
    for (const sim::MessageBoxCall &box : sim::MessageBoxes())
        uninstalled = uninstalled || box.Text == L"The driver is uninstalled.";
    if (!uninstalled)
        return;
    for (const wchar_t *queue : {kProductModel, kCopyQueue})
        if (sim::FindQueue(queue) != nullptr)
            broken->push_back("message 115 (uninstalled) with the queue " + Narrow(queue) + " still there");
    if (sim::FindDriver(kProductModel) != nullptr)
        broken->push_back("message 115 (uninstalled) with the driver still there");
    if (!sim::DriverPackages().empty())
        broken->push_back("message 115 (uninstalled) with the driver package still there");
}

class FaultSweep : public UninstallFixture {
protected:
    // The product installed with a package, its driver and two queues, and
    // its folder; the uninstall window as the hand-over starts it (the
    // folder's quote left open), "Remove" pressed after a second.
    static SweptRun RemoveInTheUninstallWindow() {
        SweptRun run;
        run.Name = "uninstall window, Remove";
        run.Arrange = [] {
            InstallProduct(kProductModel);
            AddQueue(kCopyQueue, kProductModel, L"USB002");
        };
        run.Start = [] {
            sim::At(kRemoveClickMs, [] {
                if (HWND window = sim::FindDialog(IDD_UNINSTALL))
                    sim::Click(window, IDC_REMOVE);
            });
            CloseWhenPossible(kRemoveClickMs + 1000);
            return sim::StartProgram(kTemporaryCopy, L"-u \"" + std::wstring(kFolder));
        };
        run.WaitBudget = kRemoveClickMs + kRemovalWaitsMs + 1000;
        run.TimeLimit = run.WaitBudget + 30000;
        run.CheckReports = CheckRemovedReports;
        return run;
    }
};

// What the sweep found, now mended in the product. Each row is replayed
// on its own with the error of the table, and must still reach its call.
enum class RunId { SilentPlugAndPlay, InstallWindow, Remove };

struct FoundFault {
    RunId Run;
    const char *Api;
    int Occurrence;  // 0: every call
    const char *WentWrong;
};

const FoundFault kFoundFaults[] = {
    {RunId::SilentPlugAndPlay, "GetModuleFileNameW", 1,
     "the program took the drive's root for its folder and scheduled C:\\amd64's driver files to replace the "
     "installed ones at restart"},
    {RunId::InstallWindow, "GetModuleFileNameW", 1, "the same, behind the install window"},
    {RunId::Remove, "CreateThread", 1,
     "no inventory was taken, yet \"Remove\" said \"The driver is uninstalled.\" and recycled the folder with "
     "everything still installed"},
    {RunId::Remove, "HeapAlloc", 0, "an inventory without a single record: the same false success"},
    {RunId::Remove, "PostMessageW", 8,
     "the request to close after a clean removal was lost and both buttons stayed disabled: the window could "
     "not be closed"},
    {RunId::Remove, "OpenSCManagerW", 2, "the spooler, stopped for the monitor DLL, was never started again"},
    {RunId::Remove, "OpenServiceW", 2, "the same"},
    {RunId::Remove, "QueryServiceStatusEx", 3, "the same"},
    {RunId::Remove, "StartServiceW", 1, "the same"},
};

TEST_F(FaultSweep, FaultsItFoundStayMended) {
    for (const FoundFault &found : kFoundFaults) {
        SweptRun run = found.Run == RunId::SilentPlugAndPlay ? SilentInstall(true)
                       : found.Run == RunId::InstallWindow  ? InstallWindow()
                                                             : RemoveInTheUninstallWindow();
        Outcome clean = RunOnce(run, Fault(), nullptr);
        Fault fault{found.Api, found.Occurrence, RowOf(found.Api)->Error};
        Outcome replay = RunOnce(run, fault, &clean.AtEnd);
        if (sim::CallCount(found.Api) < std::max(found.Occurrence, 1))
            replay.Broken.push_back("the run no longer reaches this call");
        EXPECT_TRUE(replay.Broken.empty()) << run.Name << " / " << fault.Name() << " (" << found.WentWrong
                                           << "):" << Joined(replay.Broken);
    }
}

TEST_F(FaultSweep, EveryFailedCallOfTheSilentPlugAndPlayInstallEndsSafely) { Sweep(SilentInstall(true)); }

TEST_F(FaultSweep, EveryFailedCallOfTheSilentManualInstallEndsSafely) { Sweep(SilentInstall(false)); }

TEST_F(FaultSweep, EveryFailedCallOfTheInstallWindowEndsSafely) { Sweep(InstallWindow()); }

TEST_F(FaultSweep, EveryFailedCallOfRemoveInTheUninstallWindowEndsSafely) { Sweep(RemoveInTheUninstallWindow()); }

}  // namespace
