// The simulated loader: each process's modules and DLL search settings,
// LoadLibrary and GetProcAddress, the program's static imports at process
// start, the functions of the DLLs it loads at run time, and the delay-load
// helper at the first call of a delay-loaded DLL's function (see
// sim/loader.h).
#include <windows.h>
#include <commctrl.h>
#include <newdev.h>
#include <winspool.h>
#include <wintrust.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/loader.h"

#if !defined(SIMWIN_STATIC_DLLS) || !defined(SIMWIN_RUNTIME_DLLS)
#error "the build must name the program's static imports and the DLLs it loads at run time (cmake/host.cmake)"
#endif

// Functions that Windows 7 without KB2533623 lacks: reached through
// GetProcAddress only, so no header declares them.
typedef PVOID DLL_DIRECTORY_COOKIE;
BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags);
DLL_DIRECTORY_COOKIE WINAPI AddDllDirectory(PCWSTR NewDirectory);
BOOL WINAPI RemoveDllDirectory(DLL_DIRECTORY_COOKIE Cookie);

// Finds and maps a DLL for the running process and records the load.
static HMODULE LoadModule(const std::wstring &asked, DWORD flags, sim::loader::How how, DWORD *error);

namespace {

using sim::loader::How;

const DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                           LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                           LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
const DWORD kStatusDllNotFound = 0xC0000135;
// VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), the delay-load
// helper's exception when LoadLibrary fails.
const DWORD kDelayLoadModNotFound = 0xC06D007E;
// What calling through a pointer that was never filled in comes to.
const DWORD kStatusAccessViolation = 0xC0000005;

// Which DLL exports each API that the simulation implements.
struct ApiGroup {
    const wchar_t *Dll;
    const char *Names;  // separated by spaces
};
const ApiGroup kApiGroups[] = {
    {L"kernel32.dll",
     "Sleep GetTickCount GetLastError SetLastError GetProcessHeap HeapAlloc HeapFree LocalAlloc LocalFree "
     "CloseHandle CreateMutexW ReleaseMutex CreateEventW SetEvent ResetEvent WaitForSingleObject CreateThread "
     "GetExitCodeThread GetExitCodeProcess TerminateProcess GetCurrentProcessId ProcessIdToSessionId GetCurrentThreadId CreateProcessW GetModuleFileNameW GetModuleHandleW "
     "LoadLibraryW LoadLibraryExW LoadLibraryExA FreeLibrary GetProcAddress SetDllDirectoryW "
     "SetDefaultDllDirectories AddDllDirectory RemoveDllDirectory IsWow64Process IsWow64Process2 "
     "GetNativeSystemInfo GetSystemInfo SystemTimeToFileTime OutputDebugStringW OutputDebugStringA CreateFileW "
     "CreateDirectoryW RemoveDirectoryW CopyFileW DeleteFileW MoveFileExW GetFileAttributesW SetFileAttributesW "
     "GetFileSizeEx GetFileSize GetSystemDirectoryW GetTempPathW "
     "GetTempFileNameW GetACP MultiByteToWideChar WideCharToMultiByte lstrlenW lstrcmpW lstrcmpiW lstrcpynW "
     "GetCurrentProcess GetWindowsDirectoryW GetSystemWindowsDirectoryW GetSystemWow64DirectoryW "
     "Wow64DisableWow64FsRedirection Wow64RevertWow64FsRedirection GetLocalTime WriteFile "
     "CreateBoundaryDescriptorW AddSIDToBoundaryDescriptor DeleteBoundaryDescriptor CreatePrivateNamespaceW "
     "OpenPrivateNamespaceW ClosePrivateNamespace ReadFile SetFilePointerEx GetFileInformationByHandle K32GetMappedFileNameW "
     "GetFullPathNameW OpenEventW ResumeThread DuplicateHandle AddIntegrityLabelToBoundaryDescriptor "
     "FindFirstFileW FindNextFileW FindClose GetSystemTimeAsFileTime FormatMessageW"},
    {L"user32.dll",
     "CharLowerW CharLowerBuffW wsprintfW wvsprintfW LoadStringW DialogBoxParamW EndDialog GetDlgItem GetDlgCtrlID "
     "SetDlgItemTextW SendDlgItemMessageW SetWindowTextW GetWindowTextW GetWindowTextLengthW ShowWindow "
     "EnableWindow IsWindow IsWindowVisible IsWindowEnabled GetParent SendMessageW PostMessageW MessageBoxW "
     "EnumWindows GetWindowThreadProcessId SetForegroundWindow GetForegroundWindow GetProcessWindowStation "
     "GetUserObjectInformationW"},
    {L"advapi32.dll",
     "RegOpenKeyExW RegOpenKeyW RegCloseKey RegQueryValueExW RegGetValueW RegEnumKeyW OpenSCManagerW OpenServiceW "
     "CloseServiceHandle QueryServiceStatus QueryServiceStatusEx ControlService StartServiceW "
     "ConvertStringSecurityDescriptorToSecurityDescriptorW CreateWellKnownSid CryptAcquireContextW "
     "CryptReleaseContext CryptGenRandom CryptCreateHash CryptHashData CryptGetHashParam CryptDestroyHash "
     "IsWellKnownSid GetSecurityInfo OpenProcessToken GetTokenInformation LookupAccountSidW "
     "EqualSid GetAce CheckTokenMembership"},
    {L"shell32.dll", "CommandLineToArgvW SHChangeNotify SHFileOperationW"},
    {L"setupapi.dll",
     "SetupDiGetClassDevsW SetupDiGetClassDevsExW SetupDiEnumDeviceInterfaces SetupDiGetDeviceInterfaceDetailW "
     "SetupDiDestroyDeviceInfoList SetupDiClassGuidsFromNameW SetupDiEnumDeviceInfo "
     "SetupDiGetDeviceRegistryPropertyW SetupDiRemoveDevice SetupGetInfInformationW "
     "SetupQueryInfVersionInformationW "
     // setupapi exports the configuration manager's calls too, and the
     // program takes them from there: setupapi is a known DLL, cfgmgr32 not.
     "CM_Locate_DevNodeW CM_Reenumerate_DevNode"},
    {L"newdev.dll", "UpdateDriverForPlugAndPlayDevicesW"},
    {L"winspool.drv",
     "OpenPrinterW ClosePrinter AddPrinterW DeletePrinter GetPrinterW SetPrinterW EnumPrintersW EnumPortsW "
     "AddMonitorW DeleteMonitorW EnumMonitorsW AddPrinterDriverW AddPrinterDriverExW EnumPrinterDriversW "
     "DeletePrinterDriverExW "
     "GetPrinterDriverDirectoryW UploadPrinterDriverPackageW DeletePrinterDriverPackageW"},
    {L"comctl32.dll", "InitCommonControlsEx"},
    {L"wintrust.dll",
     "WinVerifyTrust WTHelperProvDataFromStateData WTHelperGetProvSignerFromChain WTHelperGetProvCertFromChain"},
};

const std::map<std::string, std::wstring> &ApiDlls() {
    static const std::map<std::string, std::wstring> table = [] {
        std::map<std::string, std::wstring> t;
        for (const ApiGroup &g : kApiGroups) {
            std::string names = g.Names;
            size_t pos = 0;
            while (pos < names.size()) {
                size_t end = names.find(' ', pos);
                if (end == std::string::npos)
                    end = names.size();
                if (end > pos)
                    t[names.substr(pos, end - pos)] = g.Dll;
                pos = end + 1;
            }
        }
        return t;
    }();
    return table;
}

// The KnownDLLs of Windows 10 (HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager\KnownDLLs), with ntdll.dll, which is always mapped.
const std::vector<std::wstring> &KnownDlls() {
    static const std::vector<std::wstring> list = {
        L"advapi32.dll", L"clbcatq.dll",  L"combase.dll",  L"comdlg32.dll", L"coml2.dll",    L"difxapi.dll",
        L"gdi32.dll",    L"gdiplus.dll",  L"imagehlp.dll", L"imm32.dll",    L"kernel32.dll", L"msctf.dll",
        L"msvcrt.dll",   L"normaliz.dll", L"nsi.dll",      L"ole32.dll",    L"oleaut32.dll", L"psapi.dll",
        L"rpcrt4.dll",   L"sechost.dll",  L"setupapi.dll", L"shcore.dll",   L"shell32.dll",  L"shlwapi.dll",
        L"user32.dll",   L"wldap32.dll",  L"wow64.dll",    L"wow64win.dll", L"ws2_32.dll",   L"ntdll.dll",
    };
    return list;
}

// Modules every process has before its imports: the native layer and kernel32.
const wchar_t *const kAlwaysMapped[] = {L"ntdll.dll", L"kernel32.dll", L"kernelbase.dll"};

std::vector<std::wstring> SplitList(const char *text) {
    std::vector<std::wstring> out;
    std::wstring cur;
    for (const char *p = text;; ++p) {
        if (*p == ',' || *p == ' ' || *p == 0) {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
            if (*p == 0)
                break;
        } else {
            cur += static_cast<wchar_t>(*p);
        }
    }
    return out;
}

struct Module {
    std::wstring Path;
    HMODULE Handle = nullptr;
    int References = 0;
    bool Pinned = false;  // a static import: never unloaded
};

struct ProcessLoader {
    std::vector<Module> Modules;
    DWORD DefaultDirectories = 0;  // SetDefaultDllDirectories; 0: the standard search
    bool DllDirectorySet = false;  // SetDllDirectoryW with a string (even empty)
    std::wstring DllDirectory;
    std::vector<std::pair<DLL_DIRECTORY_COOKIE, std::wstring>> UserDirectories;
    std::set<std::wstring> DelayBound;  // delay-loaded DLLs the helper has loaded (lower case)
    std::set<std::string> Resolved;     // functions of run-time DLLs found with GetProcAddress
};

struct LoaderMachine {
    std::map<DWORD, ProcessLoader> Processes;
    std::vector<sim::loader::Load> Loads;
    std::vector<std::wstring> StaticImports = SplitList(SIMWIN_STATIC_DLLS);
    std::vector<std::wstring> DelayImports;
    std::vector<std::wstring> RuntimeImports = SplitList(SIMWIN_RUNTIME_DLLS);
    std::set<std::pair<std::wstring, std::string>> MissingExports;  // (dll lower case, function)
    std::set<std::string> Unplaced;
    std::vector<std::string> Lookups;  // every GetProcAddress name, in order
    uintptr_t NextBase = 0x10000000;
};

LoaderMachine &L() {
    static LoaderMachine machine;
    return machine;
}

simk::Registrar registrar([] {
    simk::OnReset([] { L() = LoaderMachine(); });
    simk::OnProcessStart([](DWORD) {
        for (const std::wstring &dll : std::vector<std::wstring>(L().StaticImports)) {
            DWORD error = 0;
            if (!LoadModule(dll, 0, How::StaticImport, &error))
                simk::CrashProcess(kStatusDllNotFound,
                                   L"The code execution cannot proceed because " + dll + L" was not found.");
        }
    });
});

std::wstring FileName(const std::wstring &path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Folder(const std::wstring &path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool HasPath(const std::wstring &name) { return name.find_first_of(L"\\/:") != std::wstring::npos; }

bool IsAbsolute(const std::wstring &path) {
    return path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

// A module name without a path gets ".dll" unless it has an extension; a
// trailing dot stands for "no extension".
std::wstring WithExtension(const std::wstring &name) {
    if (!name.empty() && name.back() == L'.')
        return name.substr(0, name.size() - 1);
    return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

std::wstring SystemPath(const std::wstring &name) {
    return sim::files::Canonical(std::wstring(sim::files::kSystemDirectory) + L"\\" + name);
}

ProcessLoader &State(DWORD pid) {
    auto it = L().Processes.find(pid);
    if (it != L().Processes.end())
        return it->second;
    ProcessLoader &p = L().Processes[pid];
    for (const wchar_t *name : kAlwaysMapped) {
        Module m;
        m.Path = SystemPath(name);
        m.Handle = reinterpret_cast<HMODULE>(L().NextBase);
        L().NextBase += 0x100000;
        m.References = 1;
        m.Pinned = true;
        p.Modules.push_back(m);
    }
    return p;
}

ProcessLoader &Current() { return State(simk::CurrentProcessId()); }

Module *ModuleOf(ProcessLoader &p, HMODULE handle) {
    for (Module &m : p.Modules)
        if (m.Handle == handle)
            return &m;
    return nullptr;
}

Module *ModuleNamed(ProcessLoader &p, const std::wstring &fileName) {
    for (Module &m : p.Modules)
        if (simk::SameText(FileName(m.Path), fileName))
            return &m;
    return nullptr;
}

// The folders searched for a plain name, in order.
std::vector<std::wstring> SearchPath(const ProcessLoader &p, DWORD flags) {
    std::wstring program = Folder(simk::CurrentProcessImage());
    std::vector<std::wstring> dirs;
    DWORD search = flags & kSearchFlags & ~LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR;
    if ((flags & kSearchFlags) == 0)
        search = p.DefaultDirectories;
    if (search != 0) {
        if (search & LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
            search |= LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;
        if (search & LOAD_LIBRARY_SEARCH_APPLICATION_DIR)
            dirs.push_back(program);
        if (search & LOAD_LIBRARY_SEARCH_USER_DIRS) {
            for (auto &d : p.UserDirectories)
                dirs.push_back(d.second);
            if (!p.DllDirectory.empty())
                dirs.push_back(p.DllDirectory);
        }
        if (search & LOAD_LIBRARY_SEARCH_SYSTEM32)
            dirs.push_back(sim::files::kSystemDirectory);
        return dirs;
    }
    dirs.push_back(program);
    if (!p.DllDirectory.empty())
        dirs.push_back(p.DllDirectory);
    dirs.push_back(sim::files::kSystemDirectory);
    dirs.push_back(L"C:\\Windows\\System");
    dirs.push_back(L"C:\\Windows");
    if (!p.DllDirectorySet)
        dirs.push_back(L"C:\\");
    return dirs;
}

}  // namespace

// Returns the module, or null with *error set.
static HMODULE LoadModule(const std::wstring &asked, DWORD flags, How how, DWORD *error) {
    ProcessLoader &p = Current();
    sim::loader::Load record;
    record.Process = simk::CurrentProcessId();
    record.Name = asked;
    record.Way = how;
    record.Flags = flags;
    record.Time = simk::Now();

    Module *found = nullptr;
    std::wstring file;
    if (HasPath(asked)) {
        std::wstring path = sim::files::Canonical(asked);
        for (Module &m : p.Modules)
            if (!path.empty() && simk::SameText(m.Path, path))
                found = &m;
        if (found == nullptr && !path.empty() && sim::files::IsFile(path))
            file = path;
    } else {
        std::wstring name = WithExtension(asked);
        found = ModuleNamed(p, name);
        if (found == nullptr && sim::loader::IsKnownDll(name))
            file = SystemPath(name);
        for (const std::wstring &dir : found == nullptr && file.empty() ? SearchPath(p, flags)
                                                                        : std::vector<std::wstring>()) {
            std::wstring candidate = dir + (dir.back() == L'\\' ? L"" : L"\\") + name;
            if (sim::files::IsFile(candidate)) {
                file = sim::files::Canonical(candidate);
                break;
            }
        }
    }

    HMODULE handle = nullptr;
    if (found != nullptr) {
        found->References++;
        found->Pinned = found->Pinned || how == How::StaticImport;
        record.File = found->Path;
        record.AlreadyLoaded = true;
        handle = found->Handle;
    } else if (!file.empty()) {
        Module m;
        m.Path = file;
        m.Handle = reinterpret_cast<HMODULE>(L().NextBase);
        L().NextBase += 0x100000;
        m.References = 1;
        m.Pinned = how == How::StaticImport;
        p.Modules.push_back(m);
        record.File = file;
        handle = m.Handle;
    } else {
        record.Error = ERROR_MOD_NOT_FOUND;
        *error = ERROR_MOD_NOT_FOUND;
    }
    L().Loads.push_back(record);
    return handle;
}

namespace simk {

void BeforeApiCall(const char *api) {
    auto it = ApiDlls().find(api);
    if (it == ApiDlls().end()) {
        L().Unplaced.insert(api);
        return;
    }
    const std::wstring &dll = it->second;
    bool delayed = false;
    bool runtime = false;
    for (const std::wstring &d : L().DelayImports)
        delayed = delayed || SameText(d, dll);
    for (const std::wstring &d : L().RuntimeImports)
        runtime = runtime || SameText(d, dll);
    ProcessLoader &p = Current();
    // The program reaches a run-time DLL's function only through the pointer
    // that GetProcAddress gave it: before that, there is none to call.
    if (runtime && CurrentProcessRunsProgram() && p.Resolved.count(api) == 0)
        CrashProcess(kStatusAccessViolation, L"The program called " + std::wstring(api, api + strlen(api)) +
                                                 L" of " + dll + L" without having looked it up");
    if (!delayed || p.DelayBound.count(Lower(dll)) != 0)
        return;
    // What the linker's delay-load helper does at the first call: load the DLL
    // with LoadLibraryExA(name, NULL, 0), under the search settings in force,
    // and raise an exception that ends the program when that fails.
    DWORD error = Enter("LoadLibraryExA");
    HMODULE module = nullptr;
    if (error == 0) {
        module = LoadModule(dll, 0, How::DelayLoad, &error);
    } else {
        sim::loader::Load record;
        record.Process = CurrentProcessId();
        record.Name = dll;
        record.Way = How::DelayLoad;
        record.Time = Now();
        record.Error = error;
        L().Loads.push_back(record);
    }
    if (module == nullptr)
        CrashProcess(kDelayLoadModNotFound, L"The delay-load helper could not load " + dll + L" (error " +
                                                std::to_wstring(error) + L") for " + std::wstring(api, api + strlen(api)));
    p.DelayBound.insert(Lower(dll));
}

}  // namespace simk

namespace {

// Functions that programs look up with GetProcAddress.
struct Export {
    const wchar_t *Dll;
    const char *Name;
    FARPROC Address;
};

template <class F>
FARPROC ProcOf(F *function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const std::vector<Export> &Exports() {
    static const std::vector<Export> table = {
        {L"kernel32.dll", "SetDefaultDllDirectories", ProcOf(&SetDefaultDllDirectories)},
        {L"kernel32.dll", "AddDllDirectory", ProcOf(&AddDllDirectory)},
        {L"kernel32.dll", "RemoveDllDirectory", ProcOf(&RemoveDllDirectory)},
        {L"kernel32.dll", "SetDllDirectoryW", ProcOf(&SetDllDirectoryW)},
        {L"kernel32.dll", "LoadLibraryExW", ProcOf(&LoadLibraryExW)},
        {L"kernel32.dll", "LoadLibraryW", ProcOf(&LoadLibraryW)},
        {L"kernel32.dll", "FreeLibrary", ProcOf(&FreeLibrary)},
        {L"kernel32.dll", "GetModuleHandleW", ProcOf(&GetModuleHandleW)},
        {L"kernel32.dll", "IsWow64Process2", ProcOf(&IsWow64Process2)},
        {L"kernel32.dll", "AddIntegrityLabelToBoundaryDescriptor", ProcOf(&AddIntegrityLabelToBoundaryDescriptor)},
        {L"comctl32.dll", "InitCommonControlsEx", ProcOf(&InitCommonControlsEx)},
        {L"newdev.dll", "UpdateDriverForPlugAndPlayDevicesW", ProcOf(&UpdateDriverForPlugAndPlayDevicesW)},
        {L"wintrust.dll", "WinVerifyTrust", ProcOf(&WinVerifyTrust)},
        {L"wintrust.dll", "WTHelperProvDataFromStateData", ProcOf(&WTHelperProvDataFromStateData)},
        {L"wintrust.dll", "WTHelperGetProvSignerFromChain", ProcOf(&WTHelperGetProvSignerFromChain)},
        {L"wintrust.dll", "WTHelperGetProvCertFromChain", ProcOf(&WTHelperGetProvCertFromChain)},
        {L"winspool.drv", "AddMonitorW", ProcOf(&AddMonitorW)},
        {L"winspool.drv", "AddPrinterDriverW", ProcOf(&AddPrinterDriverW)},
        {L"winspool.drv", "AddPrinterDriverExW", ProcOf(&AddPrinterDriverExW)},
        {L"winspool.drv", "AddPrinterW", ProcOf(&AddPrinterW)},
        {L"winspool.drv", "ClosePrinter", ProcOf(&ClosePrinter)},
        {L"winspool.drv", "DeleteMonitorW", ProcOf(&DeleteMonitorW)},
        {L"winspool.drv", "DeletePrinter", ProcOf(&DeletePrinter)},
        {L"winspool.drv", "DeletePrinterDriverExW", ProcOf(&DeletePrinterDriverExW)},
        {L"winspool.drv", "DeletePrinterDriverPackageW", ProcOf(&DeletePrinterDriverPackageW)},
        {L"winspool.drv", "EnumMonitorsW", ProcOf(&EnumMonitorsW)},
        {L"winspool.drv", "EnumPortsW", ProcOf(&EnumPortsW)},
        {L"winspool.drv", "EnumPrinterDriversW", ProcOf(&EnumPrinterDriversW)},
        {L"winspool.drv", "EnumPrintersW", ProcOf(&EnumPrintersW)},
        {L"winspool.drv", "GetPrinterDriverDirectoryW", ProcOf(&GetPrinterDriverDirectoryW)},
        {L"winspool.drv", "GetPrinterW", ProcOf(&GetPrinterW)},
        {L"winspool.drv", "OpenPrinterW", ProcOf(&OpenPrinterW)},
        {L"winspool.drv", "SetPrinterW", ProcOf(&SetPrinterW)},
        {L"winspool.drv", "UploadPrinterDriverPackageW", ProcOf(&UploadPrinterDriverPackageW)},
    };
    return table;
}

}  // namespace

// --- Win32 ---------------------------------------------------------------------

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    SIM_ENTER("LoadLibraryW", nullptr);
    if (lpLibFileName == NULL || *lpLibFileName == 0) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = 0;
    HMODULE module = LoadModule(lpLibFileName, 0, How::LoadLibrary, &error);
    if (module == nullptr)
        simk::SetError(error);
    return module;
}

// Flags: 0, LOAD_WITH_ALTERED_SEARCH_PATH and the LOAD_LIBRARY_SEARCH_* flags
// (not with each other; _DLL_LOAD_DIR only with a full path). Windows 7
// without KB2533623 refuses the LOAD_LIBRARY_SEARCH_* flags with
// ERROR_INVALID_PARAMETER. The other flags (data files, images as resources)
// are not modelled: ERROR_NOT_SUPPORTED.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    SIM_ENTER("LoadLibraryExW", nullptr);
    DWORD search = dwFlags & kSearchFlags;
    DWORD error = 0;
    if (dwFlags & ~(kSearchFlags | LOAD_WITH_ALTERED_SEARCH_PATH))
        error = ERROR_NOT_SUPPORTED;
    if (lpLibFileName == NULL || *lpLibFileName == 0 || hFile != NULL ||
        (search != 0 && simk::Version() == sim::WindowsVersion::Windows7) ||
        (search != 0 && (dwFlags & LOAD_WITH_ALTERED_SEARCH_PATH)) ||
        ((dwFlags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) && !IsAbsolute(lpLibFileName)))
        error = ERROR_INVALID_PARAMETER;
    if (error != 0) {
        simk::SetError(error);
        return nullptr;
    }
    HMODULE module = LoadModule(lpLibFileName, dwFlags, How::LoadLibrary, &error);
    if (module == nullptr)
        simk::SetError(error);
    return module;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    SIM_ENTER("FreeLibrary", FALSE);
    if (hLibModule == simk::ProgramInstance())
        return TRUE;
    ProcessLoader &p = Current();
    Module *m = ModuleOf(p, hLibModule);
    if (m == nullptr) {
        simk::SetError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (!m->Pinned && --m->References == 0)
        p.Modules.erase(p.Modules.begin() + (m - p.Modules.data()));
    return TRUE;
}

// Knows the functions programs look up at run time (the kernel32 ones by
// Windows release, and none that the test took out of its DLL); anything else
// fails with ERROR_PROC_NOT_FOUND.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    L().Lookups.push_back(lpProcName == NULL || IS_INTRESOURCE(lpProcName) ? "#ordinal" : lpProcName);
    SIM_ENTER("GetProcAddress", nullptr);
    Module *m = nullptr;
    if (hModule != NULL && hModule != simk::ProgramInstance()) {
        m = ModuleOf(Current(), hModule);
        if (m == nullptr) {
            simk::SetError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
    }
    if (m != nullptr && lpProcName != NULL && !IS_INTRESOURCE(lpProcName)) {
        std::wstring dll = FileName(m->Path);
        for (const Export &e : Exports())
            if (simk::SameText(dll, e.Dll) && strcmp(lpProcName, e.Name) == 0 &&
                (!simk::SameText(dll, L"kernel32.dll") || simk::Kernel32Exports(e.Name)) &&
                L().MissingExports.count({simk::Lower(dll), e.Name}) == 0) {
                Current().Resolved.insert(e.Name);
                return e.Address;
            }
    }
    simk::SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI SetDllDirectoryW(LPCWSTR lpPathName) {
    SIM_ENTER("SetDllDirectoryW", FALSE);
    ProcessLoader &p = Current();
    p.DllDirectorySet = lpPathName != NULL;
    p.DllDirectory = lpPathName != NULL && *lpPathName != 0 ? sim::files::Canonical(lpPathName) : std::wstring();
    return TRUE;
}

// Any of LOAD_LIBRARY_SEARCH_APPLICATION_DIR, _USER_DIRS, _SYSTEM32 and
// _DEFAULT_DIRS; for the rest of the process's life.
BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
    SIM_ENTER("SetDefaultDllDirectories", FALSE);
    const DWORD allowed = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                          LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (DirectoryFlags == 0 || (DirectoryFlags & ~allowed) != 0) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Current().DefaultDirectories = DirectoryFlags;
    return TRUE;
}

DLL_DIRECTORY_COOKIE WINAPI AddDllDirectory(PCWSTR NewDirectory) {
    SIM_ENTER("AddDllDirectory", nullptr);
    if (NewDirectory == NULL || !IsAbsolute(NewDirectory)) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DLL_DIRECTORY_COOKIE cookie = simk::NewHandleValue();
    Current().UserDirectories.emplace_back(cookie, sim::files::Canonical(NewDirectory));
    return cookie;
}

BOOL WINAPI RemoveDllDirectory(DLL_DIRECTORY_COOKIE Cookie) {
    SIM_ENTER("RemoveDllDirectory", FALSE);
    auto &dirs = Current().UserDirectories;
    for (auto it = dirs.begin(); it != dirs.end(); ++it)
        if (it->first == Cookie) {
            dirs.erase(it);
            return TRUE;
        }
    simk::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName) {
    SIM_ENTER("GetModuleHandleW", nullptr);
    if (moduleName == NULL)
        return simk::ProgramInstance();
    ProcessLoader &p = Current();
    std::wstring image = simk::CurrentProcessImage();
    if (HasPath(moduleName)) {
        std::wstring path = sim::files::Canonical(moduleName);
        if (simk::SameText(path, sim::files::Canonical(image)))
            return simk::ProgramInstance();
        for (Module &m : p.Modules)
            if (simk::SameText(m.Path, path))
                return m.Handle;
    } else {
        std::wstring name = WithExtension(moduleName);
        if (simk::SameText(name, FileName(image)))
            return simk::ProgramInstance();
        if (Module *m = ModuleNamed(p, name))
            return m->Handle;
    }
    simk::SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    SIM_ENTER("GetModuleFileNameW", 0);
    std::wstring path;
    if (module == NULL || module == simk::ProgramInstance()) {
        path = simk::CurrentProcessImage();
    } else if (Module *m = ModuleOf(Current(), module)) {
        path = m->Path;
    } else {
        simk::SetError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (size == 0) {
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        wmemcpy(fileName, path.c_str(), size - 1);
        fileName[size - 1] = 0;
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(fileName, path.c_str(), path.size() + 1);
    simk::SetError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

// --- test API ----------------------------------------------------------------------

namespace sim {
namespace loader {

const std::vector<Load> &Loads() { return L().Loads; }

SearchState Search(DWORD process) {
    SearchState state;
    auto it = L().Processes.find(process);
    if (it == L().Processes.end())
        return state;
    state.DefaultDirectories = it->second.DefaultDirectories;
    state.DllDirectorySet = it->second.DllDirectorySet;
    state.DllDirectory = it->second.DllDirectory;
    for (auto &d : it->second.UserDirectories)
        state.UserDirectories.push_back(d.second);
    return state;
}

std::wstring LoadedFrom(DWORD process, const std::wstring &name) {
    auto it = L().Processes.find(process);
    if (it == L().Processes.end())
        return std::wstring();
    Module *m = ModuleNamed(it->second, name);
    return m != nullptr ? m->Path : std::wstring();
}

const std::vector<std::wstring> &StaticImports() { return L().StaticImports; }
const std::vector<std::wstring> &DelayImports() { return L().DelayImports; }
const std::vector<std::wstring> &RuntimeImports() { return L().RuntimeImports; }

void RemoveExport(const std::wstring &dll, const std::string &function) {
    L().MissingExports.insert({simk::Lower(dll), function});
}

void SetImports(const std::vector<std::wstring> &staticImports, const std::vector<std::wstring> &delayImports) {
    L().StaticImports = staticImports;
    L().DelayImports = delayImports;
}

std::wstring DllOf(const std::string &api) {
    auto it = ApiDlls().find(api);
    return it == ApiDlls().end() ? std::wstring() : it->second;
}

const std::vector<std::string> &Lookups() { return L().Lookups; }

std::vector<std::string> UnplacedApis() { return std::vector<std::string>(L().Unplaced.begin(), L().Unplaced.end()); }

bool IsKnownDll(const std::wstring &name) {
    for (const std::wstring &k : KnownDlls())
        if (simk::SameText(k, name))
            return true;
    return false;
}

const std::vector<std::wstring> &SystemDlls() {
    static const std::vector<std::wstring> list = [] {
        std::vector<std::wstring> l = KnownDlls();
        for (const wchar_t *other : {L"kernelbase.dll", L"comctl32.dll", L"winspool.drv", L"newdev.dll",
                                     L"cfgmgr32.dll", L"version.dll", L"wintrust.dll"})
            l.push_back(other);
        return l;
    }();
    return list;
}

}  // namespace loader
}  // namespace sim
