// The fault sweep: every call a whole run of the program makes is made to
// fail, one at a time, and the run must still end in a defined, safe state.
//
// For each run (one test each, the calls of its children included) the sweep
// first records a clean run: every call of a simulated API, by name and
// occurrence. It then replays the run once per recorded call with that one
// call failing, and once per API with every call of it failing, each time
// with the error Windows gives for a plausible failure of that API
// (kErrorTable), and with each further error the program tells apart (a "not
// found" made true first: kVanishings). The clean run itself must end by
// itself, reach its run's outcome (Reached) and give at least the run's
// stated number of failure points; otherwise the run fails and is not
// replayed. After each replay it checks:
//   - the injected failure was reached;
//   - no crash: no process ended by an exception, no bad heap free (a
//     sanitizer report ends the whole binary, and then the death callback
//     names the replay);
//   - nothing left open beyond what the clean run leaves: kernel handles,
//     service handles, registry keys, printer handles, device information
//     sets, heap blocks that no product list holds (the product creates no
//     GDI object: its pictures are static controls of the dialog templates);
//   - a run still going at the time limit is the install worker searching:
//     its passes on one thread, not the window's, about a second apart to the
//     end, holding no more from one pass to the next; an install window the
//     user closed is not still open (its thread answers);
//   - the spooler runs at the end;
//   - no failure passes for success: what the run reports as installed,
//     staged, handed over or removed (in a window or its exit code) is so on
//     the machine;
//   - nothing outside the product's folder and its own driver files is
//     deleted, changed, recycled or replaced;
//   - what the run wrote of the product's own files outside its folder, or
//     scheduled onto them at the restart, is the package's file for the
//     machine's processor;
//   - the run ends within the clean run's end plus the waits the failed
//     call's path adds (kInstallPaths, kRemovalPaths);
//   - a deployment mode's exit code is the one a table here gives for the
//     failure (kExitOfError), 1167 only where the search could look, 31 only
//     for a refused rescan; it made no window or message box and started no
//     process;
//   - one failure that the program documents a retry for (kRetried) ends as
//     the clean run does;
//   - a run that ends at start-up ends for a call start-up needs
//     (kStartUpNeeds), not for an optional function;
//   - a run with /log appends to its log and never cuts what it held;
//   - the package a run staged under C:\Windows\Temp is gone with it, unless
//     the failed call was one of the copy's deletion (a later run removes it);
//     only the relaunched uninstaller's copy stays there;
//   - the install folder goes to the Recycle Bin only with everything else
//     removed, and never in /remove;
//   - the device node of a queue the run removed is gone, unless the program
//     runs under WOW64 (Windows refuses it that) or a failure kept it from
//     the node; no other queue's node is removed.
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
#include <chrono>
#include <cstdio>
#include <cwctype>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "app/deployment.h"
#include "common/package_files.h"
#include "common/resource_ids.h"
#include "install/discovery.h"
#include "product_version.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/loader.h"
#include "sim/pnp.h"
#include "sim/registry.h"
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
const DWORD kLockViolation = 33;               // ERROR_LOCK_VIOLATION
const DWORD kNoMemoryNte = 0x8009000E;         // NTE_NO_MEMORY
const DWORD kBadHashNte = 0x80090002;          // NTE_BAD_HASH

// --- The error each API fails with --------------------------------------------

struct ErrorRow {
    const char *Api;
    DWORD Error;         // the last error (or HRESULT, registry result) it fails with
    const char *NoFault;  // non-null: the call cannot fail in this program, and why
    // Further errors, where the program tells one failure from another: each
    // is swept like the first.
    DWORD Also[2] = {0, 0};
};

const ErrorRow kErrorTable[] = {
    // Kernel
    {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CreateMutexW", ERROR_ACCESS_DENIED, nullptr},
    {"OpenEventW", ERROR_ACCESS_DENIED, nullptr, {ERROR_FILE_NOT_FOUND}},
    {"DuplicateHandle", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"ResumeThread", 0, "resumes the thread of a copy the program has just created suspended: fails only for an invalid handle"},
    {"CheckTokenMembership", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"AddIntegrityLabelToBoundaryDescriptor", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"GetAce", 0, "reads an entry of an ACL that GetSecurityInfo gave, within its count"},
    {"GetFullPathNameW", ERROR_INVALID_NAME, nullptr},
    // The machine's guard, the program's own file and the log's owner
    {"CreateWellKnownSid", ERROR_INVALID_PARAMETER, nullptr},
    {"CreateBoundaryDescriptorW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"AddSIDToBoundaryDescriptor", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"DeleteBoundaryDescriptor", 0, "returns nothing"},
    {"CreatePrivateNamespaceW", ERROR_ACCESS_DENIED, nullptr, {ERROR_ALREADY_EXISTS}},
    {"OpenPrivateNamespaceW", ERROR_ACCESS_DENIED, nullptr, {ERROR_PATH_NOT_FOUND}},
    {"ClosePrivateNamespace", 0, "releases a handle the program holds: fails only for an invalid one"},
    {"K32GetMappedFileNameW", ERROR_ACCESS_DENIED, nullptr},
    {"GetSecurityInfo", ERROR_ACCESS_DENIED, nullptr},
    // The log's words: the account of the first line, an error number's text
    {"OpenProcessToken", ERROR_ACCESS_DENIED, nullptr},
    {"GetTokenInformation", ERROR_ACCESS_DENIED, nullptr},
    {"LookupAccountSidW", ERROR_NONE_MAPPED, nullptr},
    {"FormatMessageW", ERROR_MR_MID_NOT_FOUND, nullptr},
    {"IsWellKnownSid", 0, "a comparison: no failure value"},
    {"CreateEventW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CreateThread", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"CreateProcessW", ERROR_ACCESS_DENIED, nullptr},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE, nullptr},
    {"GetExitCodeProcess", ERROR_ACCESS_DENIED, nullptr},
    {"GetProcessWindowStation", ERROR_ACCESS_DENIED, nullptr},
    {"GetUserObjectInformationW", ERROR_ACCESS_DENIED, nullptr},
    {"ProcessIdToSessionId", ERROR_ACCESS_DENIED, nullptr},
    {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"SystemTimeToFileTime", ERROR_INVALID_PARAMETER, nullptr},
    {"GetLocalTime", 0, "returns nothing"},
    {"GetCurrentProcess", 0, "a pseudo handle: no failure value"},
    {"IsWow64Process", ERROR_ACCESS_DENIED, nullptr},
    {"IsWow64Process2", ERROR_ACCESS_DENIED, nullptr},
    {"GetSystemWindowsDirectoryW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"Wow64DisableWow64FsRedirection", ERROR_INVALID_FUNCTION, nullptr},
    {"Wow64RevertWow64FsRedirection", ERROR_INVALID_FUNCTION, nullptr},
    // Libraries
    {"GetModuleHandleW", 0, "asked for kernel32, which every process has loaded"},
    {"GetProcAddress", ERROR_PROC_NOT_FOUND, nullptr},
    {"SetDefaultDllDirectories", ERROR_INVALID_PARAMETER, nullptr},
    {"SetDllDirectoryW", ERROR_INVALID_PARAMETER, nullptr},
    {"LoadLibraryExW", ERROR_MOD_NOT_FOUND, nullptr},
    {"Sleep", 0, "returns nothing"},
    {"GetNativeSystemInfo", 0, "returns nothing"},
    {"OutputDebugStringW", 0, "returns nothing"},
    // Text
    {"MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER, nullptr},
    {"WideCharToMultiByte", ERROR_INSUFFICIENT_BUFFER, nullptr},
    {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"lstrcmpiW", 0, "a comparison: no failure value"},
    // Registry
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED, nullptr},
    {"RegQueryValueExW", ERROR_ACCESS_DENIED, nullptr},
    {"RegGetValueW", ERROR_ACCESS_DENIED, nullptr},
    {"RegEnumKeyW", ERROR_ACCESS_DENIED, nullptr},
    {"RegCloseKey", 0, "releases a handle the program holds: fails only for an invalid one"},
    // Files
    {"CopyFileW", ERROR_SHARING_VIOLATION, nullptr, {ERROR_FILE_NOT_FOUND}},
    {"DeleteFileW", ERROR_ACCESS_DENIED, nullptr, {ERROR_FILE_NOT_FOUND}},
    {"MoveFileExW", ERROR_ACCESS_DENIED, nullptr},
    {"GetFileAttributesW", ERROR_ACCESS_DENIED, nullptr},
    {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"GetTempFileNameW", ERROR_ACCESS_DENIED, nullptr},
    {"CreateFileW", ERROR_SHARING_VIOLATION, nullptr},
    {"WriteFile", kDiskFull, nullptr},
    {"ReadFile", kLockViolation, nullptr},
    {"GetFileInformationByHandle", ERROR_ACCESS_DENIED, nullptr},
    {"SetFileAttributesW", ERROR_ACCESS_DENIED, nullptr, {ERROR_FILE_NOT_FOUND}},
    {"FindFirstFileW", ERROR_ACCESS_DENIED, nullptr, {ERROR_FILE_NOT_FOUND}},
    {"FindNextFileW", ERROR_NOT_ENOUGH_MEMORY, nullptr, {ERROR_NO_MORE_FILES}},
    {"FindClose", 0, "releases a search the program holds: fails only for an invalid one"},
    {"GetSystemTimeAsFileTime", 0, "returns nothing"},
    // CryptoAPI
    {"CryptAcquireContextW", kNoMemoryNte, nullptr},
    {"CryptGenRandom", kNoMemoryNte, nullptr},
    {"CryptCreateHash", kNoMemoryNte, nullptr},
    {"CryptHashData", kBadHashNte, nullptr},
    {"CryptGetHashParam", kBadHashNte, nullptr},
    {"CryptDestroyHash", ERROR_INVALID_HANDLE, nullptr},
    {"CryptReleaseContext", ERROR_INVALID_HANDLE, nullptr},
    {"CreateDirectoryW", ERROR_ACCESS_DENIED, nullptr, {ERROR_ALREADY_EXISTS}},
    {"RemoveDirectoryW", ERROR_DIR_NOT_EMPTY, nullptr},
    {"ConvertStringSecurityDescriptorToSecurityDescriptorW", ERROR_NOT_ENOUGH_MEMORY, nullptr},
    // Services
    {"OpenSCManagerW", ERROR_ACCESS_DENIED, nullptr},
    {"OpenServiceW", ERROR_ACCESS_DENIED, nullptr},
    {"QueryServiceStatusEx", ERROR_ACCESS_DENIED, nullptr},
    {"ControlService", kServiceDatabaseLocked, nullptr},
    {"StartServiceW", kServiceDatabaseLocked, nullptr},
    {"CloseServiceHandle", 0, "releases a handle the program holds: fails only for an invalid one"},
    // Spooler and driver store
    {"EnumPortsW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"DeleteMonitorW", RPC_S_SERVER_UNAVAILABLE, nullptr, {ERROR_PRINT_MONITOR_IN_USE, ERROR_UNKNOWN_PRINT_MONITOR}},
    {"AddPrinterDriverW", ERROR_ACCESS_DENIED, nullptr},
    {"AddPrinterDriverExW", ERROR_ACCESS_DENIED, nullptr},
    {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"DeletePrinterDriverExW", ERROR_ACCESS_DENIED, nullptr, {ERROR_PRINTER_DRIVER_IN_USE, ERROR_UNKNOWN_PRINTER_DRIVER}},
    {"GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"OpenPrinterW", RPC_S_SERVER_UNAVAILABLE, nullptr, {ERROR_INVALID_PRINTER_NAME}},
    {"ClosePrinter", 0, "releases a handle the program holds: fails only for an invalid one"},
    {"AddPrinterW", ERROR_ACCESS_DENIED, nullptr},
    // 3010: a failure whose code reads as success to a deployment tool.
    {"DeletePrinter", ERROR_ACCESS_DENIED, nullptr, {EXIT_RESTART_NEEDED}},
    {"SetPrinterW", ERROR_ACCESS_DENIED, nullptr},
    {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE, nullptr},
    {"UploadPrinterDriverPackageW", ERROR_ACCESS_DENIED, nullptr},
    {"DeletePrinterDriverPackageW", ERROR_ACCESS_DENIED, nullptr, {(DWORD)SPAPI_E_INF_IN_USE_BY_DEVICES}},
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
    {"GetDlgItem", 0, "names a control of the dialog's own template"},
    {"EndDialog", 0, "called with the dialog's own valid handle"},
    {"ShowWindow", 0, "returns the earlier visibility, not a failure"},
    {"EnableWindow", 0, "returns the earlier state, not a failure"},
    {"IsWindowEnabled", 0, "a question about the program's own window: no failure value"},
    {"GetWindowTextLengthW", 0, "0 is also the length of an empty text: no failure value"},
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
    // Those its parent gave it (the relaunched copy's guard) are the
    // parent's to account for: the copy was never told their values, and
    // they close with it.
    l.Handles = sim::OpenHandles(processId) - sim::GivenHandles(processId);
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

void CompareLeftovers(const Leftovers &got, const Leftovers &allowed, const std::string &when,
                      std::vector<std::string> *broken) {
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
            broken->push_back(std::to_string(i.Got) + " " + i.What + " " + when + ", " + std::to_string(i.Allowed) +
                              " allowed");
}

// --- The file system: nothing but the product's own may go or change -------------

const wchar_t kFolder[] = L"C:\\Program Files\\Corvane\\";
const wchar_t kMonitorDll[] = L"C:\\Windows\\system32\\crvnmon.dll";  // the real System32, also under WOW64

std::wstring Lower(std::wstring text) {
    for (auto &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring Canonical(const std::wstring &path) { return Lower(sim::files::Canonical(path)); }

std::string Narrow(const std::wstring &w) { return std::string(w.begin(), w.end()); }

bool Within(const std::wstring &path, const std::wstring &folder) {
    std::wstring p = Canonical(path), f = Canonical(folder);
    return p == f || p.compare(0, f.size() + 1, f + L"\\") == 0;
}

bool IsProductDriver(const sim::PrinterDriver &d) {
    return d.pDriverPath && d.pDriverPath->find(DRIVER_DLL_NAME) != std::wstring::npos;
}

// A file of the product's own that the installation puts into a printer-
// driver directory or the system directory, or a package of its INF in the
// driver store.
bool IsProductFileOutside(const std::wstring &path) {
    // Most paths of a machine are ruled out by their name alone, before the
    // simulation resolves them.
    std::wstring last = Lower(path.substr(path.find_last_of(L'\\') + 1));
    bool named = Lower(path).find(Lower(L"\\" PACKAGE_INF_NAME L"_")) != std::wstring::npos;
    for (const wchar_t *own : {DRIVER_DLL_NAME, CONFIG_DLL_NAME, MONITOR_DLL_NAME, DRIVER_DATA_FILE_NAME})
        named = named || last == Lower(own);
    if (!named)
        return false;
    std::wstring p = Canonical(path);
    if (p.find(Lower(L"\\DriverStore\\FileRepository\\" PACKAGE_INF_NAME L"_")) != std::wstring::npos)
        return true;
    size_t slash = p.rfind(L'\\');
    if (slash == std::wstring::npos)
        return false;
    std::wstring parent = p.substr(0, slash), name = p.substr(slash + 1);
    bool driverFolder = Within(parent, L"C:\\Windows\\system32\\spool\\DRIVERS");
    if (!driverFolder && parent != Canonical(sim::files::kSystemDirectory))
        return false;
    for (const wchar_t *own : {DRIVER_DLL_NAME, CONFIG_DLL_NAME, MONITOR_DLL_NAME, DRIVER_DATA_FILE_NAME})
        if (name == Lower(own))
            return true;
    return false;
}

// Every file and folder of the machine, with the contents of the files.
std::map<std::wstring, std::string> Snapshot() {
    std::map<std::wstring, std::string> all;
    for (sim::files::TreeEntry &entry : sim::files::ReadTree(L"C:\\"))
        all[entry.Path] = entry.Folder ? "d" : "f" + entry.Content;
    return all;
}

// The package's copy of one of the product's files outside its folder, for
// the machine's processor, as the folder held it before the run.
std::string PackageFile(const std::map<std::wstring, std::string> &before, const std::wstring &path) {
    std::wstring env = sim::NativePrintEnvironment(), name = Lower(path.substr(path.find_last_of(L'\\') + 1));
    const wchar_t *folder = name == Lower(DRIVER_DATA_FILE_NAME) ? L"dat"
                            : env == L"Windows x64"              ? L"amd64"
                            : env == L"Windows ARM64"            ? L"arm64"
                            : env == L"Windows ARM"              ? L"arm"
                                                                 : L"i386";
    auto it = before.find(sim::files::Canonical(std::wstring(kFolder) + folder + L"\\" + name));
    return it == before.end() ? std::string("(no such file in the package)") : it->second.substr(1);
}

// What the run wrote of the product's own files outside its folder, or
// scheduled onto them at the restart, is the package's file for the
// machine's processor.
void CheckOwnFilesOutside(const std::map<std::wstring, std::string> &before,
                          const std::map<std::wstring, std::string> &after, std::vector<std::string> *broken) {
    for (const auto &[path, held] : after) {
        if (held == "d" || path.find(L"DriverStore") != std::wstring::npos || !IsProductFileOutside(path))
            continue;
        auto was = before.find(sim::files::Canonical(path));
        std::string content = held.substr(1);
        // The spooler copies into its version folder what the driver folder
        // holds: a file there in use keeps its old bytes until the restart.
        size_t slash = path.find_last_of(L'\\');
        std::wstring stagedPath = path.substr(0, path.rfind(L'\\', slash - 1)) + path.substr(slash);
        auto staged = before.find(sim::files::Canonical(stagedPath));
        bool spoolersCopy = Canonical(path).find(L"\\3\\") != std::wstring::npos && staged != before.end() &&
                            staged->second == "f" + content && sim::files::IsLocked(stagedPath);
        if ((was == before.end() || was->second != "f" + content) && content != PackageFile(before, path) &&
            !spoolersCopy)
            broken->push_back("wrote " + Narrow(path) + ", which is not the package's file for " +
                              Narrow(sim::NativePrintEnvironment()));
    }
    for (const sim::files::PendingRename &r : sim::files::PendingRenames())
        if (!r.To.empty() && IsProductFileOutside(r.To) &&
            sim::files::ReadFile(r.From) != PackageFile(before, r.To))
            broken->push_back("at the restart " + Narrow(r.From) + " replaces " + Narrow(r.To) +
                              ", and it is not the package's file");
}

void CheckFiles(const std::map<std::wstring, std::string> &before, std::vector<std::string> *broken) {
    // What the run made itself, and the product's own, may go.
    auto mayGo = [&before](const std::wstring &path) {
        return Within(path, kFolder) || IsProductFileOutside(path) || before.count(sim::files::Canonical(path)) == 0;
    };
    std::map<std::wstring, std::string> after = Snapshot();
    for (const auto &entry : before) {
        auto now = after.find(entry.first);
        bool exists = now != after.end();
        if (exists && entry.second == now->second)
            continue;
        if (!mayGo(entry.first))
            broken->push_back((exists ? "changed " : "deleted ") + Narrow(entry.first));
    }
    for (const sim::shell::RecycledItem &item : sim::shell::RecycleBin())
        if (!Within(item.OriginalPath, kFolder))
            broken->push_back("recycled " + Narrow(item.OriginalPath));
    for (const sim::files::PendingRename &r : sim::files::PendingRenames())
        if (!mayGo(r.From) || (!r.To.empty() && !mayGo(r.To)))
            broken->push_back("replaced at restart: " + Narrow(r.From) + " -> " + Narrow(r.To));
    CheckOwnFilesOutside(before, after, broken);
}

// --- Answers made true: another program removed the object just before ----------

// The machine before the run under way.
const std::map<std::wstring, std::string> *gBefore = nullptr;

// The product's files that were there before the run, not those it wrote,
// nor those in use, which no other program can delete.
void RemoveProductFilesOutside() {
    for (const std::wstring &path : sim::files::ListTree(sim::files::kSystemDirectory)) {
        auto was = gBefore->find(sim::files::Canonical(path));
        if (sim::files::IsFile(path) && IsProductFileOutside(path) && path.find(L"DriverStore") == std::wstring::npos &&
            was != gBefore->end() && was->second == "f" + sim::files::ReadFile(path)) {
            // A file in use cannot be deleted. An administrator's program can
            // still rename the monitor DLL out of System32; a driver file in
            // use stays, as the spooler copies from it.
            bool inSystem32 = Canonical(path.substr(0, path.find_last_of(L'\\'))) ==
                              Canonical(sim::files::kSystemDirectory);
            if (!sim::files::IsLocked(path))
                sim::files::Remove(path);
            else if (inSystem32)
                sim::files::Move(path, path + L".aside");
        }
    }
}

void RemoveProductQueues() {
    std::vector<std::wstring> names;
    for (const sim::PrintQueue &q : sim::Queues())
        if (sim::FindDriver(q.pDriverName) != nullptr && IsProductDriver(*sim::FindDriver(q.pDriverName)))
            names.push_back(q.pPrinterName);
    for (const std::wstring &name : names)
        sim::RemoveQueue(name);
}

void RemoveProductDrivers() {
    std::vector<std::wstring> names;
    for (const sim::PrinterDriver &d : sim::Drivers())
        if (IsProductDriver(d) && d.pName)
            names.push_back(*d.pName);
    for (const std::wstring &name : names)
        sim::RemoveDriver(name);
}

void RemoveProductMonitor() { sim::RemoveMonitor(uninstall_fixture::kMonitor); }

struct Vanishing {
    const char *Api;
    DWORD Error;
    void (*Remove)();
};

const Vanishing kVanishings[] = {
    {"DeleteFileW", ERROR_FILE_NOT_FOUND, RemoveProductFilesOutside},
    {"OpenPrinterW", ERROR_INVALID_PRINTER_NAME, RemoveProductQueues},
    {"DeletePrinterDriverExW", ERROR_UNKNOWN_PRINTER_DRIVER, RemoveProductDrivers},
    {"DeleteMonitorW", ERROR_UNKNOWN_PRINT_MONITOR, RemoveProductMonitor},
};

// --- Runs and replays ------------------------------------------------------------

// The waits a failed call's path may add, with the program's own constants:
// one failed call (PerCall), every call failing (EveryCall; 0: the run may
// search on).
struct PathRow {
    const char *Apis;  // separated by blanks
    DWORD Error;       // 0: any error
    uint64_t PerCall;
    uint64_t EveryCall;
    bool PerSpoolerOperation;  // EveryCall counts once for each spooler operation of the run
};

// A stop of up to 1000 polls 10 ms apart, a start asked up to three times a
// second apart with up to 1000 polls (common/spooler_control.cpp).
const uint64_t kStopMs = 1000 * 10;
const uint64_t kStartMs = 2 * 1000 + 1000 * 10;

// The installation: a search pass a second; ten looks a second apart for the
// Plug and Play queue, then five for the manual driver and five for its
// queue; the spooler stopped around the monitor DLL or for a missing port.
const PathRow kInstallPaths[] = {
    {"SetupDiGetClassDevsW SetupDiEnumDeviceInterfaces SetupDiGetDeviceInterfaceDetailW RegOpenKeyExW "
     "RegQueryValueExW RegGetValueW HeapAlloc CM_Locate_DevNodeW CM_Reenumerate_DevNode",
     0, 1000, 0, false},
    {"UploadPrinterDriverPackageW UpdateDriverForPlugAndPlayDevicesW CM_Locate_DevNodeW CM_Reenumerate_DevNode "
     "OpenPrinterW GetPrinterW ClosePrinter EnumPrintersW HeapAlloc LocalAlloc",
     0, 10 * 1000 + 5 * 1000 + 5 * 1000, 10 * 1000 + 5 * 1000 + 5 * 1000, false},
    {"AddPrinterDriverW EnumPrinterDriversW AddPrinterW GetPrinterDriverDirectoryW CopyFileW DeleteFileW "
     "GetFileAttributesW GetTempFileNameW MoveFileExW AddMonitorW LocalAlloc SystemTimeToFileTime",
     0, 5 * 1000 + 5 * 1000, 5 * 1000 + 5 * 1000, false},
    {"EnumPortsW OpenSCManagerW OpenServiceW QueryServiceStatusEx QueryServiceStatus ControlService StartServiceW", 0,
     kStopMs + 200 + kStartMs, kStopMs + 200 + kStartMs, true},
};

// "Remove": ten tries of a driver a second apart, with a spooler restart for
// one in use; five of the package and of the monitor DLL; the spooler stopped
// around the DLL.
const uint64_t kRestartMs = kStopMs + kStartMs + 1000;
const uint64_t kDriverInUseMs = 10 * (1000 + kRestartMs);
const PathRow kRemovalPaths[] = {
    // What the inventory misses can still be in the way: the queues of a
    // driver it found (the driver is then in use), or a package's driver.
    {"RegOpenKeyExW RegEnumKeyW RegGetValueW EnumPrinterDriversW EnumPrintersW HeapAlloc", 0,
     kDriverInUseMs + 5 * 1000, kDriverInUseMs + 5 * 1000, false},
    {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 1000 + kRestartMs, kDriverInUseMs, false},
    {"DeletePrinterDriverExW", 0, 1000, 10 * 1000, false},
    {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, kRestartMs, kRestartMs, false},
    {"DeletePrinterDriverPackageW", (DWORD)SPAPI_E_INF_IN_USE_BY_DEVICES, 1000, 5 * 1000, false},
    {"DeleteFileW", 0, 1000, 5 * 1000, false},
    {"OpenSCManagerW OpenServiceW QueryServiceStatusEx QueryServiceStatus ControlService StartServiceW", 0,
     kStopMs + kStartMs, kStopMs + kStartMs, true},
};

bool Lists(const char *apis, const std::string &api) {
    std::istringstream words(apis);
    std::string word;
    while (words >> word)
        if (word == api)
            return true;
    return false;
}

// One run of the program on a machine set up for it.
struct SweptRun {
    std::string Name;
    std::function<void()> Arrange;  // the machine, after a reset
    std::function<DWORD()> Start;   // the user's actions and the program's start; the program's process id
    std::vector<PathRow> Paths;     // the waits a failure may add
    // The user's timing: a window left open after a failure is closed a
    // second later, an install window at WindowClosedMs (0: none shows).
    uint64_t Slack = 0;
    uint64_t WindowClosedMs = 0;
    // The worker may search on without end (not in a deployment mode).
    bool MaySearchOn = true;
    // A deployment mode: no window, no message box, no process of its own.
    bool Deployment = false;
    // The run writes its log to kRunLog, which holds an earlier run's line.
    bool Logs = false;
    // Appends what the run reported as done and is not.
    std::function<void(const sim::Process &, std::vector<std::string> *)> CheckReports;
    // Appends what the run's outcome lacks: the clean run, and a run whose
    // one failure the program retries, must reach it.
    std::function<void(const sim::Process &, std::vector<std::string> *)> Reached;
    // The fewest failure points its clean run must give.
    int MinPoints = 0;
    // The 32-bit program on x64: Windows refuses it the removal of device nodes.
    bool Wow64 = false;
    // The run is judged by the copy it relaunches with -u, which then runs.
    bool FollowsRelaunch = false;
    // The calls whose failures are swept one by one (empty: all).
    std::function<bool(const sim::Call &)> Swept;
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

// --- The queues' device nodes ---------------------------------------------------

// A device node named as a queue the machine had before the run.
struct QueueDevice {
    std::wstring InstanceId, Queue;
    bool Product;  // the queue of a product driver
};

std::vector<QueueDevice> QueueDevices() {
    std::vector<QueueDevice> nodes;
    for (const sim::DeviceNode &n : sim::DeviceNodes())
        if (const sim::PrintQueue *q = n.FriendlyName ? sim::FindQueue(*n.FriendlyName) : nullptr) {
            const sim::PrinterDriver *d = sim::FindDriver(q->pDriverName);
            nodes.push_back({n.InstanceId, q->pPrinterName, d != nullptr && IsProductDriver(*d)});
        }
    return nodes;
}

// The calls that find and remove a queue's device node: an injected failure
// of one of them leaves the node.
const char kDeviceRemovalApis[] =
    "SetupDiClassGuidsFromNameW SetupDiGetClassDevsExW SetupDiEnumDeviceInfo SetupDiGetDeviceRegistryPropertyW "
    "SetupDiRemoveDevice";

bool DeviceRemovalFailed(const Fault &fault) {
    std::map<std::string, int> counts;
    std::string previous;
    for (const sim::Call &c : sim::Calls()) {
        int n = ++counts[c.Api];
        // The GUID block is allocated right after the class lookup.
        if (c.Api == fault.Api && (fault.Occurrence == 0 || fault.Occurrence == n) &&
            (Lists(kDeviceRemovalApis, c.Api) || (c.Api == "HeapAlloc" && previous == "SetupDiClassGuidsFromNameW")))
            return true;
        previous = c.Api;
    }
    return false;
}

// The node of a queue the run removed is gone with it, except under WOW64,
// where Windows refuses a 32-bit program the removal (which the program
// ignores), or where an injected failure kept the program from it. A queue
// that stays keeps its node unless it is the product's: the program takes
// the node of each queue it removes, whatever the deletion answered.
void CheckQueueDevices(const std::vector<QueueDevice> &before, bool wow64, const Fault &fault,
                       std::vector<std::string> *broken) {
    for (const QueueDevice &node : before) {
        bool gone = true, queueGone = sim::FindQueue(node.Queue) == nullptr;
        for (const sim::DeviceNode &n : sim::DeviceNodes())
            gone = gone && n.InstanceId != node.InstanceId;
        std::string what = "the device node of queue " + Narrow(node.Queue);
        if (gone && wow64)
            broken->push_back(what + " removed by the 32-bit program under WOW64, where Windows refuses that");
        else if (!gone && queueGone && !wow64 && !DeviceRemovalFailed(fault))
            broken->push_back(what + " left, the queue removed");
        else if (gone && !queueGone && !node.Product)
            broken->push_back(what + ", which is not the product's, removed");
    }
}

// The latest virtual time at which a replay may end.
uint64_t AllowedEnd(const SweptRun &run, const Fault &fault, uint64_t cleanEnd, int spoolerOperations,
                    bool windowShown) {
    uint64_t extra = 0;
    for (const PathRow &row : run.Paths) {
        if (!Lists(row.Apis, fault.Api) || (row.Error != 0 && row.Error != fault.Error))
            continue;
        if (fault.Occurrence != 0)
            extra += row.PerCall;
        else
            extra += row.EveryCall * (row.PerSpoolerOperation ? static_cast<uint64_t>(spoolerOperations) : 1u);
        if (row.Error != 0)
            break;  // the row of that error is the whole path
    }
    return std::max(cleanEnd, windowShown ? run.WindowClosedMs : 0) + extra + run.Slack;
}

struct Outcome {
    sim::Process Process;
    Leftovers AtEnd;
    std::vector<sim::Call> Calls;
    std::vector<std::string> Broken;
    bool ReachedOutcome = false;  // ended as the clean run must
};

// The failures that the program documents a retry for: one of them, once,
// must end as the clean run does (only every call failing may end in a
// failure). 0: any error.
const struct {
    const char *Api;
    DWORD Error;
} kRetried[] = {
    {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE},      // a spooler restart, then again
    {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE},               // the same
    {"DeletePrinterDriverPackageW", (DWORD)SPAPI_E_INF_IN_USE_BY_DEVICES},  // five tries a second apart
    {"StartServiceW", 0},                                         // three starts a second apart
};

bool Retried(const Fault &fault) {
    for (const auto &r : kRetried)
        if (fault.Api == r.Api && (r.Error == 0 || r.Error == fault.Error))
            return fault.Occurrence != 0;
    return false;
}

// The calls start-up cannot do without: only their failure may end a run
// before it reaches its mode (the first InitCommonControlsEx). A lookup
// (GetProcAddress) may end it only for a function the program requires.
const char kStartUpNeeds[] = "LoadLibraryExW GetProcAddress GetSystemDirectoryW CommandLineToArgvW LocalAlloc HeapAlloc "
                             "CreateMutexW CreatePrivateNamespaceW OpenPrivateNamespaceW CreateWellKnownSid "
                             "ConvertStringSecurityDescriptorToSecurityDescriptorW CreateBoundaryDescriptorW "
                             "AddSIDToBoundaryDescriptor";
// The guards: refused to this program (ERROR_ACCESS_DENIED), they are another
// copy's, which ends the run with 1618; so is a namespace that exists on
// every try to create it and is gone on every try to open it.
const char kGuardApis[] = "CreateMutexW CreatePrivateNamespaceW";
const char *const kOptionalFunctions[] = {"SetDefaultDllDirectories", "DeletePrinterDriverPackageW", "IsWow64Process2"};

std::string LookedUp(const Fault &fault);

void CheckStartUpEnd(const Fault &fault, const sim::Process &p, std::vector<std::string> *broken) {
    if (fault.Api.empty() || !p.Ended || p.Killed || p.ExitCode == 0 || sim::CallCount("InitCommonControlsEx") > 0)
        return;
    std::string function = LookedUp(fault);
    bool optional = false;
    for (const char *name : kOptionalFunctions)
        optional = optional || function == name;
    if (!Lists(kStartUpNeeds, fault.Api) || optional)
        broken->push_back("ended at start-up (exit code " + std::to_string(p.ExitCode) + "), which does not need " +
                          (function.empty() ? fault.Api : fault.Api + " of " + function));
}

// A deployment mode makes no window and no message box (nobody would answer
// them) and starts no process, except the 64-bit build for its one Plug and
// Play call.
void CheckNothingShown(std::vector<std::string> *broken) {
    for (const sim::WindowEvent &e : sim::WindowEvents())
        if (e.Kind == sim::WindowEventKind::Created)
            broken->push_back("a deployment mode made a window (" + Narrow(e.Text) + ")");
    for (const sim::MessageBoxCall &box : sim::MessageBoxes())
        broken->push_back("a deployment mode showed a message box: " + Narrow(box.Text));
    for (const sim::Process &p : sim::Processes())
        if (!p.Started && p.CommandLine.find(L"/UpdateDriverForPlugAndPlayDevices") == std::wstring::npos)
            broken->push_back("a deployment mode started " + Narrow(p.CommandLine));
}

// A run's log file, and the line an earlier run left in it (a file of the
// administrators, which users may read).
const wchar_t kRunLog[] = L"C:\\Windows\\Logs\\corvane.log";
const char kEarlierLogLine[] = "an earlier run's line\r\n";

// The log is appended to, never cut.
void CheckLog(std::vector<std::string> *broken) {
    if (sim::files::ReadFile(kRunLog).compare(0, strlen(kEarlierLogLine), kEarlierLogLine) != 0)
        broken->push_back("the log lost what it held before the run");
}

// The replay under way, named by the sanitizers' death callback.
std::string gReplay;
Fault gFault;
// An injected failure met the last search pass of the run, before the pass
// had its list: the search could not look.
bool gSearchFailed = false;
// The run asks for /requireprinter, the only way to 1167.
bool gRequirePrinter = false;

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

// The install worker's search passes (each begins with SetupDiGetClassDevsW)
// and what the process holds at each.
struct SearchPasses {
    std::vector<uint64_t> Times;
    std::vector<Leftovers> Held;
    std::vector<DWORD> Threads;
    size_t FailuresAtStart = 0;  // injected failures when the last pass began
    bool Listed = false;         // the last pass has its list (or gave up on it)
    size_t FailuresWhenListed = 0;
    DWORD WindowThread = 0;      // the thread that runs the install window
};

// A run still going at the time limit: the worker must be searching, a pass
// a second to the end, and hold no more at its last pass than at its second.
// The passes are the worker's, not the window thread's, about a second
// apart to the end, and the window still answers a click.
void CheckSearching(const SearchPasses &passes, uint64_t end, std::vector<std::string> *broken) {
    size_t n = passes.Times.size();
    if (n < 3 || passes.Times.back() + 2000 < end) {
        broken->push_back("still running when ended at " + std::to_string(end) + " ms, not searching (" +
                          std::to_string(n) + " search passes" +
                          (n > 0 ? ", the last at " + std::to_string(passes.Times.back()) + " ms)" : ")"));
        return;
    }
    for (size_t i = 1; i < n; i++) {
        uint64_t gap = passes.Times[i] - passes.Times[i - 1];
        if (passes.Threads[i] != passes.Threads[0] || passes.Threads[i] == passes.WindowThread || gap < 900 ||
            gap > 2000) {
            broken->push_back("search pass " + std::to_string(i + 1) + " at " + std::to_string(passes.Times[i]) +
                              " ms: " + std::to_string(gap) + " ms after the one before" +
                              (passes.Threads[i] == passes.WindowThread ? ", on the window's thread" : "") +
                              (passes.Threads[i] != passes.Threads[0] ? ", on another thread" : ""));
            break;
        }
    }
    CompareLeftovers(passes.Held.back(), passes.Held[1], "held at the last search pass (at the second)", broken);
}

// The run's staged copy of the package goes with the run: what it made under
// C:\Windows\Temp and left there is the relaunched uninstaller's copy alone,
// or a staged copy whose deletion the failed call kept.
void CheckStagedCopiesGone(const std::map<std::wstring, std::string> &before, const Fault &fault,
                           std::vector<std::string> *broken) {
    bool deletionFailed = Lists("DeleteFileW RemoveDirectoryW FindFirstFileW FindNextFileW", fault.Api);
    for (const std::wstring &name : sim::files::ListFolder(sim::files::kSystemTempDirectory)) {
        std::wstring folder = std::wstring(sim::files::kSystemTempDirectory) + L"\\" + name;
        if (before.count(sim::files::Canonical(folder)) != 0 || !sim::files::IsFolder(folder))
            continue;
        std::vector<std::wstring> files = sim::files::ListFolder(folder);
        bool relaunchCopy = files.size() == 1 && files[0].compare(0, 3, L"uni") == 0;
        if (!relaunchCopy && !deletionFailed)
            broken->push_back("left " + Narrow(folder) + " behind");
    }
}

// Sets up the machine, runs the program with the fault and checks the end.
// The clean run's outcome, if given, sets what is allowed.
Outcome RunOnce(const SweptRun &run, const Fault &fault, const Outcome *clean) {
    static DeathNotice notice;
    gReplay = run.Name + " / " + (fault.Api.empty() ? std::string("clean run") : fault.Name());
    gFault = fault;
    gRequirePrinter = run.Name.find("/requireprinter") != std::string::npos;
    sim::Reset();
    ResetProductGlobals();
    run.Arrange();
    // Deployment tools run their commands in session 0, where nobody sees a window.
    if (run.Deployment)
        sim::SetWindowStationInteractive(false);
    install_fixture::RunNativeBuildChildren();
    std::map<std::wstring, std::string> before = Snapshot();
    std::vector<QueueDevice> nodesBefore = QueueDevices();
    gBefore = &before;
    if (run.Logs)
        sim::files::WriteFile(kRunLog, kEarlierLogLine);

    Outcome out;
    DWORD pid = 0;
    bool ended = false;
    sim::OnProcessEnd([&](const sim::Process &p) {
        if (p.Id == pid) {
            out.AtEnd = TakeLeftovers(pid);
            ended = true;
        }
    });
    SearchPasses passes;
    sim::OnCall("SetupDiGetClassDevsW", [&] {
        passes.Times.push_back(sim::Now());
        passes.Held.push_back(TakeLeftovers(pid));
        passes.Threads.push_back(GetCurrentThreadId());
        passes.FailuresAtStart = sim::InjectedFailures().size();
        passes.Listed = false;
    });
    sim::OnCall("SetupDiDestroyDeviceInfoList", [&] {
        if (!passes.Listed)
            passes.FailuresWhenListed = sim::InjectedFailures().size();
        passes.Listed = true;
    });
    sim::OnCall("DialogBoxParamW", [&] { passes.WindowThread = GetCurrentThreadId(); });
    uint64_t allowedEnd = 0;
    int spoolerOperations = 1;
    if (!fault.Api.empty()) {
        for (const sim::Call &c : clean->Calls)
            spoolerOperations += c.Api == "OpenSCManagerW" ? 1 : 0;
        allowedEnd = AllowedEnd(run, fault, clean->Process.EndTime, spoolerOperations, true);
        for (const Vanishing &v : kVanishings) {
            if (fault.Api != v.Api || fault.Error != v.Error)
                continue;
            auto calls = std::make_shared<int>(0);
            int occurrence = fault.Occurrence;
            void (*remove)() = v.Remove;
            sim::OnCall(fault.Api, [calls, occurrence, remove] {
                if (++*calls == occurrence || occurrence == 0)
                    remove();
            });
        }
        if (fault.Occurrence == 0)
            sim::FailCall(fault.Api, fault.Error, -1);
        else
            sim::FailCallAt(fault.Api, fault.Occurrence, fault.Error);
    }
    if (run.FollowsRelaunch)
        sim::OnProcessCreated([&pid](const sim::Process &child) {
            if (child.CommandLine.find(L" -u \"") != std::wstring::npos) {
                pid = child.Id;
                sim::StartCreatedProcess(child.Id);
            }
        });
    pid = run.Start();
    // Past the allowed end a run is ended, and then judged by its search.
    out.Process = sim::Run(fault.Api.empty() ? 300000 : allowedEnd + 10000);
    for (const sim::Process &p : sim::Processes())
        if (p.Id == pid)
            out.Process = p;
    out.Calls = sim::Calls();

    std::vector<std::string> &broken = out.Broken;
    if (!fault.Api.empty()) {
        int failed = 0;
        for (const sim::Call &c : sim::InjectedFailures())
            failed += c.Api == fault.Api ? 1 : 0;
        if (failed == 0 || (fault.Occurrence != 0 && sim::CallCount(fault.Api) < fault.Occurrence))
            broken.push_back("the injected failure was never reached");
    }
    for (const sim::Process &p : sim::Processes())
        if (p.Crashed)
            broken.push_back("process " + std::to_string(p.Id) + " crashed: " + Narrow(p.CrashReason));
    if (sim::BadFrees() != 0)
        broken.push_back(std::to_string(sim::BadFrees()) + " heap frees of blocks that were not allocated");
    if (!ended)
        broken.push_back("the program never ended");
    // The install window, shown before the user closed it, must have ended
    // (the time limit destroys what is left of a killed run).
    HWND window = sim::FindDialog(IDD_INSTALL);
    bool windowEnded = false;
    for (const sim::WindowEvent &e : sim::WindowEvents())
        windowEnded = windowEnded || (e.Dialog == window && e.Kind == sim::WindowEventKind::Ended);
    if (out.Process.Killed && !run.MaySearchOn) {
        broken.push_back("still running when ended at " + std::to_string(out.Process.EndTime) + " ms");
    } else if (out.Process.Killed && window != nullptr && !windowEnded && run.WindowClosedMs != 0) {
        broken.push_back("the install window, closed at " + std::to_string(run.WindowClosedMs) +
                         " ms, still open at the end: its thread does not answer");
    } else if (out.Process.Killed) {
        CheckSearching(passes, out.Process.EndTime, &broken);
    } else if (ended) {
        Leftovers allowed = clean ? clean->AtEnd : Leftovers();
        allowed.Handles += HandlesOfASearchingWorker();
        CompareLeftovers(out.AtEnd, allowed, "left at the end", &broken);
        if (clean)
            allowedEnd = AllowedEnd(run, fault, clean->Process.EndTime, spoolerOperations,
                                    sim::FindDialog(IDD_INSTALL) != nullptr);
        if (clean && out.Process.EndTime > allowedEnd)
            broken.push_back("ended at " + std::to_string(out.Process.EndTime) + " ms, the clean run at " +
                             std::to_string(clean->Process.EndTime) + " ms and the failed call's waits allow " +
                             std::to_string(allowedEnd) + " ms");
    }
    CheckSpooler(fault, &broken);
    // The calls the search needs to list the printers and read them (a
    // description it could not convert still names its model).
    gSearchFailed = false;
    size_t listedAt = passes.Listed ? passes.FailuresWhenListed : sim::InjectedFailures().size();
    for (size_t i = passes.FailuresAtStart; !passes.Times.empty() && i < listedAt; i++)
        gSearchFailed = gSearchFailed || Lists("SetupDiGetClassDevsW SetupDiEnumDeviceInterfaces "
                                               "SetupDiGetDeviceInterfaceDetailW RegOpenKeyExW RegQueryValueExW HeapAlloc",
                                               sim::InjectedFailures()[i].Api);
    run.CheckReports(out.Process, &broken);
    CheckFiles(before, &broken);
    CheckStagedCopiesGone(before, fault, &broken);
    CheckQueueDevices(nodesBefore, run.Wow64, fault, &broken);
    CheckStartUpEnd(fault, out.Process, &broken);
    if (run.Deployment)
        CheckNothingShown(&broken);
    if (run.Logs)
        CheckLog(&broken);
    // The clean run, and a failure the program retries, reach the outcome.
    std::vector<std::string> missing;
    if (fault.Api.empty() && (!ended || out.Process.Killed))
        missing.push_back("did not end by itself");
    std::vector<std::string> lacks;
    if (run.Reached)
        run.Reached(out.Process, &lacks);
    out.ReachedOutcome = ended && !out.Process.Killed && lacks.empty();
    if (fault.Api.empty() || Retried(fault))
        missing.insert(missing.end(), lacks.begin(), lacks.end());
    for (const std::string &m : missing)
        broken.push_back((fault.Api.empty() ? "the clean run " : "not the clean run's end: ") + m);
    gReplay.clear();
    return out;
}

std::string Joined(const std::vector<std::string> &broken) {
    std::string all;
    for (const std::string &b : broken)
        all += "\n    " + b;
    return all;
}

// The runs swept in this process and every API their clean runs called:
// the last test reads them when it runs after all the runs.
int gSweptRuns = 0;
std::set<std::string> gCalledApis;

// Records the clean run, then replays every failure point; each broken
// point is one test failure.
void Sweep(SweptRun run, int minPoints) {
    run.MinPoints = minPoints;
    auto started = std::chrono::steady_clock::now();
    Outcome clean = RunOnce(run, Fault(), nullptr);

    std::vector<std::string> apis;  // in the order of their first swept call
    std::map<std::string, int> counts;
    std::map<std::string, std::vector<int>> swept;  // each API's occurrences that are swept
    for (const sim::Call &c : clean.Calls) {
        counts[c.Api]++;
        if (run.Swept && !run.Swept(c))
            continue;
        swept[c.Api].push_back(counts[c.Api]);
        if (swept[c.Api].size() == 1)
            apis.push_back(c.Api);
    }

    int points = 0, leftOutCalls = 0, leftOutApis = 0;
    std::vector<Fault> faults;
    for (const std::string &api : apis) {
        const ErrorRow *row = RowOf(api);
        if (row == nullptr)
            ADD_FAILURE() << run.Name << ": " << api << " has no row in the error table; swept with error "
                          << kUnlistedError;
        if (row != nullptr && row->NoFault != nullptr) {
            leftOutCalls += static_cast<int>(swept[api].size());
            leftOutApis++;
            continue;
        }
        std::vector<DWORD> errors{row != nullptr ? row->Error : kUnlistedError};
        if (row != nullptr)
            for (DWORD also : row->Also)
                if (also != 0)
                    errors.push_back(also);
        for (DWORD error : errors) {
            for (int n : swept[api])
                faults.push_back({api, n, error});
            faults.push_back({api, 0, error});
        }
        points += static_cast<int>(swept[api].size());
    }
    // A clean run that failed, or made fewer calls than it should, would
    // leave every replay checked against nothing.
    if (points < run.MinPoints)
        clean.Broken.push_back("the clean run has " + std::to_string(points) + " failure points, fewer than " +
                               std::to_string(run.MinPoints));
    if (!clean.Broken.empty()) {
        ADD_FAILURE() << run.Name << " / clean run:" << Joined(clean.Broken);
        return;
    }

    int searching = 0, asClean = 0;
    for (const Fault &fault : faults) {
        Outcome replay = RunOnce(run, fault, &clean);
        searching += replay.Process.Killed ? 1 : 0;
        asClean += replay.ReachedOutcome ? 1 : 0;
        if (!replay.Broken.empty())
            ADD_FAILURE() << run.Name << " / " << fault.Name() << ":" << Joined(replay.Broken);
    }

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[ SWEEP    ] %s: %d calls of %d APIs; %d failure points (%d calls of %d APIs that cannot fail left "
                "out); %d replays (%d ended at the time limit); %.1f s\n",
                run.Name.c_str(), static_cast<int>(clean.Calls.size()), static_cast<int>(apis.size()), points,
                leftOutCalls, leftOutApis, static_cast<int>(faults.size()), searching, seconds);
    std::printf("[ OUTCOMES ] %s: clean run checked (ended, its outcome reached, %d failure points of at least %d); "
                "replays: %d ended as the clean run, %d in a failure, %d searching at the time limit\n",
                run.Name.c_str(), points, run.MinPoints, asClean, static_cast<int>(faults.size()) - asClean - searching,
                searching);
    gSweptRuns++;
    for (const std::string &api : apis)
        gCalledApis.insert(api);
}

// --- The install runs ---------------------------------------------------------------

using install_fixture::kSetup;
const wchar_t kModel[] = L"Corvane LX-420";
const wchar_t kLog[] = L"C:\\Windows\\Logs\\corvane.log";

// A person at the machine closes the install window, should one show, at 15 s
// ("Done" shows at 3 s in a clean run). In a silent run one shows only when
// the command line cannot be split: then no option is recognised.
const uint64_t kWindowClosedMs = 15000;

DWORD StartInstall(const std::wstring &tail, const std::wstring &program = kSetup) {
    sim::At(kWindowClosedMs, [] {
        if (HWND window = sim::FindDialog(IDD_INSTALL))
            sim::Click(window, IDCANCEL);
    });
    return sim::StartProgram(program, tail);
}

// The product's drivers of the machine's own environment.
const sim::PrinterDriver *NativeDriver(const std::wstring &name) {
    for (const sim::PrinterDriver &d : sim::Drivers())
        if (d.pName && Lower(*d.pName) == Lower(name) && d.Environment == sim::NativePrintEnvironment())
            return &d;
    return nullptr;
}

// The printer reported installed (string 103, or "Done"): its queue on the
// printer's port, on a driver of the machine's environment with its files in
// place (or its package in the store), its language monitor registered with
// the DLL in the real System32.
void CheckInstalledOnMachine(const std::string &what, std::vector<std::string> *broken) {
    const sim::PrintQueue *queue = sim::FindQueue(kModel);
    if (queue == nullptr || queue->ListedAt > sim::Now()) {
        broken->push_back(what + " without the queue");
        return;
    }
    if (Lower(queue->pPortName) != Lower(install_fixture::kPort))
        broken->push_back(what + " with the queue on " + Narrow(queue->pPortName));
    const sim::PrinterDriver *driver = NativeDriver(queue->pDriverName);
    if (driver == nullptr) {
        broken->push_back(what + " without the queue's driver in " + Narrow(sim::NativePrintEnvironment()));
        return;
    }
    if (driver->pszInfPath) {
        bool stored = false;
        for (const sim::DriverPackage &p : sim::DriverPackages())
            stored = stored || (Canonical(p.StoreInf) == Canonical(*driver->pszInfPath) &&
                                p.Environment == sim::NativePrintEnvironment() && sim::files::IsFile(p.StoreInf));
        if (!stored)
            broken->push_back(what + " without the driver's package in the store");
    } else {
        for (const sim::Text *file : {&driver->pDriverPath, &driver->pDataFile, &driver->pConfigFile})
            if (*file && !sim::files::IsFile(sim::PrinterDriverDirectory() + L"\\" + file->value()))
                broken->push_back(what + " without the driver's " + Narrow(file->value()));
    }
    if (driver->pMonitorName && (sim::FindMonitor(*driver->pMonitorName) == nullptr || !sim::files::IsFile(kMonitorDll)))
        broken->push_back(what + " without the language monitor and its DLL");
}

// What an install run must reach: the printer installed, and said so.
void ReachedInstalled(const sim::Process &, std::vector<std::string> *missing) {
    HWND window = sim::FindDialog(IDD_INSTALL);
    bool reported = window != nullptr ? sim::ControlText(window, IDCANCEL) == L"Done" : false;
    for (UINT id : sim::StringLoads())
        reported = reported || (window == nullptr && id == IDS_INSTALLED);
    if (!reported)
        missing->push_back(window != nullptr ? "without \"Done\"" : "without string 103 (installed)");
    CheckInstalledOnMachine("the printer reported installed", missing);
}

void CheckInstalledReport(const sim::Process &, std::vector<std::string> *broken) {
    bool reported = false;
    for (UINT id : sim::StringLoads())
        reported = reported || id == IDS_INSTALLED;
    HWND window = sim::FindDialog(IDD_INSTALL);
    bool done = window != nullptr && sim::ControlText(window, IDCANCEL) == L"Done";
    if (reported || done)
        CheckInstalledOnMachine(done ? "\"Done\"" : "string 103 (installed)", broken);
}

// A deployment mode's exit code for an injected failure, from this table
// and never from the program's own mapping: the failure's code (an HRESULT
// where the API gives one), except the codes that a deployment tool takes
// for success, "retry" or "restart", and those the program gives for an
// ending of its own, which must read as ERROR_INSTALL_FAILURE.
const struct {
    DWORD Error, Exit;
} kExitOfError[] = {{0, 1603},    {1618, 1603}, {1641, 1603}, {1707, 1603}, {3010, 1603},
                     {87, 1603},   {31, 1603},   {1167, 1603}, {1459, 1603}};
const char kHresultApis[] = "UploadPrinterDriverPackageW DeletePrinterDriverPackageW";
// The one outcome that names no failure: no printer found (1167), only with
// /requireprinter and where the search itself could look to the end.

// The function a failed lookup asked for (empty for any other failure).
std::string LookedUp(const Fault &fault) {
    const std::vector<std::string> &names = sim::loader::Lookups();
    if (fault.Api != "GetProcAddress" || fault.Occurrence <= 0 || fault.Occurrence > static_cast<int>(names.size()))
        return std::string();
    return names[fault.Occurrence - 1];
}

// Whether the fault kept the command line from being split: its call, or
// the allocation it makes for the token list (the first after it).
bool SplitFailed(const Fault &fault) {
    if (fault.Api == "CommandLineToArgvW")
        return true;
    int allocations = 0;
    bool afterSplit = false;
    for (const sim::Call &c : sim::Calls()) {
        if (c.Api == "LocalAlloc" && ++allocations && afterSplit)
            return fault.Api == "LocalAlloc" && (fault.Occurrence == 0 || fault.Occurrence == allocations);
        afterSplit = c.Api == "CommandLineToArgvW";
    }
    return false;
}

DWORD ExpectedExit(const Fault &fault) {
    DWORD code = fault.Error;
    // A command line that cannot be split holds no option: the install
    // window or the hand-over, where nobody can see a window.
    if (SplitFailed(fault))
        return EXIT_NOBODY_TO_SEE;
    if (Lists(kGuardApis, fault.Api) &&
        (code == ERROR_ACCESS_DENIED || (fault.Api == "CreatePrivateNamespaceW" && code == ERROR_ALREADY_EXISTS)))
        return EXIT_ANOTHER_COPY_RUNS;
    // An optional package function that could not be looked up fails later,
    // as that function, when it is needed.
    bool optional = false;
    for (const char *name : kOptionalFunctions)
        optional = optional || LookedUp(fault) == name;
    if ((Lists(kHresultApis, fault.Api) || (optional && Lists(kHresultApis, LookedUp(fault)))) && code <= 0xFFFF)
        code = static_cast<DWORD>(HRESULT_FROM_WIN32(code));
    for (const auto &row : kExitOfError)
        if (row.Error == code)
            return row.Exit;
    return code;
}

// 3010 asks for a restart, so something must be left for it; a clean run
// succeeds; a failure ends with its own code (above).
void CheckExitCode(const sim::Process &p, std::vector<std::string> *broken) {
    DWORD code = static_cast<DWORD>(p.ExitCode);
    if (code == EXIT_RESTART_NEEDED && sim::files::PendingRenames().empty())
        broken->push_back("exit code 3010 with nothing to do at the restart");
    if (!p.Ended || p.Killed || code == 0 || code == EXIT_RESTART_NEEDED)
        return;
    if (code == EXIT_NO_PRINTER && (gSearchFailed || !gRequirePrinter))
        broken->push_back("exit code 1167 (no printer) where the search itself failed, or without /requireprinter");
    else if (gFault.Api.empty() && code != EXIT_NO_PRINTER)
        broken->push_back("exit code " + std::to_string(code) + " without a failure");
    else if (code != EXIT_NO_PRINTER && code != ExpectedExit(gFault))
        broken->push_back("exit code " + std::to_string(code) + ", not " + std::to_string(ExpectedExit(gFault)) +
                          ", the injected failure's");
}

// /quiet's 0 or 3010 is the printer installed.
void CheckQuietReport(const sim::Process &setup, std::vector<std::string> *broken) {
    CheckInstalledReport(setup, broken);
    if (setup.Ended && !setup.Killed && (setup.ExitCode == 0 || setup.ExitCode == EXIT_RESTART_NEEDED))
        CheckInstalledOnMachine("exit code " + std::to_string(setup.ExitCode), broken);
    CheckExitCode(setup, broken);
}

SweptRun InstallRun(const std::string &name, bool plugAndPlay, const std::wstring &tail, bool program32Bit = false,
                    sim::WindowsVersion version = sim::WindowsVersion::Windows11) {
    SweptRun run;
    run.Name = name;
    run.Arrange = [plugAndPlay, program32Bit, version] {
        sim::SetWindowsVersion(version);
        sim::SetProgram32Bit(program32Bit);
        install_fixture::ArrangeProgramInstall(kModel, plugAndPlay);
    };
    run.Start = [tail] { return StartInstall(tail); };
    run.Wow64 = program32Bit;
    run.Paths.assign(std::begin(kInstallPaths), std::end(kInstallPaths));
    run.WindowClosedMs = kWindowClosedMs;
    run.CheckReports = CheckInstalledReport;
    run.Reached = ReachedInstalled;
    return run;
}

// /stage's 0 is the machine's package in the store, with its record.
void CheckStagedReport(const sim::Process &setup, std::vector<std::string> *broken) {
    CheckExitCode(setup, broken);
    if (!setup.Ended || setup.Killed || setup.ExitCode != 0)
        return;
    bool staged = false;
    for (const sim::DriverPackage &p : sim::DriverPackages())
        staged = staged || (p.Environment == sim::NativePrintEnvironment() && sim::files::IsFile(p.StoreInf) &&
                            sim::KeyExists(sim::DriverPackageKey(p.StoreInf)));
    if (!staged)
        broken->push_back("exit code 0 without the package staged");
}

// /quiet with its log waits up to 60 s for a printer; no window to close.
SweptRun QuietRun() {
    SweptRun run = InstallRun("/quiet /log", true, L"");
    run.Start = [] { return sim::StartProgram(kSetup, L"/quiet /log \"" + std::wstring(kLog) + L"\""); };
    run.Logs = true;
    run.WindowClosedMs = 0;
    run.MaySearchOn = false;
    run.Deployment = true;
    run.Paths[0].EveryCall = 60 * 1000;
    run.CheckReports = CheckQuietReport;
    run.Reached = [](const sim::Process &p, std::vector<std::string> *missing) {
        if (p.ExitCode != 0)
            missing->push_back("with exit code " + std::to_string(p.ExitCode));
        CheckInstalledOnMachine("exit code 0", missing);
    };
    return run;
}

// /quiet /wait 3 where the only printer plugged in is another maker's: a
// search that reads it and ends with 1167, unless it could not read it.
SweptRun QuietWithoutOurPrinterRun() {
    SweptRun run = QuietRun();
    run.Name = "/quiet /wait 3 /requireprinter /log, another maker's printer";
    run.Arrange = [] {
        sim::files::LayOutInstallFolder(install_fixture::kInstallDir);
        sim::files::WriteFile(kSetup, "program image");
        sim::AddPort(install_fixture::kPort);
        sim::PlugUsbPrinter(L"Other Maker P-1", 1, L"SN0002");
    };
    run.Start = [] {
        return sim::StartProgram(kSetup, L"/quiet /wait 3 /requireprinter /log \"" + std::wstring(kLog) + L"\"");
    };
    run.Paths[0].EveryCall = 3 * 1000;
    run.Reached = [](const sim::Process &p, std::vector<std::string> *missing) {
        if (p.ExitCode != EXIT_NO_PRINTER)
            missing->push_back("with exit code " + std::to_string(p.ExitCode) + ", not 1167");
    };
    return run;
}

SweptRun StageRun() {
    SweptRun run = InstallRun("/stage", true, L"/stage");
    run.MaySearchOn = false;
    run.Deployment = true;
    run.CheckReports = CheckStagedReport;
    run.Reached = [](const sim::Process &p, std::vector<std::string> *missing) {
        if (p.ExitCode != 0)
            missing->push_back("with exit code " + std::to_string(p.ExitCode));
    };
    return run;
}

// The manual road over the product's files in the driver directory. With
// the driver installed, only /quiet installs (every other mode hands over to
// the uninstaller): it deletes the working files and copies over them. With
// the driver removed and its DLL still loaded until the restart, /silence
// has that DLL replaced at the restart.
SweptRun ReinstallRun(bool driverInstalled) {
    SweptRun run = driverInstalled ? QuietRun() : InstallRun("", false, L"/silence");
    run.Name = driverInstalled ? "/quiet /log, manual road, over the installed driver"
                               : "silent install, manual road, over the driver's files with its DLL in use";
    run.Arrange = [driverInstalled] {
        install_fixture::ArrangeProgramInstall(kModel, false);
        sim::PrinterDriver d;
        d.pName = std::wstring(kModel);
        d.pDriverPath = std::wstring(DRIVER_DLL_NAME);
        d.pDataFile = std::wstring(DRIVER_DATA_FILE_NAME);
        d.pConfigFile = std::wstring(CONFIG_DLL_NAME);
        if (driverInstalled)
            sim::AddDriver(d);
        for (const wchar_t *name : {DRIVER_DLL_NAME, CONFIG_DLL_NAME, DRIVER_DATA_FILE_NAME})
            sim::files::WriteFile(std::wstring(install_fixture::kDriverDir) + L"\\" + name, "an older version");
        if (!driverInstalled)
            sim::files::Lock(std::wstring(install_fixture::kDriverDir) + L"\\" DRIVER_DLL_NAME,
                             sim::files::LockKind::Image);
    };
    return run;
}

// /quiet over an older driver of the printer's model, installed from an
// older package in the store (Plug and Play road) or by hand, its queue with
// a job waiting and a setting of its own: the driver is brought to the
// package's version in place. Whatever one call fails, the queue stays as it
// was and its driver works, the old version or the new one, never neither;
// 0 and 3010 are the new one.
const DWORDLONG kPackageVersion = (DWORDLONG(DRIVER_VERSION_1) << 48) | (DWORDLONG(DRIVER_VERSION_2) << 32) |
                                  (DWORDLONG(DRIVER_VERSION_3) << 16) | DRIVER_VERSION_4;
const DWORDLONG kOlderVersion = kPackageVersion - 1;
const char kOlderFile[] = "an older version";
std::wstring gOlderStore;

void CheckUpgrade(const sim::Process &p, std::vector<std::string> *broken) {
    const sim::PrintQueue *q = sim::FindQueue(kModel);
    if (q == nullptr || q->pPortName != install_fixture::kPort || q->cJobs != 1 ||
        q->pComment.value_or(L"") != L"front desk" || q->pDriverName != kModel)
        broken->push_back("the queue is not as it was (gone, or its port, job, setting or driver changed)");
    const sim::PrinterDriver *d = NativeDriver(kModel);
    if (d == nullptr || d->ListedAt > sim::Now()) {
        broken->push_back("no driver of the queue listed: neither the old one nor the new");
        return;
    }
    std::wstring folder = sim::PrinterDriverDirectory() + L"\\3\\";
    bool oldFiles = true, newFiles = true;
    for (const wchar_t *name : {DRIVER_DLL_NAME, CONFIG_DLL_NAME, DRIVER_DATA_FILE_NAME}) {
        std::string content = sim::files::ReadFile(folder + name);
        oldFiles = oldFiles && content == kOlderFile;
        newFiles = newFiles && content == PackageFile(*gBefore, folder + name);
    }
    bool fromStore = false;
    for (const sim::DriverPackage &package : sim::DriverPackages())
        fromStore = fromStore || (d->pszInfPath && Canonical(package.StoreInf) == Canonical(*d->pszInfPath) &&
                                  sim::files::IsFile(package.StoreInf));
    bool old = d->dwlDriverVersion == kOlderVersion && oldFiles &&
               (gOlderStore.empty() ? !d->pszInfPath : d->pszInfPath == gOlderStore && fromStore);
    bool upgraded = d->dwlDriverVersion == kPackageVersion &&
                    (d->pszInfPath ? fromStore && *d->pszInfPath != gOlderStore : newFiles);
    if (!old && !upgraded)
        broken->push_back("the driver is neither the old one working nor the new one (version " +
                          std::to_string(d->dwlDriverVersion) + ")");
    if (p.Ended && !p.Killed && (p.ExitCode == 0 || p.ExitCode == EXIT_RESTART_NEEDED) && !upgraded)
        broken->push_back("exit code " + std::to_string(p.ExitCode) + " with the old driver");
    CheckExitCode(p, broken);
}

SweptRun UpgradeRun(bool plugAndPlay) {
    SweptRun run = QuietRun();
    run.Name = std::string("/quiet /log over an older driver and its queue, ") +
               (plugAndPlay ? "Plug and Play road" : "manual road");
    run.Arrange = [plugAndPlay] {
        install_fixture::ArrangeProgramInstall(kModel, plugAndPlay);
        sim::PrinterDriver d;
        d.pName = std::wstring(kModel);
        d.pDriverPath = std::wstring(DRIVER_DLL_NAME);
        d.pDataFile = std::wstring(DRIVER_DATA_FILE_NAME);
        d.pConfigFile = std::wstring(CONFIG_DLL_NAME);
        d.dwlDriverVersion = kOlderVersion;
        gOlderStore.clear();
        if (plugAndPlay) {
            sim::SetDriverStoreHash(L"0e0e0e0e");
            gOlderStore = sim::AddDriverPackage(uninstall_fixture::kSourceInf);
            sim::files::WriteFile(gOlderStore, sim::inf::PrinterInfText("07/16/2025,2025.7.16.0"));
            sim::SetDriverStoreHash(L"1a2b3c4d");
            d.pszInfPath = gOlderStore;
        }
        sim::AddDriver(d);
        for (const wchar_t *name : {DRIVER_DLL_NAME, CONFIG_DLL_NAME, DRIVER_DATA_FILE_NAME})
            for (const wchar_t *folder : {L"\\", L"\\3\\"})
                sim::files::WriteFile(std::wstring(install_fixture::kDriverDir) + folder + name, kOlderFile);
        sim::PrintQueue q;
        q.pPrinterName = kModel;
        q.pPortName = install_fixture::kPort;
        q.pDriverName = kModel;
        q.pComment = std::wstring(L"front desk");
        q.cJobs = 1;
        sim::AddQueue(q);
    };
    // Plug and Play's update is looked for ten times a second apart, then
    // the spooler's for five.
    run.Paths.push_back({"UpdateDriverForPlugAndPlayDevicesW EnumPrinterDriversW AddPrinterDriverExW", 0,
                         10 * 1000 + 5 * 1000, 10 * 1000 + 5 * 1000, false});
    run.CheckReports = CheckUpgrade;
    // Only the upgrade's calls fail one at a time, from the drivers'
    // comparison to the search that follows the update (its own scan for the
    // printers plugged in is the first): the rest is /quiet's own run.
    run.Swept = [phase = std::make_shared<int>(0)](const sim::Call &c) {
        if (*phase == 0 && c.Api == "EnumPrinterDriversW")
            *phase = 1;
        if (*phase > 0 && c.Api == "SetupDiGetClassDevsW")
            ++*phase;
        return *phase == 1 || *phase == 2;
    };
    run.Reached = [](const sim::Process &p, std::vector<std::string> *missing) {
        if (p.ExitCode != 0)
            missing->push_back("with exit code " + std::to_string(p.ExitCode));
        if (NativeDriver(kModel) == nullptr || NativeDriver(kModel)->dwlDriverVersion != kPackageVersion)
            missing->push_back("without the driver at the package's version");
    };
    return run;
}

// A second /quiet starting while the first installs: it ends with 1618, the
// first installs.
DWORD gSecondCopy = 0;

SweptRun SecondCopyRun() {
    SweptRun run = QuietRun();
    run.Name = "/quiet /log, a second /quiet started while it runs";
    // Only the second's calls fail one at a time: the first's are swept in
    // /quiet's own run, and the simulation runs both in one address space: it
    // cannot keep their product globals apart.
    run.Swept = [](const sim::Call &c) { return c.ProcessId == gSecondCopy; };
    run.Start = [start = run.Start] {
        gSecondCopy = 0;
        sim::At(1000, [] { gSecondCopy = sim::StartProgram(kSetup, L"/quiet"); });
        return start();
    };
    // The second starts only while the first runs: its 1618 is right, and
    // any other code is its own run's.
    run.CheckReports = [](const sim::Process &first, std::vector<std::string> *broken) {
        CheckQuietReport(first, broken);
        for (const sim::Process &second : sim::Processes()) {
            if (second.Id != gSecondCopy)
                continue;
            if (!second.Ended || second.Killed)
                broken->push_back("the second copy never ended");
            else if (second.ExitCode != EXIT_ANOTHER_COPY_RUNS)
                CheckQuietReport(second, broken);
        }
    };
    run.Reached = [reached = run.Reached](const sim::Process &first, std::vector<std::string> *missing) {
        reached(first, missing);
        for (const sim::Process &second : sim::Processes())
            if (second.Id == gSecondCopy && second.ExitCode != EXIT_ANOTHER_COPY_RUNS)
                missing->push_back("with the second copy's exit code " + std::to_string(second.ExitCode) +
                                   ", not 1618");
    };
    return run;
}

// --- The uninstall runs ------------------------------------------------------------------

const wchar_t kTemporaryCopy[] = L"C:\\Users\\Setup\\AppData\\Local\\Temp\\uni1.tmp";
const wchar_t kProductModel[] = L"Corvane MODEL";
const wchar_t kCopyQueue[] = L"Corvane MODEL (copy 1)";
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

std::string Narrow(const WCHAR *text) { return Narrow(std::wstring(text != nullptr ? text : L"")); }

void CheckAllRemoved(const std::string &message, std::vector<std::string> *broken);
void CheckFolderRecycled(bool deployment, std::vector<std::string> *broken);

// The monitor DLL is to be deleted at the restart.
bool MonitorDllScheduled() {
    for (const sim::files::PendingRename &r : sim::files::PendingRenames())
        if (Canonical(r.From) == Canonical(kMonitorDll) && r.To.empty())
            return true;
    return false;
}

// "Removed." on a node, and message 115: what they speak of is gone (the DLL
// at least scheduled for the restart).
void CheckRemovedReports(const sim::Process &, std::vector<std::string> *broken) {
    for (const PackageNode *p = PackageList; p != nullptr; p = p->Next) {
        if (ShowsRemoved(p->StatusText))
            for (const sim::DriverPackage &left : sim::DriverPackages())
                if (Canonical(left.StoreInf) == Canonical(p->StoreInfPath))
                    broken->push_back("package " + Narrow(p->StoreInfPath) + " shows \"Removed.\" and is still there");
        for (const DriverNode *d = p->Drivers; d != nullptr; d = d->Next) {
            if (ShowsRemoved(d->StatusText) && d->DriverInfo != nullptr && d->DriverInfo->pName != nullptr &&
                NativeDriver(d->DriverInfo->pName) != nullptr)
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
    if (uninstalled)
        CheckAllRemoved("message 115 (uninstalled) with ", broken);
    CheckFolderRecycled(false, broken);
}

// The install folder goes to the Recycle Bin only after everything else,
// and never in /remove.
void CheckFolderRecycled(bool deployment, std::vector<std::string> *broken) {
    for (const sim::shell::RecycledItem &item : sim::shell::RecycleBin()) {
        if (!Within(item.OriginalPath, kFolder))
            continue;
        if (deployment)
            broken->push_back("/remove recycled " + Narrow(item.OriginalPath));
        else
            CheckAllRemoved("the install folder recycled with ", broken);
    }
}

// /remove's 0 is everything gone, 3010 the same with the DLL at the restart.
void CheckRemoveExitCode(const sim::Process &remover, std::vector<std::string> *broken) {
    CheckRemovedReports(remover, broken);
    CheckFolderRecycled(true, broken);
    CheckExitCode(remover, broken);
    if (!remover.Ended || remover.Killed || (remover.ExitCode != 0 && remover.ExitCode != EXIT_RESTART_NEEDED))
        return;
    std::string code = "exit code " + std::to_string(remover.ExitCode);
    CheckAllRemoved(code + " with ", broken);
    if (remover.ExitCode == 0 && sim::files::Exists(kMonitorDll) && MonitorDllScheduled())
        broken->push_back(code + " with crvnmon.dll left for the restart");
}

// The run's log says that it could not tell whether a monitor of the product
// was left without a driver: such a monitor, not known to be there, is not
// one the run left behind, and its DLL stays with it.
bool StrayMonitorUnknown() {
    return sim::files::ReadFile(kRunLog).find("Whether the language monitor") != std::string::npos;
}

void CheckAllRemoved(const std::string &message, std::vector<std::string> *broken) {
    for (const wchar_t *queue : {kProductModel, kCopyQueue})
        if (sim::FindQueue(queue) != nullptr)
            broken->push_back(message + "the queue " + Narrow(queue) + " still there");
    if (NativeDriver(kProductModel) != nullptr)
        broken->push_back(message + "the driver still there");
    // The monitor and its DLL stay exactly while an installed driver, of any
    // environment, names the monitor.
    bool named = false;
    for (const sim::PrinterDriver &d : sim::Drivers())
        named = named || (d.pMonitorName && *d.pMonitorName == uninstall_fixture::kMonitor);
    bool dllStays = sim::files::Exists(kMonitorDll) && !MonitorDllScheduled();
    named = named || (StrayMonitorUnknown() && sim::FindMonitor(uninstall_fixture::kMonitor) != nullptr && dllStays);
    if (!named && sim::FindMonitor(uninstall_fixture::kMonitor) != nullptr)
        broken->push_back(message + "the language monitor still registered");
    if (!named && dllStays)
        broken->push_back(message + "crvnmon.dll still in System32");
    if (named && (sim::FindMonitor(uninstall_fixture::kMonitor) == nullptr || !dllStays))
        broken->push_back(message + "the language monitor or its DLL gone while another driver names the monitor");
    if (!sim::DriverPackages().empty())
        broken->push_back(message + "the driver package still there");
    const std::wstring store = sim::DriverStorePath(uninstall_fixture::kSourceInf);
    if (sim::KeyExists(sim::DriverPackageKey(store)))
        broken->push_back(message + "the spooler's record of the package still there");
}

// The product installed with a package, its driver and two queues, the
// language monitor and its DLL, and its folder.
struct InstalledMachine : UninstallFixture {
    static void Arrange() {
        InstallProduct(kProductModel);
        AddQueue(kCopyQueue, kProductModel, L"USB002");
        AddQueue(L"Other Maker P-1", L"Other Maker Driver", L"USB003");
    }
};

// The user presses "Remove" after a second, and closes the window when it
// lets them.
void PressRemoveThenClose() {
    sim::At(kRemoveClickMs, [] {
        if (HWND window = sim::FindDialog(IDD_UNINSTALL))
            sim::Click(window, IDC_REMOVE);
    });
    CloseWhenPossible(kRemoveClickMs + 1000);
}

void ReachedUninstalled(const sim::Process &, std::vector<std::string> *missing) {
    bool said = false;
    for (const sim::MessageBoxCall &box : sim::MessageBoxes())
        said = said || box.Text == L"The driver is uninstalled.";
    if (!said)
        missing->push_back("without message 115 (uninstalled)");
    CheckAllRemoved("with ", missing);
}

// That machine; the uninstall window as the hand-over starts it (the
// folder's quote left open), "Remove" pressed after a second.
SweptRun RemoveRun(const std::string &name, const std::wstring &options, bool program32Bit = false) {
    SweptRun run;
    run.Name = name;
    run.Arrange = [program32Bit] {
        sim::SetProgram32Bit(program32Bit);
        InstalledMachine::Arrange();
    };
    run.Wow64 = program32Bit;
    run.Start = [options] {
        PressRemoveThenClose();
        return sim::StartProgram(kTemporaryCopy, options + L"-u \"" + std::wstring(kFolder));
    };
    run.Paths.assign(std::begin(kRemovalPaths), std::end(kRemovalPaths));
    run.Slack = 1000;
    run.CheckReports = CheckRemovedReports;
    run.Reached = ReachedUninstalled;
    return run;
}

// /remove with its log on that machine, run as deployment tools run the
// shipped program (32-bit, on x64), the monitor DLL held by another program:
// it can only go at the restart, scheduled in the machine's own System32.
SweptRun UnattendedRemoveRun() {
    SweptRun run = RemoveRun("/remove /log, the monitor DLL held", L"", true);
    run.Arrange = [arrange = run.Arrange] {
        arrange();
        sim::files::WriteFile(kSetup, "program image");
        sim::files::Lock(kMonitorDll, sim::files::LockKind::Image);
    };
    run.Start = [] { return sim::StartProgram(kSetup, L"/remove /log \"" + std::wstring(kLog) + L"\""); };
    run.Logs = true;
    run.Slack = 0;
    run.MaySearchOn = false;
    run.Deployment = true;
    run.CheckReports = CheckRemoveExitCode;
    run.Reached = [](const sim::Process &p, std::vector<std::string> *missing) {
        if (p.ExitCode != EXIT_RESTART_NEEDED)
            missing->push_back("with exit code " + std::to_string(p.ExitCode) + ", not 3010");
        CheckAllRemoved("with ", missing);
    };
    return run;
}

// /remove on a machine whose removal must leave the monitor to another
// maker's driver, or on one that an earlier removal left with the monitor
// alone: a clean run ends with 0 and the machine as CheckAllRemoved wants it.
SweptRun UnattendedRemoveOfTheMonitorRun(const std::string &name, bool othersDriver) {
    SweptRun run = UnattendedRemoveRun();
    run.Name = name;
    run.Arrange = [arrange = run.Arrange, othersDriver] {
        if (!othersDriver) {
            sim::AddMonitor(uninstall_fixture::kMonitor, L"crvnmon.dll");
            sim::files::WriteFile(kMonitorDll, "amd64\\crvnmon.dll");
            sim::files::LayOutInstallFolder(kFolder);
            sim::files::WriteFile(kSetup, "program image");
            return;
        }
        arrange();
        sim::files::Unlock(kMonitorDll);
        sim::PrinterDriver other;
        other.pName = std::wstring(L"Another Label Printer");
        other.Environment = L"Windows NT x86";
        other.pDriverPath = std::wstring(L"another.dll");
        other.pMonitorName = std::wstring(uninstall_fixture::kMonitor);
        sim::AddDriver(other);
    };
    run.Reached = [](const sim::Process &p, std::vector<std::string> *missing) {
        if (p.ExitCode != 0)
            missing->push_back("with exit code " + std::to_string(p.ExitCode) + ", not 0");
        CheckAllRemoved("with ", missing);
    };
    return run;
}

// --- The hand-over and the relaunch -------------------------------------------------------

// A program started to go on with the uninstallation is a copy of this one,
// in a folder that the user cannot write, on the install folder.
void CheckHandedOver(const sim::Process &, std::vector<std::string> *broken) {
    // The program as it was before the run: a removal recycles its folder.
    const sim::Process &setup = sim::Processes().front();
    auto program = gBefore->find(sim::files::Canonical(setup.ImageFile));
    for (const sim::Process &child : sim::Processes()) {
        if (child.Id == setup.Id)
            continue;
        std::string what = "started " + Narrow(child.CommandLine);
        std::wstring folder = child.ImageFile.substr(0, child.ImageFile.find_last_of(L'\\'));
        if (!sim::files::IsFile(child.ImageFile) || program == gBefore->end() ||
            "f" + sim::files::ReadFile(child.ImageFile) != program->second)
            broken->push_back(what + ", which is no copy of the program");
        else if (sim::files::UserCanWrite(child.ImageFile) || sim::files::UserCanWrite(folder))
            broken->push_back(what + ", which the user can change");
        if (child.CommandLine.find(L"-u \"" + std::wstring(kFolder)) == std::wstring::npos)
            broken->push_back(what + ", not on the install folder");
    }
}

SweptRun HandOverRun(const std::string &name, const std::wstring &program) {
    SweptRun run;
    run.Name = name;
    run.Arrange = [] {
        InstalledMachine::Arrange();
        sim::files::WriteFile(kSetup, "program image");
    };
    // Where it falls back to the install window, the user closes that.
    run.Start = [program] { return StartInstall(L"", std::wstring(kFolder) + program); };
    run.Paths.assign(std::begin(kInstallPaths), std::end(kInstallPaths));
    run.WindowClosedMs = kWindowClosedMs;
    run.CheckReports = CheckHandedOver;
    run.Reached = [](const sim::Process &, std::vector<std::string> *missing) {
        bool started = false;
        for (const sim::Process &child : sim::Processes())
            started = started || (child.Id != sim::Processes().front().Id &&
                                  child.CommandLine.find(L"-u \"" + std::wstring(kFolder)) != std::wstring::npos);
        if (!started)
            missing->push_back("without the uninstaller started on the install folder");
    };
    return run;
}

// unins000.exe's relaunched copy run to its end: "Remove" pressed, the
// removal done, the window closed.
SweptRun RelaunchedRemoveRun() {
    SweptRun run = HandOverRun("relaunch: unins000.exe, its copy removing to the end", UNINSTALLER_FILE_NAME);
    run.FollowsRelaunch = true;
    run.Start = [start = run.Start] {
        PressRemoveThenClose();
        return start();
    };
    run.Paths.assign(std::begin(kRemovalPaths), std::end(kRemovalPaths));
    run.Slack = 1000;
    run.CheckReports = [](const sim::Process &p, std::vector<std::string> *broken) {
        CheckHandedOver(p, broken);
        CheckRemovedReports(p, broken);
    };
    run.Reached = [reached = run.Reached](const sim::Process &p, std::vector<std::string> *missing) {
        reached(p, missing);
        ReachedUninstalled(p, missing);
    };
    return run;
}

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
    // Every clean Remove also left the language monitor registered (it was
    // deleted before the driver that names it) and said it was uninstalled.
    {RunId::Remove, "OpenSCManagerW", 1,
     "the spooler could not be stopped for the monitor DLL, which stayed in System32, yet \"Remove\" said \"The "
     "driver is uninstalled.\""},
    {RunId::Remove, "ControlService", 1, "the same"},
    {RunId::Remove, "GetSystemDirectoryW", 1, "the same without the system directory"},
    {RunId::Remove, "DeleteFileW", 0, "the same with the DLL that could not be deleted"},
};

class FaultSweep : public UninstallFixture {};

TEST_F(FaultSweep, FaultsItFoundStayMended) {
    for (const FoundFault &found : kFoundFaults) {
        SweptRun run = found.Run == RunId::SilentPlugAndPlay ? InstallRun("silent install", true, L"/silence")
                       : found.Run == RunId::InstallWindow  ? InstallRun("install window", true, L"")
                                                             : RemoveRun("uninstall window, Remove", L"");
        Outcome clean = RunOnce(run, Fault(), nullptr);
        Fault fault{found.Api, found.Occurrence, RowOf(found.Api)->Error};
        Outcome replay = RunOnce(run, fault, &clean);
        EXPECT_TRUE(replay.Broken.empty()) << run.Name << " / " << fault.Name() << " (" << found.WentWrong
                                           << "):" << Joined(replay.Broken);
    }
}

// One test per run, so that ctest spreads the runs over the cores.
TEST_F(FaultSweep, SilentInstallPlugAndPlayRoad) {
    Sweep(InstallRun("silent install, Plug and Play road", true, L"/silence"), 70);
}
TEST_F(FaultSweep, SilentInstallManualRoad) { Sweep(InstallRun("silent install, manual road", false, L"/silence"), 110); }
TEST_F(FaultSweep, InstallWindowEndingInDone) { Sweep(InstallRun("install window ending in Done", true, L""), 90); }
TEST_F(FaultSweep, SilentInstall32BitProgramOnX64) {
    Sweep(InstallRun("silent install, 32-bit program on x64", true, L"/silence", true), 110);
}
// Windows 7 without SetDefaultDllDirectories: the libraries by full path.
TEST_F(FaultSweep, SilentInstall32BitProgramOnWindows7) {
    Sweep(InstallRun("silent install, 32-bit program on Windows 7 x64", true, L"/silence", true,
                     sim::WindowsVersion::Windows7),
          110);
}
TEST_F(FaultSweep, Stage) { Sweep(StageRun(), 30); }
TEST_F(FaultSweep, QuietWaitWithoutOurPrinter) { Sweep(QuietWithoutOurPrinterRun(), 20); }
TEST_F(FaultSweep, Quiet) { Sweep(QuietRun(), 75); }
TEST_F(FaultSweep, UnattendedRemove) { Sweep(UnattendedRemoveRun(), 120); }
TEST_F(FaultSweep, UnattendedRemoveBesideAnotherDriverOfTheMonitor) {
    Sweep(UnattendedRemoveOfTheMonitorRun("/remove /log, another maker's driver names the monitor", true), 60);
}
TEST_F(FaultSweep, UnattendedRemoveOfAMonitorLeftAlone) {
    Sweep(UnattendedRemoveOfTheMonitorRun("/remove /log, only the monitor left", false), 20);
}
TEST_F(FaultSweep, RemoveInTheUninstallWindow) { Sweep(RemoveRun("uninstall window, Remove", L""), 140); }
TEST_F(FaultSweep, Remove32BitProgramOnX64) {
    Sweep(RemoveRun("uninstall window, Remove, 32-bit program on x64", L"", true), 140);
}
TEST_F(FaultSweep, HandOverFromSetupOnAnInstalledMachine) {
    Sweep(HandOverRun("hand-over: setup.exe on an installed machine", L"setup.exe"), 50);
}
TEST_F(FaultSweep, RelaunchOfUnins000) { Sweep(HandOverRun("relaunch: unins000.exe", UNINSTALLER_FILE_NAME), 30); }
TEST_F(FaultSweep, RelaunchedUninstallerRunToItsEnd) { Sweep(RelaunchedRemoveRun(), 120); }
TEST_F(FaultSweep, ReinstallOverTheInstalledDriverManualRoad) { Sweep(ReinstallRun(true), 120); }
TEST_F(FaultSweep, ReinstallOverADriverDllInUse) { Sweep(ReinstallRun(false), 110); }
TEST_F(FaultSweep, UpgradeInPlaceManualRoad) { Sweep(UpgradeRun(false), 50); }
TEST_F(FaultSweep, UpgradeInPlacePlugAndPlayRoad) { Sweep(UpgradeRun(true), 40); }
TEST_F(FaultSweep, SecondCopyWhileOneRuns) { Sweep(SecondCopyRun(), 30); }

// After all runs in one process (tools/sweep-figures.sh): the error table's
// rows that no run failed, with the reason; a row that no run calls is dead.
TEST_F(FaultSweep, TableRowsNoRunFails) {
    // Every test of this suite but this one and FaultsItFoundStayMended is a
    // run: a row is dead only when all of them ran.
    const int kRuns = ::testing::UnitTest::GetInstance()->current_test_suite()->total_test_count() - 2;
    if (gSweptRuns < kRuns)
        GTEST_SKIP() << "needs the " << kRuns << " sweep runs in this process first";
    for (const ErrorRow &row : kErrorTable) {
        if (gCalledApis.count(row.Api) == 0)
            ADD_FAILURE() << row.Api << " has a row in the error table, but no run calls it: remove the row";
        else if (row.NoFault != nullptr)
            std::printf("[ NEVER    ] %s: %s\n", row.Api, row.NoFault);
    }
}

}  // namespace
