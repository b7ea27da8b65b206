// The uninstall window: the inventory on its own thread when the window
// opens, the component tree and its texts, the buttons around each worker,
// and the ways the window ends.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "sim/core.h"
#include "sim/files.h"
#include "sim/services.h"
#include "sim/shell.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/uninstall_fixture.h"
#include "uninstall/inventory.h"

namespace {

using namespace uninstall_fixture;

class UninstallWindowTest : public UninstallFixture {
protected:
    static std::vector<sim::TreeItem> Tree() { return sim::Tree(Window(), IDC_COMPONENT_TREE); }

    static std::wstring PackageLine(const std::wstring &store, const std::wstring &status = L"") {
        return L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", " + status;
    }

    // Indices in the call log of the calls to api.
    static std::vector<size_t> CallIndices(const std::string &api) {
        std::vector<size_t> out;
        for (size_t i = 0; i < sim::Calls().size(); i++)
            if (sim::Calls()[i].Api == api)
                out.push_back(i);
        return out;
    }

    // The button events (enabled or disabled) from the given time on.
    static std::vector<std::pair<int, bool>> ButtonChanges(uint64_t from) {
        std::vector<std::pair<int, bool>> out;
        for (const sim::WindowEvent &e : sim::WindowEvents())
            if (e.Dialog == Window() && (e.Id == IDC_REMOVE || e.Id == IDC_CLOSE) && e.Time >= from &&
                (e.Kind == sim::WindowEventKind::Enabled || e.Kind == sim::WindowEventKind::Disabled))
                out.push_back({e.Id, e.Kind == sim::WindowEventKind::Enabled});
        return out;
    }
};

TEST_F(UninstallWindowTest, NothingInstalledShowsOneLineAndRemoveStillFinishesTheUninstall) {
    sim::files::LayOutInstallFolder(kFolder);
    sim::files::WriteFile(kMonitorDll, "dll");
    std::vector<sim::TreeItem> before;
    bool removeEnabled = false, closeEnabled = false, progressVisible = true;
    sim::At(500, [&] {
        before = Tree();
        removeEnabled = sim::ControlEnabled(Window(), IDC_REMOVE);
        closeEnabled = sim::ControlEnabled(Window(), IDC_CLOSE);
        progressVisible = sim::ControlVisible(Window(), IDC_PROGRESS);
    });
    ClickAt(1000, IDC_REMOVE);
    sim::Process p = RunUninstallWindow();
    EXPECT_TRUE(p.Ended);

    ASSERT_EQ(1u, before.size());
    EXPECT_EQ(L"Nothing need to be removed there", before[0].Text);
    EXPECT_TRUE(before[0].Children.empty());
    EXPECT_TRUE(removeEnabled);
    EXPECT_TRUE(closeEnabled);
    EXPECT_FALSE(progressVisible);
    // The inventory's 80 is sent, the removal's positions are posted.
    EXPECT_EQ(100, sim::ProgressPosition(Window(), IDC_PROGRESS));
    EXPECT_EQ((std::vector<int>{20, 30, 100}), sim::PostedPositions(Window(), IDC_PROGRESS));

    EXPECT_FALSE(sim::files::Exists(kMonitorDll));
    EXPECT_FALSE(sim::files::Exists(kFolder));
    ASSERT_EQ(1u, sim::shell::RecycleBin().size());
    EXPECT_EQ(L"C:\\Program Files\\Corvane", sim::shell::RecycleBin()[0].OriginalPath);
    EXPECT_EQ((std::vector<std::wstring>{L"The driver is uninstalled."}), MessageTexts());
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
    EXPECT_EQ(IDCANCEL, sim::DialogResult(Window()));
}

TEST_F(UninstallWindowTest, InventoryShowsEveryLevelExpandedWithEmptyStatuses) {
    std::wstring store = InstallProduct();
    sim::At(2000, [] { sim::CloseDialog(Window()); });
    sim::Process p = RunUninstallWindow();
    EXPECT_TRUE(p.Ended);

    std::vector<sim::TreeItem> tree = Tree();
    ASSERT_EQ(2u, tree.size());
    EXPECT_EQ(std::wstring(L"The driver folder: ") + kFolder, tree[0].Text);
    EXPECT_TRUE(tree[0].Children.empty());
    EXPECT_EQ(PackageLine(store), tree[1].Text);
    EXPECT_TRUE(tree[1].Expanded);
    ASSERT_EQ(1u, tree[1].Children.size());
    const sim::TreeItem &driver = tree[1].Children[0];
    EXPECT_EQ(L"Printer Driver:Corvane MODEL, Corvane, version:2025.7.16.1, ", driver.Text);
    EXPECT_TRUE(driver.Expanded);
    ASSERT_EQ(1u, driver.Children.size());
    EXPECT_EQ(L"Printer:Corvane MODEL on the port: USB001. ", driver.Children[0].Text);

    // The progress bar showed 80 during the inventory and is hidden again.
    std::vector<sim::WindowEventKind> progress;
    for (const sim::WindowEvent &e : sim::WindowEvents())
        if (e.Dialog == Window() && e.Id == IDC_PROGRESS)
            progress.push_back(e.Kind);
    EXPECT_EQ((std::vector<sim::WindowEventKind>{sim::WindowEventKind::Shown, sim::WindowEventKind::Position,
                                                 sim::WindowEventKind::Hidden}),
              progress);
    EXPECT_EQ(80, sim::ProgressPosition(Window(), IDC_PROGRESS));
    EXPECT_TRUE(sim::PostedPositions(Window(), IDC_PROGRESS).empty());
    // Close ends the dialog with 2 and removes nothing.
    EXPECT_EQ(IDCANCEL, sim::DialogResult(Window()));
    EXPECT_EQ(1u, sim::Queues().size());
    EXPECT_TRUE(sim::shell::FileOperations().empty());
}

TEST_F(UninstallWindowTest, OneDriverUnderThreePackagesAndRecordsWithNullStrings) {
    std::wstring a = AddStorePackage(L"aaaa");
    std::wstring b = AddStorePackage(L"bbbb");
    std::wstring c = AddStorePackage(L"cccc");
    sim::PrinterDriver driver = ProductDriver(L"Corvane MODEL", a);
    driver.pszMfgName.reset();  // registered without a manufacturer
    driver.dwlDriverVersion = (65535ull << 48) | 2;
    sim::AddDriver(driver);
    AddQueue(L"Corvane MODEL", L"Corvane MODEL", L"USB004");
    sim::At(2000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    std::vector<sim::TreeItem> tree = Tree();
    ASSERT_EQ(4u, tree.size());
    const std::wstring stores[] = {c, b, a};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(PackageLine(stores[i]), tree[i + 1].Text);
        ASSERT_EQ(1u, tree[i + 1].Children.size());
        EXPECT_EQ(L"Printer Driver:Corvane MODEL, , version:65535.0.0.2, ", tree[i + 1].Children[0].Text);
        ASSERT_EQ(1u, tree[i + 1].Children[0].Children.size());
        EXPECT_EQ(L"Printer:Corvane MODEL on the port: USB004. ", tree[i + 1].Children[0].Children[0].Text);
    }
}

TEST_F(UninstallWindowTest, VersionPartsShowWholeWhateverTheirSize) {
    std::wstring store = AddStorePackage(L"aaaa");
    sim::PrinterDriver driver = ProductDriver(L"Corvane MODEL", store);
    driver.dwlDriverVersion = (2025ull << 48) | (256ull << 32) | (65535ull << 16) | 4660ull;
    sim::AddDriver(driver);
    sim::At(2000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();
    std::vector<sim::TreeItem> tree = Tree();
    ASSERT_EQ(2u, tree.size());
    ASSERT_EQ(1u, tree[1].Children.size());
    EXPECT_EQ(L"Printer Driver:Corvane MODEL, Corvane, version:2025.256.65535.4660, ", tree[1].Children[0].Text);
}

TEST_F(UninstallWindowTest, NodesWithoutARecordShowStrings109And111) {
    // A driver node whose record could not be allocated, holding a queue
    // node without a record, as the tree may hold them; the inventory finds
    // nothing to add on this machine.
    QueueNode queue = {};
    DriverNode driver = {};
    driver.Queues = &queue;
    driver.QueueCount = 1;
    PackageNode package = {};
    package.Drivers = &driver;
    PackageList = &package;
    sim::files::LayOutInstallFolder(kFolder);
    sim::At(2000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    std::vector<sim::TreeItem> tree = Tree();
    ASSERT_EQ(2u, tree.size());
    EXPECT_EQ(L"Printer driver list:", tree[1].Text);
    ASSERT_EQ(1u, tree[1].Children.size());
    EXPECT_EQ(L"No printer driver", tree[1].Children[0].Text);
    ASSERT_EQ(1u, tree[1].Children[0].Children.size());
    EXPECT_EQ(L"No printer", tree[1].Children[0].Children[0].Text);
}

TEST_F(UninstallWindowTest, PlaceholderPackageIsADriverList) {
    AddProductDriver(L"Corvane A");
    AddProductDriver(L"Corvane B");
    sim::At(2000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();
    std::vector<sim::TreeItem> tree = Tree();
    ASSERT_EQ(2u, tree.size());
    EXPECT_EQ(L"Printer driver list:", tree[1].Text);
    ASSERT_EQ(2u, tree[1].Children.size());
    EXPECT_EQ(L"Printer Driver:Corvane B, Corvane, version:2025.7.16.1, ", tree[1].Children[0].Text);
    EXPECT_EQ(L"Printer Driver:Corvane A, Corvane, version:2025.7.16.1, ", tree[1].Children[1].Text);
}

TEST_F(UninstallWindowTest, ButtonsAreOffBeforeEachWorkerStarts) {
    InstallProduct();
    ClickAt(1000, IDC_REMOVE);
    RunUninstallWindow();

    // Each CreateThread comes right after both buttons were disabled.
    std::vector<size_t> threads = CallIndices("CreateThread");
    ASSERT_EQ(2u, threads.size());
    for (size_t t : threads) {
        ASSERT_GE(t, 2u);
        EXPECT_EQ("EnableWindow", sim::Calls()[t - 1].Api);
        EXPECT_EQ("EnableWindow", sim::Calls()[t - 3].Api);
    }
    // Disabled once at the start, enabled after the inventory, disabled for
    // the removal and never enabled again after its clean run.
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{IDC_REMOVE, false},
                                                 {IDC_CLOSE, false},
                                                 {IDC_REMOVE, true},
                                                 {IDC_CLOSE, true},
                                                 {IDC_REMOVE, false},
                                                 {IDC_CLOSE, false}}),
              ButtonChanges(0));
}

TEST_F(UninstallWindowTest, NeitherRemoveNorCloseTakesEffectWhileARemovalRuns) {
    InstallProduct();
    // The spooler takes 3 s to stop for the monitor DLL: the window must not
    // end meanwhile, nor a second removal start.
    sim::SetServiceStopDelay(L"Spooler", 3000);
    ClickAt(1000, IDC_REMOVE);
    bool openDuringStop = false;
    sim::At(2500, [&] {
        HWND w = Window();
        EXPECT_FALSE(sim::Click(w, IDC_REMOVE));
        EXPECT_FALSE(sim::Click(w, IDC_CLOSE));
        sim::CloseDialog(w);
        // What the Enter and Esc keys send, whatever the buttons' state.
        PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)sim::GetControl(w, IDC_REMOVE).Window);
        PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)sim::GetControl(w, IDC_CLOSE).Window);
    });
    sim::At(3000, [&] { openDuringStop = sim::IsDialogOpen(Window()); });
    RunUninstallWindow();

    EXPECT_TRUE(openDuringStop);
    EXPECT_EQ(2, sim::CallCount("CreateThread"));
    EXPECT_EQ(1, sim::CallCount("OpenPrinterW"));
    // The window ended only through the removal's own close, after the
    // spooler was running again and the final message was answered.
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
    ASSERT_EQ(1u, sim::MessageBoxes().size());
    ASSERT_EQ(2u, sim::ServiceRequests().size());
    EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));
    EXPECT_TRUE(ButtonChanges(1001).empty());
}

TEST_F(UninstallWindowTest, CloseAfterAFailedRunKeepsWhatIsLeft) {
    InstallProduct();
    sim::FailCall("DeletePrinter", ERROR_ACCESS_DENIED);
    ClickAt(1000, IDC_REMOVE);
    ClickAt(2000, IDC_CLOSE);
    RunUninstallWindow();
    EXPECT_EQ(IDCANCEL, sim::DialogResult(Window()));
    EXPECT_EQ((std::vector<std::pair<int, bool>>{{IDC_REMOVE, false}, {IDC_CLOSE, false}, {IDC_REMOVE, true},
                                                 {IDC_CLOSE, true}}),
              ButtonChanges(1000));
    EXPECT_EQ(1u, sim::Queues().size());
    EXPECT_TRUE(sim::files::IsFolder(kFolder));
}

}  // namespace
