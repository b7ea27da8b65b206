// Putting the driver files in place: which files are copied where, the trace
// lines, locked and missing files, the monitor DLL's copy into the system
// directory with the spooler stopped, and a driver directory that cannot be
// read.
#include <windows.h>
#include <winspool.h>
#include <winsvc.h>
#include <strsafe.h>

#include <string>
#include <vector>

#include "common/globals.h"
#include "install/deploy.h"
#include "sim/files.h"
#include "sim/services.h"
#include "tests/test_support.h"

namespace {

using Strings = std::vector<std::wstring>;

const wchar_t kInstallDir[] = L"C:\\Program Files\\Corvane\\";
const wchar_t kSystemMonitor[] = L"C:\\Windows\\system32\\crvnmon.dll";

// Index of the first call of api in the call log, or -1.
int FirstCall(const std::string &api) {
    const auto &calls = sim::Calls();
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].Api == api)
            return (int)i;
    return -1;
}

class DeployTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        SetArchitecture(PROCESSOR_ARCHITECTURE_AMD64);
    }

    // The machine's architecture, the package's folder (here its files are
    // where the run would have staged them), and the printer-driver directory
    // that the spooler gives this process for it.
    void SetArchitecture(WORD arch, const std::wstring &installDir = kInstallDir) {
        sim::SetNativeArchitecture(arch);
        StringCchCopyW(PackageDir, INSTALL_DIR_CCH, installDir.c_str());
        sim::files::LayOutInstallFolder(installDir);
        WCHAR dir[MAX_PATH] = {0};
        DWORD needed = 0;
        ASSERT_TRUE(GetPrinterDriverDirectoryW(NULL, NULL, 1, (LPBYTE)dir, sizeof(dir), &needed));
        driverDir = dir;
        sim::files::CreateFolder(driverDir);
        sim::ClearCalls();
        sim::ClearDebugOutput();
    }

    std::wstring Target(const std::wstring &file) const { return driverDir + L"\\" + file; }
    static std::wstring Source(const std::wstring &arch, const std::wstring &file) {
        return std::wstring(kInstallDir) + L"\\" + arch + L"\\" + file;
    }
    static std::wstring RemoveLine(const std::wstring &path, int result, DWORD error) {
        return L"Remove file:" + path + L", " + std::to_wstring(result) + L", errcode:" + std::to_wstring(error) + L".";
    }
    static std::wstring CopyLine(const std::wstring &from, const std::wstring &to, int result, DWORD error) {
        return L"CopyFile file:" + from + L" to " + to + L", " + std::to_wstring(result) + L", errcode:" +
               std::to_wstring(error) + L".";
    }

    std::wstring driverDir;
};

TEST_F(DeployTest, ArchitectureFileComesFromTheNativeArchitecturesFolder) {
    // The process itself reports x86 (GetSystemInfo); the machine is x64.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    ASSERT_EQ(PROCESSOR_ARCHITECTURE_INTEL, info.wProcessorArchitecture);

    EXPECT_NE(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_EQ("amd64\\crvndrv6.dll", sim::files::ReadFile(Target(L"crvndrv6.dll")));
    // The install folder ends in a backslash, so the source shows two.
    EXPECT_EQ(Strings({RemoveLine(Target(L"crvndrv6.dll"), 0, ERROR_FILE_NOT_FOUND),
                       CopyLine(L"C:\\Program Files\\Corvane\\\\amd64\\crvndrv6.dll", Target(L"crvndrv6.dll"), 1, 0)}),
              sim::DebugLines());
    EXPECT_EQ(0, sim::CallCount("MoveFileExW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
}

TEST_F(DeployTest, EachSupportedArchitectureHasItsFolder) {
    const struct {
        WORD Arch;
        const wchar_t *Folder;
    } cases[] = {{PROCESSOR_ARCHITECTURE_INTEL, L"i386"},
                 {PROCESSOR_ARCHITECTURE_ARM, L"arm"},
                 {PROCESSOR_ARCHITECTURE_AMD64, L"amd64"},
                 {PROCESSOR_ARCHITECTURE_ARM64, L"arm64"}};
    for (const auto &c : cases) {
        sim::Reset();
        SetArchitecture(c.Arch);
        EXPECT_NE(0, DeployArchFile(L"crvndrv6ui.dll")) << c.Folder;
        std::wstring folder = c.Folder;
        EXPECT_EQ(std::string(folder.begin(), folder.end()) + "\\crvndrv6ui.dll",
                  sim::files::ReadFile(Target(L"crvndrv6ui.dll")));
        ASSERT_EQ(2u, sim::DebugLines().size());
        EXPECT_EQ(CopyLine(Source(c.Folder, L"crvndrv6ui.dll"), Target(L"crvndrv6ui.dll"), 1, 0),
                  sim::DebugLines()[1]);
    }
}

TEST_F(DeployTest, UnknownArchitectureDoesNothing) {
    sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_IA64);
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_EQ(0, DeployArchFile(L"crvnmon.dll"));
    EXPECT_TRUE(sim::DebugLines().empty());
    EXPECT_EQ(0, sim::CallCount("GetPrinterDriverDirectoryW"));
    EXPECT_EQ(0, sim::CallCount("DeleteFileW"));
    EXPECT_EQ(0, sim::CallCount("CopyFileW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
}

TEST_F(DeployTest, OldFileIsReplacedAndTheDeleteTracedWithTheErrorLeftBefore) {
    sim::files::WriteFile(Target(L"crvndrv6.dll"), "old");
    // A successful delete leaves the last error alone; the line shows
    // whatever it was.
    SetLastError(1234);
    EXPECT_NE(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_EQ("amd64\\crvndrv6.dll", sim::files::ReadFile(Target(L"crvndrv6.dll")));
    EXPECT_EQ(Strings({RemoveLine(Target(L"crvndrv6.dll"), 1, 1234),
                       CopyLine(Source(L"amd64", L"crvndrv6.dll"), Target(L"crvndrv6.dll"), 1, 0)}),
              sim::DebugLines());
}

TEST_F(DeployTest, DataFileIsCopiedWithOneLine) {
    sim::files::WriteFile(Target(L"crvndrv6.dat"), "old");
    EXPECT_NE(0, DeployDataFile(L"crvndrv6.dat"));
    EXPECT_EQ("dat\\crvndrv6.dat", sim::files::ReadFile(Target(L"crvndrv6.dat")));
    EXPECT_EQ(Strings({CopyLine(L"C:\\Program Files\\Corvane\\\\dat\\crvndrv6.dat", Target(L"crvndrv6.dat"), 1, 0)}),
              sim::DebugLines());
    EXPECT_EQ(1, sim::CallCount("DeleteFileW"));  // deleted, not traced
}

TEST_F(DeployTest, LockedTargetIsReplacedAtRestartAndCountsAsDone) {
    // From a package on the system drive, and from one on another drive: the
    // restart moves files only within a drive.
    for (const std::wstring &folder : {std::wstring(kInstallDir), std::wstring(L"D:\\Corvane\\")}) {
        SCOPED_TRACE(std::string(folder.begin(), folder.end()));
        sim::Reset();
        SetArchitecture(PROCESSOR_ARCHITECTURE_AMD64, folder);
        const std::wstring source = folder + L"\\amd64\\crvndrv6.dll";
        sim::files::WriteFile(Target(L"crvndrv6.dll"), "old");
        sim::files::Lock(Target(L"crvndrv6.dll"), sim::files::LockKind::Image);
        EXPECT_NE(0, DeployArchFile(L"crvndrv6.dll"));
        EXPECT_EQ("old", sim::files::ReadFile(Target(L"crvndrv6.dll")));
        EXPECT_EQ(Strings({RemoveLine(Target(L"crvndrv6.dll"), 0, ERROR_ACCESS_DENIED),
                           CopyLine(source, Target(L"crvndrv6.dll"), 0, ERROR_SHARING_VIOLATION)}),
                  sim::DebugLines());

        // The new file waits beside the target, in a temporary file that
        // replaces the target at restart; the install folder keeps its own.
        ASSERT_EQ(1u, sim::files::PendingRenames().size());
        const sim::files::PendingRename rename = sim::files::PendingRenames()[0];
        std::wstring folderOfFrom = rename.From.substr(0, rename.From.rfind(L'\\'));
        std::wstring nameOfFrom = rename.From.substr(folderOfFrom.size() + 1);
        EXPECT_EQ(sim::files::Canonical(driverDir), folderOfFrom);
        EXPECT_EQ(L"crv", nameOfFrom.substr(0, 3));
        EXPECT_EQ(L".tmp", nameOfFrom.substr(nameOfFrom.size() - 4));
        EXPECT_EQ("amd64\\crvndrv6.dll", sim::files::ReadFile(rename.From));
        EXPECT_EQ(sim::files::Canonical(Target(L"crvndrv6.dll")), rename.To);
        EXPECT_EQ((DWORD)(MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING), rename.Flags);
        EXPECT_TRUE(sim::files::IsFile(source));

        sim::files::Restart();
        EXPECT_EQ("amd64\\crvndrv6.dll", sim::files::ReadFile(Target(L"crvndrv6.dll")));
        EXPECT_EQ(Strings({L"crvndrv6.dll"}), sim::files::ListFolder(driverDir));
    }
}

TEST_F(DeployTest, OnlyATargetInUseWithItsSourceThereWaitsForTheRestart) {
    // A locked target whose source is missing: nothing to put in place.
    sim::files::WriteFile(Target(L"crvndrv6.dll"), "old");
    sim::files::Lock(Target(L"crvndrv6.dll"), sim::files::LockKind::Image);
    sim::files::Remove(Source(L"amd64", L"crvndrv6.dll"));
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    // A source that is a folder: the copy is refused as for a file in use.
    sim::files::WriteFile(Target(L"crvndrv6ui.dll"), "old");
    sim::files::Lock(Target(L"crvndrv6ui.dll"), sim::files::LockKind::Image);
    sim::files::Remove(Source(L"amd64", L"crvndrv6ui.dll"));
    sim::files::CreateFolder(Source(L"amd64", L"crvndrv6ui.dll"));
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6ui.dll"));
    EXPECT_EQ(0, sim::CallCount("GetTempFileNameW"));
    EXPECT_EQ(0, sim::CallCount("MoveFileExW"));

    // The replacement cannot be copied beside the target: the temporary file
    // goes again, and the file is not in place.
    sim::Reset();
    SetArchitecture(PROCESSOR_ARCHITECTURE_AMD64);
    sim::files::WriteFile(Target(L"crvndrv6.dll"), "old");
    sim::files::Lock(Target(L"crvndrv6.dll"), sim::files::LockKind::Image);
    int copies = 0;
    sim::OnCall("CopyFileW", [&copies] {
        if (++copies == 2)
            sim::FailCall("CopyFileW", ERROR_ACCESS_DENIED);
    });
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_EQ(1, sim::CallCount("GetTempFileNameW"));
    EXPECT_EQ(0, sim::CallCount("MoveFileExW"));
    EXPECT_EQ(Strings({L"crvndrv6.dll"}), sim::files::ListFolder(driverDir));
    EXPECT_EQ(2u, sim::DebugLines().size());  // the two lines of every deployment, nothing more
}

TEST_F(DeployTest, LockedTargetWhoseReplacementCannotBeScheduledFails) {
    sim::files::WriteFile(Target(L"crvndrv6.dll"), "old");
    sim::files::Lock(Target(L"crvndrv6.dll"));
    sim::FailCall("MoveFileExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_EQ(Strings({RemoveLine(Target(L"crvndrv6.dll"), 0, ERROR_SHARING_VIOLATION),
                       CopyLine(Source(L"amd64", L"crvndrv6.dll"), Target(L"crvndrv6.dll"), 0,
                                ERROR_SHARING_VIOLATION)}),
              sim::DebugLines());
    EXPECT_EQ(Strings({L"crvndrv6.dll"}), sim::files::ListFolder(driverDir));  // no temporary file left

    // The data file has no restart fallback.
    sim::files::WriteFile(Target(L"crvndrv6.dat"), "old");
    sim::files::Lock(Target(L"crvndrv6.dat"));
    EXPECT_EQ(0, DeployDataFile(L"crvndrv6.dat"));
    EXPECT_EQ(1, sim::CallCount("MoveFileExW"));
    EXPECT_TRUE(sim::files::PendingRenames().empty());
}

TEST_F(DeployTest, MissingSourceStillDeletesTheOldFileFirst) {
    sim::files::WriteFile(Target(L"crvndrv6.dll"), "old");
    sim::files::Remove(Source(L"amd64", L"crvndrv6.dll"));
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_FALSE(sim::files::Exists(Target(L"crvndrv6.dll")));
    EXPECT_LT(FirstCall("DeleteFileW"), FirstCall("CopyFileW"));
    ASSERT_EQ(2u, sim::DebugLines().size());
    EXPECT_EQ(CopyLine(Source(L"amd64", L"crvndrv6.dll"), Target(L"crvndrv6.dll"), 0, ERROR_FILE_NOT_FOUND),
              sim::DebugLines()[1]);

    sim::files::WriteFile(Target(L"crvndrv6.dat"), "old");
    sim::files::Remove(L"C:\\Program Files\\Corvane\\dat\\crvndrv6.dat");
    EXPECT_EQ(0, DeployDataFile(L"crvndrv6.dat"));
    EXPECT_FALSE(sim::files::Exists(Target(L"crvndrv6.dat")));
}

TEST_F(DeployTest, MonitorDllIsAlsoCopiedToTheSystemDirectoryWithTheSpoolerStopped) {
    // The spooler holds the old monitor loaded: it can only be replaced
    // while the spooler is down.
    sim::files::WriteFile(kSystemMonitor, "old");
    sim::files::LockWhileServiceRuns(kSystemMonitor, L"Spooler");
    sim::SetServiceStopDelay(L"Spooler", 20);
    EXPECT_NE(0, DeployArchFile(L"crvnmon.dll"));
    EXPECT_EQ("amd64\\crvnmon.dll", sim::files::ReadFile(Target(L"crvnmon.dll")));
    EXPECT_EQ("amd64\\crvnmon.dll", sim::files::ReadFile(kSystemMonitor));
    EXPECT_EQ(20u + 200u, sim::Now());
    ASSERT_EQ(2u, sim::ServiceRequests().size());
    EXPECT_EQ(220u, sim::ServiceRequests()[1].Time);  // the start, after the copy
    EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));
    // The system-directory copy is not traced.
    EXPECT_EQ(2u, sim::DebugLines().size());
}

TEST_F(DeployTest, MonitorDllCopyHappensAlsoWhenTheDriverDirectoryCopyFailed) {
    sim::files::WriteFile(Target(L"crvnmon.dll"), "old");
    sim::files::Lock(Target(L"crvnmon.dll"));
    EXPECT_NE(0, DeployArchFile(L"crvnmon.dll"));
    EXPECT_EQ("amd64\\crvnmon.dll", sim::files::ReadFile(kSystemMonitor));
    EXPECT_EQ(1u, sim::files::PendingRenames().size());
    // The replacement is scheduled after the spooler cycle.
    EXPECT_LT(FirstCall("StartServiceW"), FirstCall("MoveFileExW"));
}

TEST_F(DeployTest, OnlyTheExactMonitorNameGoesToTheSystemDirectory) {
    for (const wchar_t *name : {L"CRVNMON.DLL", L"Crvnmon.dll", L"crvnmon.dl", L"crvndrv6.dll"}) {
        // File names are case-blind: only "crvnmon.dl" has no source.
        EXPECT_EQ(sim::files::Exists(Source(L"amd64", name)), DeployArchFile(name) != 0) << name;
        EXPECT_FALSE(sim::files::Exists(kSystemMonitor)) << name;
    }
    EXPECT_TRUE(sim::ServiceRequests().empty());
    EXPECT_EQ(0u, sim::Now());
}

TEST_F(DeployTest, CopyToSystemDirectoryKeepsNameAndExtension) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(1, CopyToSystemDirectory(Source(L"arm64", L"crvnmon.dll").c_str()));
    EXPECT_EQ("arm64\\crvnmon.dll", sim::files::ReadFile(kSystemMonitor));
    EXPECT_EQ(0, CopyToSystemDirectory(L"C:\\Program Files\\Corvane\\arm64\\missing.dll"));
    EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(DeployTest, DriverDirectoryThatCannotBeReadStopsTheDeployment) {
    sim::FailCall("GetPrinterDriverDirectoryW", ERROR_INVALID_ENVIRONMENT, 2);
    EXPECT_EQ(0, DeployArchFile(L"crvnmon.dll"));
    EXPECT_EQ(0, DeployDataFile(L"crvndrv6.dat"));
    EXPECT_EQ(Strings({CopyLine(Source(L"amd64", L"crvnmon.dll"), L"", 0, ERROR_INVALID_ENVIRONMENT),
                       CopyLine(L"C:\\Program Files\\Corvane\\\\dat\\crvndrv6.dat", L"", 0, ERROR_INVALID_ENVIRONMENT)}),
              sim::DebugLines());
    EXPECT_EQ(0, sim::CallCount("DeleteFileW"));
    EXPECT_EQ(0, sim::CallCount("CopyFileW"));
    EXPECT_EQ(0, sim::CallCount("MoveFileExW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
    EXPECT_FALSE(sim::files::Exists(L"C:\\crvnmon.dll"));
    EXPECT_FALSE(sim::files::Exists(L"C:\\crvndrv6.dat"));

    // A stopped spooler cannot tell the directory either.
    sim::ClearDebugOutput();
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    EXPECT_EQ(Strings({CopyLine(Source(L"amd64", L"crvndrv6.dll"), L"", 0, RPC_S_SERVER_UNAVAILABLE)}),
              sim::DebugLines());
}

TEST_F(DeployTest, OverlongPathsAreCutTo259Characters) {
    // An install folder of 250 characters ending in a backslash.
    std::wstring dir = L"C:\\" + std::wstring(246, L'a') + L"\\";
    ASSERT_EQ(250u, dir.size());
    StringCchCopyW(PackageDir, INSTALL_DIR_CCH, dir.c_str());
    // The cut source does not exist: a failure, and nothing waits for a restart.
    EXPECT_EQ(0, DeployArchFile(L"crvndrv6.dll"));
    std::wstring full = dir + L"\\amd64\\crvndrv6.dll";
    ASSERT_EQ(2u, sim::DebugLines().size());
    EXPECT_EQ(CopyLine(full.substr(0, 259), Target(L"crvndrv6.dll"), 0, ERROR_PATH_NOT_FOUND), sim::DebugLines()[1]);
    EXPECT_TRUE(sim::files::PendingRenames().empty());
}

}  // namespace
