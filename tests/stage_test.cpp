// /stage: the driver package into the driver store for the machine's own
// environment and a rescan, nothing else; its exit codes; its place among
// the run modes; a printer plugged in later installed by Plug and Play alone;
// and the uninstaller removing a staged package that no queue uses.
#include <windows.h>
#include <cfgmgr32.h>
#include <strsafe.h>

#include <string>
#include <vector>

#include "common/log_file.h"
#include "sim/core.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/pnp.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/uninstall_fixture.h"

namespace {

using namespace uninstall_fixture;

const std::wstring kSetup = std::wstring(kFolder) + L"setup.exe";
const std::wstring kUninstaller = std::wstring(kFolder) + L"unins000.exe";

class StageTest : public UninstallFixture {
protected:
    void SetUp() override {
        UninstallFixture::SetUp();
        sim::files::LayOutInstallFolder(kFolder);
        sim::files::WriteFile(kSourceInf, sim::inf::PrinterInfText());
        sim::files::WriteFile(kSetup, "program image");
    }

    // Runs the program; a window it shows is closed after a second.
    static sim::Process Run(const std::wstring &image, const std::wstring &tail) {
        for (int id : {IDD_INSTALL, IDD_UNINSTALL})
            sim::At(1000, [id] {
                if (HWND d = sim::FindDialog(id))
                    sim::CloseDialog(d);
            });
        return sim::RunProgram(image, tail, 5000);
    }

};

TEST_F(StageTest, StagingUploadsForTheMachinesOwnEnvironmentRescansAndEnds) {
    sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_ARM64);
    sim::Process p = Run(kSetup, L"/STAGE /log C:\\stage.log");
    EXPECT_EQ(0, p.ExitCode);
    EXPECT_FALSE(p.Killed);
    EXPECT_EQ(0u, p.EndTime);  // no search, no wait

    ASSERT_EQ(1u, sim::Uploads().size());
    EXPECT_TRUE(IsStagedCopy(sim::Uploads()[0].SourceInf, L"crvnv6.inf"));
    EXPECT_FALSE(sim::files::Exists(sim::Uploads()[0].SourceInf));  // gone with the run
    EXPECT_EQ(L"Windows ARM64", sim::Uploads()[0].Environment);
    EXPECT_EQ(0x3u, sim::Uploads()[0].Flags);  // UPDP_UPLOAD_ALWAYS | UPDP_SILENT_UPLOAD
    ASSERT_EQ(1u, sim::Reenumerations().size());
    EXPECT_EQ((ULONG)CM_REENUMERATE_RETRY_INSTALLATION, sim::Reenumerations()[0].Flags);

    std::vector<std::wstring> upload = {L"DoUploadDriverPackage, " + sim::Uploads()[0].StoreInf + L", code:0."};
    EXPECT_EQ(upload, TraceLines());
    upload.insert(upload.begin(), StagingLine(kFolder));
    EXPECT_EQ(upload, LogBody(L"C:\\stage.log"));

    // Nothing else: no window, no search, no driver or queue, no other program.
    EXPECT_TRUE(sim::Dialogs(IDD_INSTALL).empty());
    EXPECT_TRUE(sim::Dialogs(IDD_UNINSTALL).empty());
    EXPECT_EQ(0, sim::CallCount("SetupDiGetClassDevsW"));
    EXPECT_EQ(0, sim::CallCount("UpdateDriverForPlugAndPlayDevicesW"));
    EXPECT_TRUE(sim::Drivers().empty());
    EXPECT_TRUE(sim::Queues().empty());
    EXPECT_EQ(1u, sim::Processes().size());
}

TEST_F(StageTest, ExitCodeIsTheFailingHresultOrTheWin32ErrorOfTheRescan) {
    struct Case {
        const char *FailingApi;  // null: the INF is missing, which no check passes
        DWORD Injected;
        int ExitCode;
    } cases[] = {
        {"UploadPrinterDriverPackageW", (DWORD)E_NOTIMPL, (int)E_NOTIMPL},
        {nullptr, 0, (int)ERROR_FILE_NOT_FOUND},
        // A refused rescan leaves the package staged: done, with a warning.
        {"CM_Locate_DevNodeW", 1, 0},
        {"CM_Reenumerate_DevNode", 1, 0},
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        if (c.FailingApi != nullptr)
            sim::FailCall(c.FailingApi, c.Injected);
        else
            sim::files::Remove(kSourceInf);
        std::string what = c.FailingApi != nullptr ? c.FailingApi : "missing INF";

        sim::Process p = Run(kSetup, L"/stage");
        EXPECT_EQ(c.ExitCode, p.ExitCode) << what;
        EXPECT_TRUE(sim::Reenumerations().empty()) << what;
        // A package that cannot be checked is not uploaded.
        ASSERT_EQ(c.FailingApi != nullptr ? 1u : 0u, TraceLines().size()) << what;
        if (c.FailingApi != nullptr) {
            EXPECT_EQ(0u, TraceLines()[0].find(L"DoUploadDriverPackage, ")) << what;
        }
    }
}

TEST_F(StageTest, StagingNeverHandsOverOrRelaunchesAndOnlyTheUninstallWindowWins) {
    struct Case {
        const std::wstring *Image;
        const wchar_t *Tail;
        bool Uploads;
        size_t Children;
        bool UninstallWindow;
    } cases[] = {
        {&kSetup, L"/stage", true, 0, false},  // on a machine with the product installed
        {&kSetup, L"/stage -u \"C:\\Program Files\\Corvane\\\\\"", false, 0, true},
        {&kUninstaller, L"/stage", true, 0, false},  // stages under the uninstaller's name too
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        InstallProduct();
        std::string what(c.Tail, c.Tail + wcslen(c.Tail));

        sim::Process p = Run(*c.Image, c.Tail);
        EXPECT_EQ(0, p.ExitCode) << what;
        EXPECT_EQ(c.Uploads ? 1u : 0u, sim::Uploads().size()) << what;
        EXPECT_EQ(c.Children + 1, sim::Processes().size()) << what;
        EXPECT_EQ(c.UninstallWindow, sim::FindDialog(IDD_UNINSTALL) != nullptr) << what;
        EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL)) << what;
    }
}

TEST_F(StageTest, PrintersPluggedInBeforeAndAfterStagingGetDriverAndQueueFromPlugAndPlayAlone) {
    // One plugged in before the staging, found without a driver: the
    // staging's rescan has Plug and Play try it again. One plugged in later:
    // Plug and Play installs it when it arrives. Each takes two seconds.
    sim::PlugPrinter({L"usbprint\\corvaneld-2040369d", L"Corvane LD-2040", L"Corvane LD-2040", L"USB001", 2000});
    Sleep(1000);
    EXPECT_EQ(nullptr, sim::FindQueue(L"Corvane LD-2040"));
    sim::Process p = Run(kSetup, L"/stage");
    ASSERT_EQ(0, p.ExitCode);
    std::wstring store = sim::DriverPackages().at(0).StoreInf;
    Sleep(5000);
    sim::PlugPrinter({L"usbprint\\corvanelx-4205f27", L"Corvane LX-420", L"Corvane LX-420", L"USB002", 2000});
    Sleep(2000);

    struct Expected {
        const wchar_t *Queue;
        const wchar_t *Port;
        uint64_t AddedAt;
    };
    for (const Expected &e : {Expected{L"Corvane LD-2040", L"USB001", 3000}, Expected{L"Corvane LX-420", L"USB002", 8000}}) {
        const sim::PrintQueue *queue = sim::FindQueue(e.Queue);
        ASSERT_NE(nullptr, queue) << e.Queue;
        EXPECT_TRUE(queue->AddedByPnp);
        EXPECT_EQ(e.AddedAt, queue->AddedAt) << e.Queue;
        EXPECT_EQ(e.Port, queue->pPortName);
        ASSERT_NE(nullptr, sim::FindDriver(e.Queue));
        EXPECT_EQ(store, sim::FindDriver(e.Queue)->pszInfPath.value_or(L""));
    }
    EXPECT_TRUE(sim::DriverUpdates().empty());
    EXPECT_EQ(1u, sim::Processes().size());  // no program ran for them
}

TEST_F(StageTest, UninstallerRemovesAStagedPackageThatNoQueueUses) {
    ASSERT_EQ(0, Run(kSetup, L"/stage").ExitCode);
    ASSERT_EQ(1u, sim::DriverPackages().size());
    std::wstring store = sim::DriverPackages()[0].StoreInf;
    // The spooler's record of the uploaded package, which the inventory
    // reads (the simulated spooler does not keep it by itself).
    SetPackageKey(L"crvnv6.inf_amd64_1a2b3c4d", store);

    ResetProductGlobals();
    StringCchCopyW(LogFilePath, LOG_PATH_CCH, L"C:\\uninstall.log");
    OpenLogFile();
    ClickAt(sim::Now() + 1000, IDC_REMOVE);
    sim::Process p = RunUninstallWindow();
    EXPECT_FALSE(p.Killed);
    EXPECT_TRUE(sim::DriverPackages().empty());
    EXPECT_EQ(1, sim::CallCount("DeletePrinterDriverPackageW"));
    EXPECT_EQ((std::vector<std::wstring>{L"Driver Package:crvnv6.inf, version:07/16/2025,2025.7.16.1, " + store +
                                             L", Removed.",
                                         L"The driver is uninstalled."}),
              LogTexts(L"C:\\uninstall.log"));
}

}  // namespace
