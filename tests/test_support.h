// Shared fixture: every test starts on a new, clean simulated machine.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/core.h"

// Clears the product's process-wide state, as a new process would have it.
void ResetProductGlobals();

// Runs one of the program's windows in a simulated process as start-up shows
// it: the instance handle and InstallDir set, the common controls registered,
// the modal dialog; then `after` (for example start-up's wait for an
// installation under way).
sim::Process RunProgramWindow(int templateId, DLGPROC procedure, const std::wstring &folder, uint64_t timeLimit,
                              const std::wstring &image = L"C:\\Program Files\\Corvane\\setup.exe",
                              const std::function<void()> &after = nullptr);

// Runs a process that the program created with CreateProcessW (which only
// records it) as it starts on Windows, with the product's globals of a new
// process, until it ends or the time limit; a process created suspended runs
// once the program has resumed it. atEnd runs as the process ends, with its
// globals (which never reach the test's).
sim::Process RunCreatedProcess(DWORD processId, uint64_t timeLimit, const std::function<void()> &atEnd = nullptr);

// The lines of the debugger output, without the empty piece after the last
// line feed.
std::vector<std::wstring> TraceLines();

// A line of a log file written by /log: its time stamp ("yyyy-mm-dd
// hh:mm:ss.mmm", checked for its shape) and its text.
struct LogLine {
    std::wstring Stamp;
    std::wstring Text;
    unsigned long ProcessId;
};
// The lines of a log file of the simulated machine, decoded from UTF-8; every
// line must end in CRLF and begin with its time and "[process id] ".
std::vector<LogLine> ReadLog(const std::wstring &path);
// Only the texts.
std::vector<std::wstring> LogTexts(const std::wstring &path);
// The texts without the first and last line of each run.
std::vector<std::wstring> LogBody(const std::wstring &path);

// Whether path is the run's staged copy of the package file `name` (relative
// to the package's folder): in a new folder of C:\Windows\Temp named for the
// program, which only Administrators and SYSTEM can change while it is there
// (a run deletes it at its end).
::testing::AssertionResult IsStagedCopy(const std::wstring &path, const std::wstring &name);

// The log line of a run that staged the package of installDir, for the
// package the last upload took.
std::wstring StagingLine(const std::wstring &installDir);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
