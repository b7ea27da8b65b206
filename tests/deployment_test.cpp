// The modes for deployment tools: /quiet and /remove end with the exit code
// their tool acts on, in the time their waits allow, and never show a window,
// a message box or start a process (which nobody under SYSTEM would see).
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/deployment.h"
#include "app/options.h"
#include "common/globals.h"
#include "sim/core.h"
#include "sim/files.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/install_fixture.h"
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
        }
    }
};

const std::wstring DeploymentTest::kSetupImage = install_fixture::kSetup;

void Plugged(bool plugAndPlay) { install_fixture::ArrangeProgramInstall(kModel, plugAndPlay); }

void Nothing() { sim::files::LayOutInstallFolder(kFolder); }

// The codes of /quiet; the sweep's /quiet run checks every failure's code.
TEST_F(DeploymentTest, QuietInstallEndsWithTheCodeOfWhatHappened) {
    const std::wstring driverFile = std::wstring(install_fixture::kDriverDir) + L"\\crvndrv6.dll";
    std::vector<Row> rows = {
        {"the manual road installs", [] { Plugged(false); }, L"/QUIET /wait 5", 0, 15000},
        {"the queue is there already", [] { Plugged(false), AddQueue(kModel, kModel); }, L"/quiet", 0, 100},
        {"a driver file in use is replaced at the restart",
         [&] { Plugged(false), sim::files::WriteFile(driverFile, "old"), sim::files::Lock(driverFile); }, L"/quiet",
         3010, 15000},
        {"the queue cannot be made", [] { Plugged(false), sim::FailCall("AddPrinterW", ERROR_ACCESS_DENIED, -1); },
         L"/quiet", ERROR_ACCESS_DENIED, 30000},
        {"no printer", Nothing, L"/quiet /wait 3", 1167, 4000, 3000},
        {"no printer, the default wait", Nothing, L"/quiet", 1167, 61000, 60000},
        {"only an unknown model, one pass", [] { sim::PlugUsbPrinter(L"Corvane ZZ-9", 1); }, L"/quiet /wait 0", 1167,
         100},
        {"/wait not whole (nothing is done)", [] { Plugged(true); }, L"/wait 1.5 /quiet", 87, 1},
    };
    RunRows(rows, [&](const Row &row) {
        EXPECT_EQ(row.ExitCode == 0 || row.ExitCode == 3010, sim::FindQueue(kModel) != nullptr) << row.What;
        EXPECT_EQ(row.ExitCode == 87, sim::CallCount("SetupDiGetClassDevsW") == 0) << row.What;
        EXPECT_EQ(row.ExitCode == 3010, !sim::files::PendingRenames().empty()) << row.What;
    });
}

// Every failure's code, the DLL held and the mapping to 1603: the sweep's
// /remove run.
TEST_F(DeploymentTest, RemoveLeavesNothingBehindUnderEitherNameAndLeavesTheFolder) {
    std::vector<Row> rows = {
        {"everything installed", [] { InstallProduct(); }, L"/remove", 0, 10000},
        {"under the uninstaller's name", [] { InstallProduct(); }, L"/REMOVE", 0, 10000, 0, &kUninstaller},
        {"nothing installed", Nothing, L"/remove", 0, 10000},
    };
    RunRows(rows, [](const Row &row) {
        EXPECT_TRUE(sim::Queues().empty() && sim::Drivers().empty() && sim::DriverPackages().empty()) << row.What;
        EXPECT_TRUE(sim::FindMonitor(kMonitor) == nullptr && !sim::files::Exists(kMonitorDll)) << row.What;
        EXPECT_TRUE(sim::files::Exists(kSetup)) << row.What;  // the deployment tool's folder
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
        {L"/wait x /wait 5", 5, FALSE},
    };
    for (const Case &c : cases) {
        WCHAR line[64];
        wcscpy(line, c.Tail);
        StartOptions options = ReadCommandLine(line);
        EXPECT_EQ(c.Seconds, options.WaitSeconds) << std::string(c.Tail, c.Tail + wcslen(c.Tail));
        EXPECT_EQ(c.Malformed, options.WaitMalformed) << std::string(c.Tail, c.Tail + wcslen(c.Tail));
    }
}

// Every code a deployment tool reads as success, retry or restart becomes
// 1603; any other failure's code passes as it is.
TEST(DeploymentFailureCodeTest, EveryCodeThatHidesAFailureBecomes1603) {
    const struct {
        DWORD Code, Exit;
    } kRows[] = {{0, 1603},    {1618, 1603}, {1641, 1603}, {1707, 1603},           {3010, 1603},
                 {5, 5},       {31, 31},     {1167, 1167}, {0x80070005, 0x80070005}, {1602, 1602}};
    for (const auto &row : kRows)
        EXPECT_EQ(row.Exit, DeploymentFailureCode(row.Code)) << row.Code;
}

}  // namespace
