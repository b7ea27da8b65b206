// Creating monitor, driver and queue through the spooler: the records handed
// to it, the driver version and date, what is skipped when something is
// already there or a step fails, the trace lines, and how long each wait
// lasts in virtual time.
#include <windows.h>
#include <winspool.h>

#include <functional>

#include "common/globals.h"
#include "common/resource_ids.h"
#include "install/install_window.h"
#include "install/manual_install.h"
#include "sim/windows.h"
#include "sim/spooler.h"
#include "tests/install_fixture.h"

namespace {

using namespace install_fixture;
using Strings = std::vector<std::wstring>;

const wchar_t kSystemMonitor[] = L"C:\\Windows\\system32\\crvnmon.dll";

class ManualInstallTest : public InstallFixture {
protected:
    // The package's files where an installation would have staged them.
    void SetUp() override {
        InstallFixture::SetUp();
        StringCchCopyW(PackageDir, INSTALL_DIR_CCH, install_fixture::kInstallDir);
    }

    void TearDown() override {
        EXPECT_EQ(0, sim::OpenPrinterHandles());
        EXPECT_EQ(0u, sim::LiveAllocations());
        InstallFixture::TearDown();
    }

    static uint64_t FileTimeValue(const FILETIME &ft) {
        return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    }
};

TEST_F(ManualInstallTest, VersionAndDateFromTheBuiltInText) {
    EXPECT_EQ(0x07E9000700100001ull, ParseDriverVersion());
    EXPECT_EQ(0x01DBF5E492B14000ull, FileTimeValue(ParseDriverDate()));
}

TEST_F(ManualInstallTest, DriverRecordWithoutLanguageMonitor) {
    PlaceDriverFiles();
    ASSERT_EQ(1, RegisterPrinterDriver(&request));
    EXPECT_EQ(0u, sim::Now());  // listed at the first look

    const sim::PrinterDriver *d = sim::FindDriver(kDriverName);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(3u, d->cVersion);
    EXPECT_EQ(std::wstring(kDriverName), d->pName.value_or(L""));
    EXPECT_EQ(L"Windows x64", d->pEnvironment.value_or(L""));
    EXPECT_EQ(L"crvndrv6.dll", d->pDriverPath.value_or(L""));
    EXPECT_EQ(L"crvndrv6.dat", d->pDataFile.value_or(L""));
    EXPECT_EQ(L"crvndrv6ui.dll", d->pConfigFile.value_or(L""));
    EXPECT_FALSE(d->pHelpFile.has_value());
    EXPECT_FALSE(d->pDependentFiles.has_value());
    EXPECT_FALSE(d->pMonitorName.has_value());
    EXPECT_EQ(L"RAW", d->pDefaultDataType.value_or(L""));
    EXPECT_FALSE(d->pszzPreviousNames.has_value());
    EXPECT_EQ(0x01DBF5E492B14000ull, FileTimeValue(d->ftDriverDate));
    EXPECT_EQ(0x07E9000700100001ull, d->dwlDriverVersion);
    EXPECT_FALSE(d->pszMfgName.has_value());
    EXPECT_FALSE(d->pszOEMUrl.has_value());
    EXPECT_EQ(std::wstring(kHardwareId), d->pszHardwareID.value_or(L""));
    EXPECT_EQ(L"corvane", d->pszProvider.value_or(L""));
    EXPECT_FALSE(d->pszPrintProcessor.has_value());
    EXPECT_FALSE(d->pszVendorSetup.has_value());
    EXPECT_FALSE(d->pszzColorProfiles.has_value());
    EXPECT_FALSE(d->pszInfPath.has_value());
    EXPECT_EQ(0u, d->dwPrinterDriverAttributes);
    EXPECT_FALSE(d->pszzCoreDriverDependencies.has_value());
    EXPECT_EQ(0u, FileTimeValue(d->ftMinInboxDriverVerDate));
    EXPECT_EQ(0u, d->dwlMinInboxDriverVerVersion);
    EXPECT_EQ(L"Windows x64", d->Environment);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ManualInstallTest, DriverRecordWithLanguageMonitor) {
    PlaceDriverFiles();
    request.Options = kUsesMonitor;
    ASSERT_EQ(1, RegisterPrinterDriver(&request));
    const sim::PrinterDriver *d = sim::FindDriver(kDriverName);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(Strings{L"crvnmon.dll"}, d->pDependentFiles.value_or(Strings{L"(null)"}));
    EXPECT_EQ(L"Language Monitor", d->pMonitorName.value_or(L""));
}

TEST_F(ManualInstallTest, DriverListedOnlyUnderItsExactName) {
    InstallDriver(L"Corvane MODEL");
    EXPECT_EQ(1, IsDriverInstalled(L"Corvane MODEL"));
    EXPECT_EQ(0, IsDriverInstalled(L"corvane model"));
    EXPECT_EQ(0, IsDriverInstalled(L"Corvane"));
}

TEST_F(ManualInstallTest, NoDriversOrNoMemoryMeansNotListed) {
    EXPECT_EQ(0, IsDriverInstalled(kDriverName));
    EXPECT_EQ(0, Count("LocalAlloc"));  // a needed size of 0 ends it

    InstallDriver(kDriverName);
    sim::FailCall("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, IsDriverInstalled(kDriverName));
}

TEST_F(ManualInstallTest, DriverRefusedIsTracedAndNotWaitedFor) {
    sim::FailCall("AddPrinterDriverW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, RegisterPrinterDriver(&request));
    EXPECT_EQ(0u, sim::Now());
    EXPECT_EQ(0, Count("EnumPrinterDriversW"));
    EXPECT_EQ(Strings{L"AddPrinterDriver failed, errcode:5."}, Lines());
}

TEST_F(ManualInstallTest, DriverListedLateIsWaitedForInSecondSteps) {
    PlaceDriverFiles();
    sim::SetDriverListingDelay(2500);
    EXPECT_EQ(1, RegisterPrinterDriver(&request));
    EXPECT_EQ(3000u, sim::Now());
}

TEST_F(ManualInstallTest, MonitorAddedOnceAndAlreadyInstalledCountsAsAdded) {
    sim::files::WriteFile(kSystemMonitor, "monitor");
    EXPECT_EQ(1, InstallPrinterLanguageMonitor(L"Language Monitor", L"crvnmon.dll"));
    ASSERT_NE(nullptr, sim::FindMonitor(L"Language Monitor"));
    EXPECT_EQ(L"crvnmon.dll", sim::FindMonitor(L"Language Monitor")->DllName);
    EXPECT_EQ(L"Windows x64", sim::FindMonitor(L"Language Monitor")->Environment.value_or(L""));

    EXPECT_EQ(1, InstallPrinterLanguageMonitor(L"Language Monitor", L"crvnmon.dll"));
    EXPECT_EQ(1u, sim::Monitors().size());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ManualInstallTest, MonitorFailureIsTraced) {
    // The spooler cannot load a monitor whose DLL is not in the system directory.
    EXPECT_EQ(0, InstallPrinterLanguageMonitor(L"Language Monitor", L"crvnmon.dll"));
    EXPECT_EQ(Strings{L"InstallPrinterLanguageMonitor failed, errcode:126."}, Lines());
}

TEST_F(ManualInstallTest, EverythingCreatedWithoutLanguageMonitor) {
    EXPECT_EQ(1, InstallPrinterManually(&request));
    EXPECT_EQ(0u, sim::Now());

    const sim::PrintQueue *q = sim::FindQueue(kQueueName);
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(std::wstring(kQueueName), q->pPrinterName);
    EXPECT_EQ(std::wstring(kPort), q->pPortName);
    EXPECT_EQ(std::wstring(kDriverName), q->pDriverName);
    EXPECT_EQ(L"WinPrint", q->pPrintProcessor);
    EXPECT_EQ(L"RAW", q->pDatatype);
    EXPECT_EQ(0x40u, q->Attributes);
    EXPECT_FALSE(q->pShareName.has_value());
    EXPECT_FALSE(q->pComment.has_value());
    EXPECT_FALSE(q->pLocation.has_value());
    EXPECT_FALSE(q->pSepFile.has_value());
    EXPECT_FALSE(q->pParameters.has_value());

    EXPECT_TRUE(sim::Monitors().empty());
    EXPECT_EQ(0, Count("AddMonitorW"));
    EXPECT_EQ(0, LinesWith(L"crvnmon.dll"));
    ASSERT_NE(nullptr, sim::FindDriver(kDriverName));
    EXPECT_FALSE(sim::FindDriver(kDriverName)->pMonitorName.has_value());

    const std::wstring source = std::wstring(kInstallDir) + L"\\amd64\\";
    const std::wstring target = std::wstring(kDriverDir) + L"\\";
    EXPECT_EQ((Strings{
                  L"Remove file:" + target + L"crvndrv6.dll, 0, errcode:2.",
                  L"CopyFile file:" + source + L"crvndrv6.dll to " + target + L"crvndrv6.dll, 1, errcode:0.",
                  L"Remove file:" + target + L"crvndrv6ui.dll, 0, errcode:2.",
                  L"CopyFile file:" + source + L"crvndrv6ui.dll to " + target + L"crvndrv6ui.dll, 1, errcode:0.",
                  L"CopyFile file:" + std::wstring(kInstallDir) + L"\\dat\\crvndrv6.dat to " + target +
                      L"crvndrv6.dat, 1, errcode:0.",
              }),
              Lines());
}

TEST_F(ManualInstallTest, EverythingCreatedWithLanguageMonitor) {
    request.Options = kUsesMonitor;
    EXPECT_EQ(1, InstallPrinterManually(&request));
    ASSERT_NE(nullptr, sim::FindMonitor(L"Language Monitor"));
    EXPECT_EQ("amd64\\crvnmon.dll", sim::files::ReadFile(kSystemMonitor));
    ASSERT_NE(nullptr, sim::FindDriver(kDriverName));
    EXPECT_EQ(L"Language Monitor", sim::FindDriver(kDriverName)->pMonitorName.value_or(L""));
    ASSERT_NE(nullptr, sim::FindQueue(kQueueName));
    // The monitor DLL's copy into the system directory is the only wait.
    EXPECT_EQ(200u, sim::Now());
}

TEST_F(ManualInstallTest, ExistingDriverIsNotRegisteredAgain) {
    InstallDriver(kDriverName);
    EXPECT_EQ(1, InstallPrinterManually(&request));
    EXPECT_EQ(0, Count("AddPrinterDriverW"));
    EXPECT_EQ(1, Count("AddPrinterW"));
}

TEST_F(ManualInstallTest, DriverOfAnotherCaseIsRegistered) {
    InstallDriver(L"corvane model");
    EXPECT_EQ(1, InstallPrinterManually(&request));
    EXPECT_EQ(1, Count("AddPrinterDriverW"));
    ASSERT_NE(nullptr, sim::FindDriver(kDriverName));
    EXPECT_EQ(std::wstring(kDriverName), sim::FindDriver(kDriverName)->pName.value_or(L""));
}

TEST_F(ManualInstallTest, DriverRefusedEndsWithoutQueue) {
    sim::FailCall("AddPrinterDriverW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, InstallPrinterManually(&request));
    EXPECT_EQ(0, Count("AddPrinterW"));
    EXPECT_EQ(0, Count("OpenPrinterW"));
    EXPECT_EQ(1, LinesWith(L"AddPrinterDriver failed, errcode:5."));
    EXPECT_EQ(0u, sim::Now());
}

TEST_F(ManualInstallTest, DriverNeverListedEndsAfterFiveSecondsWithoutQueue) {
    sim::SetDriverListingDelay(sim::kNeverListed);
    EXPECT_EQ(0, InstallPrinterManually(&request));
    EXPECT_EQ(5000u, sim::Now());
    EXPECT_EQ(0, Count("AddPrinterW"));
    EXPECT_TRUE(sim::Queues().empty());
    // One look before registering, then five while waiting: each a size
    // query that finds nothing listed.
    EXPECT_EQ(6, Count("EnumPrinterDriversW"));
    EXPECT_EQ(5, Count("Sleep"));
}

TEST_F(ManualInstallTest, ExistingQueueEndsWithOneLine) {
    InstallDriver(kDriverName);
    InstallQueue(kQueueName, L"USB002");
    EXPECT_EQ(1, InstallPrinterManually(&request));
    EXPECT_EQ(0, Count("AddPrinterW"));
    EXPECT_EQ(1, LinesWith(L"The printer Corvane MODEL is already added."));
    EXPECT_EQ(L"USB002", sim::FindQueue(kQueueName)->pPortName);
}

TEST_F(ManualInstallTest, QueueRefusedStillWaitsFiveSeconds) {
    InstallDriver(kDriverName);
    sim::FailCall("AddPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, InstallPrinterManually(&request));
    EXPECT_EQ(5000u, sim::Now());
    EXPECT_EQ(6, Count("OpenPrinterW"));
    EXPECT_EQ(1, LinesWith(L"AddPrinter failed, errcode:5."));
    EXPECT_EQ(0, Count("ClosePrinter"));
}

TEST_F(ManualInstallTest, QueueThatShowsUpLateIsWaitedFor) {
    sim::SetQueueListingDelay(1500);
    EXPECT_EQ(1, InstallPrinterManually(&request));
    EXPECT_EQ(2000u, sim::Now());
}

TEST_F(ManualInstallTest, QueueThatNeverShowsUpIsAFailure) {
    sim::SetQueueListingDelay(sim::kNeverListed);
    EXPECT_EQ(0, InstallPrinterManually(&request));
    EXPECT_EQ(5000u, sim::Now());
    EXPECT_EQ(1, Count("AddPrinterW"));
    EXPECT_EQ(1, Count("ClosePrinter"));  // the handle AddPrinterW gave
}

TEST_F(ManualInstallTest, FailedDeploymentSkipsTheDriverButNotTheQueue) {
    sim::files::Remove(kInstallDir);
    InstallDriver(kDriverName);  // so that the queue can be added
    EXPECT_EQ(1, InstallPrinterManually(&request));
    EXPECT_EQ(0, Count("EnumPrinterDriversW"));
    EXPECT_EQ(0, Count("AddPrinterDriverW"));
    EXPECT_EQ(1, Count("AddPrinterW"));
}

// The queue shows up although the data file could not be copied (another
// program holds the old one): the printer is installed, with the files the
// spooler keeps of its driver, and the copy's trace line stays. Only an
// unattended run fails for the copy, with its error.
TEST_F(ManualInstallTest, APresentQueueIsAnInstalledPrinterThoughAFileWasNotCopied) {
    const std::wstring dat = std::wstring(kDriverDir) + L"\\crvndrv6.dat";
    struct Row {
        const char *What;
        std::function<int()> Install;
        int Result;
    } rows[] = {
        // (The window's search keeps its device list: first, so that the
        // fixture's count of allocations left at the end holds.)
        {"the install window",
         [] {
             sim::PlugUsbPrinter(L"Corvane LD-2040", 1, L"SN0001");
             sim::At(30000, [] { sim::CloseDialog(sim::FindDialog(IDD_INSTALL)); });
             RunProgramWindow(IDD_INSTALL, InstallDlgProc, kInstallDir, 60000);
             return sim::ControlText(sim::FindDialog(IDD_INSTALL), IDC_STATUS) ==
                            L"The driver for printer [Corvane LD-2040] is installed."
                        ? 1
                        : 0;
         },
         1},
        {"InstallPrinterManually", [this] { return InstallPrinterManually(&request); }, 1},
        {"InstallPrinterManually, unattended",
         [this] {
             UnattendedRun = TRUE;
             return InstallPrinterManually(&request);
         },
         0},
        {"InstallPrinter", [this] { return InstallPrinter(&request, kInfPath); }, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.What);
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        StringCchCopyW(request.DriverName, REQUEST_TEXT_CCH, L"Corvane LD-2040");
        StringCchCopyW(request.QueueName, REQUEST_TEXT_CCH, L"Corvane LD-2040");
        InstallDriver(request.DriverName);
        sim::files::WriteFile(dat, "an older version");
        sim::files::Lock(dat);
        EXPECT_EQ(row.Result, row.Install());
        if (row.Result == 0) {
            EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
        }
        EXPECT_NE(nullptr, sim::FindQueue(L"Corvane LD-2040"));
        EXPECT_EQ(1, LinesWith(L"\\dat\\crvndrv6.dat to " + dat + L", 0, errcode:32."));
    }
}

TEST_F(ManualInstallTest, OneMissingDllSkipsTheDriverThoughTheDataFileIsCopied) {
    for (const std::wstring missing : {L"crvndrv6.dll", L"crvndrv6ui.dll"}) {
        SCOPED_TRACE(std::string(missing.begin(), missing.end()));
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::files::Remove(std::wstring(kInstallDir) + L"amd64\\" + missing);
        EXPECT_EQ(0, InstallPrinterManually(&request));
        EXPECT_EQ("dat\\crvndrv6.dat", sim::files::ReadFile(std::wstring(kDriverDir) + L"\\crvndrv6.dat"));
        EXPECT_EQ(0, Count("AddPrinterDriverW"));
        EXPECT_TRUE(sim::files::PendingRenames().empty());
        // Without the driver the spooler refuses the queue.
        EXPECT_EQ(1, LinesWith(L"AddPrinter failed, errcode:1797."));
        EXPECT_EQ(nullptr, sim::FindQueue(kQueueName));
    }
}

TEST_F(ManualInstallTest, FailedMonitorSkipsTheDriverAndTheQueueFails) {
    request.Options = kUsesMonitor;
    sim::FailCall("AddMonitorW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, InstallPrinterManually(&request));
    EXPECT_EQ(0, Count("AddPrinterDriverW"));
    EXPECT_EQ(1, LinesWith(L"InstallPrinterLanguageMonitor failed, errcode:5."));
    // Without a driver the spooler refuses the queue.
    EXPECT_EQ(1, LinesWith(L"AddPrinter failed, errcode:1797."));
    EXPECT_EQ(200u + 5000u, sim::Now());
}

}  // namespace
