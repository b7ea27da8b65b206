// The chain of start-up modes on a machine where the product is installed:
// the installer, seeing the uninstaller "unins000.exe" in its folder, starts a
// copy of itself from a protected folder under the temporary folder with -u
// and its folder, and that copy shows the uninstall window on the folder,
// whose removal can then take the whole folder, the uninstaller included.
#include <windows.h>

#include <string>
#include <vector>

#include "sim/core.h"
#include "sim/files.h"
#include "sim/shell.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/uninstall_fixture.h"

namespace {

using namespace uninstall_fixture;

const std::wstring kSetup = std::wstring(kFolder) + L"setup.exe";

class HandoverTest : public UninstallFixture {
protected:
    // Processes started with CreateProcessW and not run yet.
    static std::vector<sim::Process> Started() {
        std::vector<sim::Process> out;
        for (auto &p : sim::Processes())
            if (!p.Started)
                out.push_back(p);
        return out;
    }

    // A hand-over starts its child detached (no handles inherited) and
    // suspended, holding the single-instance guard, and gives it the guard
    // before it runs: when the parent has ended, the guard is there still,
    // for the child alone.
    static void ExpectHandedOver(const sim::Process &child) {
        SCOPED_TRACE(std::string(child.CommandLine.begin(), child.CommandLine.end()));
        EXPECT_EQ((std::vector<std::wstring>{L"CorvaneSetup", L"CorvaneSetup\\Guard", L"SWIFTSETINSTALLERFORPRINTERDRIVER"}),
                  child.NamedObjectsHeldByParent);
        EXPECT_FALSE(child.InheritHandles);
        EXPECT_EQ((DWORD)CREATE_SUSPENDED, child.CreationFlags);
        EXPECT_TRUE(sim::NamedObjectExists(L"SWIFTSETINSTALLERFORPRINTERDRIVER"));
        EXPECT_EQ(4, sim::OpenHandles(child.Id));  // the guard's three objects and the sign for it
        EXPECT_EQ(sim::files::kSystemDirectory, child.CurrentDirectory);  // never the package's folder
    }

    // Runs the newest recorded child, as a new process; atEnd runs with its
    // globals as it ends.
    static sim::Process RunChild(uint64_t timeLimit = 5000, const std::function<void()> &atEnd = nullptr) {
        std::vector<sim::Process> children = Started();
        EXPECT_FALSE(children.empty());
        if (children.empty())
            return sim::Process();
        return RunCreatedProcess(children.back().Id, timeLimit, atEnd);
    }
};

TEST_F(HandoverTest, InstalledProductRunsTheUninstallerFromAProtectedCopy) {
    std::wstring store = InstallProduct();
    sim::files::WriteFile(kSetup, "program image");

    // 1. The installer sees the product and hands over, showing nothing: not
    // to the unins000.exe beside it, which an unelevated process may have
    // replaced, but to a copy of itself in a folder of its own.
    sim::Process setup = sim::RunProgram(kSetup, L"", 5000);
    EXPECT_EQ(0, setup.ExitCode);
    EXPECT_FALSE(setup.Killed);
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
    ASSERT_EQ(1u, Started().size());
    std::wstring image, tail;
    sim::SplitCommandLine(Started()[0].CommandLine, &image, &tail);
    EXPECT_EQ(0u, image.find(sim::files::kSystemTempDirectory)) << image;
    EXPECT_EQ("program image", sim::files::ReadFile(image));
    EXPECT_EQ(L"-u \"" + std::wstring(kFolder), tail);
    ExpectHandedOver(Started()[0]);

    // 2. The copy shows the uninstall window on that folder; its
    // removal takes everything, the folder with the uninstaller included.
    sim::At(sim::Now() + 1000, [] { sim::Click(Window(), IDC_REMOVE); });
    std::wstring folder;
    sim::Process temporary = RunChild(600000, [&] { folder = InstallDir; });
    EXPECT_EQ(0, temporary.ExitCode);
    EXPECT_FALSE(temporary.Killed);
    HWND window = Window();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(temporary.Id, sim::WindowProcess(window));
    EXPECT_EQ(kFolder, folder);
    std::vector<sim::TreeItem> tree = sim::Tree(window, IDC_COMPONENT_TREE);
    ASSERT_EQ(2u, tree.size());
    EXPECT_EQ(std::wstring(L"The driver folder: ") + kFolder, tree[0].Text);
    EXPECT_EQ(L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", Removed.", tree[1].Text);

    EXPECT_TRUE(sim::Drivers().empty());
    EXPECT_TRUE(sim::Queues().empty());
    EXPECT_FALSE(sim::files::Exists(kFolder));
    ASSERT_EQ(1u, sim::shell::RecycleBin().size());
    EXPECT_TRUE(sim::files::IsFile(sim::shell::RecycleBin()[0].BinPath + L"\\unins000.exe"));
    EXPECT_TRUE(sim::files::IsFile(image));  // the copy stays
    EXPECT_EQ(2u, sim::Processes().size());  // and started nothing more
}

TEST_F(HandoverTest, UninstallStartedFromTheInstalledProductLogsToTheSameFile) {
    const std::wstring log = L"C:\\Windows\\Logs\\setup.log";
    std::wstring store = InstallProduct();
    sim::files::WriteFile(kSetup, "program image");
    sim::files::WriteFile(log, "2025-03-06 17:00:00.000 [4711] an earlier run\r\n");

    sim::Process setup = sim::RunProgram(kSetup, L"/log " + log, 5000);
    EXPECT_EQ(0, setup.ExitCode);
    ASSERT_EQ(1u, Started().size());
    std::wstring image, tail;
    sim::SplitCommandLine(Started()[0].CommandLine, &image, &tail);
    EXPECT_EQ(L"/log \"" + log + L"\" -u \"" + std::wstring(kFolder), tail);

    sim::At(sim::Now() + 1000, [] { sim::Click(Window(), IDC_REMOVE); });
    sim::Process temporary = RunChild(600000);
    EXPECT_FALSE(temporary.Killed);
    // The hand-over's word on the copy (this build is not signed), then the
    // removal's results, queue before driver before package, and the final
    // message, after what the file held.
    EXPECT_EQ((std::vector<std::wstring>{
                  L"an earlier run",
                  L"This build is not signed: the copy " + image + L" was not checked for a signature.",
                  L"Printer:Corvane MODEL on the port: USB001. Removed.",
                  L"Printer Driver:Corvane MODEL, Corvane, version:2025.7.16.1, Removed.",
                  L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", Removed.",
                  L"The driver is uninstalled.",
              }),
              LogBody(log));
}

TEST_F(HandoverTest, SilentInstallOnAnInstalledMachineAlsoHandsOver) {
    InstallProduct();
    sim::files::WriteFile(kSetup, "program image");
    sim::Process setup = sim::RunProgram(kSetup, L"/silence", 5000);
    EXPECT_EQ(0, setup.ExitCode);
    EXPECT_FALSE(setup.Killed);
    ASSERT_EQ(1u, Started().size());
    std::wstring tail;
    sim::SplitCommandLine(Started()[0].CommandLine, nullptr, &tail);
    EXPECT_EQ(L"-u \"" + std::wstring(kFolder), tail);
    // No installation was attempted.
    EXPECT_EQ(0, sim::CallCount("SetupDiGetClassDevsW"));
    EXPECT_EQ(0, sim::CallCount("UploadPrinterDriverPackageW"));
}

TEST_F(HandoverTest, InstalledProductWithoutUninstallerEndsQuietly) {
    AddProductDriver(L"Corvane MODEL");
    sim::files::WriteFile(kSetup, "program image");
    sim::Process setup = sim::RunProgram(kSetup, L"", 5000);
    EXPECT_EQ(0, setup.ExitCode);
    EXPECT_FALSE(setup.Killed);
    EXPECT_EQ(0, sim::CallCount("CreateProcessW"));
    EXPECT_TRUE(Started().empty());
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_TRUE(sim::MessageBoxes().empty());
}

TEST_F(HandoverTest, PackagesWithoutADriverDoNotCountAsInstalled) {
    AddStorePackage(L"aaaa");
    sim::files::LayOutInstallFolder(kFolder);
    sim::files::WriteFile(kSetup, "program image");
    sim::At(1000, [] { sim::CloseDialog(sim::FindDialog(IDD_INSTALL)); });
    sim::Process setup = sim::RunProgram(kSetup, L"", 5000);
    EXPECT_EQ(0, setup.ExitCode);
    EXPECT_TRUE(Started().empty());
    EXPECT_NE(nullptr, sim::FindDialog(IDD_INSTALL));
}

}  // namespace
