// Component removal: the order of the deletions and their progress
// positions, objects already gone counted as removed, the retries of drivers
// and packages in use with their virtual waits, failures with the second run
// that attempts only what is left, the monitor DLL with the spooler stopped,
// the print-queue devices, and the rule that only the product's own folder
// goes to the Recycle Bin.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winspool.h>
#include <strsafe.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/system_libraries.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/services.h"
#include "sim/shell.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/uninstall_fixture.h"
#include "uninstall/inventory.h"
#include "uninstall/removal.h"

namespace {

using namespace uninstall_fixture;

const wchar_t kFailedMessage[] =
    L"Uninstall driver failed. Please try again, or reboot your OS then try again, or contact our support for "
    L"assistance.";
const wchar_t kDoneMessage[] = L"The driver is uninstalled.";
const uint64_t kClick = 1000;

class RemovalTest : public UninstallFixture {
protected:
    // The texts of the tree's items, depth first, each indented by its level.
    static std::vector<std::wstring> TreeLines() {
        std::vector<std::wstring> lines;
        for (auto &item : sim::Tree(Window(), IDC_COMPONENT_TREE))
            AddLines(item, 0, &lines);
        return lines;
    }

    static void AddLines(const sim::TreeItem &item, int level, std::vector<std::wstring> *lines) {
        lines->push_back(std::wstring(2 * level, L' ') + item.Text);
        for (auto &child : item.Children)
            AddLines(child, level + 1, lines);
    }

    static bool InRecycleBin(const std::wstring &folder) {
        for (auto &item : sim::shell::RecycleBin())
            if (item.OriginalPath == sim::files::Canonical(folder))
                return true;
        return false;
    }

    static std::wstring DriverLine(const std::wstring &name, const std::wstring &status) {
        return L"  Printer Driver:" + name + L", Corvane, version:2025.7.16.1, " + status;
    }
};

TEST_F(RemovalTest, CleanRunRemovesEverythingInOrderThenTheMonitorDllAndTheFolder) {
    std::wstring store = InstallProduct();
    AddQueue(L"Corvane MODEL (copy 1)", L"Corvane MODEL", L"USB002");
    ClickAt(kClick, IDC_REMOVE);
    // While the spooler stops (two seconds) for the DLL, the tree already
    // shows every result, the bar is gone and neither button works.
    sim::SetServiceStopDelay(L"Spooler", 2000);
    std::vector<std::wstring> treeAtDll;
    bool barAtDll = true, buttonAtDll = true;
    sim::OnCall("DeleteFileW", [&] {
        treeAtDll = TreeLines();
        barAtDll = sim::ControlVisible(Window(), IDC_PROGRESS);
        buttonAtDll = sim::ControlEnabled(Window(), IDC_REMOVE) || sim::ControlEnabled(Window(), IDC_CLOSE);
    });
    sim::Process p = RunUninstallWindow();
    EXPECT_TRUE(p.Ended);
    EXPECT_FALSE(p.Killed);

    HWND w = Window();
    EXPECT_FALSE(sim::IsDialogOpen(w));
    EXPECT_EQ(IDCANCEL, sim::DialogResult(w));
    // Queues newest first, each followed by 300 ms; the driver with its
    // monitor after it and another 300 ms; the package; then the DLL and the
    // folder.
    EXPECT_EQ((std::vector<std::string>{"OpenPrinterW", "SetPrinterW", "DeletePrinter", "SetupDiRemoveDevice",
                                        "OpenPrinterW", "SetPrinterW", "DeletePrinter", "SetupDiRemoveDevice",
                                        "DeletePrinterDriverExW", "DeleteMonitorW", "DeletePrinterDriverPackageW",
                                        "DeleteFileW", "SHFileOperationW", "SHChangeNotify", "MessageBoxW"}),
              CallsAmong({"OpenPrinterW", "SetPrinterW", "DeletePrinter", "SetupDiRemoveDevice", "DeleteMonitorW",
                          "DeletePrinterDriverExW", "DeletePrinterDriverPackageW", "DeleteFileW", "SHChangeNotify",
                          "SHFileOperationW", "MessageBoxW"}));
    EXPECT_EQ((std::vector<uint64_t>{kClick, kClick + 300}), sim::CallTimes("DeletePrinter"));
    EXPECT_EQ((std::vector<uint64_t>{kClick + 600}), sim::CallTimes("DeletePrinterDriverExW"));
    EXPECT_EQ((std::vector<uint64_t>{kClick + 900}), sim::CallTimes("DeletePrinterDriverPackageW"));
    EXPECT_EQ((std::vector<int>{20, 30, 60, 80, 100}), sim::PostedPositions(w, IDC_PROGRESS));
    EXPECT_FALSE(sim::ControlVisible(w, IDC_PROGRESS));

    EXPECT_TRUE(sim::Queues().empty());
    EXPECT_TRUE(sim::Drivers().empty());
    EXPECT_TRUE(sim::DriverPackages().empty());
    EXPECT_EQ(nullptr, sim::FindMonitor(kMonitor));
    EXPECT_EQ(2u, sim::RemovedDevices().size());
    // The DLL went with the spooler stopped, which runs again afterwards.
    EXPECT_FALSE(sim::files::Exists(kMonitorDll));
    EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));
    ASSERT_EQ(2u, sim::ServiceRequests().size());
    EXPECT_FALSE(sim::ServiceRequests()[0].Start);
    EXPECT_TRUE(sim::ServiceRequests()[1].Start);

    // The folder is moved with undo allowed, then the shell is told.
    ASSERT_EQ(1u, sim::shell::ChangeNotifications().size());
    const sim::shell::ChangeNotification &n = sim::shell::ChangeNotifications()[0];
    EXPECT_EQ(SHCNE_DELETE, n.EventId);
    EXPECT_EQ((UINT)SHCNF_PATHW, n.Flags);
    EXPECT_EQ(kFolder, n.Item1);
    EXPECT_EQ(kFolder, n.Item2);
    ASSERT_EQ(1u, sim::shell::FileOperations().size());
    const sim::shell::FileOperation &op = sim::shell::FileOperations()[0];
    EXPECT_EQ(w, op.Window);
    EXPECT_EQ((UINT)FO_DELETE, op.Function);
    EXPECT_EQ((WORD)FOF_ALLOWUNDO, op.Flags);
    EXPECT_EQ((std::vector<std::wstring>{kFolder}), op.From);
    EXPECT_EQ(1u, sim::shell::Confirmations().size());
    EXPECT_FALSE(sim::files::Exists(kFolder));
    EXPECT_TRUE(InRecycleBin(kFolder));

    ASSERT_EQ(1u, sim::MessageBoxes().size());
    EXPECT_EQ(kDoneMessage, sim::MessageBoxes()[0].Text);
    EXPECT_EQ(L"Message", sim::MessageBoxes()[0].Caption);
    EXPECT_EQ(w, sim::MessageBoxes()[0].Owner);
    EXPECT_EQ((UINT)MB_OK, sim::MessageBoxes()[0].Type);

    // The tree was rebuilt with every result before the window closed.
    EXPECT_EQ((std::vector<std::wstring>{
                  std::wstring(L"The driver folder: ") + kFolder,
                  L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", Removed.",
                  DriverLine(L"Corvane MODEL", L"Removed."),
                  L"    Printer:Corvane MODEL (copy 1) on the port: USB002. Removed.",
                  L"    Printer:Corvane MODEL on the port: USB001. Removed.",
              }),
              TreeLines());
    EXPECT_EQ(TreeLines(), treeAtDll);
    EXPECT_FALSE(barAtDll);
    EXPECT_FALSE(buttonAtDll);
}

// A DLL that can be neither deleted nor scheduled fails a run whose tree is
// already shown: message 114, the buttons back, the folder kept.
TEST_F(RemovalTest, MonitorDllThatStaysFailsTheRunAfterTheTreeShowsItsResults) {
    InstallProduct();
    sim::files::Lock(kMonitorDll, sim::files::LockKind::Image);
    sim::FailCall("MoveFileExW", ERROR_ACCESS_DENIED);
    bool buttonsAtMessage = false;
    sim::OnMessageBox([&](const sim::MessageBoxCall &) {
        buttonsAtMessage = sim::ControlEnabled(Window(), IDC_REMOVE) && sim::ControlEnabled(Window(), IDC_CLOSE);
        return IDOK;
    });
    ClickAt(kClick, IDC_REMOVE);
    sim::At(60000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    EXPECT_EQ((std::vector<std::string>{"DeleteFileW", "DeleteFileW", "DeleteFileW", "DeleteFileW", "DeleteFileW",
                                        "MoveFileExW", "MessageBoxW"}),
              CallsAmong({"DeleteFileW", "MoveFileExW", "MessageBoxW", "SHFileOperationW"}));
    EXPECT_EQ((std::vector<std::wstring>{kFailedMessage}), MessageTexts());
    EXPECT_TRUE(buttonsAtMessage);
    EXPECT_EQ(DriverLine(L"Corvane MODEL", L"Removed."), TreeLines()[2]);
    EXPECT_TRUE(sim::files::IsFolder(kFolder));
}

TEST_F(RemovalTest, ObjectsMetAgainUnderASecondPackageCountAsRemoved) {
    std::wstring first = AddStorePackage(L"aaaa");
    std::wstring second = AddStorePackage(L"bbbb");
    AddProductDriver(L"Corvane MODEL", first);
    AddQueue(L"Corvane MODEL", L"Corvane MODEL");
    sim::files::LayOutInstallFolder(kFolder);
    ClickAt(kClick, IDC_REMOVE);
    RunUninstallWindow();

    // The queue: deleted, then not found (1801); the driver: deleted, then
    // unknown (1797). Both packages go.
    EXPECT_EQ(2, sim::CallCount("OpenPrinterW"));
    EXPECT_EQ(1, sim::CallCount("DeletePrinter"));
    EXPECT_EQ(2, sim::CallCount("DeletePrinterDriverExW"));
    EXPECT_EQ(2, sim::CallCount("DeletePrinterDriverPackageW"));
    EXPECT_TRUE(sim::DriverPackages().empty());
    EXPECT_EQ((std::vector<int>{20, 30, 60, 80, 60, 80, 100}), sim::PostedPositions(Window(), IDC_PROGRESS));
    std::vector<std::wstring> lines = TreeLines();
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + second + L", Removed.", lines[1]);
    EXPECT_EQ(L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + first + L", Removed.", lines[4]);
    for (size_t i : {2u, 5u})
        EXPECT_EQ(DriverLine(L"Corvane MODEL", L"Removed."), lines[i]);
    for (size_t i : {3u, 6u})
        EXPECT_EQ(L"    Printer:Corvane MODEL on the port: USB001. Removed.", lines[i]);
    EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts());
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
}

TEST_F(RemovalTest, QueueThatCannotBeDeletedLeavesItsDriverAndPackageAndTheFolder) {
    std::wstring store = InstallProduct();
    sim::FailCall("DeletePrinter", ERROR_ACCESS_DENIED);
    bool removeEnabled = false, closeEnabled = false;
    sim::OnMessageBox([&](const sim::MessageBoxCall &) {
        removeEnabled = sim::ControlEnabled(Window(), IDC_REMOVE);
        closeEnabled = sim::ControlEnabled(Window(), IDC_CLOSE);
        return IDOK;
    });
    ClickAt(kClick, IDC_REMOVE);
    sim::At(5000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    EXPECT_EQ(0, sim::CallCount("DeleteMonitorW"));
    EXPECT_EQ(0, sim::CallCount("DeletePrinterDriverExW"));
    EXPECT_EQ(0, sim::CallCount("DeletePrinterDriverPackageW"));
    // The device goes whatever happened to the queue.
    EXPECT_EQ(1u, sim::RemovedDevices().size());
    EXPECT_EQ((std::vector<std::wstring>{kFailedMessage}), MessageTexts());
    EXPECT_EQ(L"Error", sim::MessageBoxes()[0].Caption);  // none given: the system's own
    EXPECT_EQ(Window(), sim::MessageBoxes()[0].Owner);
    EXPECT_EQ(kClick, sim::MessageBoxes()[0].Time);
    EXPECT_TRUE(removeEnabled);
    EXPECT_TRUE(closeEnabled);
    EXPECT_EQ((std::vector<int>{20, 30, 60, 80, 100}), sim::PostedPositions(Window(), IDC_PROGRESS));
    // Nothing after the removals: the DLL, the folder and the spooler stay.
    EXPECT_TRUE(sim::files::Exists(kMonitorDll));
    EXPECT_TRUE(sim::files::IsFolder(kFolder));
    EXPECT_TRUE(sim::ServiceRequests().empty());
    EXPECT_TRUE(sim::shell::FileOperations().empty());
    EXPECT_EQ((std::vector<std::wstring>{
                  std::wstring(L"The driver folder: ") + kFolder,
                  L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", ",
                  DriverLine(L"Corvane MODEL", L""),
                  L"    Printer:Corvane MODEL on the port: USB001. Failed. Error:5",
              }),
              TreeLines());
    // The window stayed open until the user closed it.
    EXPECT_EQ(IDCANCEL, sim::DialogResult(Window()));
    EXPECT_NE(nullptr, sim::FindQueue(L"Corvane MODEL"));
}

// The queue list could not be read when the window opened: "Remove" takes the
// inventory again rather than fail for ever, and the first tree is freed.
TEST_F(RemovalTest, AnInventoryThatMissedSomethingIsTakenAgainByRemove) {
    InstallProduct();
    sim::FailCallAt("EnumPrintersW", 1, RPC_S_SERVER_UNAVAILABLE);
    ClickAt(kClick, IDC_REMOVE);
    RunUninstallWindow();
    EXPECT_TRUE(sim::Queues().empty() && sim::Drivers().empty());
    EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts());
    EXPECT_EQ(0, sim::BadFrees());
    EXPECT_EQ(3, sim::CallCount("EnumPrintersW"));
}

// Two drivers name the monitor: it goes after the second. When it cannot go,
// the driver's line still says the driver went, the run fails and the folder
// and the DLL stay. A new inventory (here: /remove's) finds the monitor that
// no driver names any more, and deletes it with its DLL.
TEST_F(RemovalTest, MonitorGoesAfterTheLastDriverThatNamesItAndSurvivesANewInventoryWhenItStays) {
    InstallProduct();
    AddProductDriver(L"Corvane OTHER");
    sim::FailCall("DeleteMonitorW", ERROR_ACCESS_DENIED);
    ClickAt(kClick, IDC_REMOVE);
    sim::At(30000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    uint64_t lastDriver = sim::CallTimes("DeletePrinterDriverExW").back();
    EXPECT_EQ((std::vector<uint64_t>{lastDriver + 300}), sim::CallTimes("DeleteMonitorW"));
    std::vector<std::wstring> lines = TreeLines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(DriverLine(L"Corvane OTHER", L"Removed."), lines[2]);
    EXPECT_EQ(DriverLine(L"Corvane MODEL", L"Removed."), lines[3]);  // the last one deleted
    EXPECT_EQ((std::vector<std::wstring>{kFailedMessage}), MessageTexts());
    EXPECT_TRUE(sim::FindMonitor(kMonitor) != nullptr && sim::files::Exists(kMonitorDll));

    ResetProductGlobals();
    DWORD error = 1;
    EXPECT_TRUE(RemoveUnattended(&error));
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(sim::FindMonitor(kMonitor) == nullptr && !sim::files::Exists(kMonitorDll));
}

// A driver outside the product's tree (another package's, of another
// environment) still names the monitor: the spooler's answer keeps it and its
// DLL without a failure or a spooler restart, the log says why, and the
// folder goes.
TEST_F(RemovalTest, MonitorThatAnotherDriverNamesStaysWithItsDllWithoutAFailure) {
    InstallProduct();
    sim::PrinterDriver other;
    other.pName = std::wstring(L"Another Label Printer");
    other.Environment = L"Windows NT x86";
    other.pDriverPath = std::wstring(L"another.dll");
    other.pMonitorName = std::wstring(kMonitor);
    sim::AddDriver(other);
    wcscpy(LogFilePath, L"C:\\Windows\\Temp\\remove.log");
    OpenLogFile();
    ClickAt(kClick, IDC_REMOVE);
    RunUninstallWindow();

    EXPECT_EQ(0, sim::CallCount("DeleteMonitorW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
    EXPECT_TRUE(sim::FindMonitor(kMonitor) != nullptr && sim::files::Exists(kMonitorDll));
    EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts());
    EXPECT_TRUE(InRecycleBin(kFolder));
    std::vector<std::wstring> log = LogTexts(LogFilePath);
    EXPECT_NE(log.end(), std::find(log.begin(), log.end(),
                                   L"The language monitor \"Language Monitor\" stays: the printer driver Another Label "
                                   L"Printer (Windows NT x86) uses it."));
}

TEST_F(RemovalTest, SecondRunAttemptsOnlyWhatIsLeft) {
    std::wstring store = InstallProduct();
    // The driver cannot be deleted in the first run: ten tries, 1000 ms apart.
    sim::FailCall("DeletePrinterDriverExW", ERROR_ACCESS_DENIED, 10);
    ClickAt(kClick, IDC_REMOVE);
    std::vector<std::wstring> afterFirst;
    int opensAfterFirst = -1;
    sim::At(30000, [&] {
        afterFirst = TreeLines();
        opensAfterFirst = sim::CallCount("OpenPrinterW");
        sim::Click(Window(), IDC_REMOVE);
    });
    RunUninstallWindow();

    uint64_t firstTry = kClick + 300;
    std::vector<uint64_t> expected;
    for (int i = 0; i < 10; i++)
        expected.push_back(firstTry + 1000 * i);
    expected.push_back(30000);
    EXPECT_EQ(expected, sim::CallTimes("DeletePrinterDriverExW"));
    // The monitor goes once its driver has gone, after the pause that follows.
    EXPECT_EQ((std::vector<uint64_t>{30300}), sim::CallTimes("DeleteMonitorW"));
    ASSERT_EQ(4u, afterFirst.size());
    EXPECT_EQ(DriverLine(L"Corvane MODEL", L"Failed. Error:5"), afterFirst[2]);
    EXPECT_EQ(L"    Printer:Corvane MODEL on the port: USB001. Removed.", afterFirst[3]);
    EXPECT_EQ(L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", ", afterFirst[1]);

    // The second run: the queue is not opened again; driver and package go.
    EXPECT_EQ(1, opensAfterFirst);
    EXPECT_EQ(1, sim::CallCount("OpenPrinterW"));
    EXPECT_EQ((std::vector<uint64_t>{30300}), sim::CallTimes("DeletePrinterDriverPackageW"));
    EXPECT_EQ((std::vector<std::wstring>{kFailedMessage, kDoneMessage}), MessageTexts());
    EXPECT_EQ((std::vector<std::wstring>{
                  std::wstring(L"The driver folder: ") + kFolder,
                  L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", Removed.",
                  DriverLine(L"Corvane MODEL", L"Removed."),
                  L"    Printer:Corvane MODEL on the port: USB001. Removed.",
              }),
              TreeLines());
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
}

TEST_F(RemovalTest, SecondRemovalStartedBeforeTheFailureMessageLeavesItsTextAlone) {
    InstallProduct();
    sim::FailCall("DeletePrinter", ERROR_ACCESS_DENIED);
    // The first run fails and enables the buttons. Before its message box has
    // taken the text, "Remove" is pressed again, and the first worker is held
    // there (as preemption could) until the second, clean run shows its own
    // message; then each box takes its text.
    int boxes = 0;
    sim::OnCall("MessageBoxW", [&boxes] {
        if (++boxes == 1) {
            EXPECT_TRUE(sim::Click(Window(), IDC_REMOVE));
            while (boxes < 2)
                Sleep(10);
        } else {
            while (sim::MessageBoxes().empty())
                Sleep(10);
        }
    });
    ClickAt(kClick, IDC_REMOVE);
    RunUninstallWindow();

    EXPECT_EQ(2, sim::CallCount("CreateThread") - 1);  // the inventory, then two removals
    EXPECT_EQ((std::vector<std::wstring>{kFailedMessage, kDoneMessage}), MessageTexts());
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
}

TEST_F(RemovalTest, DriverInUseIsTriedTenTimesWithASpoolerRestartInEach) {
    InstallProduct();
    // A queue that names the driver in other letters keeps it in use: the
    // spooler matches it, the inventory does not.
    sim::PrintQueue other;
    other.pPrinterName = L"Other";
    other.pPortName = L"USB002";
    other.pDriverName = L"CORVANE MODEL";
    sim::AddQueue(other);
    ClickAt(kClick, IDC_REMOVE);
    sim::At(60000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    // Each try: a deletion, a restart (whose last step is a 1000 ms sleep), a
    // second deletion; then 1000 ms before the next try.
    uint64_t start = kClick + 300;
    std::vector<uint64_t> expected;
    for (int i = 0; i < 20; i++)
        expected.push_back(start + 1000 * i);
    EXPECT_EQ(expected, sim::CallTimes("DeletePrinterDriverExW"));
    // The driver stays, and so does the monitor it names.
    EXPECT_EQ(0, sim::CallCount("DeleteMonitorW"));
    int stops = 0, starts = 0;
    for (auto &r : sim::ServiceRequests())
        (r.Start ? starts : stops)++;
    EXPECT_EQ(10, stops);
    EXPECT_EQ(10, starts);
    ASSERT_EQ(1u, sim::MessageBoxes().size());
    EXPECT_EQ(start + 20000, sim::MessageBoxes()[0].Time);
    EXPECT_EQ(DriverLine(L"Corvane MODEL", L"Failed. Error:3001"), TreeLines()[2]);
    EXPECT_EQ(0, sim::CallCount("DeletePrinterDriverPackageW"));
    EXPECT_TRUE(sim::files::Exists(kMonitorDll));
}

TEST_F(RemovalTest, PackageInUseIsTriedFiveTimesAndShowsTheSignedCode) {
    std::wstring store = InstallProduct();
    AddOtherDriverFrom(store);
    ClickAt(kClick, IDC_REMOVE);
    sim::At(60000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();

    uint64_t start = kClick + 600;
    EXPECT_EQ((std::vector<uint64_t>{start, start + 1000, start + 2000, start + 3000, start + 4000}),
              sim::CallTimes("DeletePrinterDriverPackageW"));
    ASSERT_EQ(1u, sim::MessageBoxes().size());
    EXPECT_EQ(start + 5000, sim::MessageBoxes()[0].Time);
    EXPECT_EQ(L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store + L", Failed. Error:-2146500035",
              TreeLines()[1]);
    EXPECT_EQ(DriverLine(L"Corvane MODEL", L"Removed."), TreeLines()[2]);

    // Any other error ends the tries at once.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    InstallProduct();
    sim::FailCall("DeletePrinterDriverPackageW", ERROR_ACCESS_DENIED);
    ClickAt(kClick, IDC_REMOVE);
    sim::At(60000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();
    EXPECT_EQ(1, sim::CallCount("DeletePrinterDriverPackageW"));
    EXPECT_EQ(kClick + 600, sim::MessageBoxes()[0].Time);

    // A spooler client without the call (Wine's) cannot remove the package.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    InstallProduct();
    Winspool.DeletePrinterDriverPackageW = NULL;
    ClickAt(kClick, IDC_REMOVE);
    sim::At(60000, [] { sim::CloseDialog(Window()); });
    RunUninstallWindow();
    EXPECT_EQ(0, sim::CallCount("DeletePrinterDriverPackageW"));
    EXPECT_NE(std::wstring::npos, TreeLines()[1].find(L", Failed. Error:-2147024769")) << TreeLines()[1].c_str();
    EXPECT_EQ(1u, sim::MessageBoxes().size());
}

// Every error that the removal counts as "already gone" (the object vanished
// after the inventory saw it) or tries again after, once and on every call,
// against a whole installation; and one error that each step does not retry.
TEST_F(RemovalTest, EveryErrorTheRemovalRetriesOrCountsAsGone) {
    const struct {
        const char *Api;
        DWORD Error;
        int Times;                     // -1: every call
        std::function<void()> Vanish;  // before the call
        DWORD FirstError;              // 0: everything gone
        int Calls;                     // of Api, as the run made them
        std::vector<int> Only = {};    // fail only these calls of Api, not the first Times
        const wchar_t *LogSays = nullptr;
    } kRows[] = {
        {"OpenPrinterW", ERROR_INVALID_PRINTER_NAME, 1, [] { sim::RemoveQueue(L"Corvane MODEL"); }, 0, 1},
        {"DeletePrinterDriverExW", ERROR_UNKNOWN_PRINTER_DRIVER, 1, [] { sim::RemoveDriver(L"Corvane MODEL"); }, 0, 1},
        {"DeleteMonitorW", ERROR_UNKNOWN_PRINT_MONITOR, 1, [] { sim::RemoveMonitor(kMonitor); }, 0, 1},
        {"DeleteFileW", ERROR_FILE_NOT_FOUND, 1, [] { sim::files::Remove(kMonitorDll); }, 0, 1},
        // A spooler restart, then again; ten such tries.
        {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 1, nullptr, 0, 2},
        {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, -1, nullptr, ERROR_PRINTER_DRIVER_IN_USE, 20},
        {"DeletePrinterDriverExW", ERROR_ACCESS_DENIED, -1, nullptr, ERROR_ACCESS_DENIED, 10},
        // A spooler restart, then again, once.
        {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, 1, nullptr, 0, 2},
        {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, -1, nullptr, ERROR_PRINT_MONITOR_IN_USE, 2},
        {"DeleteMonitorW", ERROR_ACCESS_DENIED, 1, nullptr, ERROR_ACCESS_DENIED, 1},
        // Five tries a second apart.
        {"DeletePrinterDriverPackageW", (DWORD)SPAPI_E_INF_IN_USE_BY_DEVICES, 1, nullptr, 0, 2},
        {"DeletePrinterDriverPackageW", (DWORD)SPAPI_E_INF_IN_USE_BY_DEVICES, -1, nullptr,
         (DWORD)SPAPI_E_INF_IN_USE_BY_DEVICES, 5},
        {"DeletePrinterDriverPackageW", 0x80070005, 1, nullptr, 0x80070005, 1},  // E_ACCESSDENIED
        // Five tries a second apart, then the next restart deletes it.
        {"DeleteFileW", ERROR_ACCESS_DENIED, 1, nullptr, 0, 2},
        {"DeleteFileW", ERROR_ACCESS_DENIED, -1, nullptr, 0, 5},
        // The inventory's look for a stray monitor: its listing of the
        // monitors (the first), then of the drivers (the third, after the
        // inventory's own two), and the same look in an inventory taken again
        // (the sixth). A monitor not known to be there was not left behind.
        // The monitor that the removed driver named is looked for (the
        // fourth) and goes.
        {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE, 0, nullptr, 0, 2, {1},
         L"Whether the language monitor \"Language Monitor\" is left without a printer driver is not known: the "
         L"monitors could not be listed. Error:1722"},
        {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE, 0, nullptr, 0, 4, {3, 6},
         L"Whether the language monitor \"Language Monitor\" is left without a printer driver is not known: the "
         L"printer drivers could not be listed. Error:1722"},
    };
    for (const auto &row : kRows) {
        SCOPED_TRACE(::testing::Message() << row.Api << " " << (long)row.Error << " x" << row.Times);
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        InstallProduct();
        if (row.Vanish)
            sim::OnCall(row.Api, row.Vanish);
        if (row.Only.empty())
            sim::FailCall(row.Api, row.Error, row.Times);
        for (int occurrence : row.Only)
            sim::FailCallAt(row.Api, occurrence, row.Error);
        StringCchCopyW(LogFilePath, LOG_PATH_CCH, L"C:\\Windows\\Logs\\removal.log");
        OpenLogFile();
        DWORD error = 99;
        EXPECT_EQ(row.FirstError == 0, RemoveUnattended(&error) != FALSE);
        CloseLogFile();
        if (row.LogSays != nullptr) {
            std::vector<std::wstring> log = LogTexts(L"C:\\Windows\\Logs\\removal.log");
            EXPECT_NE(log.end(), std::find(log.begin(), log.end(), row.LogSays));
        }
        EXPECT_EQ(row.FirstError, error);
        EXPECT_EQ(row.Calls, sim::CallCount(row.Api));
        EXPECT_EQ(row.FirstError == 0, sim::Queues().empty() && sim::Drivers().empty() &&
                                           sim::DriverPackages().empty() && sim::FindMonitor(kMonitor) == nullptr);
        sim::files::Restart();
        EXPECT_EQ(row.FirstError == 0, !sim::files::Exists(kMonitorDll));
    }
}

TEST_F(RemovalTest, PlaceholderWithoutStorePathLosesItsDriversButIsNeverAttempted) {
    AddProductDriver(L"Corvane MODEL");
    sim::files::LayOutInstallFolder(kFolder);
    ClickAt(kClick, IDC_REMOVE);
    RunUninstallWindow();
    EXPECT_EQ(0, sim::CallCount("DeletePrinterDriverPackageW"));
    EXPECT_TRUE(sim::Drivers().empty());
    EXPECT_EQ((std::vector<std::wstring>{std::wstring(L"The driver folder: ") + kFolder, L"Printer driver list:",
                                         DriverLine(L"Corvane MODEL", L"Removed.")}),
              TreeLines());
    EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts());
}

TEST_F(RemovalTest, QueueAndDriverFunctionsAnswerForObjectsAlreadyGone) {
    DWORD error = 99;
    EXPECT_EQ(1, RemovePrintQueue(L"No such queue", &error));
    EXPECT_EQ(0u, error);
    DRIVER_INFO_8W record = {};
    record.pName = const_cast<LPWSTR>(L"Gone");
    error = 99;
    EXPECT_EQ(1, RemovePrinterDriver(&record, &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ(0, sim::CallCount("DeleteMonitorW"));  // no monitor named

    // Other failures carry the code of the failed call.
    AddQueue(L"Q", L"D");
    sim::FailCall("OpenPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, RemovePrintQueue(L"Q", &error));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, error);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, RemovePrinterDriver(&record, &error));
    EXPECT_EQ((DWORD)RPC_S_SERVER_UNAVAILABLE, error);
}

TEST_F(RemovalTest, QueueDeviceOfAnyClassGoesByItsExactFriendlyName) {
    sim::AddPrintQueueDevice(L"Corvane MODEL");
    sim::AddDevice({L"USBPRINT\\CORVANEMODEL\\1", L"Printer", std::wstring(L"Corvane MODEL"), true});
    sim::AddDevice({L"SWD\\PRINTENUM\\LOWER", L"PrintQueue", std::wstring(L"corvane model"), true});
    sim::AddDevice({L"ROOT\\OTHER\\0000", L"SoftwareDevice", std::nullopt, false});
    sim::AddDevice({L"SWD\\PRINTENUM\\OTHER", L"PrintQueue", std::wstring(L"Other"), true});

    EXPECT_EQ(1, RemoveQueueDevice(L"Corvane MODEL"));
    ASSERT_EQ(2u, sim::RemovedDevices().size());
    EXPECT_EQ(L"PrintQueue", sim::RemovedDevices()[0].Device.ClassName);
    EXPECT_EQ(L"Printer", sim::RemovedDevices()[1].Device.ClassName);
    EXPECT_EQ(3u, sim::DeviceNodes().size());
    EXPECT_EQ(0, sim::OpenDeviceInfoSets());
    EXPECT_EQ(0u, sim::LiveAllocations());

    EXPECT_EQ(0, RemoveQueueDevice(L"Missing"));
    EXPECT_EQ(0, RemoveQueueDevice(NULL));
    // A nameless queue never matches the device without a friendly name.
    EXPECT_EQ(0, RemoveQueueDevice(L""));
    EXPECT_EQ(3u, sim::DeviceNodes().size());
}

TEST_F(RemovalTest, MonitorDllIsDeletedWithTheSpoolerStoppedOrAtTheNextRestart) {
    DWORD error = 0;
    // Already absent: one attempt, no wait.
    EXPECT_TRUE(RemoveMonitorFile(L"crvnmon.dll", &error));
    EXPECT_EQ(1, sim::CallCount("DeleteFileW"));
    EXPECT_EQ(0u, sim::Now());
    EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));

    // Held by the spooler while it runs: gone once it is stopped.
    sim::files::WriteFile(kMonitorDll, "dll");
    sim::files::LockWhileServiceRuns(kMonitorDll, L"Spooler");
    EXPECT_TRUE(RemoveMonitorFile(L"crvnmon.dll", &error));
    EXPECT_FALSE(sim::files::Exists(kMonitorDll));
    EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));

    // Held by some other program: five attempts 1000 ms apart, then the
    // spooler is started again and the file goes at the next restart.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    sim::files::WriteFile(kMonitorDll, "dll");
    sim::files::Lock(kMonitorDll, sim::files::LockKind::Image);
    EXPECT_TRUE(RemoveMonitorFile(L"crvnmon.dll", &error));
    EXPECT_EQ((std::vector<uint64_t>{0, 1000, 2000, 3000, 4000}), sim::CallTimes("DeleteFileW"));
    EXPECT_TRUE(sim::files::Exists(kMonitorDll) && RestartNeeded);
    ASSERT_EQ(2u, sim::ServiceRequests().size());
    EXPECT_EQ(5000u, sim::ServiceRequests()[1].Time);
    EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));
    sim::files::Restart();
    EXPECT_FALSE(sim::files::Exists(kMonitorDll));

    // The spooler already stopped: the DLL goes and the spooler stays stopped.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    sim::files::WriteFile(kMonitorDll, "dll");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_TRUE(RemoveMonitorFile(L"crvnmon.dll", &error));
    EXPECT_FALSE(sim::files::Exists(kMonitorDll));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, sim::ServiceState(L"Spooler"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
}

TEST_F(RemovalTest, OnlyTheProductsOwnFolderCountsAsOne) {
    sim::files::LayOutInstallFolder(kFolder);
    sim::files::WriteFile(L"C:\\Only Inf\\crvnv6.inf");
    sim::files::WriteFile(L"C:\\Users\\Setup\\Documents\\letter.txt");
    sim::files::WriteFile(L"C:\\unins000.exe");
    sim::files::WriteFile(L"C:\\Folder Named\\unins000.exe\\x");  // a folder of that name
    sim::files::LayOutInstallFolder(L"D:\\Corvane\\");
    // Another product's names: its own uninstaller and an INF of that name.
    sim::files::WriteFile(L"C:\\Other\\unins000.exe");
    sim::files::WriteFile(L"C:\\Other\\crvnv6.inf", "another product's");
    // Ours in name and content, the INF by a link.
    sim::files::WriteFile(L"C:\\Linked\\unins000.exe");
    sim::files::MakeLink(L"C:\\Linked\\crvnv6.inf", L"C:\\Program Files\\Corvane\\crvnv6.inf", false);

    for (const wchar_t *folder : {L"C:\\Program Files\\Corvane\\", L"C:\\Program Files\\Corvane",
                                  L"C:/Program Files/Corvane/", L"D:\\Corvane\\", L"\\Program Files\\Corvane\\"})
        EXPECT_TRUE(IsProductFolder(folder)) << folder;
    for (const wchar_t *folder :
         {L"C:\\", L"C:", L"C:\\\\", L"\\", L"", L"C:\\Users\\Setup\\Documents\\", L"C:\\Folder Named\\",
          L"C:\\Only Inf", L"C:\\Other\\", L"C:\\Linked\\",
          L"C:\\Program Files\\Corvane\\..\\Corvane\\", L"C:\\Program Files\\Corvane\\.",
          L"C:\\Program Files\\Cor*\\", L"\\\\?\\C:\\Program Files\\Corvane\\", L"C:Program Files\\Corvane\\",
          L"\\\\server\\share\\", L"C:\\Nowhere\\"})
        EXPECT_FALSE(IsProductFolder(folder)) << folder;
}

TEST_F(RemovalTest, StrayFolderIsNeverSentToTheRecycleBin) {
    // The last: the package laid out at a USB stick's root, named by -u E:\.
    for (const wchar_t *stray : {L"C:\\Users\\Setup\\Documents\\", L"C:\\", L"E:\\"}) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::files::WriteFile(L"C:\\Users\\Setup\\Documents\\letter.txt");
        sim::files::WriteFile(L"C:\\crvnv6.inf");
        sim::files::LayOutInstallFolder(L"E:\\");
        ASSERT_TRUE(sim::files::IsFile(L"E:\\unins000.exe"));
        StringCchCopyW(InstallDir, INSTALL_DIR_CCH, stray);
        FinishUninstall(NULL);
        EXPECT_TRUE(sim::shell::FileOperations().empty()) << stray;
        EXPECT_TRUE(sim::files::Exists(L"C:\\Users\\Setup\\Documents\\letter.txt"));
        // Nothing moved, nothing to tell the shell; the final message and the
        // close stay.
        EXPECT_TRUE(sim::shell::ChangeNotifications().empty());
        EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts());
    }

    // The product's folder with the shell's question answered no: it stays,
    // and the uninstall still ends with its message.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    InstallProduct();
    sim::shell::OnConfirmation([](const sim::shell::Confirmation &) { return false; });
    ClickAt(kClick, IDC_REMOVE);
    RunUninstallWindow();
    ASSERT_EQ(1u, sim::shell::FileOperations().size());
    EXPECT_TRUE(sim::shell::FileOperations()[0].Aborted);
    EXPECT_TRUE(sim::files::IsFolder(kFolder));
    EXPECT_TRUE(sim::shell::ChangeNotifications().empty());
    EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts());
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
}


// A user who can rename a folder above the install folder (their own
// Downloads) swaps it for a junction to another folder of the same layout:
// nothing but the product's own folder goes to the Recycle Bin.
TEST_F(RemovalTest, JunctionOnTheFoldersWayNeverRedirectsTheMove) {
    const std::wstring downloads = std::wstring(sim::files::kProfileDirectory) + L"\\Downloads";
    const std::wstring folder = downloads + L"\\Corvane\\";
    const std::wstring victim = L"C:\\Victim\\Corvane\\";
    DWORD swap = 0;
    auto swapFolder = [&] {
        swap = sim::files::user::Move(downloads, downloads + L".old");
        if (swap == 0)
            swap = sim::files::user::MakeLink(downloads, L"C:\\Victim", true);
    };
    for (bool beforeTheCheck : {true, false}) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        InstallProduct();
        sim::files::LayOutInstallFolder(folder);
        sim::files::LayOutInstallFolder(victim);
        sim::files::WriteFile(victim + L"letter.txt", "another's");
        if (beforeTheCheck)
            swapFolder();
        else
            sim::OnCall("SHFileOperationW", swapFolder);
        ClickAt(kClick, IDC_REMOVE);
        RunUninstallWindow(600000, folder);
        // Before the check the user may swap; while the way is held, not.
        EXPECT_EQ(beforeTheCheck, swap == 0) << swap;
        EXPECT_EQ("another's", sim::files::ReadFile(victim + L"letter.txt")) << beforeTheCheck;
        EXPECT_FALSE(InRecycleBin(victim)) << beforeTheCheck;
        EXPECT_EQ(!beforeTheCheck, InRecycleBin(folder)) << beforeTheCheck;
        EXPECT_EQ((std::vector<std::wstring>{kDoneMessage}), MessageTexts()) << beforeTheCheck;
    }
}

}  // namespace
