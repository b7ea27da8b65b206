// The install window and its worker, run on the simulated machine: the states
// the window passes through, what its log and status say, the progress
// positions, the silent install, the Wizard button, and closing the window
// while the worker searches or installs.
#include <windows.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <strsafe.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/globals.h"
#include "common/resource_ids.h"
#include "install/discovery.h"
#include "install/install_sequence.h"
#include "install/install_window.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/pnp.h"
#include "sim/resources.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/test_support.h"

namespace {

const wchar_t kFolder[] = L"C:\\Program Files\\Corvane\\";
const wchar_t kSearching[] = L"Searching for printer devices, please wait...";
const wchar_t kNotFound[] =
    L"Device not found, Please power on printer and  connect to computer for auto-install (recommended), Click "
    L"\"Wizard\" for custom setup or\nCancel\" to quit.";

std::wstring Found(const std::wstring &queue) { return L"Found the printer " + queue + L", installing the driver...\r\n"; }
std::wstring Installed(const std::wstring &queue) { return L"The driver for printer [" + queue + L"] is installed."; }

class InstallWindowTest : public SimTest {
protected:
    // A printer whose queue exists already: InstallPrinter gives 3 at once.
    static void PlugInstalledPrinter(const std::wstring &model, DWORD port) {
        sim::PlugUsbPrinter(L"Corvane " + model, port, L"SN" + std::to_wstring(port));
        sim::PrintQueue queue;
        queue.pPrinterName = L"Corvane " + model;
        queue.pPortName = L"USB00" + std::to_wstring(port);
        queue.pDriverName = L"Corvane " + model;
        sim::AddQueue(queue);
    }

    // Start-up of the windowed install: the dialog, then the wait for an
    // installation under way.
    static sim::Process RunInstallWindow(uint64_t timeLimit, const std::wstring &folder = kFolder) {
        return RunProgramWindow(IDD_INSTALL, InstallDlgProc, folder, timeLimit, L"C:\\Program Files\\Corvane\\setup.exe",
                                WaitForInstallToFinish);
    }

    static HWND Window() { return sim::FindDialog(IDD_INSTALL); }

    static void CloseAt(uint64_t time) {
        sim::At(time, [] { sim::CloseDialog(Window()); });
    }

    // The visibility of Wizard, picture, log and progress bar, in this order.
    static std::vector<bool> View() {
        HWND w = Window();
        return {sim::ControlVisible(w, IDC_WIZARD), sim::ControlVisible(w, IDC_PICTURE),
                sim::ControlVisible(w, IDC_LOG), sim::ControlVisible(w, IDC_PROGRESS)};
    }
};

const std::vector<bool> kNoPrinterView = {true, true, false, false};
const std::vector<bool> kPrinterView = {false, false, true, true};

TEST_F(InstallWindowTest, SearchingWithoutPrinterShowsThePictureAndRescansAboutOnceASecond) {
    std::vector<bool> viewAt1500;
    std::wstring logAt1500, statusAt1500;
    sim::At(1500, [&] {
        viewAt1500 = View();
        logAt1500 = sim::ControlText(Window(), IDC_LOG);
        statusAt1500 = sim::ControlText(Window(), IDC_STATUS);
    });
    sim::Process p = RunInstallWindow(3500);
    EXPECT_TRUE(p.Killed);

    HWND w = Window();
    EXPECT_EQ(std::wstring(kFolder) + L"crvnv6.inf", InfPath);
    // Searching first: bar (visible from the template) at 100, status 119,
    // picture hidden, log emptied.
    std::vector<sim::WindowEvent> first;
    for (const sim::WindowEvent &e : sim::WindowEvents())
        if (e.Dialog == w && e.Id != 0 && first.size() < 4)
            first.push_back(e);
    ASSERT_EQ(4u, first.size());
    EXPECT_EQ(IDC_PROGRESS, first[0].Id);
    EXPECT_EQ(sim::WindowEventKind::Posted, first[0].Kind);
    EXPECT_EQ(100, first[0].Value);
    EXPECT_EQ(IDC_STATUS, first[1].Id);
    EXPECT_EQ(kSearching, first[1].Text);
    EXPECT_EQ(IDC_PICTURE, first[2].Id);
    EXPECT_EQ(sim::WindowEventKind::Hidden, first[2].Kind);
    EXPECT_EQ(IDC_LOG, first[3].Id);
    EXPECT_EQ(L"", first[3].Text);
    EXPECT_EQ(1, sim::CallCount("CreateThread"));

    // No printer: picture and Wizard, string 101 once in the log, Cancel.
    EXPECT_EQ(kNoPrinterView, viewAt1500);
    EXPECT_EQ(kNotFound, logAt1500);
    EXPECT_EQ(kNotFound, statusAt1500);
    EXPECT_EQ(L"Cancel", sim::ControlText(w, IDCANCEL));
    EXPECT_EQ(std::vector<int>{100}, sim::PostedPositions(w, IDC_PROGRESS));

    // A synchronous rescan of the whole tree after each pause of a second.
    const auto &rescans = sim::Reenumerations();
    ASSERT_EQ(3u, rescans.size());
    for (size_t i = 0; i < rescans.size(); i++) {
        EXPECT_EQ((ULONG)CM_REENUMERATE_SYNCHRONOUS, rescans[i].Flags);
        EXPECT_EQ(sim::kRootDevInst, rescans[i].DevInst);
        EXPECT_EQ(1000u * (i + 1), rescans[i].Time);
    }
}

TEST_F(InstallWindowTest, OnlyUnrecognisedPrintersKeepTheSearchGoingAndInstallNothing) {
    sim::PlugUsbPrinter(L"Acme Label 9", 1, L"X1");
    sim::PlugUsbPrinter(L"Corvane XX-0000", 2, L"X2");  // the brand, but no model of the catalogue
    sim::Process p = RunInstallWindow(3500);
    EXPECT_TRUE(p.Killed);

    HWND w = Window();
    EXPECT_EQ(kNoPrinterView, View());
    EXPECT_EQ(kNotFound, sim::ControlText(w, IDC_LOG));
    EXPECT_EQ(L"Cancel", sim::ControlText(w, IDCANCEL));
    // Each pass looks both up; a rescan after each pause of a second.
    EXPECT_EQ((std::vector<int>{100, 40, 40, 40, 40, 40, 40, 40, 40}), sim::PostedPositions(w, IDC_PROGRESS));
    EXPECT_EQ(3u, sim::Reenumerations().size());
    for (const char *api : {"OpenPrinterW", "UploadPrinterDriverPackageW", "UpdateDriverForPlugAndPlayDevicesW",
                            "AddPrinterDriverW", "AddPrinterW", "CopyFileW"})
        EXPECT_EQ(0, sim::CallCount(api)) << api;
    EXPECT_TRUE(sim::Queues().empty());
}

TEST_F(InstallWindowTest, PrinterPluggedInWhileSearchingIsInstalledByTheNextPass) {
    sim::At(1500, [] { PlugInstalledPrinter(L"LD-2040", 1); });
    CloseAt(5000);
    sim::Process p = RunInstallWindow(60000);

    HWND w = Window();
    EXPECT_EQ(5000u, p.EndTime);
    EXPECT_EQ(2, sim::DialogResult(w));
    EXPECT_EQ(kPrinterView, View());
    EXPECT_EQ(Found(L"Corvane LD-2040") + Installed(L"Corvane LD-2040"), sim::ControlText(w, IDC_LOG));
    EXPECT_EQ(Installed(L"Corvane LD-2040"), sim::ControlText(w, IDC_STATUS));
    EXPECT_EQ(L"Done", sim::ControlText(w, IDCANCEL));
    EXPECT_EQ((std::vector<int>{100, 40, 80, 100}), sim::PostedPositions(w, IDC_PROGRESS));
    EXPECT_EQ(100, sim::ProgressPosition(w, IDC_PROGRESS));
    EXPECT_EQ((std::vector<std::wstring>{kSearching, kNotFound, kNotFound, Found(L"Corvane LD-2040"),
                                         Installed(L"Corvane LD-2040")}),
              sim::TextHistory(w, IDC_STATUS));
    EXPECT_EQ(2u, sim::Reenumerations().size());  // no rescan after the pass that found it
}

TEST_F(InstallWindowTest, TwoRecognisedPrintersAreInstalledNewestFirstInOnePass) {
    PlugInstalledPrinter(L"LD-2040", 1);
    sim::PlugUsbPrinter(L"Acme Label 9", 3, L"X1");  // not ours: looked up, nothing more
    PlugInstalledPrinter(L"LD-2040T", 2);
    CloseAt(100);
    RunInstallWindow(60000);

    HWND w = Window();
    // The English 103 has no line break, so the next line follows it directly.
    EXPECT_EQ(Found(L"Corvane LD-2040T") + Installed(L"Corvane LD-2040T") + Found(L"Corvane LD-2040") +
                  Installed(L"Corvane LD-2040"),
              sim::ControlText(w, IDC_LOG));
    EXPECT_EQ(L"Done", sim::ControlText(w, IDCANCEL));
    EXPECT_EQ((std::vector<int>{100, 40, 80, 40, 40, 80, 100}), sim::PostedPositions(w, IDC_PROGRESS));
    EXPECT_EQ(kPrinterView, View());
    EXPECT_TRUE(sim::Reenumerations().empty());
}

TEST_F(InstallWindowTest, FailureOfTheSecondPrinterShowsTheErrorInstallPrinterLeft) {
    // What InstallPrinter leaves as the last error for a printer that has no
    // queue and whose driver the spooler refuses, run on its own.
    sim::files::LayOutInstallFolder(kFolder);
    sim::FailCall("AddPrinterDriverW", ERROR_ACCESS_DENIED, -1);
    sim::PlugUsbPrinter(L"Corvane LD-2040", 1, L"SN1");
    DWORD expectedError = 0;
    int expectedResult = -1;
    sim::RunInProcess([&] {
        StringCchCopyW(InstallDir, INSTALL_DIR_CCH, kFolder);
        ScanUsbPrinters(&DiscoveredDevices);
        InstallRequest request = {};
        StringCchCopyW(request.DriverName, REQUEST_TEXT_CCH, L"Corvane LD-2040");
        StringCchCopyW(request.QueueName, REQUEST_TEXT_CCH, L"Corvane LD-2040");
        StringCchCopyW(request.PortName, REQUEST_TEXT_CCH, L"USB001");
        expectedResult = InstallPrinter(&request, L"C:\\Program Files\\Corvane\\crvnv6.inf");
        expectedError = GetLastError();
    });
    ASSERT_EQ(0, expectedResult);
    ASSERT_NE(0u, expectedError);

    // The newer printer is installed first, by this run: its driver is
    // there, its queue is not. Then the older one fails.
    sim::Reset();
    ResetProductGlobals();
    sim::files::LayOutInstallFolder(kFolder);
    sim::FailCall("AddPrinterDriverW", ERROR_ACCESS_DENIED, -1);
    sim::PlugUsbPrinter(L"Corvane LD-2040", 1, L"SN1");
    sim::PlugUsbPrinter(L"Corvane LD-2040T", 2, L"SN2");
    sim::AddPort(L"USB002");
    sim::PrinterDriver driver;
    driver.pName = L"Corvane LD-2040T";
    sim::AddDriver(driver);
    ASSERT_EQ(nullptr, sim::FindQueue(L"Corvane LD-2040T"));
    sim::Process p = RunInstallWindow(60000);
    EXPECT_TRUE(p.Killed);  // the window stays open after the failure

    HWND w = Window();
    std::wstring failure = L"The printer driver install failed, error code:" + std::to_wstring((int)expectedError) +
                           L". Please contact our technical support.";
    EXPECT_EQ(Found(L"Corvane LD-2040T") + Installed(L"Corvane LD-2040T") + Found(L"Corvane LD-2040") + failure,
              sim::ControlText(w, IDC_LOG));
    EXPECT_EQ(failure, sim::ControlText(w, IDC_STATUS));
    EXPECT_EQ(L"Cancel", sim::ControlText(w, IDCANCEL));
    EXPECT_EQ((std::vector<int>{100, 40, 80, 40, 80, 100}), sim::PostedPositions(w, IDC_PROGRESS));
    // The first printer stays installed.
    ASSERT_NE(nullptr, sim::FindQueue(L"Corvane LD-2040T"));
    EXPECT_EQ(L"USB002", sim::FindQueue(L"Corvane LD-2040T")->pPortName);
    EXPECT_EQ(nullptr, sim::FindQueue(L"Corvane LD-2040"));
}

TEST_F(InstallWindowTest, DutchTextsShowTheQueueAndItsPort) {
    sim::SetUiLanguage(0x0413);
    PlugInstalledPrinter(L"LD-2040", 1);
    CloseAt(100);
    RunInstallWindow(60000);
    EXPECT_EQ(L"Found the printer Corvane LD-2040 at USB001, installing the driver...\r\n"
              L"The printer [Corvane LD-2040] is installed on the port [USB001].",
              sim::ControlText(Window(), IDC_LOG));
}

TEST_F(InstallWindowTest, SilentInstallMakesNoWindowCall) {
    PlugInstalledPrinter(L"LD-2040", 1);
    DWORD result = 1;
    sim::Process p = sim::RunInProcess([&] {
        StringCchCopyW(InstallDir, INSTALL_DIR_CCH, kFolder);
        result = InstallWorker(NULL);
    });
    EXPECT_EQ(0u, result);
    EXPECT_FALSE(p.Killed);
    EXPECT_EQ(std::wstring(kFolder) + L"crvnv6.inf", InfPath);
    for (const char *api : {"GetDlgItem", "SetWindowTextW", "ShowWindow", "SendMessageW", "PostMessageW",
                            "GetWindowTextLengthW", "EnableWindow", "DialogBoxParamW", "MessageBoxW"})
        EXPECT_EQ(0, sim::CallCount(api)) << api;

    // Without any printer the silent worker searches for as long as it may.
    sim::Reset();
    ResetProductGlobals();
    p = sim::RunInProcess([] { InstallWorker(NULL); }, 5500);
    EXPECT_TRUE(p.Killed);
    EXPECT_EQ(5u, sim::Reenumerations().size());
    EXPECT_EQ(0, sim::CallCount("ShowWindow"));
}

// The wizard gets each time a new copy of the checked package, in a folder
// only administrators can change; a package that fails the check starts none.
TEST_F(InstallWindowTest, WizardStartsThePrinterWizardAndBringsItsFirstWindowToFront) {
    // The first wizard opens two windows within 300 ms; the second one opens
    // its window too late to be brought to the front.
    sim::files::LayOutInstallFolder(kFolder);
    std::vector<HWND> wizardWindows;
    int started = 0;
    sim::OnProcessCreated([&](const sim::Process &process) {
        DWORD pid = process.Id;
        uint64_t delay = ++started == 1 ? 100 : 400;
        sim::At(sim::Now() + delay, [&wizardWindows, pid] {
            wizardWindows.push_back(sim::CreateTopLevelWindow(pid, L"Add Printer"));
            wizardWindows.push_back(sim::CreateTopLevelWindow(pid, L"Add Printer - details"));
            sim::CreateTopLevelWindow(9999, L"Somebody else's window");  // on top, another process
        });
    });
    std::vector<bool> clicks;
    sim::At(1500, [&] { clicks.push_back(sim::Click(Window(), IDC_WIZARD)); });
    sim::At(2500, [&] { clicks.push_back(sim::Click(Window(), IDC_WIZARD)); });
    sim::At(3500, [&] {
        sim::files::WriteFile(std::wstring(kFolder) + L"amd64\\crvnmon.dll", "planted");
        clicks.push_back(sim::Click(Window(), IDC_WIZARD));
    });
    CloseAt(4000);
    RunInstallWindow(60000);

    EXPECT_EQ((std::vector<bool>{true, true, true}), clicks);
    std::vector<std::wstring> copies = sim::files::ListFolder(sim::files::kSystemTempDirectory);
    ASSERT_EQ(2u, copies.size());
    for (std::wstring &copy : copies) {
        copy = std::wstring(sim::files::kSystemTempDirectory) + L"\\" + copy;
        EXPECT_EQ(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", sim::files::Security(copy));
        EXPECT_EQ(sim::inf::PrinterInfText(), sim::files::ReadFile(copy + L"\\crvnv6.inf"));
        for (const char *file : {"dat\\crvndrv6.dat", "amd64\\crvnmon.dll"})  // as the package holds them
            EXPECT_EQ(file, sim::files::ReadFile(copy + L"\\" + std::wstring(file, file + strlen(file))));
    }
    const auto &processes = sim::Processes();
    std::vector<std::wstring> commandLines;
    for (const sim::Process &p : processes)
        if (!p.Started) {
            commandLines.push_back(p.CommandLine);
            EXPECT_FALSE(p.InheritHandles);  // started detached
            EXPECT_EQ(0u, p.CreationFlags);
        }
    ASSERT_EQ(2u, commandLines.size());
    for (std::wstring &copy : copies)
        copy = L"rundll32.exe printui.dll PrintUIEntry /ii /f \"" + copy + L"\\crvnv6.inf\"";
    std::sort(commandLines.begin(), commandLines.end());
    EXPECT_EQ(copies, commandLines);
    ASSERT_EQ(4u, wizardWindows.size());
    // The newer of the two windows is first in z-order.
    EXPECT_EQ(std::vector<HWND>{wizardWindows[1]}, sim::ForegroundHistory());
    EXPECT_EQ(std::vector<uint64_t>{1800}, sim::CallTimes("SetForegroundWindow"));
    EXPECT_EQ((std::vector<uint64_t>{1800, 2800}), sim::CallTimes("EnumWindows"));
}

// Whichever call of the wizard's copy fails, once, no wizard starts, nothing
// of the copy stays, and nothing is left open.
TEST_F(InstallWindowTest, AWizardCopyThatFailsAnywhereStartsNothingAndLeavesNothing) {
    for (const char *api : {"CryptAcquireContextW", "CryptGenRandom", "CreateDirectoryW", "CreateFileW", "ReadFile",
                            "CryptHashData", "SetFilePointerEx", "WriteFile"})
        for (int n = 1;; n++) {
            sim::Reset();
            ResetProductGlobals();
            sim::files::LayOutInstallFolder(kFolder);
            int openAfter = -1;
            sim::At(1500, [api, n] {
                sim::ClearCalls();
                sim::FailCallAt(api, n, ERROR_ACCESS_DENIED);
                sim::Click(Window(), IDC_WIZARD);
            });
            sim::At(1900, [&openAfter] { openAfter = sim::files::OpenFileHandles(); });
            CloseAt(2000);
            RunInstallWindow(60000);
            if (sim::InjectedFailures().empty())
                break;
            SCOPED_TRACE(std::string(api) + " #" + std::to_string(n));
            EXPECT_EQ(1u, sim::Processes().size());
            EXPECT_EQ(std::vector<std::wstring>(), sim::files::ListFolder(sim::files::kSystemTempDirectory));
            EXPECT_EQ(0, openAfter);
        }
}

TEST_F(InstallWindowTest, AFolderAtFullLengthIsCutToTheBuffersItFills) {
    std::wstring folder = L"C:\\" + std::wstring(INSTALL_DIR_CCH - 6, L'x') + L"\\";  // 258 characters
    sim::At(1500, [] { sim::Click(Window(), IDC_WIZARD); });
    CloseAt(2000);
    RunInstallWindow(60000, folder);

    std::wstring infPath = (folder + L"crvnv6.inf").substr(0, INSTALL_DIR_CCH - 1);
    EXPECT_EQ(infPath, InfPath);
    EXPECT_EQ(1u, sim::Processes().size());  // no package there to check: no wizard
}

TEST_F(InstallWindowTest, TheProgramRegistersTheCommonControlsBeforeShowingTheWindow) {
    PlugInstalledPrinter(L"LD-2040", 1);
    CloseAt(100);
    sim::Process p = sim::RunProgram(L"C:\\Program Files\\Corvane\\setup.exe", L"");
    EXPECT_EQ(100u, p.EndTime);
    ASSERT_NE(nullptr, Window());
    EXPECT_EQ(2, sim::DialogResult(Window()));
    EXPECT_EQ(L"Done", sim::ControlText(Window(), IDCANCEL));
}

TEST_F(InstallWindowTest, NoHandleOutlivesItsUse) {
    // The whole program: the worker has installed the printer and ended when
    // the window is closed. Its thread handle, the installation guard and the
    // single-instance mutex are all closed by then.
    PlugInstalledPrinter(L"LD-2040", 1);
    CloseAt(100);
    sim::Process p = sim::RunProgram(L"C:\\Program Files\\Corvane\\setup.exe", L"");
    EXPECT_EQ(L"Done", sim::ControlText(Window(), IDCANCEL));
    EXPECT_EQ(std::vector<std::string>{}, p.HandlesLeftOpen);

    // A worker still searching when the window closes holds the guard until
    // the process ends: it is still its to use.
    sim::Reset();
    ResetProductGlobals();
    CloseAt(2500);
    p = RunInstallWindow(60000);
    EXPECT_EQ(2500u, p.EndTime);
    EXPECT_EQ(std::vector<std::string>{"Event"}, p.HandlesLeftOpen);
}

TEST_F(InstallWindowTest, ClosingWhileSearchingEndsAtOnce) {
    CloseAt(2500);
    sim::Process p = RunInstallWindow(60000);
    EXPECT_FALSE(p.Killed);
    EXPECT_EQ(2500u, p.EndTime);
    EXPECT_EQ(2, sim::DialogResult(Window()));
}

TEST_F(InstallWindowTest, ClosingDuringAnInstallationWaitsForItAndStartsNoOther) {
    // The newest printer's queue takes a while: its driver is there, the queue
    // that AddPrinterW creates shows up 2.5 s later. The older printer would be
    // installed at once, if the worker got to it.
    sim::files::LayOutInstallFolder(kFolder);
    PlugInstalledPrinter(L"LD-2040", 1);
    sim::PlugUsbPrinter(L"Corvane LD-2040T", 2, L"SN2");
    sim::AddPort(L"USB002");
    sim::PrinterDriver driver;
    driver.pName = L"Corvane LD-2040T";
    sim::AddDriver(driver);
    sim::SetQueueListingDelay(2500);

    std::vector<bool> viewAt500;
    std::wstring statusAt500, buttonAt500;
    sim::At(500, [&] {
        viewAt500 = View();
        statusAt500 = sim::ControlText(Window(), IDC_STATUS);
        buttonAt500 = sim::ControlText(Window(), IDCANCEL);
    });
    CloseAt(1000);
    sim::Process p = RunInstallWindow(60000);

    // Installing: the printer's line, log and bar, Cancel.
    EXPECT_EQ(kPrinterView, viewAt500);
    EXPECT_EQ(Found(L"Corvane LD-2040T"), statusAt500);
    EXPECT_EQ(L"Cancel", buttonAt500);

    // The window closed at once; the process ended when InstallPrinter
    // returned (the worker's next progress post, to a window that is gone).
    EXPECT_FALSE(sim::IsDialogOpen(Window()));
    EXPECT_FALSE(p.Killed);
    std::vector<uint64_t> posts = sim::CallTimes("PostMessageW");
    ASSERT_LE(3u, posts.size());  // 100 and 40 before the close, 80 after
    EXPECT_EQ(500u, posts[1] + 500);
    EXPECT_GT(posts[2], 1000u);
    EXPECT_EQ(posts[2], p.EndTime);
    EXPECT_EQ(std::vector<std::string>{}, p.HandlesLeftOpen);  // the worker had ended too
    EXPECT_NE(nullptr, sim::FindQueue(L"Corvane LD-2040T"));
    for (const sim::OpenPrinterRequest &r : sim::OpenPrinterRequests())
        EXPECT_NE(L"Corvane LD-2040", r.Name.value_or(L"")) << "the second installation was started";
}

}  // namespace
