// Start-up: the single running copy, the options and the choice of run mode,
// with the command lines of the two hand-overs.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "common/build_signer.h"
#include "common/globals.h"
#include "common/log_file.h"
#include "common/resource_ids.h"
#include "sim/core.h"
#include "sim/files.h"
#include "sim/trust.h"
#include "sim/windows.h"
#include "tests/install_fixture.h"
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
        sim::HoldNamedMutex(L"Guard", L"CorvaneSetup", L"S-1-5-32-544", L"S-1-16-12288");
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
        // As typed at a prompt in C:\Users\Setup\Documents: made full there,
        // either separator.
        {L"/log setup.log", L"C:\\Users\\Setup\\Documents\\setup.log"},
        {L"/log C:/Logs/setup.log", L"C:\\Logs\\setup.log"},
        {L"/log ..\\Logs/./setup.log", L"C:\\Users\\Setup\\Logs\\setup.log"},
        {L"/log \\Logs\\setup.log", L"C:\\Logs\\setup.log"},
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::SetStartingDirectory(L"C:\\Users\\Setup\\Documents");
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
        // The copy starts in System32: it gets the full path.
        {L"/log setup.log", L"C:\\Users\\Setup\\Downloads\\setup.log"},
    };
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::SetStartingDirectory(L"C:\\Users\\Setup\\Downloads");
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

// One copy in the whole machine, whoever started it in whichever session and
// whatever it is doing (a window open, the relaunch handing over, an
// installation still running after its window closed); a standard user can
// neither hold the guard nor keep the program from running. Without the
// machine's guard the session's mutex keeps a second copy out alone.
TEST_F(StartupTest, OneCopyRunsInTheWholeMachine) {
    using sim::Account;
    const std::wstring log = L"C:\\Windows\\Logs\\second.log";
    auto startFirst = [](const wchar_t *tail, Account account, DWORD session) {
        return [=] {
            sim::SetStartingAccount(account, session);
            sim::StartProgram(kSetup, tail);
        };
    };
    auto closeAt = [](uint64_t time, int dialog) {
        sim::At(time, [dialog] {
            HWND d = sim::FindDialog(dialog);
            if (d != nullptr && sim::IsDialogOpen(d))
                sim::CloseDialog(d);
        });
    };
    // The uninstaller's relaunch, whose copy starts 2 s late (another program
    // keeps the clock going meanwhile).
    auto relaunchSlowly = [&] {
        sim::StartInProcess([] { Sleep(3000); }, L"C:\\Windows\\explorer.exe");
        sim::OnProcessCreated([](const sim::Process &child) {
            sim::At(2000, [id = child.Id] {
                ResetProductGlobals();
                sim::StartCreatedProcess(id);
            });
        });
        sim::StartProgram(kUninstaller, L"");
        closeAt(6000, IDD_UNINSTALL);
    };
    // An installation that takes 2 s, its window closed after half a second.
    auto installing = [&] {
        install_fixture::ArrangeProgramInstall(L"Corvane LD-2040", true, false, kFolder);
        sim::StartProgram(kSetup, L"");
        closeAt(500, IDD_INSTALL);
    };
    auto holdSessionMutex = [](Account account) {
        return [account] {
            sim::SetStartingAccount(account, 1);
            EXPECT_TRUE(sim::HoldNamedMutex(L"SWIFTSETINSTALLERFORPRINTERDRIVER"));
        };
    };
    auto failing = [](const char *api, DWORD error, int times) {
        return [=] { sim::FailCall(api, error, times); };
    };
    struct Row {
        const char *What;
        std::function<void()> Before;  // the machine, and a first copy started at 0 if any
        uint64_t SecondAt;             // when the copy under test starts
        Account RunsAs;
        DWORD Session;
        const wchar_t *Tail;
        int ExitCode;
        bool EndsAtOnce;
        int Dialog;              // the one window at the end (0: none)
        const wchar_t *LogSays;  // a line of the second copy's log (null: no log)
    } rows[] = {
        {"a user's window in session 1, then a deployment in session 0", startFirst(L"", Account::Administrator, 1),
         100, Account::System, 0, L"/quiet /wait 1", 1618, true, IDD_INSTALL, nullptr},
        {"a deployment in session 0, then a user's window in session 1",
         startFirst(L"/quiet /wait 3", Account::System, 0), 100, Account::Administrator, 1, L"", 0, true, 0, nullptr},
        {"the uninstall window is open, then a window", startFirst(L"-u C:\\X\\", Account::Administrator, 1), 500,
         Account::Administrator, 1, L"", 0, true, IDD_UNINSTALL, nullptr},
        {"the uninstall window is open, then /quiet", startFirst(L"-u C:\\X\\", Account::Administrator, 1), 500,
         Account::Administrator, 1, L"/quiet", 1618, true, IDD_UNINSTALL, nullptr},
        {"the relaunch hands over, then a window", relaunchSlowly, 1000, Account::Administrator, 1, L"", 0, true,
         IDD_UNINSTALL, nullptr},
        {"the relaunch hands over, then /quiet", relaunchSlowly, 1000, Account::Administrator, 1, L"/quiet", 1618, true,
         IDD_UNINSTALL, nullptr},
        {"the install window closed, its installation runs, then a window", installing, 1000, Account::Administrator,
         1, L"", 0, true, IDD_INSTALL, nullptr},
        {"the install window closed, its installation runs, then /quiet", installing, 1000, Account::Administrator, 1,
         L"/quiet", 1618, true, IDD_INSTALL, nullptr},
        {"an administrator's process holds the session's mutex", holdSessionMutex(Account::Administrator), 0,
         Account::Administrator, 1, L"/quiet /wait 1", 1618, true, 0, nullptr},
        {"another copy's machine guard alone, in another session", [] {
             EXPECT_TRUE(sim::HoldNamedMutex(L"Guard", L"CorvaneSetup", L"S-1-5-32-544", L"S-1-16-12288"));
         },
         0, Account::System, 0, L"/quiet /wait 1", 1618, true, 0, nullptr},
        // The user's own: the mutex of an earlier copy run unelevated.
        {"the same user's unelevated process holds the session's mutex", holdSessionMutex(Account::StandardUser), 0,
         Account::Administrator, 1, L"/quiet /wait 1", 1618, true, 0, nullptr},
        {"a standard user in session 1 takes the names first: the machine's guard, and the mutex in the global "
         "namespace",
         [] {
             sim::SetStartingAccount(Account::StandardUser, 1);
             EXPECT_FALSE(sim::HoldNamedMutex(L"Guard", L"CorvaneSetup", L"S-1-5-32-544", L"S-1-16-12288"));
             EXPECT_TRUE(sim::HoldNamedMutex(L"Global\\SWIFTSETINSTALLERFORPRINTERDRIVER"));
         },
         0, Account::System, 0, L"/quiet /wait 1", 0, false, 0,
         L"The mutex SWIFTSETINSTALLERFORPRINTERDRIVER exists, but neither Administrators, SYSTEM nor this account "
         L"owns it"},
        // The session's mutex still keeps a second copy out.
        {"the machine's guard cannot be made (no memory)", failing("CreateBoundaryDescriptorW", ERROR_NOT_ENOUGH_MEMORY, 1),
         0, Account::System, 0, L"/quiet /wait 1", 0, false, 0,
         L"The machine's single-instance guard cannot be made (error 8 (Not enough memory resources are available to "
         L"process this command.)): the mutex SWIFTSETINSTALLERFORPRINTERDRIVER "
         L"of this session alone keeps a second copy out."},
        {"the machine's guard cannot be made in either copy", [&] {
             sim::FailCall("CreateBoundaryDescriptorW", ERROR_NOT_ENOUGH_MEMORY, -1);
             startFirst(L"/quiet /wait 3", Account::System, 0)();
         },
         100, Account::System, 0, L"/quiet /wait 1", 1618, true, 0, nullptr},
        {"the machine's guard refused (another account's)", failing("CreateMutexW", ERROR_ACCESS_DENIED, 1), 0,
         Account::System, 0, L"/stage", 1618, true, 0, nullptr},
        // A standard user where UAC is off, or a manifest overridden.
        {"the program run unelevated", nullptr, 0, Account::StandardUser, 1, L"", 0, false, IDD_INSTALL, nullptr},
        {"no private namespaces (Wine), the session's mutex held",
         [] {
             sim::FailCall("CreateBoundaryDescriptorW", ERROR_CALL_NOT_IMPLEMENTED);
             sim::HoldNamedMutex(L"SWIFTSETINSTALLERFORPRINTERDRIVER");
         },
         0, Account::Administrator, 1, L"/remove", 1618, true, 0, nullptr},
        {"no private namespaces, the session's mutex refused",
         [] {
             sim::FailCall("CreateBoundaryDescriptorW", ERROR_CALL_NOT_IMPLEMENTED);
             sim::FailCall("CreateMutexW", ERROR_ACCESS_DENIED);
         },
         0, Account::Administrator, 1, L"/quiet", 1618, true, 0, nullptr},
    };
    for (const Row &row : rows) {
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        sim::files::LayOutInstallFolder(kFolder);
        if (row.Before)
            row.Before();
        DWORD second = 0;
        std::wstring tail = row.Tail;
        if (row.LogSays != nullptr)
            tail += L" /log " + log;
        auto startSecond = [&] {
            sim::SetStartingAccount(row.RunsAs, row.Session);
            second = sim::StartProgram(kSetup, tail);
        };
        if (row.SecondAt == 0)
            startSecond();
        else
            sim::At(row.SecondAt, startSecond);
        closeAt(1000, IDD_INSTALL);
        sim::Run(10000);
        const sim::Process *p = nullptr;
        for (const sim::Process &process : sim::Processes())
            p = process.Id == second ? &process : p;
        if (p == nullptr) {
            ADD_FAILURE() << row.What << ": the copy was never started";
            continue;
        }
        EXPECT_EQ(row.ExitCode, p->ExitCode) << row.What;
        EXPECT_EQ(row.EndsAtOnce, p->EndTime == row.SecondAt) << row.What;
        EXPECT_EQ(row.Dialog == IDD_INSTALL ? 1u : 0u, sim::Dialogs(IDD_INSTALL).size()) << row.What;
        EXPECT_EQ(row.Dialog == IDD_UNINSTALL ? 1u : 0u, sim::Dialogs(IDD_UNINSTALL).size()) << row.What;
        if (row.LogSays == nullptr)
            continue;
        bool said = false;
        for (const std::wstring &line : LogTexts(log))
            said = said || line.find(row.LogSays) != std::wstring::npos;
        EXPECT_TRUE(said) << row.What;
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
    EXPECT_EQ(0u, image.find(temp + L"CorvaneSetup.")) << image;
    EXPECT_EQ(L"\\uni", image.substr(image.rfind(L'\\'), 4));
    EXPECT_EQ(L".tmp", image.substr(image.size() - 4));
    EXPECT_EQ(L"\"" + image + L"\" -u \"" + kFolder, children[0].CommandLine);
    EXPECT_EQ("program image", sim::files::ReadFile(image));

    // The child's own splitting gives exactly the option and the folder.
    EXPECT_EQ((std::vector<std::wstring>{L"-u", kFolder}), Tokens(tail));

    // The temporary copy is not named unins000: it shows the uninstall window.
    sim::At(sim::Now() + 1000, [] { sim::CloseDialog(sim::FindDialog(IDD_UNINSTALL)); });
    std::wstring folder;
    sim::Process child = RunCreatedProcess(children[0].Id, sim::Now() + 5000, [&] { folder = InstallDir; });
    EXPECT_EQ(0, child.ExitCode);
    EXPECT_NE(nullptr, sim::FindDialog(IDD_UNINSTALL));
    EXPECT_EQ(kFolder, folder);
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

// A signed build starts its copy only when the copy carries a valid
// signature of the build's own certificate; the copy is read from the
// program's file, whose bytes a writable view mapped before the run could
// change (played here by writing the file behind the program's hold, once
// the copy's folder is being named). An unsigned build starts it unchecked.
TEST_F(StartupTest, RelaunchStartsACopyOnlyWithTheBuildsOwnValidSignature) {
    const std::string image = "program image";
    const std::string signedImage = sim::trust::Signed(image, L"Corvane");
    std::string changed = signedImage;
    changed[3] = 'X';
    const std::vector<unsigned char> corvane = sim::trust::CertificateSha256(L"Corvane");
    const std::wstring log = L"C:\\logs\\setup.log";
    struct Row {
        const char *What;
        bool SignedBuild;
        std::string File;           // the program's file at start-up
        const std::string *Change;  // what it holds once the copy is made, if it changes
        size_t Children;
        const char *LogLine;
    } rows[] = {
        {"signed and intact", true, signedImage, nullptr, 1, nullptr},
        {"signed, the copy's bytes changed", true, signedImage, &changed, 0,
         "carries no valid signature (WinVerifyTrust 0x80096010)"},
        {"signed by another signer", true, sim::trust::Signed(image, L"Someone else"), nullptr, 0,
         "its signature is valid, but not made with the certificate this build is signed with"},
        {"a signed build whose file lost its signature", true, image, nullptr, 0,
         "carries no valid signature (WinVerifyTrust 0x800B0100)"},
        {"unsigned", false, image, nullptr, 1, "This build is not signed: the copy C:\\Windows\\Temp\\"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.What);
        sim::Reset();
        ResetProductGlobals();
        SetUp();
        BuildSigner = row.SignedBuild ? corvane.data() : nullptr;
        sim::files::CreateFolder(L"C:\\logs");
        sim::files::WriteFile(kUninstaller, row.File);
        if (row.Change != nullptr)
            sim::OnCall("CryptGenRandom", [&row] { sim::files::WriteFile(kUninstaller, *row.Change); });
        Run(kUninstaller, L"/log " + log);
        BuildSigner = nullptr;
        EXPECT_EQ(row.Children, Children().size());
        std::string written = sim::files::ReadFile(log);
        if (row.LogLine != nullptr) {
            EXPECT_NE(std::string::npos, written.find(row.LogLine)) << written;
        }
        if (row.Children == 1 && Children().size() == 1) {
            EXPECT_EQ(row.File, sim::files::ReadFile(Children()[0].ImageFile));
            EXPECT_EQ(row.SignedBuild, written.find("not checked") == std::string::npos) << written;
        }
    }
}

// A user who makes, beforehand, the very folder the program will name for the
// copy does not keep the uninstaller from starting, nor gets the copy: the
// program never takes a folder that exists.
TEST_F(StartupTest, UserFoldersMadeBeforehandDoNotStopTheRelaunch) {
    // The folder the program will name next: the next 8 random bytes.
    std::vector<BYTE> bytes = sim::PeekRandom(8);
    wchar_t name[40];
    swprintf(name, 40, L"\\CorvaneSetup.%02X%02X%02X%02X%02X%02X%02X%02X", bytes[3], bytes[2], bytes[1], bytes[0],
             bytes[7], bytes[6], bytes[5], bytes[4]);
    const std::wstring made = sim::files::kSystemTempDirectory + std::wstring(name);
    ASSERT_EQ(0u, sim::files::user::CreateFolder(made));
    Run(kUninstaller, L"");
    ASSERT_EQ(1u, Children().size());
    EXPECT_EQ("program image", sim::files::ReadFile(Children()[0].ImageFile));
    // Another folder, the administrators' alone; the user's stays empty.
    EXPECT_NE(0u, Children()[0].ImageFile.find(made));
    EXPECT_FALSE(sim::files::UserCanWrite(Children()[0].ImageFile));
    EXPECT_EQ(std::vector<std::wstring>(), sim::files::ListFolder(made));
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
        bool SecondName = false;  // a hard link made to the file instead
    } rows[] = {
        {"swapped before start-up's first line", "GetModuleFileNameW", 0, 0},
        {"swapped while the copy is made", "CreateDirectoryW", ERROR_SHARING_VIOLATION, 1},
        {"a second name given to it before start-up's first line", "GetModuleFileNameW", 0, 0, true},
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
            if (swap == MAXDWORD && row.SecondName)
                swap = sim::files::user::MakeHardLink(folder + L"other.exe", uninstaller);
            else if (swap == MAXDWORD && (swap = sim::files::user::Move(uninstaller, folder + L"renamed.exe")) == 0)
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
