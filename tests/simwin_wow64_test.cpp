// The simulated WOW64, where a mistake would hide a fault of the 32-bit
// product on 64-bit Windows: what each machine tells the program about
// itself, the file system and registry redirectors, the spooler's default
// environment and the device installation calls refused to WOW64 callers.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "kernel.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "sim/spooler.h"
#include "tests/test_support.h"

namespace {

using sim::WindowsVersion;

const wchar_t kSystem32[] = L"C:\\Windows\\system32";
const wchar_t kSysWow64[] = L"C:\\Windows\\SysWOW64";

class SimWow64Test : public SimTest {
protected:
    // The 32-bit program on x64 Windows 11, unless a test says otherwise.
    void SetUp() override {
        SimTest::SetUp();
        sim::SetProgram32Bit(true);
    }

    static std::wstring SystemDirectory(UINT(WINAPI *call)(LPWSTR, UINT)) {
        WCHAR buffer[MAX_PATH] = {0};
        return call(buffer, MAX_PATH) ? buffer : L"(failed)";
    }

    // The data of a string value, read as the product reads it; an error
    // number in brackets otherwise.
    static std::wstring ReadView(const wchar_t *path, REGSAM sam) {
        HKEY key = NULL;
        LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | sam, &key);
        if (status != ERROR_SUCCESS)
            return L"(" + std::to_wstring(status) + L")";
        WCHAR data[16] = {0};
        DWORD size = sizeof(data);
        status = RegQueryValueExW(key, L"View", NULL, NULL, (LPBYTE)data, &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? data : L"(" + std::to_wstring(status) + L")";
    }

    static void AddDriverOf(const std::wstring &environment) {
        sim::PrinterDriver d;
        d.pName = std::wstring(L"Corvane LX-420");
        d.Environment = environment;
        sim::AddDriver(d);
    }
};

TEST_F(SimWow64Test, EachMachineTellsTheProgramWhatItIs) {
    const USHORT kNone = 0xFFFF;  // no IsWow64Process2 on the machine
    const struct {
        const char *Name;
        WORD Arch;
        WindowsVersion Version;
        bool Program32Bit;
        WORD NativeInfo;   // GetNativeSystemInfo
        BOOL Wow64;        // IsWow64Process
        USHORT Process;    // IsWow64Process2
        USHORT Native;
        bool HasSysWow64;  // GetSystemWow64DirectoryW and the folder
    } machines[] = {
        {"32-bit Windows 10", PROCESSOR_ARCHITECTURE_INTEL, WindowsVersion::Windows10, true,
         PROCESSOR_ARCHITECTURE_INTEL, FALSE, IMAGE_FILE_MACHINE_UNKNOWN, IMAGE_FILE_MACHINE_I386, false},
        {"32-bit program on x64", PROCESSOR_ARCHITECTURE_AMD64, WindowsVersion::Windows11, true,
         PROCESSOR_ARCHITECTURE_AMD64, TRUE, IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64, true},
        {"32-bit program on x64 Windows 7", PROCESSOR_ARCHITECTURE_AMD64, WindowsVersion::Windows7, true,
         PROCESSOR_ARCHITECTURE_AMD64, TRUE, kNone, kNone, true},
        // Windows 11 emulates x64 as well and says so; Windows 10 on ARM64 only x86.
        {"32-bit program on ARM64 Windows 11", PROCESSOR_ARCHITECTURE_ARM64, WindowsVersion::Windows11, true,
         PROCESSOR_ARCHITECTURE_AMD64, FALSE, IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_ARM64, true},
        {"32-bit program on ARM64 Windows 10", PROCESSOR_ARCHITECTURE_ARM64, WindowsVersion::Windows10, true,
         PROCESSOR_ARCHITECTURE_INTEL, FALSE, IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_ARM64, true},
        {"64-bit program on x64", PROCESSOR_ARCHITECTURE_AMD64, WindowsVersion::Windows11, false,
         PROCESSOR_ARCHITECTURE_AMD64, FALSE, IMAGE_FILE_MACHINE_UNKNOWN, IMAGE_FILE_MACHINE_AMD64, true},
    };
    for (const auto &m : machines) {
        SCOPED_TRACE(m.Name);
        sim::Reset();
        sim::SetNativeArchitecture(m.Arch);
        sim::SetWindowsVersion(m.Version);
        sim::SetProgram32Bit(m.Program32Bit);

        SYSTEM_INFO info;
        GetNativeSystemInfo(&info);
        EXPECT_EQ(m.NativeInfo, info.wProcessorArchitecture);
        if (m.Program32Bit) {
            GetSystemInfo(&info);
            EXPECT_EQ(PROCESSOR_ARCHITECTURE_INTEL, info.wProcessorArchitecture);
        }
        BOOL wow64 = 2;
        EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        EXPECT_EQ(m.Wow64, wow64);

        EXPECT_EQ(m.Process != kNone, simk::Kernel32Exports("IsWow64Process2"));
        if (m.Process != kNone) {
            USHORT process = 1, native = 1;
            EXPECT_TRUE(IsWow64Process2(GetCurrentProcess(), &process, &native));
            EXPECT_EQ(m.Process, process);
            EXPECT_EQ(m.Native, native);
        }

        EXPECT_EQ(std::wstring(L"C:\\Windows"), SystemDirectory(GetSystemWindowsDirectoryW));
        EXPECT_EQ(std::wstring(kSystem32), SystemDirectory(GetSystemDirectoryW));
        EXPECT_EQ(m.HasSysWow64 ? std::wstring(kSysWow64) : L"(failed)", SystemDirectory(GetSystemWow64DirectoryW));
        EXPECT_EQ(m.HasSysWow64, sim::files::IsFile(std::wstring(kSysWow64) + L"\\rundll32.exe"));
        if (!m.HasSysWow64) {
            EXPECT_EQ((DWORD)ERROR_CALL_NOT_IMPLEMENTED, GetLastError());
            PVOID old = NULL;
            EXPECT_FALSE(Wow64DisableWow64FsRedirection(&old));
            EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
        }
    }
    BOOL wow64 = FALSE;
    EXPECT_FALSE(IsWow64Process(reinterpret_cast<HANDLE>(0x1234), &wow64));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

// The program's x64 build starts where x64 code runs (natively, or emulated
// on ARM64 Windows 11), its ARM64 build on ARM64 only; elsewhere
// CreateProcessW refuses the file.
TEST_F(SimWow64Test, EachBuildOfTheProgramStartsWhereItsProcessorRuns) {
    const struct {
        WORD Processor;
        WindowsVersion Version;
        bool X64Starts, Arm64Starts;
    } kRows[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, WindowsVersion::Windows10, false, false},
        {PROCESSOR_ARCHITECTURE_AMD64, WindowsVersion::Windows11, true, false},
        {PROCESSOR_ARCHITECTURE_ARM64, WindowsVersion::Windows10, false, true},
        {PROCESSOR_ARCHITECTURE_ARM64, WindowsVersion::Windows11, true, true},
    };
    for (const auto &row : kRows) {
        sim::SetNativeArchitecture(row.Processor);
        sim::SetWindowsVersion(row.Version);
        for (const char *image : {sim::kProgramImage64, sim::kProgramImageArm64}) {
            sim::files::WriteFile(L"C:\\Temp\\child.exe", image);
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            WCHAR line[] = L"\"C:\\Temp\\child.exe\"";
            BOOL started = CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
            EXPECT_EQ(image == sim::kProgramImage64 ? row.X64Starts : row.Arm64Starts, started != FALSE)
                << row.Processor << " " << image;
            EXPECT_TRUE(started || GetLastError() == ERROR_BAD_EXE_FORMAT);
        }
    }
}

TEST_F(SimWow64Test, Kernel32ExportsFollowTheWindowsRelease) {
    const struct {
        WindowsVersion Version;
        bool IsWow64Process2, SetDefaultDllDirectories;
    } releases[] = {{WindowsVersion::Windows7, false, false},
                    {WindowsVersion::Windows81, false, true},
                    {WindowsVersion::Windows10, true, true},
                    {WindowsVersion::Windows11, true, true}};
    for (const auto &r : releases) {
        for (WORD arch : {PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_AMD64}) {
            sim::SetNativeArchitecture(arch);
            sim::SetWindowsVersion(r.Version);
            EXPECT_EQ(r.IsWow64Process2, simk::Kernel32Exports("IsWow64Process2")) << (int)r.Version;
            EXPECT_EQ(r.SetDefaultDllDirectories, simk::Kernel32Exports("SetDefaultDllDirectories"));
            EXPECT_TRUE(simk::Kernel32Exports("IsWow64Process"));
            EXPECT_TRUE(simk::Kernel32Exports("Wow64DisableWow64FsRedirection"));
            EXPECT_TRUE(simk::Kernel32Exports("Wow64RevertWow64FsRedirection"));
        }
    }
}

TEST_F(SimWow64Test, FileRedirectorSendsSystem32ToSysWow64SaveItsSharedFolders) {
    // Where a file call on the given folder lands, for the 32-bit program and
    // for a native one (null: nowhere).
    const struct {
        const wchar_t *Given;
        const wchar_t *Wow64;
        const wchar_t *Native;
    } paths[] = {
        {L"C:\\Windows\\System32", kSysWow64, kSystem32},
        {L"c:\\WINDOWS\\system32\\", kSysWow64, kSystem32},
        {L"\\\\?\\C:\\Windows\\System32", kSysWow64, kSystem32},
        {L"C:\\Windows\\System32\\drivers", L"C:\\Windows\\SysWOW64\\drivers", L"C:\\Windows\\system32\\drivers"},
        {L"C:\\Windows\\lastgood\\system32", L"C:\\Windows\\lastgood\\SysWOW64", L"C:\\Windows\\lastgood\\system32"},
        {L"C:\\Windows\\Sysnative", kSystem32, nullptr},
        {L"C:\\Windows\\SYSNATIVE\\spool", L"C:\\Windows\\system32\\spool", nullptr},
        {kSysWow64, kSysWow64, kSysWow64},
    };
    // The same folders' shared subfolders are never redirected.
    const wchar_t *shared[] = {L"catroot", L"catroot2", L"DriverStore", L"drivers\\etc", L"LogFiles", L"spool"};

    auto content = [](const std::wstring &folder) { return "in " + std::string(folder.begin(), folder.end()); };
    auto place = [&](const std::wstring &folder) { sim::files::WriteFile(folder + L"\\x.dll", content(folder)); };
    for (const auto &p : paths)
        for (const wchar_t *real : {p.Wow64, p.Native})
            if (real)
                place(real);
    for (const wchar_t *sub : shared)
        place(std::wstring(kSystem32) + L"\\" + sub);

    for (bool wow64 : {true, false}) {
        sim::SetProgram32Bit(wow64);
        for (const auto &p : paths) {
            const wchar_t *real = wow64 ? p.Wow64 : p.Native;
            std::wstring given = p.Given;
            given += (given.back() == L'\\' ? L"" : L"\\") + std::wstring(L"x.dll");
            sim::files::Remove(L"C:\\Out");
            sim::files::CreateFolder(L"C:\\Out");
            BOOL copied = CopyFileW(given.c_str(), L"C:\\Out\\x.dll", FALSE);
            EXPECT_EQ(real != nullptr, copied != FALSE) << given << (wow64 ? " (WOW64)" : " (native)");
            if (real) {
                EXPECT_EQ(content(real), sim::files::ReadFile(L"C:\\Out\\x.dll")) << given;
            } else {
                EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError()) << given;
            }
        }
        for (const wchar_t *sub : shared) {
            std::wstring given = L"C:\\Windows\\System32\\" + std::wstring(sub) + L"\\x.dll";
            EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(given.c_str())) << given;
        }
    }

    // Writing, deleting and temporary files go the same way.
    sim::SetProgram32Bit(true);
    WCHAR system[MAX_PATH] = {0};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring target = std::wstring(system) + L"\\crvnmon.dll";
    ASSERT_TRUE(CopyFileW(L"C:\\Out\\x.dll", target.c_str(), FALSE));
    EXPECT_TRUE(sim::files::IsFile(L"C:\\Windows\\SysWOW64\\crvnmon.dll"));
    EXPECT_FALSE(sim::files::IsFile(L"C:\\Windows\\system32\\crvnmon.dll"));
    sim::files::WriteFile(L"C:\\Windows\\system32\\crvnmon.dll", "native");
    ASSERT_TRUE(DeleteFileW(L"C:\\Windows\\Sysnative\\crvnmon.dll"));
    EXPECT_FALSE(sim::files::IsFile(L"C:\\Windows\\system32\\crvnmon.dll"));
    EXPECT_TRUE(sim::files::IsFile(L"C:\\Windows\\SysWOW64\\crvnmon.dll"));
    WCHAR temp[MAX_PATH] = {0};
    ASSERT_NE(0u, GetTempFileNameW(system, L"crv", 0, temp));
    EXPECT_EQ(0u, std::wstring(temp).find(L"C:\\Windows\\system32\\crv"));
    EXPECT_TRUE(sim::files::IsFile(L"C:\\Windows\\SysWOW64" + std::wstring(temp).substr(wcslen(kSystem32))));
}

DWORD WINAPI SeesNativeFile(LPVOID) {
    return GetFileAttributesW(L"C:\\Windows\\System32\\native-only.dll") != INVALID_FILE_ATTRIBUTES;
}

TEST_F(SimWow64Test, RedirectorIsTurnedOffAndBackForTheCallingThreadOnly) {
    sim::files::WriteFile(L"C:\\Windows\\system32\\native-only.dll");
    std::vector<DWORD> seen;
    auto otherThreadSees = [&] {
        HANDLE t = CreateThread(NULL, 0, SeesNativeFile, NULL, 0, NULL);
        WaitForSingleObject(t, INFINITE);
        DWORD code = 0;
        GetExitCodeThread(t, &code);
        CloseHandle(t);
        return code;
    };
    sim::RunInProcess([&] {
        PVOID first = (PVOID)7, second = (PVOID)7;
        seen.push_back(SeesNativeFile(NULL));
        seen.push_back(Wow64DisableWow64FsRedirection(&first));
        seen.push_back(SeesNativeFile(NULL));
        seen.push_back(otherThreadSees());
        // Turned off twice: reverting the inner call keeps it off.
        seen.push_back(Wow64DisableWow64FsRedirection(&second));
        seen.push_back(Wow64RevertWow64FsRedirection(second));
        seen.push_back(SeesNativeFile(NULL));
        seen.push_back(Wow64RevertWow64FsRedirection(first));
        seen.push_back(SeesNativeFile(NULL));
        seen.push_back(first == NULL && second != NULL);
    });
    EXPECT_EQ(std::vector<DWORD>({0, 1, 1, 0, 1, 1, 1, 1, 0, 1}), seen);
}

TEST_F(SimWow64Test, StartedProgramFileIsTheOneTheRedirectorLeadsTo) {
    const struct {
        const wchar_t *Application;  // null: the command line's program
        WORD Arch;
        bool Program32Bit;
        const wchar_t *ImageFile;    // null: the start fails
        BOOL Wow64;                  // IsWow64Process of the new process
    } starts[] = {
        {L"C:\\Windows\\Sysnative\\rundll32.exe", PROCESSOR_ARCHITECTURE_AMD64, true,
         L"C:\\Windows\\system32\\rundll32.exe", FALSE},
        {L"C:\\Windows\\System32\\rundll32.exe", PROCESSOR_ARCHITECTURE_AMD64, true,
         L"C:\\Windows\\SysWOW64\\rundll32.exe", TRUE},
        {nullptr, PROCESSOR_ARCHITECTURE_AMD64, true, L"C:\\Windows\\SysWOW64\\rundll32.exe", TRUE},
        {L"C:\\Windows\\Sysnative\\rundll32.exe", PROCESSOR_ARCHITECTURE_AMD64, false, nullptr, FALSE},
        {L"C:\\Windows\\System32\\rundll32.exe", PROCESSOR_ARCHITECTURE_AMD64, false,
         L"C:\\Windows\\system32\\rundll32.exe", FALSE},
        {nullptr, PROCESSOR_ARCHITECTURE_AMD64, false, L"C:\\Windows\\system32\\rundll32.exe", FALSE},
        {L"C:\\Windows\\Sysnative\\rundll32.exe", PROCESSOR_ARCHITECTURE_INTEL, true, nullptr, FALSE},
        {nullptr, PROCESSOR_ARCHITECTURE_INTEL, true, L"C:\\Windows\\system32\\rundll32.exe", FALSE},
    };
    for (const auto &s : starts) {
        sim::Reset();
        sim::SetNativeArchitecture(s.Arch);
        sim::SetProgram32Bit(s.Program32Bit);
        WCHAR commandLine[] = L"rundll32.exe printui.dll,PrintUIEntry /?";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        std::wstring what = std::wstring(s.Application ? s.Application : L"rundll32.exe") +
                            (s.Program32Bit ? L" from the 32-bit program" : L" from a native program") +
                            (s.Arch == PROCESSOR_ARCHITECTURE_INTEL ? L" on 32-bit Windows" : L" on x64");
        BOOL started = CreateProcessW(s.Application, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
        ASSERT_EQ(s.ImageFile != nullptr, started != FALSE) << what;
        if (!started) {
            EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError()) << what;
            continue;
        }
        EXPECT_EQ(s.ImageFile, sim::Processes().back().ImageFile) << what;
        BOOL wow64 = 2;
        EXPECT_TRUE(IsWow64Process(process.hProcess, &wow64));
        EXPECT_EQ(s.Wow64, wow64) << what;
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

TEST_F(SimWow64Test, RegistryViewsOfSoftwareAndTheKeysTheyShare) {
    const wchar_t kPrint[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation";
    const std::wstring print32 = L"SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation";
    for (const auto &key : std::vector<std::pair<std::wstring, std::wstring>>{
             {L"SOFTWARE\\Corvane", L"64"},
             {L"SOFTWARE\\WOW6432Node\\Corvane", L"32"},
             {kPrint, L"64"},
             {print32, L"32"},
             {L"SOFTWARE\\Classes\\.crv", L"64"},
             {L"SOFTWARE\\WOW6432Node\\Classes\\.crv", L"32"},
             {L"SOFTWARE\\Classes\\CLSID\\{C0}", L"64"},
             {L"SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{C0}", L"32"},
             {L"SYSTEM\\CurrentControlSet\\Control\\Print", L"64"}})
        sim::SetStringValue(key.first, L"View", key.second);

    const struct {
        const wchar_t *Path;
        REGSAM Sam;
        bool Program32Bit;
        const wchar_t *Reads;
    } opens[] = {
        {L"SOFTWARE\\Corvane", 0, true, L"32"},
        {L"software\\corvane", 0, false, L"64"},
        {L"SOFTWARE\\Corvane", KEY_WOW64_64KEY, true, L"64"},
        {L"SOFTWARE\\Corvane", KEY_WOW64_32KEY, false, L"32"},
        {L"SOFTWARE\\Corvane", KEY_WOW64_32KEY | KEY_WOW64_64KEY, true, L"(87)"},
        {L"SOFTWARE\\WOW6432Node\\Corvane", 0, true, L"32"},
        // Shared keys: the flags make no difference.
        {kPrint, 0, true, L"64"},
        {kPrint, KEY_WOW64_64KEY, true, L"64"},
        {kPrint, KEY_WOW64_32KEY, false, L"64"},
        {L"SOFTWARE\\Classes\\.crv", 0, true, L"64"},
        {L"SOFTWARE\\Classes\\CLSID\\{C0}", 0, true, L"32"},
        {L"SYSTEM\\CurrentControlSet\\Control\\Print", KEY_WOW64_32KEY, true, L"64"},
    };
    for (const auto &o : opens) {
        sim::SetProgram32Bit(o.Program32Bit);
        EXPECT_EQ(std::wstring(o.Reads), ReadView(o.Path, o.Sam))
            << o.Path << " sam " << o.Sam << (o.Program32Bit ? " (WOW64)" : " (native)");
    }
    // 32-bit Windows has one view only.
    sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_INTEL);
    sim::SetProgram32Bit(true);
    EXPECT_EQ(L"64", ReadView(L"SOFTWARE\\Corvane", KEY_WOW64_32KEY));
    EXPECT_EQ(0, sim::OpenKeyCount());
}

TEST_F(SimWow64Test, RegistryViewIsChosenByEachCallNotByTheParentKey) {
    sim::SetStringValue(L"SOFTWARE\\Corvane", L"View", L"64");
    sim::SetStringValue(L"SOFTWARE\\WOW6432Node\\Corvane", L"View", L"32");
    HKEY software = NULL, corvane = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ | KEY_WOW64_64KEY, &software));
    WCHAR data[16] = {0};
    DWORD size = sizeof(data);
    // RegOpenKeyW and a subkey opened without the flag use the caller's view.
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyW(software, L"Corvane", &corvane));
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(corvane, NULL, L"View", RRF_RT_REG_SZ, NULL, data, &size));
    EXPECT_EQ(std::wstring(L"32"), data);
    RegCloseKey(corvane);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(software, L"Corvane", 0, KEY_READ | KEY_WOW64_64KEY, &corvane));
    size = sizeof(data);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(corvane, NULL, L"View", RRF_RT_REG_SZ, NULL, data, &size));
    EXPECT_EQ(std::wstring(L"64"), data);
    RegCloseKey(corvane);
    size = sizeof(data);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(software, L"Corvane", L"View", RRF_RT_REG_SZ, NULL, data, &size));
    EXPECT_EQ(std::wstring(L"32"), data);
    RegCloseKey(software);
}

TEST_F(SimWow64Test, NullEnvironmentIsTheCallersAsTheTestChooses) {
    const struct {
        bool Program32Bit;
        bool NullIsX86;
        const wchar_t *Directory;
    } cases[] = {
        {true, true, L"W32X86"},
        {true, false, L"x64"},
        {false, true, L"x64"},
    };
    for (const auto &c : cases) {
        sim::SetProgram32Bit(c.Program32Bit);
        sim::SetWow64NullEnvironmentIsX86(c.NullIsX86);
        WCHAR dir[MAX_PATH] = {0};
        DWORD needed = 0;
        ASSERT_TRUE(GetPrinterDriverDirectoryW(NULL, NULL, 1, (LPBYTE)dir, sizeof(dir), &needed));
        EXPECT_EQ(L"C:\\Windows\\system32\\spool\\DRIVERS\\" + std::wstring(c.Directory), dir)
            << c.Program32Bit << c.NullIsX86;
        // The spool folder is shared: the product's copies land there.
        EXPECT_TRUE(sim::files::IsFolder(dir));
    }
}

TEST_F(SimWow64Test, MonitorNeedsTheMachinesEnvironmentAndTheRealSystemDirectory) {
    const struct {
        const wchar_t *Environment;
        bool NullIsX86;
        const wchar_t *DllIn;
        DWORD Error;  // 0: added
    } adds[] = {
        {nullptr, true, kSystem32, ERROR_INVALID_ENVIRONMENT},
        {nullptr, false, kSystem32, 0},
        {L"Windows x64", true, kSystem32, 0},
        {L"Windows NT x86", true, kSystem32, ERROR_INVALID_ENVIRONMENT},
        {L"Windows x64", true, kSysWow64, ERROR_MOD_NOT_FOUND},
    };
    for (const auto &a : adds) {
        sim::Reset();
        sim::SetProgram32Bit(true);
        sim::SetWow64NullEnvironmentIsX86(a.NullIsX86);
        sim::files::WriteFile(std::wstring(a.DllIn) + L"\\crvnmon.dll", "x");
        MONITOR_INFO_2W m = {(LPWSTR)L"Corvane Language Monitor", (LPWSTR)a.Environment, (LPWSTR)L"crvnmon.dll"};
        BOOL added = AddMonitorW(NULL, 2, (LPBYTE)&m);
        std::wstring what = std::wstring(a.Environment ? a.Environment : L"(null)") + L", DLL in " + a.DllIn;
        EXPECT_EQ(a.Error == 0, added != FALSE) << what;
        if (a.Error) {
            EXPECT_EQ(a.Error, GetLastError()) << what;
        }
        EXPECT_EQ(a.Error == 0, sim::FindMonitor(L"Corvane Language Monitor") != nullptr) << what;
    }
}

TEST_F(SimWow64Test, QueueNeedsADriverOfTheMachinesEnvironmentWhoeverAsks) {
    const struct {
        bool Program32Bit;
        const wchar_t *DriverEnvironment;
        bool Added;
    } cases[] = {
        {true, L"Windows NT x86", false},
        {true, L"Windows x64", true},
        {false, L"Windows NT x86", false},
        {false, L"Windows x64", true},
    };
    for (const auto &c : cases) {
        sim::Reset();
        sim::SetProgram32Bit(c.Program32Bit);
        sim::AddPort(L"USB001");
        AddDriverOf(c.DriverEnvironment);
        PRINTER_INFO_2W queue = {};
        queue.pPrinterName = (LPWSTR)L"Corvane LX-420";
        queue.pPortName = (LPWSTR)L"USB001";
        queue.pDriverName = (LPWSTR)L"Corvane LX-420";
        queue.pPrintProcessor = (LPWSTR)L"WinPrint";
        HANDLE printer = AddPrinterW(NULL, 2, (LPBYTE)&queue);
        EXPECT_EQ(c.Added, printer != NULL) << c.DriverEnvironment << (c.Program32Bit ? " (WOW64)" : " (native)");
        if (printer) {
            ClosePrinter(printer);
        } else {
            EXPECT_EQ((DWORD)ERROR_UNKNOWN_PRINTER_DRIVER, GetLastError());
        }
    }
}

TEST_F(SimWow64Test, DeviceInstallationIsRefusedToWow64Callers) {
    const std::wstring inf = L"C:\\Program Files\\Corvane\\crvnv6.inf";
    sim::files::WriteFile(inf, "[Version]");
    // Plugged in before the package is in the store, so that only the
    // installation asked for could bring the queue.
    sim::PlugPrinter({L"USBPRINT\\CorvaneLX-420ABCD", L"Corvane LX-420", L"Corvane LX-420", L"USB001", 0});
    sim::AddDriverPackage(inf);
    sim::AddPrintQueueDevice(L"Corvane LX-420");

    for (bool refused : {true, false}) {
        sim::SetWow64DeviceRemovalRefused(refused);
        EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"USBPRINT\\CorvaneLX-420ABCD", inf.c_str(), 0, NULL));
        EXPECT_EQ((DWORD)ERROR_IN_WOW64, GetLastError());

        HDEVINFO set = SetupDiGetClassDevsExW(NULL, NULL, NULL, DIGCF_ALLCLASSES, NULL, NULL, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, set);
        SP_DEVINFO_DATA element = {};
        element.cbSize = sizeof(element);
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
        EXPECT_EQ(!refused, SetupDiRemoveDevice(set, &element) != FALSE);
        if (refused) {
            EXPECT_EQ((DWORD)ERROR_IN_WOW64, GetLastError());
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    EXPECT_EQ(1u, sim::RemovedDevices().size());
    ASSERT_EQ(2u, sim::DriverUpdates().size());
    EXPECT_EQ((DWORD)ERROR_IN_WOW64, sim::DriverUpdates()[0].Error);
    EXPECT_TRUE(sim::Queues().empty());

    // Asking Plug and Play to look again is allowed.
    DEVINST root = 0;
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Locate_DevNodeW(&root, NULL, CM_LOCATE_DEVNODE_NORMAL));
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Reenumerate_DevNode(root, CM_REENUMERATE_NORMAL));

    // The same installation from a native program goes ahead.
    sim::SetProgram32Bit(false);
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"USBPRINT\\CorvaneLX-420ABCD", inf.c_str(), 0, NULL));
    ASSERT_NE(nullptr, sim::FindDriver(L"Corvane LX-420"));
    EXPECT_EQ(std::wstring(L"Windows x64"), sim::FindDriver(L"Corvane LX-420")->Environment);
}

}  // namespace
