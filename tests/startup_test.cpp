// Start-up: the single running copy, the options and the choice of run mode,
// with the command lines of the two hand-overs.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "common/resource_ids.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "sim/core.h"
#include "sim/files.h"
#include "sim/windows.h"
#include "tests/test_support.h"

namespace {

const std::wstring kFolder = L"C:\\Program Files\\Corvane\\";
const std::wstring kSetup = kFolder + L"setup.exe";
const std::wstring kUninstaller = kFolder + L"unins000.exe";

class StartupTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::files::WriteFile(kSetup, "program image");
        sim::files::WriteFile(kUninstaller, "program image");
    }

    // Runs the program; any window it shows is closed after a second.
    sim::Process Run(const std::wstring &image, const std::wstring &tail) {
        for (int id : {IDD_INSTALL, IDD_UNINSTALL})
            sim::At(1000, [id] {
                if (HWND d = sim::FindDialog(id))
                    sim::CloseDialog(d);
            });
        return sim::RunProgram(image, tail, 5000);
    }

    // Processes the program started with CreateProcessW.
    std::vector<sim::Process> Children() {
        std::vector<sim::Process> out;
        for (auto &p : sim::Processes())
            if (!p.Started)
                out.push_back(p);
        return out;
    }

    // Another copy's guards, as it holds them.
    static void HoldGuards() {
        sim::HoldNamedMutex(L"SWIFTSETINSTALLERFORPRINTERDRIVER");
        sim::HoldNamedMutex(L"Guard", L"CorvaneSetup", L"S-1-5-32-544");
    }

    static std::vector<std::wstring> Tokens(const std::wstring &tail) {
        int count = 0;
        LPWSTR *argv = CommandLineToArgvW(tail.c_str(), &count);
        std::vector<std::wstring> out(argv, argv + count);
        LocalFree(argv);
        return out;
    }
};

TEST_F(StartupTest, OptionsAreReadInAnyLetterCase) {
    EXPECT_EQ(0, Run(kSetup, L"-U \"D:\\Some Folder\\\"").ExitCode);
    EXPECT_NE(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_STREQ(L"D:\\Some Folder\"", InstallDir);  // the closing quote is escaped by the backslash
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));

    sim::Reset();
    SetUp();
    // Without a printer the silent install searches until it is ended.
    sim::Process silent = Run(kSetup, L"/SILENCE");
    EXPECT_TRUE(silent.Killed);
    EXPECT_GT(sim::CallCount("SetupDiGetClassDevsW"), 3);
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_EQ(kFolder, InstallDir);
}

TEST_F(StartupTest, UninstallOptionTakesTheNextTokenAsItsFolder) {
    struct Case {
        const wchar_t *Tail;
        const wchar_t *Folder;  // null: the install window
    } cases[] = {
        {L"-u", nullptr},
        {L"/silence -u", nullptr},
        {L"-u /silence", L"/silence"},
        {L"-u C:\\A\\ -u C:\\B\\", L"C:\\B\\"},
        {L"-u C:\\A\\ /silence", L"C:\\A\\"},
        {L"/silence -u C:\\A\\", L"C:\\A\\"},
        {L"", nullptr},
        {L"other -x", nullptr},
    };
    for (auto &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::Process p = Run(kSetup, c.Tail);
        if (c.Folder) {
            EXPECT_EQ(0, p.ExitCode) << c.Tail;
            EXPECT_NE(nullptr, sim::FindDialog(IDD_UNINSTALL)) << c.Tail;
            EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL)) << c.Tail;
            EXPECT_STREQ(c.Folder, InstallDir) << c.Tail;
        } else if (std::wstring(c.Tail).find(L"/silence") == std::wstring::npos) {
            EXPECT_EQ(0, p.ExitCode) << c.Tail;
            EXPECT_NE(nullptr, sim::FindDialog(IDD_INSTALL)) << c.Tail;
            EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL)) << c.Tail;
            EXPECT_EQ(kFolder, InstallDir) << c.Tail;
        } else {
            EXPECT_TRUE(p.Killed) << c.Tail;  // the silent install searching on
            EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL)) << c.Tail;
        }
    }
}

TEST_F(StartupTest, FolderTooLongForInstallDirIsNeverCutShort) {
    std::wstring fits = L"C:\\" + std::wstring(255, L'f') + L"\\";  // 259 characters
    ASSERT_EQ(259u, fits.size());
    Run(kSetup, L"-u " + fits);
    EXPECT_NE(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_EQ(fits, InstallDir);

    sim::Reset();
    ResetProductGlobals();
    SetUp();
    std::wstring tooLong = L"C:\\" + std::wstring(256, L'f') + L"\\";  // 260 characters
    Run(kSetup, L"-u " + tooLong);
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_NE(nullptr, sim::FindDialog(IDD_INSTALL));
    EXPECT_EQ(kFolder, InstallDir);
}

TEST_F(StartupTest, OwnPathThatCannotBeReadWholeEndsAtOnce) {
    // 260 characters do not fit the path buffer with its terminator: the
    // path would be cut short, and its folder could be another one.
    std::wstring longImage = L"C:\\" + std::wstring(249, L'p') + L"\\setup.exe";
    ASSERT_EQ(262u, longImage.size());
    sim::Process p = Run(longImage, L"/silence");
    EXPECT_TRUE(p.Ended);
    EXPECT_FALSE(p.Killed);
    EXPECT_EQ(0u, p.EndTime);
    EXPECT_STREQ(L"", InstallDir);
    EXPECT_EQ(0, sim::CallCount("SetupDiGetClassDevsW"));
    EXPECT_FALSE(sim::NamedObjectExists(L"SWIFTSETINSTALLERFORPRINTERDRIVER"));

    // A path that fits but does not split whole (its folder is one character
    // too long for the folder's buffer) would leave the folder empty: the
    // package's files would be looked for at the drive's root.
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    p = Run(L"C:\\" + std::wstring(254, L'p') + L"\\a", L"/quiet");
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, (DWORD)p.ExitCode);
    EXPECT_EQ(0u, p.EndTime);
    EXPECT_EQ(0, sim::CallCount("SetupDiGetClassDevsW"));

    sim::Reset();
    ResetProductGlobals();
    SetUp();
    sim::FailCall("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, -1);
    p = Run(kSetup, L"");
    EXPECT_EQ(0u, p.EndTime);
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));
    EXPECT_TRUE(Children().empty());
}

TEST_F(StartupTest, SecondCopyEndsAtOnceWhateverItsMode) {
    // The deployment modes say that they did not run, so that their tool
    // tries again; -u still wins over them.
    struct Case {
        const wchar_t *Tail;
        int ExitCode;
    } cases[] = {{L"", 0},           {L"/silence", 0},    {L"-u C:\\X\\", 0},
                 {L"/stage", 1618},  {L"/quiet", 1618},   {L"/remove /wait x", 1618},
                 {L"/stage -u C:\\X\\", 0}};
    for (const Case &c : cases) {
        const wchar_t *tail = c.Tail;
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        HoldGuards();
        sim::Process p = sim::RunProgram(kSetup, tail, 5000);
        EXPECT_TRUE(p.Ended);
        EXPECT_FALSE(p.Killed);
        EXPECT_EQ(c.ExitCode, p.ExitCode);
        EXPECT_EQ(0u, p.EndTime);
        EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));
        EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
        EXPECT_TRUE(Children().empty());
    }
}

TEST_F(StartupTest, LogOptionTakesTheNextTokenAndAFileThatDoesNotFitIsIgnored) {
    std::wstring fits = L"C:\\logs\\" + std::wstring(LOG_PATH_CCH - 9, L'f');  // 259 characters
    struct Case {
        std::wstring Tail;
        std::wstring Log;
        int Dialog = IDD_INSTALL;  // the window the run shows (0: none)
    } cases[] = {
        {L"/LOG C:\\a.log", L"C:\\a.log"},
        {L"/log \"C:\\my logs\\a.log\" /log C:\\b.log", L"C:\\b.log"},
        {L"/log C:\\a.log /log " + fits + L"f", L"C:\\a.log"},
        {L"/log " + fits, fits},
        {L"/log", L""},
        // An option is never taken for the file: /log is ignored, the option read.
        {L"/log -u C:\\X\\", L"", IDD_UNINSTALL},
        {L"/log /silence", L"", 0},
        {L"/LOG /Wait 5", L""},
        {L"/log /quiet /log C:\\a.log", L"C:\\a.log", 0},
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        Run(kSetup, c.Tail);
        std::string what(c.Tail.begin(), c.Tail.end());
        EXPECT_EQ(c.Log, LogFilePath) << what;
        // /log chooses no mode of its own.
        for (int dialog : {IDD_INSTALL, IDD_UNINSTALL})
            EXPECT_EQ(dialog == c.Dialog, sim::FindDialog(dialog) != nullptr) << what;
    }
}

TEST_F(StartupTest, RelaunchPassesTheLogFileOnUnlessItCannotBeQuoted) {
    struct Case {
        const wchar_t *Tail;
        const wchar_t *Passed;  // null: left out
    } cases[] = {
        {L"/log \"C:\\my logs\\setup.log\"", L"C:\\my logs\\setup.log"},
        {L"/log C:\\logs\\", nullptr},               // would escape its closing quote
        {L"/log \"C:\\a\\\"b.log\"", nullptr},  // holds a quote
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        Run(kUninstaller, c.Tail);
        std::vector<sim::Process> children = Children();
        ASSERT_EQ(1u, children.size());
        std::wstring image, tail;
        sim::SplitCommandLine(children[0].CommandLine, &image, &tail);
        std::vector<std::wstring> expected = {L"-u", kFolder};
        if (c.Passed != nullptr) {
            EXPECT_EQ(L"/log \"" + std::wstring(c.Passed) + L"\" -u \"" + kFolder, tail);
            expected.insert(expected.begin(), {L"/log", c.Passed});
        } else {
            EXPECT_EQ(L"-u \"" + kFolder, tail);
        }
        EXPECT_EQ(expected, Tokens(tail));
    }
}

TEST_F(StartupTest, SecondStartWhileTheFirstRunsEndsAtOnce) {
    sim::At(500, [] { sim::StartProgram(kSetup, L""); });
    sim::Process first = Run(kSetup, L"");
    EXPECT_EQ(0, first.ExitCode);
    auto all = sim::Processes();
    ASSERT_EQ(2u, all.size());
    EXPECT_TRUE(all[1].Ended);
    EXPECT_EQ(500u, all[1].EndTime);
    EXPECT_EQ(1u, sim::Dialogs(IDD_INSTALL).size());
    EXPECT_FALSE(sim::NamedObjectExists(L"SWIFTSETINSTALLERFORPRINTERDRIVER"));
}

// One copy in the whole machine, whoever started it in whichever session; a
// standard user can neither hold the guard nor keep the program from running.
TEST_F(StartupTest, OneCopyRunsInTheWholeMachine) {
    using sim::Account;
    struct Row {
        const char *What;
        std::function<void()> Before;
        const wchar_t *FirstTail;  // a copy started at 0 (null: none)
        Account FirstAccount;
        DWORD FirstSession;
        Account RunsAs;  // the copy started then (at 100 when there is a first)
        DWORD Session;
        const wchar_t *Tail;
        int ExitCode;
        bool EndsAtOnce;
    } rows[] = {
        {"a user's window in session 1, then a deployment in session 0", [] {}, L"", Account::Administrator, 1,
         Account::System, 0, L"/quiet /wait 1", 1618, true},
        {"a deployment in session 0, then a user's window in session 1", [] {}, L"/quiet /wait 3", Account::System, 0,
         Account::Administrator, 1, L"", 0, true},
        {"a standard user in session 1 takes the names first: the machine's guard, and the mutex in the global "
         "namespace",
         [] {
             sim::SetStartingAccount(Account::StandardUser, 1);
             EXPECT_FALSE(sim::HoldNamedMutex(L"Guard", L"CorvaneSetup", L"S-1-5-32-544"));
             EXPECT_TRUE(sim::HoldNamedMutex(L"Global\\SWIFTSETINSTALLERFORPRINTERDRIVER"));
         },
         nullptr, Account::System, 0, Account::System, 0, L"/quiet /wait 1", 1167, false},
        // A copy without the machine's guard would let a second one in.
        {"the machine's guard cannot be made (no memory)",
         [] { sim::FailCallAt("CreateBoundaryDescriptorW", 1, ERROR_NOT_ENOUGH_MEMORY); }, nullptr, Account::System, 0,
         Account::System, 0, L"/quiet /wait 1", ERROR_NOT_ENOUGH_MEMORY, true},
        {"the machine's guard refused (another account's)",
         [] { sim::FailCallAt("CreateMutexW", 1, ERROR_ACCESS_DENIED); }, nullptr, Account::System, 0, Account::System,
         0, L"/stage", 1618, true},
        {"no private namespaces (Wine), the session's mutex held",
         [] {
             sim::FailCall("CreateBoundaryDescriptorW", ERROR_CALL_NOT_IMPLEMENTED);
             sim::HoldNamedMutex(L"SWIFTSETINSTALLERFORPRINTERDRIVER");
         },
         nullptr, Account::System, 0, Account::Administrator, 1, L"/remove", 1618, true},
        {"no private namespaces, the session's mutex refused",
         [] {
             sim::FailCall("CreateBoundaryDescriptorW", ERROR_CALL_NOT_IMPLEMENTED);
             sim::FailCall("CreateMutexW", ERROR_ACCESS_DENIED);
         },
         nullptr, Account::System, 0, Account::Administrator, 1, L"/quiet", 1618, true},
    };
    for (const Row &row : rows) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        row.Before();
        auto startSecond = [&row] {
            sim::SetStartingAccount(row.RunsAs, row.Session);
            sim::StartProgram(kSetup, row.Tail);
        };
        uint64_t start = 0;
        if (row.FirstTail != nullptr) {
            sim::SetStartingAccount(row.FirstAccount, row.FirstSession);
            sim::StartProgram(kSetup, row.FirstTail);
            sim::At(start = 100, startSecond);
        } else {
            startSecond();
        }
        sim::At(1000, [] {
            if (HWND d = sim::FindDialog(IDD_INSTALL))
                sim::CloseDialog(d);
        });
        sim::Run(10000);
        const sim::Process &second = sim::Processes().back();
        EXPECT_EQ(start, second.StartTime) << row.What;
        EXPECT_EQ(row.ExitCode, second.ExitCode) << row.What;
        EXPECT_EQ(row.EndsAtOnce, second.EndTime == start) << row.What;
        EXPECT_EQ(row.FirstTail != nullptr && row.FirstTail[0] == 0, sim::FindDialog(IDD_INSTALL) != nullptr)
            << row.What;
    }
}

TEST_F(StartupTest, UninstallerRelaunchesFromATemporaryCopyWithAnOpenQuote) {
    sim::Process p = Run(kUninstaller, L"/silence");
    EXPECT_EQ(0, p.ExitCode);
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
    std::vector<sim::Process> children = Children();
    ASSERT_EQ(1u, children.size());

    std::wstring image, tail;
    sim::SplitCommandLine(children[0].CommandLine, &image, &tail);
    std::wstring temp = std::wstring(sim::files::kSystemTempDirectory) + L"\\";
    EXPECT_EQ(0u, image.find(temp)) << image;
    EXPECT_EQ(L"uni", image.substr(temp.size(), 3));
    EXPECT_EQ(L".tmp", image.substr(image.size() - 4));
    EXPECT_EQ(L"\"" + image + L"\" -u \"" + kFolder, children[0].CommandLine);
    EXPECT_EQ("program image", sim::files::ReadFile(image));

    // The child's own splitting gives exactly the option and the folder.
    EXPECT_EQ((std::vector<std::wstring>{L"-u", kFolder}), Tokens(tail));

    // The temporary copy is not named unins000: it shows the uninstall window.
    sim::Process child = Run(image, tail);
    EXPECT_EQ(0, child.ExitCode);
    EXPECT_NE(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_EQ(kFolder, InstallDir);
}

TEST_F(StartupTest, OnlyTheExactLowerCaseNameRelaunches) {
    for (const std::wstring &name : {std::wstring(L"unins000"), std::wstring(L"unins000.bin")}) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::files::WriteFile(kFolder + name, "program image");
        Run(kFolder + name, L"");
        EXPECT_EQ(1u, Children().size()) << std::string(name.begin(), name.end());
        EXPECT_EQ(nullptr, sim::FindDialog(IDD_INSTALL));
    }
    sim::Reset();
    ResetProductGlobals();
    SetUp();
    sim::files::WriteFile(kFolder + L"Unins000.exe", "program image");
    Run(kFolder + L"Unins000.exe", L"");
    EXPECT_TRUE(Children().empty());
    EXPECT_NE(nullptr, sim::FindDialog(IDD_INSTALL));
}

// A user who makes, beforehand, every folder the copy's folder could be named
// does not keep the uninstaller from starting.
TEST_F(StartupTest, UserFoldersMadeBeforehandDoNotStopTheRelaunch) {
    unsigned made = 0;
    for (unsigned n = 1; n <= 0xFFFF; n++) {
        wchar_t name[16];
        swprintf(name, 16, L"\\uni%X.tmp", n);
        made += sim::files::user::CreateFolder(sim::files::kSystemTempDirectory + std::wstring(name)) == 0;
    }
    ASSERT_EQ(0xFFFFu, made);
    Run(kUninstaller, L"");
    ASSERT_EQ(1u, Children().size());
    EXPECT_EQ("program image", sim::files::ReadFile(Children()[0].ImageFile));
}

// A user who can write the folder (their own Downloads) renames the
// uninstaller's file and puts another under its name: the copy started
// elevated is still the running program, or nothing starts.
TEST_F(StartupTest, RelaunchCopiesTheRunningProgramWhateverTakesItsName) {
    const std::wstring folder = std::wstring(sim::files::kProfileDirectory) + L"\\Downloads\\Corvane\\";
    const std::wstring uninstaller = folder + L"unins000.exe";
    struct Row {
        const char *What;
        const char *Moment;  // the call before which the user swaps the file
        DWORD Swap;          // what the swap met
        size_t Children;
    } rows[] = {
        {"swapped before start-up's first line", "GetModuleFileNameW", 0, 0},
        {"swapped while the copy is made", "CreateDirectoryW", ERROR_SHARING_VIOLATION, 1},
    };
    for (const Row &row : rows) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::files::WriteFile(uninstaller, "program image");
        DWORD swap = MAXDWORD;
        sim::OnCall(row.Moment, [&] {
            // Windows renames a running program's file unless a handle
            // denies delete sharing.
            if (swap == MAXDWORD && (swap = sim::files::user::Move(uninstaller, folder + L"renamed.exe")) == 0)
                swap = sim::files::user::WriteFile(uninstaller, "the user's program");
        });
        sim::Process p = Run(uninstaller, L"");
        EXPECT_EQ(0, p.ExitCode) << row.What;
        EXPECT_EQ(row.Swap, swap) << row.What;
        EXPECT_EQ(row.Children, Children().size()) << row.What;
        for (const sim::Process &child : Children())
            EXPECT_EQ("program image", sim::files::ReadFile(child.ImageFile)) << row.What;
    }
}

TEST_F(StartupTest, FailedRelaunchEndsQuietly) {
    sim::FailCall("GetTempFileNameW", ERROR_ACCESS_DENIED, -1);
    sim::FailCall("CopyFileW", ERROR_ACCESS_DENIED, -1);
    sim::FailCall("CreateProcessW", ERROR_ACCESS_DENIED, -1);
    sim::Process p = Run(kUninstaller, L"");
    EXPECT_EQ(0, p.ExitCode);
    EXPECT_TRUE(Children().empty());
    EXPECT_EQ(nullptr, sim::FindDialog(IDD_UNINSTALL));
}

}  // namespace
