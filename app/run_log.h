// The lines that frame every run in the /log file: the first says what ran
// where and how, the last how it ended and why. Both go to the file alone,
// never to the debugger output.
#pragma once

#include <windows.h>

// The first line: the program's version and bitness, the command line, the
// mode chosen (NULL: the run ends before it chooses one), the machine's
// processor and Windows version, and whether a person can see its windows.
void LogRunStart(const WCHAR *commandLine, const WCHAR *mode);

// What the run came to, in words, for the last line: set by the mode as it
// ends (or by start-up, for a run that ends before its mode), from what it
// did, never from the exit code's number, which a failed step may share
// with a documented ending. The text is copied; the latest one set counts.
#define RUN_OUTCOME_CCH 400
extern WCHAR RunOutcome[RUN_OUTCOME_CCH];
void SetRunOutcome(const WCHAR *reason);

// The last line: the exit code and RunOutcome. Without one, deployment tells
// a deployment mode, whose 0 means done and whose other codes mean a failure
// the lines above name, from the others, which end with 0 whatever happened.
void LogRunEnd(int exitCode, BOOL deployment);
