// The program runs elevated, often from a Downloads folder that any
// unelevated process of the user can write. It must load no DLL but the
// system's and start nothing that such a process could have changed: start-up
// restricts the DLL search before anything else; every DLL of an install, an
// uninstall and a relaunch comes from System32, whatever lies beside the
// program or in the current folder; and the uninstaller's copy runs from a
// folder that only administrators can write, held open until it has started.
#include <windows.h>

#include <string>
#include <vector>

#include "common/resource_ids.h"
#include "common/system_libraries.h"
#include "sim/core.h"
#include "sim/files.h"
#include "sim/loader.h"
#include "sim/windows.h"
#include "tests/install_fixture.h"
#include "tests/uninstall_fixture.h"

namespace {

using install_fixture::kInstallDir;
using install_fixture::kSetup;

const wchar_t kModel[] = L"Corvane LD-2040";
const std::wstring kUninstaller = std::wstring(kInstallDir) + L"unins000.exe";
const wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Same-named DLLs where an attacker can put them: beside the program, in the
// current folder (C:\), and in the temporary folder where the uninstaller's
// copy used to run.
void PlantDlls() {
    for (const wchar_t *dll :
         {L"winspool.drv", L"newdev.dll", L"comctl32.dll", L"wintrust.dll", L"cfgmgr32.dll", L"version.dll"})
        for (const std::wstring &folder : {std::wstring(kInstallDir), std::wstring(L"C:\\"),
                                           std::wstring(sim::files::kTempDirectory)})
            sim::files::WriteFile(folder + dll, "planted");
}

class DllSafetyTest : public UninstallFixture, public ::testing::WithParamInterface<sim::WindowsVersion> {
protected:
    void SetUp() override {
        UninstallFixture::SetUp();
        sim::SetWindowsVersion(GetParam());
    }

    // Processes started with CreateProcessW and not run yet.
    static std::vector<sim::Process> Started() {
        std::vector<sim::Process> out;
        for (const sim::Process &p : sim::Processes())
            if (!p.Started)
                out.push_back(p);
        return out;
    }

    // Runs the newest started child as Windows would.
    static sim::Process RunNewestChild(uint64_t timeLimit) { return RunCreatedProcess(Started().back().Id, timeLimit); }
};

TEST_P(DllSafetyTest, StartUpRestrictsTheDllSearchBeforeAnythingElse) {
    install_fixture::ArrangeProgramInstall(kModel, false);
    sim::At(1000, [] { sim::CloseDialog(sim::FindDialog(IDD_INSTALL)); });
    sim::RunProgram(kSetup, L"", 5000);
    std::vector<std::string> first;
    for (size_t i = 0; i < 3 && i < sim::Calls().size(); i++)
        first.push_back(sim::Calls()[i].Api);
    // Where SetDefaultDllDirectories does not exist (Windows 7 without
    // KB2533623), the current folder at least leaves the search.
    std::string restriction =
        GetParam() == sim::WindowsVersion::Windows7 ? "SetDllDirectoryW" : "SetDefaultDllDirectories";
    EXPECT_EQ((std::vector<std::string>{"GetModuleHandleW", "GetProcAddress", restriction}), first);
}

TEST_P(DllSafetyTest, EveryDllOfAnInstallAnUninstallAndARelaunchComesFromSystem32) {
    install_fixture::ArrangeProgramInstall(kModel, true);
    sim::files::WriteFile(kUninstaller, "program image");
    PlantDlls();

    // An install, the hand-over on the installed product to the uninstall
    // window with "Remove", and the uninstaller's own relaunch.
    sim::RunProgram(kSetup, L"/silence", 120000);
    ASSERT_NE(nullptr, sim::FindQueue(kModel));
    sim::RunProgram(kSetup, L"", 5000);
    ASSERT_EQ(1u, Started().size());
    sim::At(sim::Now() + 1000, [] { sim::Click(Window(), IDC_REMOVE); });
    RunNewestChild(sim::Now() + 600000);
    EXPECT_EQ(nullptr, sim::FindQueue(kModel));
    sim::files::LayOutInstallFolder(kInstallDir);
    PlantDlls();
    sim::RunProgram(kUninstaller, L"", 5000);
    sim::At(sim::Now() + 1000, [] { sim::CloseDialog(Window()); });
    RunNewestChild(sim::Now() + 5000);

    // The libraries the program loads itself, once in each of its five
    // processes.
    int ownLoads = 0;
    for (const sim::loader::Load &load : sim::loader::Loads()) {
        std::wstring file = sim::files::Canonical(load.File);
        EXPECT_EQ(0u, file.find(L"C:\\Windows\\system32\\")) << load.Name.c_str() << " from " << file.c_str();
        for (const std::wstring &dll : sim::loader::RuntimeImports())
            ownLoads += load.Way == sim::loader::How::LoadLibrary && file == L"C:\\Windows\\system32\\" + dll;
    }
    EXPECT_EQ(5 * (int)sim::loader::RuntimeImports().size(), ownLoads);
    for (const sim::Process &p : sim::Processes())
        EXPECT_FALSE(p.Crashed) << p.CrashReason.c_str();
}

INSTANTIATE_TEST_SUITE_P(Windows, DllSafetyTest,
                         ::testing::Values(sim::WindowsVersion::Windows11, sim::WindowsVersion::Windows7),
                         [](const ::testing::TestParamInfo<sim::WindowsVersion> &info) {
                             return std::string(info.param == sim::WindowsVersion::Windows7 ? "Windows7" : "Windows11");
                         });

// Every function the program takes from a library it loads itself.
struct RuntimeFunction {
    const wchar_t *Dll;
    const char *Name;
};
#define WINSPOOL_ROW(name) {L"winspool.drv", #name},
#define NEWDEV_ROW(name) {L"newdev.dll", #name},
#define COMCTL32_ROW(name) {L"comctl32.dll", #name},
#define WINTRUST_ROW(name) {L"wintrust.dll", #name},
const RuntimeFunction kRuntimeFunctions[] = {WINSPOOL_FUNCTIONS(WINSPOOL_ROW) NEWDEV_FUNCTIONS(NEWDEV_ROW)
                                                 COMCTL32_FUNCTIONS(COMCTL32_ROW) WINTRUST_FUNCTIONS(WINTRUST_ROW)};

// A library without one of the functions (an older release's) is as good as
// no library: the program ends before it calls any of them (a call would
// crash), and before it takes its guard, shows or starts anything. (Without
// an optional one, its caller fails: tests/removal_test.cpp.)
TEST_P(DllSafetyTest, AFunctionMissingFromItsLibraryEndsStartUpBeforeAnythingRuns) {
    struct Mode {
        const wchar_t *Tail;
        DWORD ExitCode;
    };
    const Mode modes[] = {{L"", 0}, {L"/silence", 0}, {L"/stage", ERROR_PROC_NOT_FOUND}, {L"-u C:\\Corvane\\", 0}};
    for (const RuntimeFunction &function : kRuntimeFunctions) {
        for (const Mode &mode : modes) {
            sim::Reset();
            sim::SetWindowsVersion(GetParam());
            ResetProductGlobals();
            install_fixture::ArrangeProgramInstall(kModel, true);
            sim::loader::RemoveExport(function.Dll, function.Name);
            sim::Process p = sim::RunProgram(kSetup, mode.Tail, 5000);
            std::string what = std::string(function.Name) + " missing, \"" +
                               std::string(mode.Tail, mode.Tail + wcslen(mode.Tail)) + "\"";
            EXPECT_TRUE(p.Ended && !p.Crashed) << what;
            EXPECT_EQ(mode.ExitCode, (DWORD)p.ExitCode) << what;
            EXPECT_EQ(0, sim::CallCount("CreateMutexW")) << what;
        }
    }
}

class RelaunchCopyTest : public UninstallFixture {};

// The user, unelevated, tries what it can between the steps: to move the new
// folder away and put one of its own in its place, then to change the copy
// before it is held. Neither works in the system's temporary folder.
TEST_F(RelaunchCopyTest, CopyRunsFromAnAdministratorsFolderNobodyCanSwapHeldUntilStarted) {
    sim::files::LayOutInstallFolder(kInstallDir);
    sim::files::WriteFile(kUninstaller, "program image");
    std::wstring swapped;
    sim::OnCall("CopyFileW", [&] {
        for (const std::wstring &parent :
             {std::wstring(sim::files::kSystemTempDirectory), std::wstring(sim::files::kTempDirectory)})
            for (const std::wstring &name : sim::files::ListFolder(parent)) {
                std::wstring folder = parent + (parent.back() == L'\\' ? L"" : L"\\") + name;
                if (swapped.empty() && sim::files::Security(folder).find(kProtectedFolderSddl) != std::wstring::npos &&
                    sim::files::user::Move(folder, folder + L".old") == 0 &&
                    sim::files::user::CreateFolder(folder) == 0)
                    swapped = folder;
            }
    });
    std::wstring copy;
    sim::OnProcessCreated([&](const sim::Process &child) {
        sim::SplitCommandLine(child.CommandLine, &copy, nullptr);
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, sim::files::user::WriteFile(copy, "the user's program"));
        // While the child starts: in a new folder of the system's temporary
        // folder, held: nobody may change or delete it.
        EXPECT_EQ(std::wstring(sim::files::kSystemTempDirectory) + L"\\CorvaneSetup.", copy.substr(0, copy.find(L'.') + 1));
        EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION,
                  sim::files::TryOpen(copy, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, sim::files::TryDelete(copy));
    });
    sim::Process uninstaller = sim::RunProgram(kUninstaller, L"", 5000);
    EXPECT_EQ(0, uninstaller.ExitCode);
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(L"", swapped);
    EXPECT_EQ("program image", sim::files::ReadFile(copy));
    // No longer held once the child runs, and the command line is as ever.
    EXPECT_TRUE(sim::files::OpenHandles(copy).empty());
    EXPECT_EQ(L"\"" + copy + L"\" -u \"" + std::wstring(kInstallDir), sim::Processes().back().CommandLine);
    // Nothing waits for a restart: deployment tools would read it as one due.
    EXPECT_TRUE(sim::files::PendingRenames().empty());
}

}  // namespace
