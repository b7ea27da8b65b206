// The simulated loader finds DLLs where Windows would: the search order with
// and without SetDefaultDllDirectories and SetDllDirectoryW, known DLLs,
// modules loaded already, full paths, Windows 7 without the search flags; and
// it maps the program's static imports at start, and delay-loaded DLLs at
// their first call where a test links that way, ending the program when one
// cannot be found. These are the answers a test of the product's DLL
// hardening relies on.
#include <windows.h>
#include <commctrl.h>
#include <newdev.h>

#include <string>
#include <vector>

#include "sim/core.h"
#include "sim/files.h"
#include "sim/loader.h"
#include "tests/test_support.h"

namespace {

using sim::loader::How;

const std::wstring kDownloads = L"C:\\Users\\Setup\\Downloads";
const std::wstring kProgram = kDownloads + L"\\setup.exe";
const std::wstring kSystem = L"C:\\Windows\\system32";

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD);
typedef PVOID(WINAPI *AddDllDirectoryFn)(PCWSTR);

FARPROC Kernel32Function(const char *name) { return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name); }

// SetDefaultDllDirectories as a program reaches it.
BOOL SetDefaultDirectories(DWORD flags) {
    return reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void (*)()>(Kernel32Function("SetDefaultDllDirectories")))(flags);
}

void RegisterCommonControls() {
    INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&classes);
}

std::vector<sim::loader::Load> LoadsOf(DWORD process, How how) {
    std::vector<sim::loader::Load> out;
    for (const auto &l : sim::loader::Loads())
        if (l.Process == process && l.Way == how)
            out.push_back(l);
    return out;
}

class SimLoaderTest : public SimTest {};

TEST_F(SimLoaderTest, SearchOrderOfAPlainName) {
    struct Row {
        const char *What;
        std::vector<std::wstring> Planted;
        DWORD DefaultDirectories;   // SetDefaultDllDirectories, 0: not called
        const wchar_t *DllDirectory;  // SetDllDirectoryW, null: not called
        const wchar_t *UserDirectory; // AddDllDirectory, null: not called
        const wchar_t *Name;
        DWORD Flags;
        std::wstring Expected;  // empty: ERROR_MOD_NOT_FOUND
    };
    const std::wstring planted = kDownloads + L"\\newdev.dll";
    const Row rows[] = {
        {"the program's folder comes first", {planted}, 0, nullptr, nullptr, L"newdev.dll", 0, planted},
        {"without an extension, .dll", {planted}, 0, nullptr, nullptr, L"NEWDEV", 0, planted},
        {"default directories: System32", {planted}, LOAD_LIBRARY_SEARCH_SYSTEM32, nullptr, nullptr, L"newdev.dll", 0,
         kSystem + L"\\newdev.dll"},
        {"the default set includes the program's folder", {planted}, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, nullptr,
         nullptr, L"newdev.dll", 0, planted},
        {"the flag of the call", {planted}, 0, nullptr, nullptr, L"newdev.dll", LOAD_LIBRARY_SEARCH_SYSTEM32,
         kSystem + L"\\newdev.dll"},
        {"the call's flags replace the defaults", {planted}, LOAD_LIBRARY_SEARCH_SYSTEM32, nullptr, nullptr,
         L"newdev.dll", LOAD_LIBRARY_SEARCH_APPLICATION_DIR, planted},
        {"a known DLL only from System32", {kDownloads + L"\\user32.dll"}, 0, nullptr, nullptr, L"user32.dll", 0,
         kSystem + L"\\user32.dll"},
        {"the current folder last", {L"C:\\x.dll"}, 0, nullptr, nullptr, L"x.dll", 0, L"C:\\x.dll"},
        {"the Windows folder before it", {L"C:\\x.dll", L"C:\\Windows\\x.dll"}, 0, nullptr, nullptr, L"x.dll", 0,
         L"C:\\Windows\\x.dll"},
        {"SetDllDirectoryW(\"\") drops the current folder", {L"C:\\x.dll"}, 0, L"", nullptr, L"x.dll", 0, L""},
        {"a SetDllDirectoryW folder goes before System32", {kSystem + L"\\x.dll", L"C:\\Extra\\x.dll"}, 0,
         L"C:\\Extra", nullptr, L"x.dll", 0, L"C:\\Extra\\x.dll"},
        {"...and drops the current folder", {L"C:\\x.dll"}, 0, L"C:\\Extra", nullptr, L"x.dll", 0, L""},
        {"user folders with their flag", {L"C:\\Extra\\x.dll"}, 0, nullptr, L"C:\\Extra", L"x.dll",
         LOAD_LIBRARY_SEARCH_USER_DIRS, L"C:\\Extra\\x.dll"},
        {"user folders not in the standard order", {L"C:\\Extra\\x.dll"}, 0, nullptr, L"C:\\Extra", L"x.dll", 0, L""},
        {"System32 only: nothing else", {L"C:\\x.dll", planted}, 0, nullptr, nullptr, L"x.dll",
         LOAD_LIBRARY_SEARCH_SYSTEM32, L""},
        {"a full path loads that file", {planted}, LOAD_LIBRARY_SEARCH_SYSTEM32, nullptr, nullptr, planted.c_str(),
         LOAD_WITH_ALTERED_SEARCH_PATH, planted},
        {"a full path to nothing", {}, 0, nullptr, nullptr, L"C:\\Nowhere\\newdev.dll", 0, L""},
    };
    for (const Row &row : rows) {
        sim::Reset();
        for (const std::wstring &file : row.Planted)
            sim::files::WriteFile(file, "planted");
        HMODULE module = nullptr;
        DWORD error = 0;
        std::wstring file;
        sim::RunInProcess(
            [&] {
                if (row.DefaultDirectories) {
                    EXPECT_TRUE(SetDefaultDirectories(row.DefaultDirectories));
                }
                if (row.DllDirectory) {
                    EXPECT_TRUE(SetDllDirectoryW(row.DllDirectory));
                }
                if (row.UserDirectory) {
                    EXPECT_NE(nullptr, reinterpret_cast<AddDllDirectoryFn>(reinterpret_cast<void (*)()>(
                                           Kernel32Function("AddDllDirectory")))(row.UserDirectory));
                }
                module = LoadLibraryExW(row.Name, NULL, row.Flags);
                error = GetLastError();
                WCHAR path[MAX_PATH] = L"";
                if (module)
                    GetModuleFileNameW(module, path, MAX_PATH);
                file = path;
            },
            1000, kProgram);
        EXPECT_EQ(row.Expected, file) << row.What;
        if (row.Expected.empty()) {
            EXPECT_EQ(nullptr, module) << row.What;
            EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), error) << row.What;
        }
    }
}

TEST_F(SimLoaderTest, AModuleOfTheSameNameIsUsedAgainWhereverItCameFrom) {
    const std::wstring planted = kDownloads + L"\\newdev.dll";
    sim::files::WriteFile(planted, "planted");
    sim::Process p = sim::RunInProcess(
        [&] {
            HMODULE first = LoadLibraryExW(planted.c_str(), NULL, 0);
            ASSERT_NE(nullptr, first);
            // Loaded already: no search, not even with System32 only.
            EXPECT_EQ(first, LoadLibraryExW(L"newdev.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32));
            EXPECT_EQ(first, GetModuleHandleW(L"NEWDEV"));
            // Unloaded with its last reference, the search finds System32's.
            EXPECT_TRUE(FreeLibrary(first));
            EXPECT_EQ(first, GetModuleHandleW(L"newdev.dll"));
            EXPECT_TRUE(FreeLibrary(first));
            EXPECT_EQ(nullptr, GetModuleHandleW(L"newdev.dll"));
            EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
            EXPECT_NE(nullptr, LoadLibraryExW(L"newdev.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32));
        },
        1000, kProgram);
    EXPECT_EQ(kSystem + L"\\newdev.dll", sim::loader::LoadedFrom(p.Id, L"newdev.dll"));
    std::vector<sim::loader::Load> calls = LoadsOf(p.Id, How::LoadLibrary);
    ASSERT_EQ(3u, calls.size());
    EXPECT_FALSE(calls[0].AlreadyLoaded);
    EXPECT_TRUE(calls[1].AlreadyLoaded);
    EXPECT_EQ(planted, calls[1].File);
    EXPECT_EQ(static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32), calls[1].Flags);
}

TEST_F(SimLoaderTest, SearchFlagsAndDefaultDirectoriesByWindowsRelease) {
    struct Row {
        sim::WindowsVersion Version;
        bool HasDefaultDirectories;
    };
    for (const Row &row : {Row{sim::WindowsVersion::Windows7, false}, Row{sim::WindowsVersion::Windows81, true},
                           Row{sim::WindowsVersion::Windows11, true}}) {
        sim::Reset();
        sim::SetWindowsVersion(row.Version);
        sim::RunInProcess([&] {
            EXPECT_EQ(row.HasDefaultDirectories, Kernel32Function("SetDefaultDllDirectories") != nullptr);
            EXPECT_EQ(row.HasDefaultDirectories, Kernel32Function("AddDllDirectory") != nullptr);
            if (!row.HasDefaultDirectories) {
                EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
            }
            EXPECT_NE(nullptr, Kernel32Function("SetDllDirectoryW"));
            EXPECT_EQ(nullptr, GetProcAddress(GetModuleHandleW(NULL), "SetDefaultDllDirectories"));

            HMODULE module = LoadLibraryExW(L"newdev.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
            EXPECT_EQ(row.HasDefaultDirectories, module != nullptr);
            if (!row.HasDefaultDirectories) {
                EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
            }
            // The way that works everywhere: a full path.
            EXPECT_NE(nullptr, LoadLibraryExW(L"C:\\Windows\\system32\\winspool.drv", NULL,
                                              LOAD_WITH_ALTERED_SEARCH_PATH));
        });
    }
    sim::RunInProcess([] {
        EXPECT_EQ(nullptr, LoadLibraryExW(L"newdev.dll", NULL,
                                          LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_WITH_ALTERED_SEARCH_PATH));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_EQ(nullptr, LoadLibraryExW(L"newdev.dll", NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_FALSE(SetDefaultDirectories(LOAD_WITH_ALTERED_SEARCH_PATH));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    });
}

// Today's Windows build links every DLL statically: a DLL planted beside the
// program is mapped before the program runs a line.
TEST_F(SimLoaderTest, StaticImportsComeFromTheProgramsFolderUnlessKnown) {
    sim::loader::SetImports({L"kernel32.dll", L"user32.dll", L"newdev.dll", L"comctl32.dll"}, {});
    for (const wchar_t *name : {L"newdev.dll", L"user32.dll"})
        sim::files::WriteFile(kDownloads + L"\\" + name, "planted");
    bool ran = false;
    sim::Process p = sim::RunInProcess([&] { ran = true; }, 1000, kProgram);
    EXPECT_TRUE(ran);
    EXPECT_EQ(kDownloads + L"\\newdev.dll", sim::loader::LoadedFrom(p.Id, L"newdev.dll"));
    EXPECT_EQ(kSystem + L"\\user32.dll", sim::loader::LoadedFrom(p.Id, L"user32.dll"));
    EXPECT_EQ(kSystem + L"\\comctl32.dll", sim::loader::LoadedFrom(p.Id, L"comctl32.dll"));
    std::vector<sim::loader::Load> loads = LoadsOf(p.Id, How::StaticImport);
    ASSERT_EQ(4u, loads.size());
    EXPECT_TRUE(loads[0].AlreadyLoaded);  // kernel32 is in every process
    EXPECT_EQ(0u, loads[0].Time);
}

TEST_F(SimLoaderTest, DelayLoadedDllsLoadAtTheFirstCallWithTheSettingsThenInForce) {
    // The build loads these at run time; linked as delay-loaded DLLs instead:
    EXPECT_EQ(std::vector<std::wstring>({L"winspool.drv", L"newdev.dll", L"comctl32.dll", L"wintrust.dll"}),
              sim::loader::RuntimeImports());
    EXPECT_EQ(std::vector<std::wstring>(), sim::loader::DelayImports());
    sim::loader::SetImports(sim::loader::StaticImports(), sim::loader::RuntimeImports());
    EXPECT_EQ(L"comctl32.dll", sim::loader::DllOf("InitCommonControlsEx"));
    sim::files::WriteFile(kDownloads + L"\\comctl32.dll", "planted");
    struct Row {
        bool Restricted;  // SetDefaultDllDirectories(System32) first
        std::wstring Expected;
    };
    for (const Row &row : {Row{false, kDownloads + L"\\comctl32.dll"}, Row{true, kSystem + L"\\comctl32.dll"}}) {
        sim::ClearCalls();
        sim::Process p = sim::RunInProcess(
            [&] {
                if (row.Restricted)
                    SetDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
                Sleep(500);
                EXPECT_EQ(nullptr, GetModuleHandleW(L"comctl32.dll"));
                RegisterCommonControls();
                RegisterCommonControls();
            },
            1000, kProgram);
        EXPECT_FALSE(p.Crashed);
        EXPECT_EQ(row.Expected, sim::loader::LoadedFrom(p.Id, L"comctl32.dll"));
        std::vector<sim::loader::Load> loads = LoadsOf(p.Id, How::DelayLoad);
        ASSERT_EQ(1u, loads.size());
        EXPECT_EQ(p.StartTime + 500, loads[0].Time);
        EXPECT_EQ(0u, loads[0].Flags);
        EXPECT_EQ(1, sim::CallCount("LoadLibraryExA"));
    }
    // The static imports are there from the start, the delay-loaded ones not.
    sim::Process idle = sim::RunInProcess([] {}, 1000, kProgram);
    EXPECT_EQ(kSystem + L"\\setupapi.dll", sim::loader::LoadedFrom(idle.Id, L"setupapi.dll"));
    EXPECT_EQ(L"", sim::loader::LoadedFrom(idle.Id, L"comctl32.dll"));
}

// Where Windows 7 lacks the default directories, a DLL loaded early by its
// full path is the one the delay-load helper gets by name.
TEST_F(SimLoaderTest, AnEarlyLoadByFullPathServesTheDelayLoad) {
    sim::SetWindowsVersion(sim::WindowsVersion::Windows7);
    sim::loader::SetImports(sim::loader::StaticImports(), {L"comctl32.dll"});
    sim::files::WriteFile(kDownloads + L"\\comctl32.dll", "planted");
    sim::Process p = sim::RunInProcess(
        [] {
            EXPECT_TRUE(SetDllDirectoryW(L""));
            EXPECT_NE(nullptr, LoadLibraryExW(L"C:\\Windows\\system32\\comctl32.dll", NULL, LOAD_WITH_ALTERED_SEARCH_PATH));
            RegisterCommonControls();
        },
        1000, kProgram);
    std::vector<sim::loader::Load> loads = LoadsOf(p.Id, How::DelayLoad);
    ASSERT_EQ(1u, loads.size());
    EXPECT_TRUE(loads[0].AlreadyLoaded);
    EXPECT_EQ(kSystem + L"\\comctl32.dll", loads[0].File);
}

TEST_F(SimLoaderTest, AMissingDllEndsTheProgram) {
    struct Row {
        const char *What;
        std::vector<std::wstring> Statics;
        bool InjectFailure;  // the helper's LoadLibraryExA fails instead
        DWORD Status;
    };
    const Row rows[] = {
        {"static import", {L"kernel32.dll", L"newdev.dll"}, false, 0xC0000135},
        {"delay-loaded", {L"kernel32.dll"}, false, 0xC06D007E},
        {"delay-load helper fails", {L"kernel32.dll"}, true, 0xC06D007E},
    };
    for (const Row &row : rows) {
        sim::Reset();
        sim::loader::SetImports(row.Statics, {L"newdev.dll", L"comctl32.dll"});
        if (row.InjectFailure)
            sim::FailCall("LoadLibraryExA", ERROR_NOT_ENOUGH_MEMORY);
        else
            sim::files::Remove(kSystem + L"\\newdev.dll");
        bool before = false, after = false;
        sim::Process p = sim::RunInProcess(
            [&] {
                before = true;
                UpdateDriverForPlugAndPlayDevicesW(NULL, L"USB\\VID_1234", L"C:\\x.inf", 0, NULL);
                after = true;
            },
            1000, kProgram);
        EXPECT_TRUE(p.Ended) << row.What;
        EXPECT_TRUE(p.Crashed) << row.What;
        EXPECT_FALSE(p.CrashReason.empty()) << row.What;
        EXPECT_EQ(row.Status, static_cast<DWORD>(p.ExitCode)) << row.What;
        EXPECT_EQ(row.Status == 0xC06D007E, before) << row.What;
        EXPECT_FALSE(after) << row.What;
        EXPECT_EQ(0, sim::CallCount("UpdateDriverForPlugAndPlayDevicesW")) << row.What;
    }
}

TEST_F(SimLoaderTest, ModuleHandlesAndNames) {
    sim::RunInProcess(
        [] {
            EXPECT_EQ(GetModuleHandleW(NULL), GetModuleHandleW(L"setup.exe"));
            HMODULE kernel = GetModuleHandleW(L"KERNEL32");
            ASSERT_NE(nullptr, kernel);
            WCHAR path[MAX_PATH];
            EXPECT_EQ(32u, GetModuleFileNameW(kernel, path, MAX_PATH));
            EXPECT_STREQ(L"C:\\Windows\\system32\\kernel32.dll", path);
            EXPECT_EQ(nullptr, GetProcAddress(kernel, "NoSuchFunction"));
            EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
            HMODULE bogus = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x1234));
            EXPECT_EQ(nullptr, GetProcAddress(bogus, "SetDllDirectoryW"));
            EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
            EXPECT_EQ(0u, GetModuleFileNameW(bogus, path, MAX_PATH));
        },
        1000, kProgram);
}

}  // namespace
