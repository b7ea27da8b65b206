// The modes for deployment tools: /quiet and /remove end with the exit code
// their tool acts on, in the time their waits allow, and never show a window,
// a message box or start a process (which nobody under SYSTEM would see).
#include <windows.h>
#include <cfgmgr32.h>
#include <strsafe.h>

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/deployment.h"
#include "app/options.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "product_version.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/install_fixture.h"
#include "tests/test_support.h"
#include "tests/uninstall_fixture.h"

namespace {

using install_fixture::kSetup;
using namespace uninstall_fixture;

const wchar_t kModel[] = L"Corvane LD-2040";
const std::wstring kUninstaller = std::wstring(kFolder) + L"unins000.exe";

class DeploymentTest : public UninstallFixture {
protected:
    struct Row {
        const char *What;
        std::function<void()> Arrange;
        std::wstring Tail;
        DWORD ExitCode;
        uint64_t EndsBefore;  // virtual ms
        uint64_t EndsAfter = 0;
        const std::wstring *Image = &kSetupImage;
        std::function<void()> Then = nullptr;  // the row's own checks
    };
    static const std::wstring kSetupImage;

    // Runs every row on a new machine; checks the code, the time, and that
    // nothing was shown or started.
    static void RunRows(const std::vector<Row> &rows, const std::function<void(const Row &)> &check) {
        for (const Row &row : rows) {
            sim::Reset();
            ResetProductGlobals();
            sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_AMD64);
            row.Arrange();
            sim::files::WriteFile(kSetup, "program image");
            sim::files::WriteFile(kUninstaller, "program image");
            sim::Process p = sim::RunProgram(*row.Image, row.Tail, 200000);
            std::string what = std::string(row.What) + " (" + std::string(row.Tail.begin(), row.Tail.end()) + ")";
            EXPECT_TRUE(p.Ended && !p.Killed && !p.Crashed) << what;
            EXPECT_EQ(row.ExitCode, (DWORD)p.ExitCode) << what;
            EXPECT_LT(p.EndTime, row.EndsBefore) << what;
            EXPECT_GE(p.EndTime, row.EndsAfter) << what;
            EXPECT_EQ(1u, sim::Processes().size()) << what;
            EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL)) << what;
            EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL)) << what;
            EXPECT_TRUE(sim::MessageBoxes().empty()) << what;
            check(row);
            if (row.Then)
                row.Then();
        }
    }
};

const std::wstring DeploymentTest::kSetupImage = install_fixture::kSetup;

void Plugged(bool plugAndPlay) { install_fixture::ArrangeProgramInstall(kModel, plugAndPlay); }

void Nothing() { sim::files::LayOutInstallFolder(kFolder); }

const DWORDLONG kPackageVersion = (DWORDLONG(DRIVER_VERSION_1) << 48) | (DWORDLONG(DRIVER_VERSION_2) << 32) |
                                  (DWORDLONG(DRIVER_VERSION_3) << 16) | DRIVER_VERSION_4;
const std::wstring kVersionFolder = std::wstring(install_fixture::kDriverDir) + L"\\3\\";

// A printer installed before, with the driver of `version`, from the store on
// the Plug and Play road (an older package there) or by hand (its files in
// the version folder), and its queue on USB001 with a job waiting and a
// setting of its own.
void InstalledBefore(bool plugAndPlay, DWORDLONG version) {
    Plugged(plugAndPlay);
    sim::PrinterDriver d;
    d.pName = std::wstring(kModel);
    d.pDriverPath = std::wstring(L"crvndrv6.dll");
    d.pDataFile = std::wstring(L"crvndrv6.dat");
    d.pConfigFile = std::wstring(L"crvndrv6ui.dll");
    d.dwlDriverVersion = version;
    if (plugAndPlay) {
        sim::SetDriverStoreHash(L"0e0e0e0e");
        d.pszInfPath = sim::AddDriverPackage(uninstall_fixture::kSourceInf);
        sim::files::WriteFile(*d.pszInfPath, sim::inf::PrinterInfText("07/16/2025,2025.7.16.0"));
        sim::SetDriverStoreHash(L"1a2b3c4d");
    }
    sim::AddDriver(d);
    for (const wchar_t *file : {L"crvndrv6.dll", L"crvndrv6ui.dll", L"crvndrv6.dat"})
        sim::files::WriteFile(kVersionFolder + file, "an older version");
    sim::PrintQueue q;
    q.pPrinterName = kModel;
    q.pPortName = L"USB001";
    q.pDriverName = kModel;
    q.pComment = std::wstring(L"front desk");
    q.cJobs = 1;
    sim::AddQueue(q);
}

// A second printer of the model, on USB002, as Plug and Play knows it or not.
void SecondPrinter(bool plugAndPlay) {
    InstalledBefore(plugAndPlay, kPackageVersion);
    sim::AddPort(L"USB002");
    sim::PlugUsbPrinter(kModel, 2, L"SN0002");
    if (plugAndPlay)
        sim::PlugPrinter({install_fixture::HardwareIdOf(kModel), kModel, kModel, L"USB002", 2000});
}

// The queue installed before is as it was: port, job, setting, driver.
void QueueKept() {
    const sim::PrintQueue *q = sim::FindQueue(kModel);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(L"USB001", q->pPortName);
    EXPECT_EQ(1u, q->cJobs);
    EXPECT_EQ(L"front desk", q->pComment.value_or(L""));
    EXPECT_EQ(kModel, q->pDriverName);
    EXPECT_EQ(0, sim::CallCount("DeletePrinter") + sim::CallCount("SetPrinterW"));
}

// The driver is the package's now, from the new package or the staged files.
void DriverIsNew(bool plugAndPlay) {
    QueueKept();
    const sim::PrinterDriver *d = sim::FindDriver(kModel);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(kPackageVersion, d->dwlDriverVersion);
    if (plugAndPlay)
        EXPECT_EQ(sim::Uploads().back().StoreInf, d->pszInfPath.value_or(L""));
    else
        EXPECT_EQ("amd64\\crvndrv6.dll", sim::files::ReadFile(kVersionFolder + L"crvndrv6.dll"));
}

// The driver installed before is untouched.
void DriverKept(DWORDLONG version) {
    QueueKept();
    ASSERT_NE(nullptr, sim::FindDriver(kModel));
    EXPECT_EQ(version, sim::FindDriver(kModel)->dwlDriverVersion);
    EXPECT_EQ("an older version", sim::files::ReadFile(kVersionFolder + L"crvndrv6.dll"));
    EXPECT_EQ(0, sim::CallCount("AddPrinterDriverExW") + sim::CallCount("AddPrinterDriverW"));
    EXPECT_TRUE(sim::DriverUpdates().empty());
}

// The second printer's queue, on its own port, and the first's as it was.
void SecondQueue(const wchar_t *name) {
    QueueKept();
    const sim::PrintQueue *q = sim::FindQueue(name);
    ASSERT_NE(nullptr, q) << std::wstring(name).size();
    EXPECT_EQ(L"USB002", q->pPortName);
    EXPECT_EQ(kModel, q->pDriverName);
}

// The codes of /quiet; the sweep's /quiet run checks every failure's code.
TEST_F(DeploymentTest, QuietInstallEndsWithTheCodeOfWhatHappened) {
    const std::wstring driverFile = std::wstring(install_fixture::kDriverDir) + L"\\crvndrv6.dll";
    std::vector<Row> rows = {
        {"the manual road installs", [] { Plugged(false); }, L"/QUIET /wait 5", 0, 15000},
        {"the queue is there already", [] { Plugged(false), AddQueue(kModel, kModel); }, L"/quiet", 0, 100},
        // A restart would replace only the copy the driver's registration
        // takes its files from: it completes nothing, and the copy's error
        // is the run's.
        {"a driver file in use is not left to a restart",
         [&] { Plugged(false), sim::files::WriteFile(driverFile, "old"), sim::files::Lock(driverFile); }, L"/quiet",
         ERROR_SHARING_VIOLATION, 30000},
        {"Windows asks for a restart", [] { install_fixture::ArrangeProgramInstall(kModel, true, true); }, L"/quiet",
         3010, 15000},
        {"the queue cannot be made", [] { Plugged(false), sim::FailCall("AddPrinterW", ERROR_ACCESS_DENIED, -1); },
         L"/quiet", ERROR_ACCESS_DENIED, 30000},
        {"no printer: the package staged", Nothing, L"/quiet /wait 3", 0, 4000, 3000},
        {"no printer, the default wait", Nothing, L"/quiet", 0, 61000, 60000},
        {"only an unknown model, one pass", [] { Nothing(), sim::PlugUsbPrinter(L"Corvane ZZ-9", 1); }, L"/quiet /wait 0", 0,
         100},
        {"the device scan fails: its error, not 1167",
         [] { Plugged(false), sim::FailCall("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, -1); }, L"/quiet /wait 3",
         ERROR_NOT_ENOUGH_MEMORY, 1},
        {"/wait not whole (nothing is done)", [] { Plugged(true); }, L"/wait 1.5 /quiet", 87, 1},
        {"/norestart means nothing more", [] { Plugged(false); }, L"/quiet /norestart", 0, 15000},
        {"no printer, /requireprinter", Nothing, L"/quiet /wait 3 /REQUIREPRINTER", 1167, 4000, 3000},
        {"no printer, the store refuses the package: its error",
         [] { Nothing(), sim::FailCall("UploadPrinterDriverPackageW", E_NOTIMPL, -1); }, L"/quiet /wait 1",
         0x80004001, 2000, 1000},
        {"the store refuses the package: the manual road",
         [] { Plugged(true), sim::FailCall("UploadPrinterDriverPackageW", E_NOTIMPL, -1); }, L"/quiet", 0, 15000},
        {"an older driver, Plug and Play road: updated in place", [] { InstalledBefore(true, kPackageVersion - 1); },
         L"/quiet", 0, 15000, 2000, &kSetupImage, [] { DriverIsNew(true); }},
        {"an older driver, manual road: updated in place", [] { InstalledBefore(false, kPackageVersion - 1); },
         L"/quiet", 0, 15000, 0, &kSetupImage, [] { DriverIsNew(false); }},
        {"an older driver whose files cannot be copied: it stays",
         [] { InstalledBefore(false, kPackageVersion - 1), sim::FailCall("CopyFileW", ERROR_ACCESS_DENIED, -1); },
         L"/quiet", ERROR_ACCESS_DENIED, 15000, 0, &kSetupImage, [] { DriverKept(kPackageVersion - 1); }},
        {"the same version: nothing to update", [] { InstalledBefore(false, kPackageVersion); }, L"/quiet", 0, 100, 0,
         &kSetupImage, [] { DriverKept(kPackageVersion); }},
        {"a newer driver is left alone", [] { InstalledBefore(true, kPackageVersion + 0x10000); }, L"/quiet", 0, 100,
         0, &kSetupImage, [] {
             DriverKept(kPackageVersion + 0x10000);
             EXPECT_TRUE(sim::Uploads().empty());
         }},
        {"a newer driver, a printer without its queue",
         [] { InstalledBefore(false, kPackageVersion + 1), sim::RemoveQueue(kModel); }, L"/quiet", 1638, 100},
        {"two printers of one model, Plug and Play road: Windows' second queue", [] { SecondPrinter(true); }, L"/quiet",
         0, 15000, 2000, &kSetupImage, [] { SecondQueue(L"Corvane LD-2040 (Copy 1)"); }},
        {"two printers of one model, manual road: a queue of its own", [] { SecondPrinter(false); }, L"/quiet", 0,
         30000, 0, &kSetupImage, [] { SecondQueue(L"Corvane LD-2040 (USB002)"); }},
    };
    RunRows(rows, [&](const Row &row) {
        // 0 and 3010: the printer plugged in has its queue, or none is, and
        // the package is staged. The rows over a queue check it themselves.
        bool success = row.ExitCode == 0 || row.ExitCode == 3010;
        bool staged = !sim::DriverPackages().empty() && sim::Queues().empty();
        EXPECT_TRUE(row.Then || success == (sim::FindQueue(kModel) != nullptr || (success && staged))) << row.What;
        EXPECT_EQ(row.ExitCode == 87, sim::CallCount("SetupDiGetClassDevsW") == 0) << row.What;
        // One failed scan ends the search.
        EXPECT_TRUE(row.ExitCode != ERROR_NOT_ENOUGH_MEMORY || sim::CallCount("SetupDiGetClassDevsW") == 1);
        EXPECT_TRUE(sim::files::PendingRenames().empty()) << row.What;
    });
}

// Every failure's code, the DLL held and the mapping to 1603: the sweep's
// /remove run.
TEST_F(DeploymentTest, RemoveLeavesNothingBehindUnderEitherNameAndLeavesTheFolder) {
    std::vector<Row> rows = {
        {"everything installed", [] { InstallProduct(); }, L"/remove", 0, 10000},
        {"under the uninstaller's name", [] { InstallProduct(); }, L"/REMOVE", 0, 10000, 0, &kUninstaller},
        {"nothing installed", Nothing, L"/remove", 0, 1},
        {"only the monitor DLL left", [] { Nothing(), sim::files::WriteFile(kMonitorDll, "dll"); }, L"/remove", 0,
         10000},
        {"only the monitor an earlier removal left",
         [] {
             sim::AddMonitor(kMonitor, L"crvnmon.dll");
             sim::files::WriteFile(kMonitorDll, "dll");
         },
         L"/remove", 0, 10000},
    };
    RunRows(rows, [](const Row &row) {
        // Nothing installed, nothing to stop: other printers' jobs go on.
        EXPECT_EQ(row.EndsBefore == 1, sim::CallCount("OpenSCManagerW") == 0) << row.What;
        EXPECT_TRUE(sim::Queues().empty() && sim::Drivers().empty() && sim::DriverPackages().empty()) << row.What;
        EXPECT_TRUE(sim::FindMonitor(kMonitor) == nullptr && !sim::files::Exists(kMonitorDll)) << row.What;
        EXPECT_TRUE(sim::files::Exists(kSetup)) << row.What;  // the deployment tool's folder
    });
}

// In a deployment mode every token must mean something: one that does not
// ends the run with 87 before anything is done, and the log names it.
TEST_F(DeploymentTest, ATokenThatMeansNothingEndsADeploymentModeWith87) {
    const std::wstring log = L"C:\\Windows\\Temp\\d.log";
    struct Case {
        std::wstring Tail;
        std::wstring Named;  // the log line's words that name the token
    } cases[] = {
        {L"/quiet /wiat 10", L"\"/wiat\" means nothing to /quiet"},
        {L"/remove extra", L"\"extra\" means nothing to /remove"},
        {L"-quiet /stage", L"\"-quiet\" means nothing to /stage"},
        {L"/quiet \"\"", L"\"\" means nothing"},
        {L"/stage -u", L"\"-u\" means nothing"},
        {L"/quiet /wait 1.5", L"not \"1.5\": nothing was done"},
        {L"/remove /wait", L"not \"\": nothing was done"},
    };
    std::vector<Row> rows;
    for (const Case &c : cases)
        rows.push_back({"a token that means nothing", [] { Plugged(true), InstallProduct(); },
                        L"/log " + log + L" " + c.Tail, ERROR_INVALID_PARAMETER, 1});
    size_t i = 0;
    RunRows(rows, [&](const Row &row) {
        for (const char *api : {"SetupDiGetClassDevsW", "UploadPrinterDriverPackageW", "EnumPrinterDriversW"})
            EXPECT_EQ(0, sim::CallCount(api)) << api << " " << row.What;
        std::vector<std::wstring> texts = LogTexts(log);
        std::wstring all;
        for (const std::wstring &text : texts)
            all += text + L"\n";
        EXPECT_NE(std::wstring::npos, all.find(cases[i].Named)) << std::string(all.begin(), all.end());
        i++;
    });
}

// Where nobody can see a window (session 0), every mode that would open one,
// or start a program that would, ends at once with 1459 and says why in the
// log; the deployment modes and /silence's search run as anywhere.
TEST_F(DeploymentTest, NoWindowOpensWhereNobodyCanSeeIt) {
    const std::wstring log = L"C:\\Windows\\Temp\\d.log";
    auto hidden = [](std::function<void()> arrange) {
        return [arrange] { arrange(), sim::SetWindowStationInteractive(false); };
    };
    std::vector<Row> rows = {
        {"the install window", hidden(Nothing), L"", 1459, 1},
        {"a typo is no option: the install window", hidden(Nothing), L"/quite", 1459, 1},
        {"the uninstall window", hidden(Nothing), L"-u C:\\X\\", 1459, 1},
        {"/silence hands over to the uninstaller", hidden([] { InstallProduct(); }), L"/silence", 1459, 1},
        {"the uninstaller's relaunch", hidden([] { InstallProduct(); }), L"", 1459, 1, 0, &kUninstaller},
        {"/quiet", hidden(Nothing), L"/quiet /wait 0", 0, 1000},
        {"/remove", hidden([] { InstallProduct(); }), L"/remove", 0, 10000},
        // Session 0, whatever its window station says.
        {"the install window in session 0",
         [] { Nothing(), sim::SetStartingAccount(sim::Account::System, 0); }, L"", 1459, 1},
    };
    for (Row &row : rows)
        row.Tail = L"/log " + log + L" " + row.Tail;
    RunRows(rows, [&](const Row &row) {
        std::vector<std::wstring> texts = LogTexts(log);
        bool said = false;
        for (const std::wstring &text : texts)
            said = said || text.find(L"Nobody can see a window here") != std::wstring::npos;
        EXPECT_EQ(row.ExitCode == 1459, said) << row.What;
    });

    // /silence without the product searches on, as anywhere.
    sim::Reset();
    ResetProductGlobals();
    hidden(Nothing)();
    sim::files::WriteFile(kSetup, "program image");
    sim::Process silent = sim::RunProgram(kSetup, L"/silence", 5000);
    EXPECT_TRUE(silent.Killed);
    EXPECT_GT(sim::CallCount("SetupDiGetClassDevsW"), 3);
}

// Every run's log begins with a line that says what ran where, and ends with
// the exit code and its reason; each deployment ending has its cause in a
// line between them.
TEST_F(DeploymentTest, TheLogOpensAndClosesEveryRunAndExplainsEachEnding) {
    const std::wstring log = L"C:\\Windows\\Temp\\d.log";
    struct Expected {
        const wchar_t *Mode;
        const wchar_t *Cause;   // words of a line between the first and the last
        const wchar_t *Reason;  // words of the last line
    };
    std::vector<Row> rows = {
        {"/stage", Nothing, L"/stage", 0, 100},
        {"/remove, nothing installed", Nothing, L"/remove", 0, 100},
        {"Windows asks for a restart", [] { install_fixture::ArrangeProgramInstall(kModel, true, true); }, L"/quiet",
         3010, 15000},
        {"another copy",
         [] {
             Nothing();
             sim::HoldNamedMutex(L"SWIFTSETINSTALLERFORPRINTERDRIVER");
             sim::HoldNamedMutex(L"Guard", L"CorvaneSetup", L"S-1-5-32-544", L"S-1-16-12288");
         },
         L"/quiet",
         1618, 1},
        {"no printer", [] { Nothing(), sim::PlugUsbPrinter(L"Acme P-1", 1); }, L"/quiet /wait 2", 0, 4000},
        {"no printer, one with control characters in its description",
         [] { Nothing(), sim::PlugUsbPrinter(L"Acme\x1b[2J\r\nP-1\x85\x2028", 1); }, L"/quiet /wait 2", 0, 4000},
        {"a stray token", Nothing, L"/remove /x", 87, 1},
        {"nobody to see", [] { Nothing(), sim::SetWindowStationInteractive(false); }, L"", 1459, 1},
        {"the rescan refused", [] { Nothing(), sim::FailCall("CM_Reenumerate_DevNode", CR_FAILURE); }, L"/stage",
         0, 100},
        {"no upload on this system", [] { Nothing(), sim::FailCall("UploadPrinterDriverPackageW", E_NOTIMPL); },
         L"/stage", 0x80004001, 100},
        {"a step's own error", [] { Plugged(false), sim::FailCall("AddPrinterW", ERROR_ACCESS_DENIED, -1); },
         L"/quiet", ERROR_ACCESS_DENIED, 30000},
        {"/remove's driver refused with 87 (as Wine does)",
         [] { InstallProduct(), sim::FailCall("DeletePrinterDriverExW", ERROR_INVALID_PARAMETER, -1); }, L"/remove",
         1603, 200000},
        {"no printer, /requireprinter", Nothing, L"/quiet /wait 1 /requireprinter", 1167, 2000},
    };
    // A step failing with each code that means something else to a
    // deployment tool, or that the program gives for an ending of its own (a
    // failure without an error, 0, is the fault sweep's).
    const DWORD kReserved[] = {31, 87, 1167, 1459, 1618, 1641, 1707, 3010};
    for (DWORD reserved : kReserved)
        rows.push_back({"a step failing with a reserved code",
                        [reserved] { Plugged(false), sim::FailCall("AddPrinterW", reserved, -1); }, L"/quiet", 1603,
                        30000});
    std::vector<Expected> expected = {
        {L"/stage", L"DoUploadDriverPackage", L"done: the package is staged"},
        {L"/remove", L"Nothing of the product is installed", L"done: nothing of the product was installed"},
        {L"/quiet", L"A restart completes this run: Windows, after installing the driver of Corvane LD-2040.",
         L"a restart completes it"},
        {L"none", L"the mutex SWIFTSETINSTALLERFORPRINTERDRIVER", L"another copy of the program runs"},
        {L"/quiet", L"the search ran 2 s and saw \"Acme P-1\".",
         L"done: no printer the program knows was plugged in, and the package is staged for one"},
        {L"/quiet", L"saw \"Acme<U+001B>[2J<U+000D><U+000A>P-1<U+0085><U+2028>\".",
         L"done: no printer the program knows was plugged in, and the package is staged for one"},
        {L"/remove", L"\"/x\" means nothing to /remove", L"an argument means nothing"},
        {L"the install window", L"Nobody can see a window here", L"nobody can see a window here"},
        {L"/stage", L"Warning: the package is staged, but Plug and Play refused to look at the devices again (CONFIGRET",
         L"done: the package is staged, though Plug and Play refused to look at the devices again"},
        {L"/stage", L"code:-2147467263 (Not implemented).",
         L"the driver store's upload of the package failed with 0x80004001"},
        {L"/quiet", L"AddPrinter failed, errcode:5 (Access is denied.).", L"the installation of a printer failed with 5"},
        {L"/remove", L"Failed. Error:87", L"the removal of the product (what stays is named above) failed with code 87 "
                                          L"(The parameter is incorrect.), reported as 1603"},
        {L"/quiet", L"the search ran 1 s and saw no USB printer.",
         L"no printer the program knows was plugged in within the wait (/requireprinter)"},
    };
    std::vector<std::wstring> reservedCauses;
    for (DWORD reserved : kReserved)
        reservedCauses.push_back(L"Failed: the installation of a printer, with code " + std::to_wstring(reserved));
    for (const std::wstring &cause : reservedCauses)
        expected.push_back({L"/quiet", cause.c_str(), L"reported as 1603"});
    for (Row &row : rows)
        row.Tail = L"/log " + log + (row.Tail.empty() ? L"" : L" " + row.Tail);
    size_t i = 0;
    RunRows(rows, [&](const Row &row) {
        const Expected &e = expected[i++];
        std::vector<std::wstring> texts = LogTexts(log);
        ASSERT_LE(2u, texts.size()) << row.What;
        const std::wstring &first = texts.front(), &last = texts.back();
        EXPECT_EQ(0u, first.find(L"Corvane setup 1.0.0.0 (64-bit) starts: command line \"" + row.Tail + L"\", mode " +
                                 e.Mode))
            << std::string(first.begin(), first.end());
        EXPECT_NE(std::wstring::npos, first.find(L", machine Windows x64, Windows ")) << row.What;
        EXPECT_NE(std::wstring::npos, first.find(row.ExitCode == 1459 ? L"session: no," : L"session: yes,"));
        // Where it ran from, as whom, and the process id every line carries.
        unsigned long id = ReadLog(log).back().ProcessId;
        EXPECT_NE(std::wstring::npos, first.find(L", folder C:\\Program Files\\Corvane, account PRINTPC\\Setup, "
                                                 L"process id " + std::to_wstring(id) + L"."))
            << std::string(first.begin(), first.end());
        WCHAR code[48];
        StringCchPrintfW(code, 48, L"Ends with exit code %d (0x%08lX): ", (int)row.ExitCode,
                         (unsigned long)row.ExitCode);
        EXPECT_EQ(0u, last.find(code)) << std::string(last.begin(), last.end());
        EXPECT_NE(std::wstring::npos, last.find(e.Reason)) << std::string(last.begin(), last.end());
        bool caused = false;
        for (size_t t = 1; t + 1 < texts.size(); t++)
            caused = caused || texts[t].find(e.Cause) != std::wstring::npos;
        EXPECT_TRUE(caused) << row.What;
        // The debugger output carries the trace alone.
        for (const std::wstring &line : TraceLines())
            EXPECT_TRUE(line.find(L"Corvane setup") == std::wstring::npos && line.find(L"exit code") == std::wstring::npos);
    });
}

// Every command line of setup.exe in docs/deployment.md, as written there,
// does what the page says on a machine with a printer: it ends with 0 and
// leaves its log, when it names one, where it says.
TEST_F(DeploymentTest, TheDocumentedCommandLinesWorkAsWritten) {
    std::ifstream page(std::string(TESTS_DATA_DIR) + "/../../docs/deployment.md");
    ASSERT_TRUE(page.good());
    std::regex commandLine(R"(setup\.exe"? (/[^`'\r\n]*)|-ArgumentList '([^']*)')");
    std::vector<std::wstring> tails;
    std::string line;
    while (std::getline(page, line))
        for (std::sregex_iterator m(line.begin(), line.end(), commandLine), end; m != end; ++m) {
            std::string tail = (*m)[1].matched ? (*m)[1].str() : (*m)[2].str();
            tail.erase(tail.find_last_not_of(' ') + 1);
            tails.push_back(std::wstring(tail.begin(), tail.end()));
        }
    ASSERT_LE(6u, tails.size());
    std::vector<Row> rows;
    for (const std::wstring &tail : tails)
        rows.push_back({"a documented command line", [] { Plugged(false); }, tail, 0, 130000});
    RunRows(rows, [](const Row &row) {
        if (row.Tail.find(L"/log \"") == std::wstring::npos)
            return;
        std::wstring log = row.Tail.substr(row.Tail.find(L"/log \"") + 6);
        log = log.substr(0, log.find(L'"'));
        std::vector<std::wstring> texts = LogTexts(log);
        ASSERT_FALSE(texts.empty()) << std::string(log.begin(), log.end());
        EXPECT_EQ(0u, texts.back().find(L"Ends with exit code 0 (0x00000000): done: "));
    });
}

// /wait's number: digits only, from 0 to a day.
TEST_F(DeploymentTest, WaitTakesAWholeNumberOfSecondsUpToADay) {
    struct Case {
        const wchar_t *Tail;
        DWORD Seconds;
        BOOL Malformed;
    } cases[] = {
        {L"/quiet", 60, FALSE},         {L"/wait 0", 0, FALSE},     {L"/WAIT 86400", 86400, FALSE},
        {L"/wait 007", 7, FALSE},       {L"/wait 86401", 60, TRUE}, {L"/wait 99999999999", 60, TRUE},
        {L"/wait \"\"", 60, TRUE},      {L"/wait +5", 60, TRUE},    {L"/wait /quiet", 60, TRUE},
        {L"/wait x /wait 5", 5, FALSE},  {L"/wait 5 /wait", 5, TRUE},
    };
    for (const Case &c : cases) {
        WCHAR line[64];
        wcscpy(line, c.Tail);
        StartOptions options = ReadCommandLine(line);
        EXPECT_EQ(c.Seconds, options.WaitSeconds) << std::string(c.Tail, c.Tail + wcslen(c.Tail));
        EXPECT_EQ(c.Malformed, options.WaitMalformed) << std::string(c.Tail, c.Tail + wcslen(c.Tail));
    }
}

// Every ordered pair of run modes asked for together: the first in the order
// below runs, and only that one. The 64-bit build's private mode is its exact
// command line alone; beside another mode's tokens it is no mode, and its
// tokens mean nothing (a deployment mode ends with 87).
TEST_F(DeploymentTest, OfAnyTwoModesAskedForTogetherTheFirstInPrecedenceRuns) {
    enum Condition { kNone, kNamedUninstaller, kInstalled };
    const struct {
        const wchar_t *Mode;  // its name in the log's first line
        const wchar_t *Tokens;
        Condition Asks;
        bool Deployment;
    } kModes[] = {
        {L"the 64-bit build's Plug and Play call", L" /UpdateDriverForPlugAndPlayDevices \"usbprint\\x\" \"C:\\a.inf\" 1",
         kNone, false},
        {L"-u (the uninstall window)", L" -u C:\\X\\", kNone, false},
        {L"/remove", L" /remove", kNone, true},
        {L"/stage", L" /stage", kNone, true},
        {L"/quiet", L" /quiet /wait 0", kNone, true},
        {L"unins000 (the uninstaller's relaunch)", L"", kNamedUninstaller, false},
        {L"the hand-over to the uninstaller (the product is installed)", L"", kInstalled, false},
        {L"/silence", L" /silence", kNone, false},
        {L"the install window", L"", kNone, false},
    };
    ASSERT_EQ(std::size(kModes), RunModeCount);
    const std::wstring log = L"C:\\Windows\\Temp\\m.log";
    for (size_t a = 0; a < RunModeCount; a++)
        for (size_t b = 0; b < RunModeCount; b++) {
            if (a == b)
                continue;
            sim::Reset();
            ResetProductGlobals();
            Nothing();
            std::wstring tokens = std::wstring(kModes[a].Tokens) + kModes[b].Tokens;
            bool privateAlone = a == 0 ? kModes[b].Tokens[0] == 0 : b == 0 && kModes[a].Tokens[0] == 0;
            size_t first = privateAlone ? 0 : std::min(a, b) == 0 ? std::max(a, b) : std::min(a, b);
            for (size_t m : {a, b})
                if (kModes[m].Asks == kInstalled)
                    InstallProduct();
            bool named = kModes[a].Asks == kNamedUninstaller || kModes[b].Asks == kNamedUninstaller;
            sim::files::WriteFile(named ? kUninstaller : kSetup, "program image");
            // A window stays open until the time limit ends the run.
            sim::Process p = sim::RunProgram(named ? kUninstaller : kSetup,
                                             privateAlone ? tokens.substr(1) : L"/log " + log + tokens, 3000);
            std::string what = std::string(tokens.begin(), tokens.end()) + (named ? " as unins000.exe" : "");
            if (privateAlone) {  // the only mode without the guard
                EXPECT_TRUE(p.Ended && !p.Killed && sim::CallCount("CreateMutexW") == 0) << what;
                continue;
            }
            std::vector<std::wstring> texts = LogTexts(log);
            ASSERT_FALSE(texts.empty()) << what;
            EXPECT_NE(std::wstring::npos, texts[0].find(L", mode " + std::wstring(kModes[first].Mode) + L", machine"))
                << what << ": " << std::string(texts[0].begin(), texts[0].end());
            EXPECT_TRUE(!kModes[first].Deployment || (a != 0 && b != 0) || p.ExitCode == 87) << what;
        }
}

// Every option the program knows, in either letter case, is read as itself
// after /log and after /wait: neither ever takes one as its argument. A /log
// without its file is a token that means nothing; a /wait without its
// number is malformed.
TEST_F(DeploymentTest, LogAndWaitNeverTakeAnOptionForTheirArgument) {
    const struct {
        const wchar_t *Name;
        const wchar_t *Argument;      // what the option takes, if anything
        BOOL StartOptions::*Flag;     // what it sets (null: /log and /wait, checked by their argument)
    } kOptions[] = {
        {L"-u", L" C:\\X\\", &StartOptions::Uninstall}, {L"/silence", L"", &StartOptions::Silent},
        {L"/stage", L"", &StartOptions::Stage},         {L"/log", L" C:\\a.log", nullptr},
        {L"/quiet", L"", &StartOptions::Quiet},         {L"/remove", L"", &StartOptions::Remove},
        {L"/wait", L" 5", nullptr},                     {L"/requireprinter", L"", &StartOptions::RequirePrinter},
        {L"/norestart", L"", nullptr},
    };
    ASSERT_EQ(std::size(kOptions), OptionCount);
    for (size_t i = 0; i < OptionCount; i++) {
        ASSERT_STREQ(kOptions[i].Name, OptionNames[i]);
        for (const std::wstring taker : {L"/log", L"/wait"})
            for (bool upper : {false, true}) {
                std::wstring name = kOptions[i].Name;
                if (upper)
                    std::transform(name.begin(), name.end(), name.begin(), towupper);
                std::wstring line = taker + L" " + name + kOptions[i].Argument;
                std::string what(line.begin(), line.end());
                ResetProductGlobals();
                StartOptions options = ReadCommandLine(line.data());
                bool log = name == L"/LOG" || name == L"/log", wait = name == L"/WAIT" || name == L"/wait";
                EXPECT_TRUE(kOptions[i].Flag == nullptr || options.*kOptions[i].Flag) << what;
                EXPECT_STREQ(kOptions[i].Flag == &StartOptions::Uninstall ? L"C:\\X\\" : L"", InstallDir) << what;
                EXPECT_STREQ(log ? L"C:\\a.log" : L"", LogFilePath) << what;
                EXPECT_EQ(wait ? 5u : (DWORD)DEFAULT_WAIT_SECONDS, options.WaitSeconds) << what;
                EXPECT_EQ(taker == L"/wait" && !wait, options.WaitMalformed != FALSE) << what;
                EXPECT_STREQ(taker == L"/log" ? L"\"/log\"" : L"", options.StrayToken) << what;
            }
    }
}

// Every code a deployment tool reads as success, retry or restart, and every
// code the program gives for an ending of its own, becomes 1603; any other
// failure's code passes as it is.
TEST(DeploymentFailureCodeTest, EveryCodeThatHidesAFailureBecomes1603) {
    const struct {
        DWORD Code, Exit;
    } kRows[] = {{0, 1603},    {1618, 1603}, {1641, 1603}, {1707, 1603},           {3010, 1603},
                 {5, 5},       {31, 1603},   {1167, 1603}, {0x80070005, 0x80070005}, {1602, 1602},
                 {87, 1603},   {1459, 1603}, {1638, 1638}};
    for (const auto &row : kRows)
        EXPECT_EQ(row.Exit, DeploymentFailureCode(row.Code)) << row.Code;
}

}  // namespace

// The detection scripts' rules (tools/detection) on the simulated machine's
// answers, through the calls their cmdlets make. "Installed": a queue whose
// driver is a Corvane driver of this environment of at least the package's
// version (Get-Printer, Get-PrinterDriver).
bool DetectsInstalled() {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(L"Windows x64"), 8, nullptr, 0, &needed, &count);
    std::vector<BYTE> drivers(needed + 1);
    if (!EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(L"Windows x64"), 8, drivers.data(), needed, &needed, &count))
        return false;
    std::vector<std::wstring> current;
    for (DWORD i = 0; i < count; i++) {
        const DRIVER_INFO_8W &d = reinterpret_cast<const DRIVER_INFO_8W *>(drivers.data())[i];
        if (std::wstring(d.pName).rfind(L"Corvane ", 0) == 0 && d.dwlDriverVersion >= kPackageVersion)
            current.push_back(d.pName);
    }
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> printers(needed + 1);
    if (!EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, printers.data(), needed, &needed, &count))
        return false;
    for (DWORD i = 0; i < count; i++) {
        const PRINTER_INFO_2W &p = reinterpret_cast<const PRINTER_INFO_2W *>(printers.data())[i];
        if (std::find(current.begin(), current.end(), p.pDriverName) != current.end())
            return true;
    }
    return false;
}

// "Staged": the spooler's record of a package crvnv6.inf of this environment,
// whose INF in the store says DriverVer of at least the package's version
// (the registry's PackageInstallation key, Select-String on the INF).
bool DetectsStaged() {
    HKEY packages = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation\\Windows "
                      L"x64\\DriverPackages",
                      0, KEY_READ | KEY_WOW64_64KEY, &packages) != ERROR_SUCCESS)
        return false;
    const std::wregex driverVer(LR"(^\s*DriverVer\s*=\s*[^,]*,\s*([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+))");
    bool staged = false;
    WCHAR name[MAX_PATH];
    for (DWORD i = 0; !staged && RegEnumKeyW(packages, i, name, MAX_PATH) == ERROR_SUCCESS; i++) {
        WCHAR path[MAX_PATH] = {};
        DWORD size = sizeof(path) - sizeof(WCHAR);
        HKEY package = nullptr;
        if (RegOpenKeyExW(packages, name, 0, KEY_READ | KEY_WOW64_64KEY, &package) != ERROR_SUCCESS)
            continue;
        LONG read = RegQueryValueExW(package, L"DriverStorePath", nullptr, nullptr, (BYTE *)path, &size);
        RegCloseKey(package);
        std::wstring inf = read == ERROR_SUCCESS ? path : L"";
        if (inf.size() < 11 || lstrcmpiW(inf.c_str() + inf.size() - 11, L"\\crvnv6.inf") != 0)
            continue;
        std::string text = sim::files::ReadFile(inf);
        std::wstring lines(text.begin(), text.end());
        std::wistringstream stream(lines);
        std::wsmatch m;
        for (std::wstring line; !staged && std::getline(stream, line);)
            staged = std::regex_search(line, m, driverVer) &&
                     ((DWORDLONG)std::stoul(m[1]) << 48 | (DWORDLONG)std::stoul(m[2]) << 32 |
                      (DWORDLONG)std::stoul(m[3]) << 16 | (DWORDLONG)std::stoul(m[4])) >= kPackageVersion;
    }
    RegCloseKey(packages);
    return staged;
}

std::function<void()> Detected(bool installed, bool staged) {
    return [=] {
        EXPECT_EQ(installed, DetectsInstalled()) << "installed";
        EXPECT_EQ(staged, DetectsStaged()) << "staged";
    };
}

// Detection never says "installed" without a queue of this version, whatever
// driver files lie in the spooler's folder, nor "staged" for an older package.
TEST_F(DeploymentTest, DetectionTellsAQueueOfThisVersionAndThisVersionStaged) {
    const std::wstring driverFile = kVersionFolder + L"crvndrv6.dll";
    std::vector<Row> rows = {
        {"no printer", Nothing, L"/quiet /wait 0", 0, 1000, 0, &kSetupImage, Detected(false, true)},
        {"a printer", [] { Plugged(false); }, L"/quiet", 0, 15000, 0, &kSetupImage, Detected(true, true)},
        {"the driver registered, its queue refused", [] { Plugged(false), sim::FailCall("AddPrinterW", 5, -1); },
         L"/quiet", 5, 30000, 0, &kSetupImage,
         [=] {
             Detected(false, true)();
             EXPECT_TRUE(sim::files::IsFile(driverFile));  // what a file rule would call installed
         }},
        {"an older driver kept", [] { InstalledBefore(false, kPackageVersion - 1), sim::FailCall("CopyFileW", 5, -1); },
         L"/quiet", 5, 15000, 0, &kSetupImage, Detected(false, true)},
        {"an older package staged, the new one refused",
         [] {
             InstalledBefore(true, kPackageVersion - 1);
             const std::wstring inf = sim::DriverPackages().back().StoreInf;
             sim::SetMultiStringValue(sim::DriverPackageKey(inf), L"DriverStorePath", {inf});
             sim::FailCall("UploadPrinterDriverPackageW", E_NOTIMPL, -1);
         },
         L"/stage", 0x80004001, 15000, 0, &kSetupImage, Detected(false, false)},
        {"staged alone", Nothing, L"/stage", 0, 1000, 0, &kSetupImage, Detected(false, true)},
        {"a newer driver with its queue", [] { InstalledBefore(false, kPackageVersion + 0x10000); }, L"/quiet", 0, 100,
         0, &kSetupImage, Detected(true, false)},
    };
    RunRows(rows, [](const Row &) {});
}

// A deployment run without /log writes the default log, in a folder only
// administrators and SYSTEM can write, set aside once it reaches 1 MiB; /log
// wins, a window mode writes none, and a folder a user made first or a
// junction in its place is refused: the run goes on without a log.
TEST_F(DeploymentTest, ADeploymentRunWithoutLogWritesTheDefaultLog) {
    static const std::wstring folder = L"C:\\Windows\\Logs\\Corvane", log = folder + L"\\setup.log",
                              older = folder + L"\\setup.old.log";
    static const std::string full(1024 * 1024, 'x');
    const auto logged = [](const wchar_t *ending) {
        return [=] {
            std::vector<std::wstring> texts = LogTexts(log);
            ASSERT_FALSE(texts.empty());
            EXPECT_EQ(0u, texts.back().find(ending)) << std::string(texts.back().begin(), texts.back().end());
            EXPECT_FALSE(sim::files::UserCanWrite(folder));
            EXPECT_FALSE(sim::files::UserCanWrite(log));
        };
    };
    const auto noLog = [] { EXPECT_FALSE(sim::files::Exists(log)); };
    std::vector<Row> rows = {
        {"/quiet", Nothing, L"/quiet /wait 0", 0, 1000, 0, &kSetupImage, logged(L"Ends with exit code 0 ")},
        {"/remove", Nothing, L"/remove", 0, 1000, 0, &kSetupImage, logged(L"Ends with exit code 0 ")},
        {"/stage, a log of 1 MiB set aside",
         [] { Nothing(), sim::files::WriteFile(log, full), sim::files::WriteFile(older, "the one before"); }, L"/stage",
         0, 1000, 0, &kSetupImage,
         [=] {
             logged(L"Ends with exit code 0 ")();
             EXPECT_TRUE(full == sim::files::ReadFile(older)) << "the full log set aside";
         }},
        {"/stage, a log just under 1 MiB kept", [] { Nothing(), sim::files::WriteFile(log, full.substr(1)); }, L"/stage",
         0, 1000, 0, &kSetupImage,
         [] {
             EXPECT_TRUE(sim::files::ReadFile(log).rfind(full.substr(1), 0) == 0) << "the log kept";
             EXPECT_FALSE(sim::files::Exists(older));
         }},
        {"/log wins", Nothing, L"/quiet /wait 0 /log C:\\mine.log", 0, 1000, 0, &kSetupImage,
         [=] {
             noLog();
             EXPECT_FALSE(LogTexts(L"C:\\mine.log").empty());
         }},
        {"no deployment mode", [] { Nothing(), sim::SetWindowStationInteractive(false); }, L"", 1459, 1000, 0,
         &kSetupImage, noLog},
        {"a folder a user made first",
         [] {
             Nothing(), sim::files::CreateFolder(folder);
             sim::files::SetSecurity(folder, L"O:S-1-5-21-1004336348-1177238915-682003330-1002D:(A;OICI;FA;;;WD)");
         },
         L"/quiet /wait 0", 0, 1000, 0, &kSetupImage, noLog},
        {"a junction in its place",
         [] {
             Nothing(), sim::files::CreateFolder(L"C:\\Users\\Setup\\x");
             sim::files::MakeLink(folder, L"C:\\Users\\Setup\\x", true);
         },
         L"/quiet /wait 0", 0, 1000, 0, &kSetupImage,
         [=] {
             noLog();
             EXPECT_TRUE(sim::files::ListFolder(L"C:\\Users\\Setup\\x").empty());
         }},
    };
    RunRows(rows, [](const Row &) {});
}
