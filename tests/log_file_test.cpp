// The log file of /log FILE: its lines (local time, UTF-8, CRLF, appended),
// the trace and the outcome of a silent run in it, a file that cannot be
// written changing nothing else, and the install window's texts logged once
// each, the same in the silent install.
#include <windows.h>
#include <strsafe.h>

#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/resource_ids.h"
#include "common/trace.h"
#include "install/install_window.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/test_support.h"

namespace {

const wchar_t kFolder[] = L"C:\\Program Files\\Corvane\\";
const wchar_t kSetup[] = L"C:\\Program Files\\Corvane\\setup.exe";
const wchar_t kLog[] = L"C:\\Windows\\Logs\\corvane.log";
const wchar_t kSearching[] = L"Searching for printer devices, please wait...";
// String 101 with its line break joined into a blank.
const wchar_t kNotFound[] =
    L"Device not found, Please power on printer and  connect to computer for auto-install (recommended), Click "
    L"\"Wizard\" for custom setup or Cancel\" to quit.";
const wchar_t kFound[] = L"Found the printer Corvane LD-2040, installing the driver...";
const wchar_t kInstalled[] = L"The driver for printer [Corvane LD-2040] is installed.";
// A line an earlier run left in the file.
const char kEarlierLine[] = "2025-03-06 17:00:00.000 [4711] an earlier run\r\n";

class LogFileTest : public SimTest {
protected:
    static void SetLogFile(const std::wstring &path) {
        StringCchCopyW(LogFilePath, LOG_PATH_CCH, path.c_str());
        OpenLogFile();
    }

};

TEST_F(LogFileTest, LinesAreStampedWithTheLocalTimeAndAppendedInUtf8WithCrLf) {
    sim::files::WriteFile(kLog, kEarlierLine);
    SetLogFile(kLog);
    Sleep(3723004);  // 1 h 2 min 3.004 s after 08:00
    SetLastError(1234);
    WriteLogLine(L"Found the printer Corvane LD-2040, installing the driver...\r\n");
    WriteLogLine(L"one\nline\r\n\r\nat last");
    WriteLogLine(L"Gr\u00f6\u00dfe \u6253\u5370\u673a");

    const std::string stamp = "2025-03-07 09:02:03.004 [" + std::to_string(GetCurrentProcessId()) + "] ";
    EXPECT_EQ(std::string(kEarlierLine) + stamp + "Found the printer Corvane LD-2040, installing the driver...\r\n" +
                  stamp + "one line at last\r\n" + stamp +
                  "Gr\xc3\xb6\xc3\x9f" "e \xe6\x89\x93\xe5\x8d\xb0\xe6\x9c\xba\r\n",
              sim::files::ReadFile(kLog));
    // The folders from the drive's root down and the file are opened once,
    // for the run; the caller's last error survives.
    EXPECT_EQ(4, sim::CallCount("CreateFileW"));
    CloseLogFile();
    EXPECT_EQ(0, sim::files::OpenFileHandles());
    EXPECT_EQ(1234u, GetLastError());
}

// setup.exe /silence with one printer, which goes through the driver-store
// upload, the ten-second wait and the manual installation: a log file that
// can be written gets the window's texts and every trace line, one that
// cannot changes nothing about the run.
TEST_F(LogFileTest, SilentRunLogsItsTraceAndOutcomeAndAnUnwritableLogChangesNothing) {
    struct Case {
        const wchar_t *Options;
        const char *Before;  // the file's content before the run; null: none
        bool Locked;         // held open by another program without write sharing
    } cases[] = {
        {L"/silence", nullptr, false},
        {L"/silence /LOG C:\\Windows\\Logs\\corvane.log", kEarlierLine, false},
        {L"/log C:\\Windows\\Logs\\corvane.log /silence", kEarlierLine, true},
        {L"/silence /log C:\\no\\such\\folder\\corvane.log", nullptr, false},
    };
    sim::Process unlogged;
    std::vector<std::wstring> trace;
    for (const Case &c : cases) {
        sim::Reset();
        ResetProductGlobals();
        sim::files::LayOutInstallFolder(kFolder);
        sim::files::WriteFile(kSetup, "program image");
        sim::PlugUsbPrinter(L"CorvaneLD-2040", 1);
        sim::AddPort(L"USB001");
        if (c.Before != nullptr)
            sim::files::WriteFile(kLog, c.Before);
        if (c.Locked)
            sim::files::Lock(kLog);

        sim::Process p = sim::RunProgram(kSetup, c.Options);
        std::string what(c.Options, c.Options + wcslen(c.Options));
        ASSERT_TRUE(p.Ended) << what;
        ASSERT_FALSE(p.Killed) << what;
        ASSERT_NE(nullptr, sim::FindQueue(L"Corvane LD-2040")) << what;
        if (&c == &cases[0]) {
            unlogged = p;
            trace = TraceLines();
            ASSERT_LE(2u, trace.size());
            continue;
        }
        EXPECT_EQ(unlogged.ExitCode, p.ExitCode) << what;
        EXPECT_EQ(unlogged.EndTime, p.EndTime) << what;
        EXPECT_EQ(trace, TraceLines()) << what;
        EXPECT_EQ(0, sim::files::OpenFileHandles()) << what;

        if (c.Locked) {
            EXPECT_EQ(c.Before, sim::files::ReadFile(kLog));
        } else if (c.Before != nullptr) {
            std::vector<std::wstring> expected = {L"an earlier run", kSearching, kFound, StagingLine(kFolder)};
            // The log says more than the trace: the system's words for an
            // error number, and the Plug and Play road's steps after the
            // upload.
            for (std::wstring line : trace) {
                size_t at = line.find(L"errcode:2.");
                if (at != std::wstring::npos)
                    line.replace(at, 10, L"errcode:2 (The system cannot find the file specified.).");
                expected.push_back(line);
                if (line.find(L"DoUploadDriverPackage") == 0) {
                    expected.push_back(L"Plug and Play's driver update for usbprint\\corvaneld-2040369d (USB001) "
                                       L"failed: error 0xE000020B. The queue may still come from Plug and Play; the "
                                       L"wait for it follows.");
                    expected.push_back(L"No queue for the printer on USB001 after 10 s of waiting for Plug and Play: "
                                       L"the driver and the queue Corvane LD-2040 are made by hand.");
                }
            }
            expected.push_back(kInstalled);
            EXPECT_EQ(expected, LogBody(kLog));
            EXPECT_EQ(L"2025-03-07 08:00:00.000", ReadLog(kLog).at(1).Stamp);
        } else {
            EXPECT_FALSE(sim::files::Exists(L"C:\\no"));
        }
    }
}

// The texts the install window shows go to the log once each, however often
// the window repeats them; the silent install logs exactly the same.
TEST_F(LogFileTest, WindowTextsAreLoggedOnceEachAndTheSilentInstallLogsTheSame) {
    for (bool silent : {false, true}) {
        sim::Reset();
        ResetProductGlobals();
        SetLogFile(kLog);
        // Plugged in during the third second; its queue exists already.
        sim::At(2500, [] {
            sim::PlugUsbPrinter(L"Corvane LD-2040", 1, L"SN1");
            sim::PrintQueue queue;
            queue.pPrinterName = L"Corvane LD-2040";
            queue.pPortName = L"USB001";
            queue.pDriverName = L"Corvane LD-2040";
            sim::AddQueue(queue);
        });
        if (silent) {
            sim::RunInProcess([] {
                StringCchCopyW(InstallDir, INSTALL_DIR_CCH, kFolder);
                InstallWorker(NULL);
            });
        } else {
            sim::At(5000, [] { sim::CloseDialog(sim::FindDialog(IDD_INSTALL)); });
            RunProgramWindow(IDD_INSTALL, InstallDlgProc, kFolder, 60000, kSetup, WaitForInstallToFinish);
            HWND w = sim::FindDialog(IDD_INSTALL);
            // What the status line showed: "Device not found" after each of
            // three passes.
            std::vector<std::wstring> history = sim::TextHistory(w, IDC_STATUS);
            ASSERT_EQ(6u, history.size());
            EXPECT_EQ(history[1], history[2]);
            EXPECT_EQ(history[1], history[3]);
        }

        std::vector<LogLine> log = ReadLog(kLog);
        ASSERT_EQ(4u, log.size()) << (silent ? "silent" : "window");
        EXPECT_EQ(kSearching, log[0].Text);
        EXPECT_EQ(kNotFound, log[1].Text);
        EXPECT_EQ(kFound, log[2].Text);
        EXPECT_EQ(kInstalled, log[3].Text);
        EXPECT_EQ(L"2025-03-07 08:00:00.000", log[1].Stamp);
        EXPECT_EQ(L"2025-03-07 08:00:03.000", log[2].Stamp);
    }
}


// A user who can plant something where the log goes, or on its way, gets
// nothing written through it: the run goes on as without a log. A new log is
// the administrators' own, which users may read at most.
TEST_F(LogFileTest, LogGoesOnlyToTheFileTheAdministratorNamed) {
    namespace user = sim::files::user;
    const std::wstring temp = sim::files::kSystemTempDirectory;
    const std::wstring winIni = L"C:\\Windows\\win.ini";
    struct Row {
        const char *What;
        std::wstring Log;
        std::function<void()> Plant;
        std::wstring Watched;  // a file that must stay as it was ("" : must not exist)
        const char *Content;
        std::wstring Typed = L"";  // the log as the command line names it, from C:\Windows ("": Log)
    } rows[] = {
        // A standard user cannot make a symbolic link to a file; one who
        // holds the privilege (or an earlier administrator's) still steers
        // nothing.
        {"a symbolic link as the log", temp + L"\\corvane.log",
         [&] { sim::files::MakeLink(temp + L"\\corvane.log", winIni, false); }, winIni, "[fonts]\r\n"},
        {"a hard link as the log", temp + L"\\corvane.log",
         [&] { EXPECT_EQ(0u, user::MakeHardLink(temp + L"\\corvane.log", winIni)); }, temp + L"\\corvane.log",
         "[fonts]\r\n"},
        {"a junction as the log's folder", L"C:\\ProgramData\\Corvane\\setup.log",
         [] { EXPECT_EQ(0u, user::MakeLink(L"C:\\ProgramData\\Corvane", L"C:\\Windows\\System32", true)); },
         L"C:\\Windows\\System32\\setup.log", nullptr},
        {"a log a user made first", temp + L"\\corvane.log",
         [&] { EXPECT_EQ(0u, user::WriteFile(temp + L"\\corvane.log", "the user's\r\n")); },
         temp + L"\\corvane.log", "the user's\r\n"},
        {"a junction above the log's folder", L"C:\\ProgramData\\Corvane\\Logs\\setup.log",
         [] { EXPECT_EQ(0u, user::MakeLink(L"C:\\ProgramData\\Corvane", L"C:\\Windows", true)); },
         L"C:\\Windows\\Logs\\setup.log", nullptr},
        {"an existing log that users may write", L"C:\\Windows\\Logs\\setup.log",
         [] {
             sim::files::WriteFile(L"C:\\Windows\\Logs\\setup.log", "an earlier run\r\n");
             sim::files::SetSecurity(L"C:\\Windows\\Logs\\setup.log",
                                     L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;BU)");
         },
         L"C:\\Windows\\Logs\\setup.log", "an earlier run\r\n"},
        {"a new log", L"C:\\Logs\\setup.log", [] { sim::files::CreateFolder(L"C:\\Logs"); }, L"", nullptr},
        // As typed at a prompt: a bare name in the current folder, forward slashes.
        {"a new log named alone", L"C:\\Windows\\Logs\\setup.log", [] {}, L"", nullptr, L"Logs\\setup.log"},
        {"a new log with forward slashes", L"C:\\Windows\\Logs\\setup.log", [] {}, L"", nullptr,
         L"C:/Windows/Logs/setup.log"},
    };
    for (const Row &row : rows) {
        sim::Reset();
        ResetProductGlobals();
        sim::files::LayOutInstallFolder(kFolder);
        sim::files::WriteFile(kSetup, "program image");
        sim::files::WriteFile(winIni, "[fonts]\r\n");
        sim::files::CreateFolder(L"C:\\ProgramData");
        row.Plant();
        sim::SetStartingAccount(sim::Account::System, 0);  // a deployment tool
        sim::SetStartingDirectory(L"C:\\Windows");
        sim::Process p = sim::RunProgram(kSetup, L"/stage /log \"" + (row.Typed.empty() ? row.Log : row.Typed) + L"\"");
        EXPECT_EQ(0, p.ExitCode) << row.What;
        if (row.Content != nullptr)
            EXPECT_EQ(row.Content, sim::files::ReadFile(row.Watched)) << row.What;
        else if (!row.Watched.empty())
            EXPECT_FALSE(sim::files::Exists(row.Watched)) << row.What;
        else
            EXPECT_FALSE(ReadLog(row.Log).empty() || sim::files::UserCanWrite(row.Log)) << row.What;
    }
}

}  // namespace

// An error number the log names carries the system's words for it; a number
// explained already, 0, or one without a message stays as it is, and a line
// with no room for the words is written without them rather than dropped.
TEST_F(LogFileTest, ErrorNumbersCarryTheSystemsWords) {
    const std::wstring longLine = L"AddPrinter failed, errcode:5." + std::wstring(985, L'x');
    const struct {
        std::wstring Text, Logged;
    } rows[] = {
        {L"AddPrinter failed, errcode:5.", L"AddPrinter failed, errcode:5 (Access is denied.)."},
        {L"Failed. Error:87", L"Failed. Error:87 (The parameter is incorrect.)"},
        {L"Die Installation ist fehlgeschlagen, Fehlercode: 1167.",
         L"Die Installation ist fehlgeschlagen, Fehlercode: 1167 (The device is not connected.)."},
        {L"the guard: error 2, then code 3", L"the guard: error 2 (The system cannot find the file specified.), then "
                                             L"code 3 (The system cannot find the path specified.)"},
        {L"DoUploadDriverPackage, , code:-2147024894.",
         L"DoUploadDriverPackage, , code:-2147024894 (The system cannot find the file specified.)."},
        {L"not as built (code 0x80096010)", L"not as built (code 0x80096010 (The digital signature of the object did "
                                            L"not verify.))"},
        {L"CopyFile ..., 1, errcode:0.", L"CopyFile ..., 1, errcode:0."},
        {L"Ends with exit code 87 (0x00000057): done.", L"Ends with exit code 87 (0x00000057): done."},
        {L"error 4294967295 and 12 printers", L"error 4294967295 and 12 printers"},
        {longLine, longLine},
    };
    SetLogFile(kLog);
    for (const auto &row : rows)
        WriteLogLine(row.Text.c_str());
    std::vector<std::wstring> logged = LogTexts(kLog);
    ASSERT_EQ(std::size(rows), logged.size());
    for (size_t i = 0; i < logged.size(); i++)
        EXPECT_EQ(rows[i].Logged, logged[i]);
    // The debugger output is the trace's alone: a traced error keeps its
    // number bare there.
    Trace("AddPrinter failed, errcode:%d.", 5);
    EXPECT_EQ(L"AddPrinter failed, errcode:5.", TraceLines().back());
    EXPECT_EQ(L"AddPrinter failed, errcode:5 (Access is denied.).", LogTexts(kLog).back());
}
