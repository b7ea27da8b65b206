// The shipped program is 32-bit, and most machines it meets run 64-bit
// Windows, where it runs under WOW64 and the system answers it with its own
// 32-bit view. Whatever the machine and whatever the program's own bitness,
// the driver installed and removed is the one of the machine's own processor:
// its files in that environment's driver folder, the driver registered for
// that environment, the queue on it, and the uninstaller finding and removing
// exactly that driver. Every call that takes a print environment names the
// machine's own, retries too; start-up leaves the DLL search at System32. A
// model with the language monitor puts its DLL into the real System32 and
// registers the monitor there, and "Remove" takes both away; staging uploads
// the machine's own package. The same machines start the printer wizard in
// their own rundll32.
#include <windows.h>
#include <newdev.h>
#include <strsafe.h>

#include <cwchar>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/native_system.h"
#include "common/resource_ids.h"
#include "common/staged_package.h"
#include "install/catalog.h"
#include "install/deploy.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "install/pnp_handover.h"
#include "sim/core.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/loader.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/install_fixture.h"
#include "tests/uninstall_fixture.h"

namespace {

using install_fixture::kInstallDir;
using install_fixture::kSetup;

const wchar_t kModel[] = L"Corvane LD-2040";
const wchar_t kCopy[] = L"C:\\Users\\Setup\\AppData\\Local\\Temp\\uni1.tmp";

struct Machine {
    const char *Name;
    WORD Processor;
    sim::WindowsVersion Version;
    bool Program32Bit;
    const wchar_t *Environment;  // the machine's own
    const wchar_t *Folder;       // the install folder's binaries for it
};

const Machine kMachines[] = {
    {"Windows10_x86", PROCESSOR_ARCHITECTURE_INTEL, sim::WindowsVersion::Windows10, true, L"Windows NT x86", L"i386"},
    {"Windows11_x64_32bitProgram", PROCESSOR_ARCHITECTURE_AMD64, sim::WindowsVersion::Windows11, true, L"Windows x64",
     L"amd64"},
    {"Windows7_x64_32bitProgram", PROCESSOR_ARCHITECTURE_AMD64, sim::WindowsVersion::Windows7, true, L"Windows x64",
     L"amd64"},
    {"Windows11_Arm64_32bitProgram", PROCESSOR_ARCHITECTURE_ARM64, sim::WindowsVersion::Windows11, true,
     L"Windows ARM64", L"arm64"},
    {"Windows10_Arm64_32bitProgram", PROCESSOR_ARCHITECTURE_ARM64, sim::WindowsVersion::Windows10, true,
     L"Windows ARM64", L"arm64"},
    {"Windows11_x64_64bitProgram", PROCESSOR_ARCHITECTURE_AMD64, sim::WindowsVersion::Windows11, false, L"Windows x64",
     L"amd64"},
};

const wchar_t *const kEnvironments[] = {L"Windows NT x86", L"Windows x64", L"Windows ARM64", L"Windows ARM"};

// What a test's name says of its machine.
void PrintTo(const Machine &m, std::ostream *out) { *out << m.Name; }

void SetMachine(const Machine &m) {
    sim::SetNativeArchitecture(m.Processor);
    sim::SetWindowsVersion(m.Version);
    sim::SetProgram32Bit(m.Program32Bit);
}

// The drivers of that name, by the environment they are registered for.
std::vector<std::wstring> EnvironmentsOfDriver(const std::wstring &name) {
    std::vector<std::wstring> out;
    for (const sim::PrinterDriver &d : sim::Drivers())
        if (d.pName && *d.pName == name)
            out.push_back(d.Environment);
    return out;
}

// Every driver file of the product in any environment's driver folder.
std::vector<std::wstring> ProductFilesInDriverFolders() {
    std::vector<std::wstring> out;
    for (const wchar_t *env : kEnvironments)
        for (const std::wstring &path : sim::files::ListTree(sim::PrinterDriverDirectory(env)))
            if (path.find(L"crvndrv6") != std::wstring::npos)
                out.push_back(path);
    return out;
}

std::wstring TreeTexts(const std::vector<sim::TreeItem> &items) {
    std::wstring all;
    for (const sim::TreeItem &item : items)
        all += item.Text + L"\n" + TreeTexts(item.Children);
    return all;
}

// Start-up restricts the DLL search to System32: with the search flags, and
// only that one; on Windows 7 without them, SetDllDirectoryW(L"") takes the
// current folder out (NULL would put it back).
void ExpectSystem32Search(const Machine &m, DWORD process) {
    sim::loader::SearchState search = sim::loader::Search(process);
    bool flags = m.Version != sim::WindowsVersion::Windows7;
    EXPECT_EQ(flags ? (DWORD)LOAD_LIBRARY_SEARCH_SYSTEM32 : 0u, search.DefaultDirectories) << process;
    EXPECT_TRUE(flags || (search.DllDirectorySet && search.DllDirectory.empty())) << process;
    EXPECT_TRUE(search.UserDirectories.empty()) << process;
}

// No call leaves the environment to the spooler's reading of a null one.
void ExpectMachinesEnvironment(const Machine &m) {
    for (const sim::EnvironmentArgument &a : sim::EnvironmentArguments())
        EXPECT_EQ(m.Environment, a.Given.value_or(L"(null)")) << a.Api << " at " << a.Time << " ms";
}

// The uninstaller, from its copy, on the install folder: its tree as shown
// before "Remove", pressed a second after it starts.
sim::Process Uninstall(std::wstring *tree) {
    sim::files::WriteFile(kCopy, "program image");
    sim::At(sim::Now() + 1000, [tree] {
        *tree = TreeTexts(sim::Tree(sim::FindDialog(IDD_UNINSTALL), IDC_COMPONENT_TREE));
        sim::Click(sim::FindDialog(IDD_UNINSTALL), IDC_REMOVE);
    });
    return sim::RunProgram(kCopy, L"-u \"" + std::wstring(kInstallDir), sim::Now() + 600000);
}

// A machine, the road the installation is offered (Plug and Play or only
// the manual one), and how the system reads a null print environment from a
// 32-bit program (its own x86 one, or the machine's), which the
// documentation leaves open.
class NativeArchitectureTest : public UninstallFixture,
                               public ::testing::WithParamInterface<std::tuple<Machine, bool, bool>> {};

TEST_P(NativeArchitectureTest, SilentInstallAndUninstallTakeTheMachinesOwnDriver) {
    const Machine &machine = std::get<0>(GetParam());
    bool plugAndPlay = std::get<1>(GetParam());
    SetMachine(machine);
    sim::SetWow64NullEnvironmentIsX86(std::get<2>(GetParam()));
    install_fixture::ArrangeProgramInstall(kModel, plugAndPlay);
    install_fixture::RunNativeBuildChildren();
    std::vector<std::string> children;
    sim::OnProcessCreated([&children](const sim::Process &child) {
        children.push_back(sim::files::ReadFile(child.ImageFile));
    });
    const std::wstring driverFolder = sim::PrinterDriverDirectory(machine.Environment);

    sim::Process setup = sim::RunProgram(kSetup, L"/silence", 120000);
    EXPECT_FALSE(setup.Killed);
    EXPECT_FALSE(setup.Crashed);
    const sim::PrintQueue *queue = sim::FindQueue(kModel);
    ASSERT_NE(nullptr, queue);
    EXPECT_EQ(kModel, queue->pDriverName);
    EXPECT_EQ(std::vector<std::wstring>{machine.Environment}, EnvironmentsOfDriver(kModel));
    // Under WOW64 Plug and Play refuses the installation (ERROR_IN_WOW64),
    // which the program's build for the machine's own processor makes
    // instead: the x64 build on x64, the ARM64 one on ARM64 (not the x64 one,
    // which ARM64 Windows 11 would run emulated). On the manual road the
    // program installs the files itself, those of the machine's own
    // processor, into the machine's own driver folder and nowhere else.
    bool manual = !plugAndPlay;
    EXPECT_EQ(manual, !queue->AddedByPnp);
    bool handOver = machine.Program32Bit && machine.Processor != PROCESSOR_ARCHITECTURE_INTEL;
    std::vector<std::string> expected;
    if (handOver)
        expected.push_back(machine.Processor == PROCESSOR_ARCHITECTURE_ARM64 ? sim::kProgramImageArm64
                                                                           : sim::kProgramImage64);
    EXPECT_EQ(expected, children);
    if (manual) {
        const std::wstring source = std::wstring(machine.Folder) + L"\\crvndrv6.dll";
        EXPECT_EQ(std::string(source.begin(), source.end()), sim::files::ReadFile(driverFolder + L"\\crvndrv6.dll"));
        // There, and in its version folder, where the spooler takes them.
        std::vector<std::wstring> expected;
        for (const wchar_t *folder : {L"\\3\\", L"\\"})
            for (const wchar_t *name : {L"crvndrv6.dat", L"crvndrv6.dll", L"crvndrv6ui.dll"})
                expected.push_back(sim::files::Canonical(driverFolder + folder + name));
        EXPECT_EQ(expected, ProductFilesInDriverFolders());
        for (const std::wstring &line : sim::DebugLines()) {
            if (line.find(L"CopyFile") == 0) {
                EXPECT_NE(std::wstring::npos, line.find(L" to " + driverFolder + L"\\")) << line;
            }
        }
    }

    // The package uploaded is the machine's.
    ASSERT_FALSE(sim::Uploads().empty());
    const std::wstring store = sim::Uploads()[0].StoreInf;
    for (const sim::DriverPackage &upload : sim::Uploads())
        EXPECT_EQ(machine.Environment, upload.Environment);

    // The uninstaller, from its copy, lists that driver and removes it. A
    // print job holds the driver until the spooler restarts, and another
    // driver the package for a second: both are tried again.
    int driverTries = 0, packageTries = 0;
    sim::PrintQueue job;
    job.pPrinterName = L"Held";
    job.pPortName = L"USB001";
    job.pDriverName = kModel;
    sim::OnCall("DeletePrinterDriverExW", [&driverTries, job] {
        if (++driverTries == 1)
            sim::AddQueue(job);
    });
    sim::OnCall("StartServiceW", [] { sim::RemoveQueue(L"Held"); });
    sim::OnCall("DeletePrinterDriverPackageW", [&packageTries, &store] {
        sim::PrinterDriver held;
        held.pName = std::wstring(L"Held");
        held.pszInfPath = store;
        if (++packageTries == 1)
            sim::AddDriver(held);
        else
            sim::RemoveDriver(L"Held");
    });
    std::wstring tree;
    sim::Process uninstaller = Uninstall(&tree);
    EXPECT_FALSE(uninstaller.Killed);
    EXPECT_EQ(2, driverTries);
    EXPECT_EQ(2, packageTries);
    ExpectMachinesEnvironment(machine);
    ExpectSystem32Search(machine, setup.Id);
    ExpectSystem32Search(machine, uninstaller.Id);
    EXPECT_TRUE(sim::DriverPackages().empty());
    EXPECT_FALSE(sim::KeyExists(sim::DriverPackageKey(store, machine.Environment)));
    EXPECT_NE(std::wstring::npos, tree.find(L"Printer Driver:" + std::wstring(kModel) + L", ")) << tree;
    EXPECT_NE(std::wstring::npos, tree.find(L"Printer:" + std::wstring(kModel) + L" on the port: USB001. ")) << tree;
    EXPECT_EQ(std::vector<std::wstring>{L"The driver is uninstalled."}, MessageTexts());
    EXPECT_TRUE(EnvironmentsOfDriver(kModel).empty());
    EXPECT_EQ(nullptr, sim::FindQueue(kModel));
    EXPECT_FALSE(sim::files::Exists(kInstallDir));
}

std::string MachineName(const ::testing::TestParamInfo<std::tuple<Machine, bool, bool>> &info) {
    return std::string(std::get<0>(info.param).Name) + (std::get<1>(info.param) ? "_PlugAndPlay" : "_Manual") +
           (std::get<2>(info.param) ? "_NullIsX86" : "_NullIsNative");
}

INSTANTIATE_TEST_SUITE_P(Machines, NativeArchitectureTest,
                         ::testing::Combine(::testing::ValuesIn(kMachines), ::testing::Bool(), ::testing::Bool()),
                         MachineName);

class OneMachineTest : public UninstallFixture, public ::testing::WithParamInterface<Machine> {
protected:
    void SetUp() override {
        UninstallFixture::SetUp();
        SetMachine(GetParam());
        sim::SetWow64NullEnvironmentIsX86(true);
    }
};

// A model with the language monitor: its DLL goes into the machine's own
// System32 (the real one under WOW64, never SysWOW64) and the monitor is
// registered for the machine's environment; "Remove" takes both away, the
// DLL, which another program holds, at the next restart.
TEST_P(OneMachineTest, LanguageMonitorInTheRealSystem32UntilRemove) {
    const Machine &machine = GetParam();
    const std::wstring dll = L"C:\\Windows\\system32\\crvnmon.dll", wow64Dll = L"C:\\Windows\\SysWOW64\\crvnmon.dll";
    install_fixture::ArrangeProgramInstall(kModel, false);
    install_fixture::RunNativeBuildChildren();
    sim::RunInProcess([] {
        InstallRequest request = {};
        StringCchCopyW(InstallDir, INSTALL_DIR_CCH, kInstallDir);
        for (WCHAR *name : {request.DriverName, request.QueueName})
            StringCchCopyW(name, REQUEST_TEXT_CCH, kModel);
        StringCchCopyW(request.PortName, REQUEST_TEXT_CCH, L"USB001");
        request.Options = MODEL_USES_LANGUAGE_MONITOR;
        EXPECT_EQ(1, InstallPrinter(&request, install_fixture::kInfPath));
    });
    EXPECT_EQ(std::string(machine.Folder, machine.Folder + wcslen(machine.Folder)) + "\\crvnmon.dll",
              sim::files::ReadFile(dll));
    EXPECT_FALSE(sim::files::Exists(wow64Dll));
    ASSERT_NE(nullptr, sim::FindMonitor(L"Language Monitor"));
    EXPECT_EQ(machine.Environment, sim::FindMonitor(L"Language Monitor")->Environment.value_or(L""));
    sim::files::Lock(dll, sim::files::LockKind::Image);

    std::wstring tree;
    EXPECT_FALSE(Uninstall(&tree).Killed);
    EXPECT_EQ(nullptr, sim::FindMonitor(L"Language Monitor"));
    sim::files::Restart();
    EXPECT_FALSE(sim::files::Exists(dll) || sim::files::Exists(wow64Dll));
    ExpectMachinesEnvironment(machine);
}

// Where IsWow64Process2 does not exist (64-bit Windows 7 and 8.1) only
// IsWow64Process tells a WOW64 process: when it fails, the program does not
// know which folder System32 means, and puts the monitor DLL nowhere rather
// than into SysWOW64. Windows 10 answers through IsWow64Process2.
TEST_F(SimTest, AFailedWow64QueryPutsNothingIntoTheRedirectedSystem32) {
    using V = sim::WindowsVersion;
    for (V version : {V::Windows7, V::Windows81, V::Windows10}) {
        SCOPED_TRACE(static_cast<int>(version));
        sim::Reset();
        ResetProductGlobals();
        SetMachine(kMachines[1]);  // x64, the 32-bit program
        sim::SetWindowsVersion(version);
        sim::files::LayOutInstallFolder(kInstallDir);
        sim::FailCall("IsWow64Process", ERROR_ACCESS_DENIED, -1);
        int copied = 0;
        sim::RunInProcess([&copied] {
            copied = CopyToSystemDirectory((std::wstring(kInstallDir) + L"amd64\\crvnmon.dll").c_str());
        });
        bool known = version == V::Windows10;
        EXPECT_EQ(known ? 1 : 0, copied);
        EXPECT_EQ(known, sim::files::Exists(L"C:\\Windows\\system32\\crvnmon.dll"));
        EXPECT_FALSE(sim::files::Exists(L"C:\\Windows\\SysWOW64\\crvnmon.dll"));
    }
}

// Staging by the program itself: the machine's own package, with the
// spooler's record of it in the machine's environment.
TEST_P(OneMachineTest, StageUploadsTheMachinesOwnPackage) {
    const Machine &machine = GetParam();
    install_fixture::ArrangeProgramInstall(kModel, true);
    sim::Process setup = sim::RunProgram(kSetup, L"/stage", 60000);
    EXPECT_EQ(0, setup.ExitCode);
    ASSERT_EQ(1u, sim::Uploads().size());
    EXPECT_EQ(machine.Environment, sim::Uploads()[0].Environment);
    EXPECT_TRUE(sim::KeyExists(sim::DriverPackageKey(sim::Uploads()[0].StoreInf, machine.Environment)));
    ExpectMachinesEnvironment(machine);
    ExpectSystem32Search(machine, setup.Id);
}

INSTANTIATE_TEST_SUITE_P(Machines, OneMachineTest, ::testing::ValuesIn(kMachines),
                         [](const ::testing::TestParamInfo<Machine> &info) { return std::string(info.param.Name); });

// The Wizard button: the system's add-printer wizard in the machine's own
// rundll32, named by its full path (Sysnative under WOW64).
class WizardMachineTest : public SimTest, public ::testing::WithParamInterface<Machine> {};

TEST_P(WizardMachineTest, WizardRunsInTheMachinesOwnRundll32) {
    SetMachine(GetParam());
    sim::files::LayOutInstallFolder(kInstallDir);
    sim::At(1000, [] { sim::Click(sim::FindDialog(IDD_INSTALL), IDC_WIZARD); });
    sim::At(3000, [] { sim::CloseDialog(sim::FindDialog(IDD_INSTALL)); });
    RunProgramWindow(IDD_INSTALL, InstallDlgProc, kInstallDir, 10000, kSetup, WaitForInstallToFinish);
    const sim::Process &wizard = sim::Processes().back();
    ASSERT_NE(L"", wizard.Image);
    bool wow64 = GetParam().Program32Bit && GetParam().Processor != PROCESSOR_ARCHITECTURE_INTEL;
    EXPECT_EQ(wow64 ? L"C:\\Windows\\Sysnative\\rundll32.exe" : L"C:\\Windows\\system32\\rundll32.exe", wizard.Image);
    EXPECT_EQ(L"C:\\Windows\\system32\\rundll32.exe", wizard.ImageFile);
    // The copy of the package the wizard reads has the machine's own driver.
    std::vector<std::wstring> copies = sim::files::ListFolder(sim::files::kSystemTempDirectory);
    ASSERT_EQ(1u, copies.size());
    std::wstring copy = std::wstring(sim::files::kSystemTempDirectory) + L"\\" + copies[0] + L"\\";
    EXPECT_EQ(L"rundll32.exe printui.dll PrintUIEntry /ii /f \"" + copy + L"crvnv6.inf\"", wizard.CommandLine);
    std::wstring dll = std::wstring(GetParam().Folder) + L"\\crvndrv6.dll";
    EXPECT_EQ(sim::files::ReadFile(kInstallDir + dll), sim::files::ReadFile(copy + dll));
}

INSTANTIATE_TEST_SUITE_P(Machines, WizardMachineTest, ::testing::ValuesIn(kMachines),
                         [](const ::testing::TestParamInfo<Machine> &info) { return std::string(info.param.Name); });

// --- Plug and Play through the 64-bit build --------------------------------------
// The 32-bit program on x64 has its 64-bit build make the driver update that
// WOW64 refuses, from the run's staged package, with the private command line
// naming the staged INF; the road then runs as on a native machine, in the same
// virtual time and with the same trace. With a 64-bit build that does not
// start, the manual road follows as before (the other machines: the matrix above).
class PlugAndPlayRoadTest : public SimTest {};

// A silent install on x64 of a printer that Plug and Play installs.
sim::Process SilentInstall(bool program32Bit, const char *failure) {
    Machine machine = kMachines[1];  // x64, the 32-bit program
    machine.Program32Bit = program32Bit;
    SetMachine(machine);
    install_fixture::ArrangeProgramInstall(kModel, true);
    if (failure == std::string("not startable"))
        sim::FailCall("CreateProcessW", ERROR_BAD_EXE_FORMAT, -1);
    return sim::RunProgram(kSetup, L"/silence", 120000);
}

TEST_F(PlugAndPlayRoadTest, TheQueueComesFromPlugAndPlayThroughTheNativeBuildWhereItStarts) {
    for (const char *failure : {"", "not startable"}) {
        SCOPED_TRACE(failure);
        sim::Reset();
        ResetProductGlobals();
        std::vector<DWORD> children;
        sim::OnProcessCreated([&children](const sim::Process &child) {
            EXPECT_TRUE(IsStagedCopy(child.ImageFile, L"amd64\\crvnpnp.exe"));
            EXPECT_EQ(sim::kProgramImage64, sim::files::ReadFile(child.ImageFile));
            const std::wstring inf = child.ImageFile.substr(0, child.ImageFile.size() - 17) + L"crvnv6.inf";
            EXPECT_TRUE(IsStagedCopy(inf, L"crvnv6.inf"));
            EXPECT_EQ(L"\"" + child.Image + L"\" /UpdateDriverForPlugAndPlayDevices \"" +
                          install_fixture::HardwareIdOf(kModel) + L"\" \"" + inf + L"\" 1",
                      child.CommandLine);
            EXPECT_EQ(sim::files::kSystemDirectory, child.CurrentDirectory);
            children.push_back(child.Id);
            sim::StartCreatedProcess(child.Id);
        });
        bool handOver = failure[0] == 0;
        sim::Process setup = SilentInstall(true, failure);
        std::vector<std::wstring> trace = TraceLines();
        ASSERT_NE(nullptr, sim::FindQueue(kModel));
        EXPECT_EQ(handOver, sim::FindQueue(kModel)->AddedByPnp);
        EXPECT_EQ(!handOver, sim::CallCount("AddPrinterDriverW") > 0);  // the manual road
        ASSERT_EQ(handOver ? 1u : 0u, children.size());
        EXPECT_EQ(handOver ? children[0] : setup.Id, sim::DriverUpdates().back().Process);
        EXPECT_EQ(std::vector<std::wstring>(), sim::files::ListFolder(sim::files::kSystemTempDirectory));
        if (!handOver)
            continue;
        sim::Reset();
        ResetProductGlobals();
        sim::Process native = SilentInstall(false, failure);
        EXPECT_EQ(native.EndTime - native.StartTime, setup.EndTime - setup.StartTime);
        EXPECT_EQ(TraceLines(), trace);
    }
}

// Every kind of Windows machine the simulation has, with the program that
// runs there, takes its road: Plug and Play by the program itself, by its
// build for the machine's processor (the hand-over: x64, ARM64), or the
// manual one; always the machine's own driver. The processors are those the
// program knows, no more and no less. Without its ARM64 build an ARM64
// machine takes the manual road where the build cannot start, and uses
// nothing of a package that lacks it.
TEST_F(PlugAndPlayRoadTest, EveryMachineTakesItsRoad) {
    enum Road { kItself, kHandOver, kManual };
    using V = sim::WindowsVersion;
    const std::vector<V> kEvery = {V::Windows7, V::Windows81, V::Windows10, V::Windows11};
    const struct {
        WORD Processor;
        std::vector<V> Versions;
        bool Program32Bit;
        const wchar_t *Environment;
        Road Takes;
    } kRows[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, {V::Windows7, V::Windows81, V::Windows10}, true, L"Windows NT x86", kItself},
        // No Windows on 32-bit ARM runs an x86 program; the simulation's does,
        // so that the program's ARM row is walked too.
        {PROCESSOR_ARCHITECTURE_ARM, {V::Windows10}, true, L"Windows ARM", kManual},
        {PROCESSOR_ARCHITECTURE_AMD64, kEvery, true, L"Windows x64", kHandOver},
        {PROCESSOR_ARCHITECTURE_AMD64, kEvery, false, L"Windows x64", kItself},
        {PROCESSOR_ARCHITECTURE_ARM64, {V::Windows10, V::Windows11}, true, L"Windows ARM64", kHandOver},
    };
    std::set<WORD> processors, known;
    for (const auto &row : kRows)
        processors.insert(row.Processor);
    for (WORD processor = 0; processor <= PROCESSOR_ARCHITECTURE_ARM64 + 4; processor++) {
        sim::Reset();
        sim::SetNativeArchitecture(processor);
        sim::RunInProcess([&] {
            if (GetNativeArchitecture() != nullptr)
                known.insert(processor);
        });
    }
    EXPECT_EQ(processors, known);
    for (const auto &row : kRows)
        for (V version : row.Versions) {
            SCOPED_TRACE(::testing::Message() << row.Processor << " " << static_cast<int>(version)
                                              << (row.Program32Bit ? " 32-bit" : " 64-bit"));
            sim::Reset();
            ResetProductGlobals();
            SetMachine({"", row.Processor, version, row.Program32Bit, row.Environment, L""});
            install_fixture::ArrangeProgramInstall(kModel, true);
            install_fixture::RunNativeBuildChildren();
            sim::Process p = sim::RunProgram(kSetup, L"/quiet /wait 5", 120000);
            EXPECT_EQ(0, p.ExitCode);
            ASSERT_NE(nullptr, sim::FindQueue(kModel));
            EXPECT_EQ(row.Takes != kManual, sim::FindQueue(kModel)->AddedByPnp);
            EXPECT_EQ(row.Takes == kHandOver ? 2u : 1u, sim::Processes().size());
            EXPECT_EQ(std::vector<std::wstring>{row.Environment}, EnvironmentsOfDriver(kModel));
        }
    const std::wstring arm64Build = std::wstring(install_fixture::kInstallDir) + L"arm64\\crvnpnp.exe";
    for (V version : {V::Windows10, V::Windows11})
        for (bool missing : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "ARM64 " << static_cast<int>(version)
                                              << (missing ? " without" : " not startable"));
            sim::Reset();
            ResetProductGlobals();
            SetMachine({"", PROCESSOR_ARCHITECTURE_ARM64, version, true, L"Windows ARM64", L"arm64"});
            install_fixture::ArrangeProgramInstall(kModel, true);
            install_fixture::RunNativeBuildChildren();
            if (missing)
                ASSERT_TRUE(sim::files::Remove(arm64Build));
            else
                sim::FailCall("CreateProcessW", ERROR_BAD_EXE_FORMAT, -1);
            sim::Process p = sim::RunProgram(kSetup, L"/quiet /wait 5", 120000);
            EXPECT_EQ(missing ? ERROR_FILE_NOT_FOUND : 0, static_cast<DWORD>(p.ExitCode));
            EXPECT_EQ(missing, sim::FindQueue(kModel) == nullptr);
            EXPECT_TRUE(missing || !sim::FindQueue(kModel)->AddedByPnp);
            EXPECT_EQ(1u, sim::Processes().size());
        }
}

// The name the program gives its next folder under C:\Windows\Temp: the next
// 8 bytes of the random generator.
std::wstring NextProtectedFolder() {
    std::vector<BYTE> bytes = sim::PeekRandom(8);
    DWORD high = 0, low = 0;
    for (int i = 3; i >= 0; i--) {
        high = (high << 8) | bytes[i];
        low = (low << 8) | bytes[4 + i];
    }
    wchar_t name[40];
    swprintf(name, 40, L"\\CorvaneSetup.%08X%08X", (unsigned)high, (unsigned)low);
    return sim::files::kSystemTempDirectory + std::wstring(name);
}

// A standard user who can write the install folder (one unpacked under C:\)
// changes the package before the run, or at the worst moment while it runs:
// replaces or links a file, retargets a junction above the files once they
// are checked, writes through a view mapped before the run, makes a file
// read-only or a terabyte large, or makes the folder the program will name
// next. Windows gets the package only from the run's staged copy, made of the
// bytes the program read once and hashed: the run installs the genuine bytes
// (a second installation too), or ends with TRUST_E_BAD_DIGEST with the file
// named in the log and nothing of the package used. On either road, no byte
// the user wrote reaches the driver folder, System32, the driver store or the
// 64-bit child's image, and Windows reads only the staged copy.
TEST_F(PlugAndPlayRoadTest, APackageFileThatIsNotAsBuiltIsNeverUsed) {
    namespace user = sim::files::user;
    const std::wstring profile = sim::files::kProfileDirectory;
    const std::wstring dir = L"C:\\Corvane\\", genuine = profile + L"\\genuine\\", evil = profile + L"\\evil\\";
    const std::wstring dll = dir + L"amd64\\crvndrv6.dll", inf = dir + L"crvnv6.inf";
    const std::wstring native = dir + L"amd64\\crvnpnp.exe", ui = dir + L"amd64\\crvndrv6ui.dll";
    const std::wstring log = L"C:\\Windows\\Temp\\t.log";
    const std::string planted = "planted";
    std::vector<int> views;
    auto plantAll = [&] {
        for (const std::wstring *file : {&dll, &inf, &native})
            EXPECT_EQ(0u, user::WriteFile(*file, planted));
    };
    // A junction of the user's at `link`, leading to `target`; retargeted,
    // it leads to the same place in the user's planted copy.
    auto junction = [&](const std::wstring &link, const std::wstring &target) {
        EXPECT_EQ(0u, user::MakeLink(link, target, true));
    };
    auto retarget = [&](const std::wstring &link, const std::wstring &target) {
        return [&, link, target] {
            EXPECT_EQ(0u, user::RemoveFolder(link));
            EXPECT_EQ(0u, user::MakeLink(link, target, true));
        };
    };
    std::wstring madeBeforehand;
    struct Row {
        const char *What;
        std::function<void()> Attack;
        const std::wstring *Named;  // the file the log names; null: the run installs
        const wchar_t *Tail = L"/quiet";
        int Installs = 1;           // a second one after the queue was deleted
    } rows[] = {
        {"replaced DLL", [&] { EXPECT_EQ(0u, user::WriteFile(dll, planted)); }, &dll},
        {"replaced INF", [&] { EXPECT_EQ(0u, user::WriteFile(inf, sim::inf::PrinterInfText() + planted)); }, &inf},
        {"replaced crvnpnp.exe", [&] { EXPECT_EQ(0u, user::WriteFile(native, sim::kProgramImage64 + planted)); },
         &native},
        {"linked DLL",  // the user's own name for the file, with the package's bytes
         [&] { EXPECT_EQ(0u, user::Move(ui, profile + L"\\ui.dll") + user::MakeHardLink(ui, profile + L"\\ui.dll")); },
         &ui},
        {"a sparse INF of a terabyte", [&] { EXPECT_EQ(0u, user::WriteSparseFile(inf, "", 1ull << 40)); }, &inf},
        // The package's folder is the user's again once staged: what the
        // user does there then reaches nothing.
        {"changed at the upload", [&] { sim::OnCall("UploadPrinterDriverPackageW", plantAll); }, nullptr},
        {"changed when the 64-bit build starts", [&] { sim::OnCall("CreateProcessW", plantAll); }, nullptr},
        {"changed at the manual road's first copy", [&] { sim::OnCall("CopyFileW", plantAll); }, nullptr},
        {"the folder a junction, retargeted at the upload",
         [&] {
             junction(L"C:\\Corvane", genuine);
             sim::OnCall("UploadPrinterDriverPackageW", retarget(L"C:\\Corvane", evil));
         },
         nullptr},
        {"the folder a junction, retargeted at the upload of /stage",
         [&] {
             junction(L"C:\\Corvane", genuine);
             sim::OnCall("UploadPrinterDriverPackageW", retarget(L"C:\\Corvane", evil));
         },
         nullptr, L"/stage"},
        {"amd64 a junction, retargeted once its files are read",
         [&] {
             EXPECT_EQ(0u, user::Move(dir + L"amd64", profile + L"\\amd64"));
             junction(dir + L"amd64", profile + L"\\amd64");
             sim::OnCall("UploadPrinterDriverPackageW", retarget(dir + L"amd64", evil + L"amd64"));
             sim::OnCall("CopyFileW", retarget(dir + L"amd64", evil + L"amd64"));
         },
         nullptr},
        {"views mapped before the run, written after the check",
         [&] {
             for (const std::wstring *file : {&dll, &inf, &native}) {
                 views.push_back(0);
                 EXPECT_EQ(0u, user::MapView(*file, &views.back()));
             }
             auto write = [&] {
                 for (int view : views)
                     EXPECT_EQ(0u, user::WriteView(view, 0, planted));
             };
             sim::OnCall("UploadPrinterDriverPackageW", write);
             sim::OnCall("CopyFileW", write);
         },
         nullptr},
        {"a read-only DLL, and a second installation",
         [&] { EXPECT_EQ(0u, user::SetAttributes(dll, FILE_ATTRIBUTE_READONLY)); }, nullptr, L"/quiet", 2},
        {"the folder the program names next, made beforehand",
         [&] { EXPECT_EQ(0u, user::CreateFolder(madeBeforehand = NextProtectedFolder())); }, nullptr},
    };
    for (bool plugAndPlay : {true, false})
        for (const Row &row : rows) {
            SCOPED_TRACE(::testing::Message() << row.What << (plugAndPlay ? ", Plug and Play" : ", manual road"));
            sim::Reset();
            ResetProductGlobals();
            views.clear();
            madeBeforehand.clear();
            SetMachine(kMachines[1]);  // x64, the 32-bit program
            bool junctionAbove = std::string(row.What).find("the folder a junction") == 0;
            install_fixture::ArrangeProgramInstall(kModel, plugAndPlay, false, junctionAbove ? genuine : dir);
            sim::files::LayOutInstallFolder(evil);
            for (const std::wstring &file : sim::files::ListTree(evil))
                if (sim::files::IsFile(file))
                    sim::files::WriteFile(file, planted + sim::files::ReadFile(file));
            std::vector<std::string> childImages;
            sim::OnProcessCreated([&childImages](const sim::Process &child) {
                childImages.push_back(sim::files::ReadFile(child.ImageFile));
                EXPECT_TRUE(IsStagedCopy(child.ImageFile, L"amd64\\crvnpnp.exe"));
                sim::StartCreatedProcess(child.Id);
            });
            row.Attack();
            sim::Process p;
            for (int run = 0; run < row.Installs; run++) {
                sim::RemoveQueue(kModel);
                p = sim::RunProgram(dir + L"setup.exe", L"/log " + log + L" " + row.Tail, 120000);
                EXPECT_FALSE(p.Crashed);
            }

            std::vector<std::string> reached = childImages;
            for (const std::wstring &file : sim::files::ListTree(install_fixture::kDriverDir)) {
                reached.push_back(sim::files::ReadFile(file));
                EXPECT_EQ(0u, sim::files::Attributes(file) & FILE_ATTRIBUTE_READONLY);
            }
            reached.push_back(sim::files::ReadFile(L"C:\\Windows\\system32\\crvnmon.dll"));
            for (const sim::DriverPackage &upload : sim::Uploads()) {
                reached.push_back(sim::files::ReadFile(upload.StoreInf));
                EXPECT_TRUE(IsStagedCopy(upload.SourceInf, L"crvnv6.inf"));
            }
            for (const sim::DriverUpdate &update : sim::DriverUpdates())
                EXPECT_TRUE(IsStagedCopy(update.InfPath, L"crvnv6.inf"));
            for (const std::string &content : reached)
                EXPECT_EQ(std::string::npos, content.find(planted)) << content;
            // The run's staged copy is gone with it; a folder the user made
            // stays the user's, and empty.
            std::vector<std::wstring> left = {L"t.log"};
            if (!madeBeforehand.empty()) {
                left.insert(left.begin(), madeBeforehand.substr(madeBeforehand.rfind(L'\\') + 1));
                EXPECT_EQ(std::vector<std::wstring>(), sim::files::ListFolder(madeBeforehand));
            }
            EXPECT_EQ(left, sim::files::ListFolder(sim::files::kSystemTempDirectory));
            if (row.Named == nullptr) {
                EXPECT_EQ(0, p.ExitCode);
                EXPECT_EQ(1u * row.Installs, sim::Uploads().size());
                // (A device that Plug and Play installed once gets no queue
                // from it again: the second installation's is the program's.)
                if (row.Tail != std::wstring(L"/stage")) {
                    EXPECT_TRUE(sim::FindQueue(kModel) != nullptr &&
                                sim::FindQueue(kModel)->AddedByPnp == (plugAndPlay && row.Installs == 1));
                }
                continue;
            }
            EXPECT_EQ((int)TRUST_E_BAD_DIGEST, p.ExitCode);
            EXPECT_TRUE(sim::Uploads().empty());
            EXPECT_TRUE(sim::DriverUpdates().empty());
            EXPECT_EQ(1u, sim::Processes().size());  // nothing started
            EXPECT_EQ(std::vector<std::wstring>(), sim::files::ListTree(install_fixture::kDriverDir));
            bool named = false;
            for (const LogLine &line : ReadLog(log))
                named = named || line.Text.find(*row.Named) != std::wstring::npos;
            EXPECT_TRUE(named);
        }
}

// What each mode asks of Windows: the deployment mode uploads silently and
// updates non-interactively, answering the restart question itself (a
// restart Windows wants ends it with 3010), and waits for the 64-bit build
// at most its bound, then ends it and takes the manual road; /silence keeps
// its flags, lets Windows ask, and waits as long as the child takes.
TEST_F(PlugAndPlayRoadTest, DeploymentModeAsksWindowsForNoPromptAndBoundsTheChild) {
    struct Row {
        const wchar_t *Tail;
        bool Program32Bit;
        bool RebootRequired;
        bool ChildHangs;
        DWORD ExitCode;  // MAXDWORD: killed at the test's limit
    } rows[] = {
        {L"/quiet", false, false, false, 0},
        {L"/quiet", true, true, false, 3010},
        {L"/quiet", false, true, false, 3010},
        {L"/silence", true, true, false, 0},
        {L"/quiet", true, false, true, 0},
        {L"/silence", true, false, true, MAXDWORD},
    };
    for (const Row &row : rows) {
        bool quiet = row.Tail == std::wstring(L"/quiet");
        SCOPED_TRACE(::testing::Message() << (quiet ? "/quiet" : "/silence") << " 32-bit:" << row.Program32Bit
                                          << " restart:" << row.RebootRequired << " hangs:" << row.ChildHangs);
        sim::Reset();
        ResetProductGlobals();
        Machine machine = kMachines[1];  // x64
        machine.Program32Bit = row.Program32Bit;
        SetMachine(machine);
        install_fixture::ArrangeProgramInstall(kModel, true, row.RebootRequired);
        uint64_t childCreated = 0;
        sim::OnProcessCreated([&](const sim::Process &child) {
            childCreated = sim::Now();
            if (!row.ChildHangs)
                sim::StartCreatedProcess(child.Id);
        });
        sim::Process setup = sim::RunProgram(kSetup, row.Tail, 1000000);
        EXPECT_EQ(row.ExitCode == MAXDWORD, setup.Killed);
        EXPECT_TRUE(setup.Killed || row.ExitCode == static_cast<DWORD>(setup.ExitCode)) << setup.ExitCode;
        ASSERT_FALSE(sim::Uploads().empty());
        EXPECT_EQ(quiet ? 0x3u : 0x2u, sim::Uploads()[0].Flags);  // UPDP_SILENT_UPLOAD 1, UPDP_UPLOAD_ALWAYS 2
        if (row.ChildHangs) {
            // The parent's own call and nothing more; the child, ended at the
            // bound, counts as a failed call and the manual road follows.
            ASSERT_EQ(2u, sim::Processes().size());
            EXPECT_TRUE(quiet ? sim::Processes()[1].Ended : !sim::Processes()[1].Ended);
            if (!quiet)
                continue;
            EXPECT_EQ(static_cast<int>(ERROR_TIMEOUT), sim::Processes()[1].ExitCode);
            EXPECT_EQ(childCreated + PNP_CHILD_WAIT_MS, sim::Processes()[1].EndTime);
            EXPECT_GT(sim::CallCount("AddPrinterDriverW"), 0);
            EXPECT_EQ(std::vector<std::wstring>(), sim::files::ListFolder(sim::files::kSystemTempDirectory));
            continue;
        }
        const sim::DriverUpdate &update = sim::DriverUpdates().back();
        EXPECT_TRUE(update.Result);
        EXPECT_EQ(quiet ? 0x5u : 0x1u, update.InstallFlags);  // INSTALLFLAG_FORCE 1, _NONINTERACTIVE 4
        EXPECT_EQ(quiet, update.RebootPointerGiven);
    }
}

// The 64-bit build's private mode, run directly: the one call, and its result
// as the exit code; arguments it cannot use end it with
// ERROR_INVALID_PARAMETER and call nothing. It shows nothing, writes no
// trace and takes no single-instance guard. A line that only begins with its
// option (kNotTheChild) is read as any other: the install window, under the
// guard.
const DWORD kNotTheChild = MAXDWORD;
struct ChildRun {
    const char *Name;
    const wchar_t *Arguments;  // after the option
    bool Native;               // the 64-bit build, or the 32-bit program under WOW64
    DWORD ExitCode;
};

const wchar_t kBlankId[] = L"usbprint\\corvane ld-2040 plus762a";
const ChildRun kChildRuns[] = {
    {"Installs", L" \"usbprint\\corvane ld-2040 plus762a\" \"C:\\Program Files\\Corvane\\crvnv6.inf\" 1", true, 0},
    {"UnknownDevice", L" \"usbprint\\other\" \"C:\\Program Files\\Corvane\\crvnv6.inf\" 1", true,
     ERROR_NO_SUCH_DEVINST},
    {"UnderWow64", L" \"usbprint\\corvane ld-2040 plus762a\" \"C:\\Program Files\\Corvane\\crvnv6.inf\" 1", false,
     ERROR_IN_WOW64},
    {"EmptyHardwareId", L" \"\" \"C:\\crvnv6.inf\" 1", true, ERROR_INVALID_PARAMETER},
    {"FlagsNotANumber", L" \"usbprint\\x\" \"C:\\crvnv6.inf\" 0x1", true, ERROR_INVALID_PARAMETER},
    {"NoFlags", L" \"usbprint\\x\" \"C:\\crvnv6.inf\"", true, kNotTheChild},
    {"OneMore", L" \"usbprint\\x\" \"C:\\crvnv6.inf\" 1 1", true, kNotTheChild},
    {"OtherCase", L" \"usbprint\\x\" \"C:\\crvnv6.inf\" 1", true, kNotTheChild},
};

void PrintTo(const ChildRun &run, std::ostream *out) { *out << run.Name; }

class ChildModeTest : public SimTest, public ::testing::WithParamInterface<ChildRun> {};

TEST_P(ChildModeTest, MakesTheOneCallAndEndsWithItsResult) {
    const ChildRun &run = GetParam();
    SetMachine(kMachines[1]);  // x64, the 32-bit program
    sim::files::LayOutInstallFolder(kInstallDir);
    sim::AddDriverPackage(install_fixture::kInfPath);
    sim::PlugPrinter({kBlankId, kModel, kModel, L"USB001", 0});
    const std::wstring image = L"C:\\Windows\\Temp\\uni1.tmp\\uni2.tmp";
    sim::files::WriteFile(image, run.Native ? sim::kProgramImage64 : "program image");
    sim::At(1000, [] {
        if (HWND d = sim::FindDialog(IDD_INSTALL))
            sim::CloseDialog(d);
    });

    const wchar_t *option = std::string(run.Name) == "OtherCase" ? L"/updatedriverforplugandplaydevices"
                                                                 : L"/UpdateDriverForPlugAndPlayDevices";
    sim::Process child = sim::RunProgram(image, option + std::wstring(run.Arguments), 10000);
    bool theChild = run.ExitCode != kNotTheChild;
    EXPECT_EQ(theChild ? run.ExitCode : 0, static_cast<DWORD>(child.ExitCode));
    EXPECT_FALSE(child.Crashed || child.Killed);
    EXPECT_EQ(theChild ? nullptr : sim::FindDialog(IDD_INSTALL), sim::FindDialog(IDD_INSTALL));
    EXPECT_EQ(theChild ? 0 : 2, sim::CallCount("CreateMutexW"));
    ASSERT_EQ(theChild && run.ExitCode != ERROR_INVALID_PARAMETER ? 1u : 0u, sim::DriverUpdates().size());
    if (run.ExitCode == 0) {
        EXPECT_EQ(kBlankId, sim::DriverUpdates()[0].HardwareId);
        EXPECT_EQ(install_fixture::kInfPath, sim::DriverUpdates()[0].InfPath);
        EXPECT_EQ(static_cast<DWORD>(INSTALLFLAG_FORCE), sim::DriverUpdates()[0].InstallFlags);
        EXPECT_FALSE(sim::DriverUpdates()[0].RebootPointerGiven);
    }
    for (const char *api : {"MessageBoxW", "OutputDebugStringW"})
        EXPECT_EQ(0, sim::CallCount(api)) << api;
}

INSTANTIATE_TEST_SUITE_P(Runs, ChildModeTest, ::testing::ValuesIn(kChildRuns),
                         [](const ::testing::TestParamInfo<ChildRun> &info) { return std::string(info.param.Name); });

// The parent passes any hardware id whole (blanks, quotes, backslashes before
// a quote and at the end) and takes the child's exit code as the result and
// the last error.
TEST_F(ChildModeTest, HandOverPassesTheHardwareIdWholeAndTakesTheChildsError) {
    SetMachine(kMachines[1]);
    sim::files::LayOutInstallFolder(kInstallDir);
    StringCchCopyW(InstallDir, INSTALL_DIR_CCH, kInstallDir);
    install_fixture::RunNativeBuildChildren();
    for (const wchar_t *id : {kBlankId, L"usbprint\\a \"b\" c", L"usbprint\\a\\\\\"b", L"usbprint\\a\\"}) {
        BOOL result = TRUE;
        DWORD error = 0;
        sim::RunInProcess([&] {
            ASSERT_EQ(0u, StagePackage());
            result = UpdateDriverForPnpDevices(id, install_fixture::kInfPath, INSTALLFLAG_FORCE, NULL);
            error = GetLastError();
            RemoveStagedPackage();
        });
        EXPECT_FALSE(result);
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST), error);
        EXPECT_EQ(id, sim::DriverUpdates().back().HardwareId);
    }
}

// Every exit code the child gives, and what the parent makes of it: 0, and
// 3010 after a call that nobody could answer, are success; an error is the
// call's on both sides; a failure without an error, or with 3010 as its
// error, and a code the parent cannot read, are failures. The same on x64 and
// on both ARM64 Windows versions, each with its own build as the child.
TEST_F(ChildModeTest, EveryExitCodeOfTheChildAndWhatTheParentMakesOfIt) {
    const char *const kUpdate = "UpdateDriverForPlugAndPlayDevicesW", *const kRead = "GetExitCodeProcess";
    const struct {
        const char *What;
        DWORD Flags;
        bool RestartAsked;                    // by Windows after the installation
        const char *FailApi;                  // null: nothing fails
        int Occurrence;                       // the parent's update is the 1st, the child's the 2nd
        DWORD Error, ChildExit, ParentError;  // ParentError 0: the parent's call succeeds
        bool Restart;                         // what the parent tells its caller
    } kRows[] = {
        {"installs", 1, false, nullptr, 0, 0, 0, 0, false},
        {"a restart, nobody to ask", 5, true, nullptr, 0, 0, 3010, 0, true},
        {"a restart, Windows asks the person", 1, true, nullptr, 0, 0, 0, 0, false},
        {"its error", 5, false, kUpdate, 2, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false},
        {"refused there too", 5, false, kUpdate, 2, ERROR_IN_WOW64, ERROR_IN_WOW64, ERROR_IN_WOW64, false},
        {"a failure without an error", 5, false, kUpdate, 2, 0, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE, false},
        {"a failure with 3010 as its error", 5, false, kUpdate, 2, 3010, ERROR_GEN_FAILURE, ERROR_GEN_FAILURE, false},
        {"the code unreadable", 5, false, kRead, 1, ERROR_ACCESS_DENIED, 0, ERROR_ACCESS_DENIED, false},
        {"the code unreadable, without an error", 5, false, kRead, 1, 0, 0, ERROR_GEN_FAILURE, false},
    };
    for (const Machine &machine : {kMachines[1], kMachines[3], kMachines[4]})  // x64, ARM64 11 and 10
    for (const auto &row : kRows) {
        SCOPED_TRACE(::testing::Message() << machine.Name << ": " << row.What);
        sim::Reset();
        ResetProductGlobals();
        SetMachine(machine);
        sim::files::LayOutInstallFolder(kInstallDir);
        StringCchCopyW(InstallDir, INSTALL_DIR_CCH, kInstallDir);
        sim::AddDriverPackage(install_fixture::kInfPath);
        sim::PlugPrinter({kBlankId, kModel, kModel, L"USB001", 0, row.RestartAsked});
        install_fixture::RunNativeBuildChildren();
        std::string child;
        sim::OnProcessCreated([&child](const sim::Process &c) { child = sim::files::ReadFile(c.ImageFile); });
        if (row.FailApi != nullptr)
            sim::FailCallAt(row.FailApi, row.Occurrence, row.Error);
        BOOL result = FALSE, restart = FALSE;
        DWORD error = 0;
        sim::RunInProcess([&] {
            ASSERT_EQ(0u, StagePackage());
            result = UpdateDriverForPnpDevices(kBlankId, install_fixture::kInfPath, row.Flags, &restart);
            error = GetLastError();
        });
        ASSERT_EQ(2u, sim::Processes().size());
        EXPECT_EQ(machine.Processor == PROCESSOR_ARCHITECTURE_ARM64 ? sim::kProgramImageArm64 : sim::kProgramImage64,
                  child);
        EXPECT_EQ(row.ChildExit, static_cast<DWORD>(sim::Processes()[1].ExitCode));
        EXPECT_EQ(row.ParentError == 0, result != FALSE);
        EXPECT_TRUE(result || row.ParentError == error) << error;
        EXPECT_EQ(row.Restart, restart != FALSE);
    }
}

}  // namespace
