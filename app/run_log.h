// The lines that frame every run in the /log file: the first says what ran
// where and how, the last how it ended and why. Both go to the file alone,
// never to the debugger output.
#pragma once

#include <windows.h>

// The first line: the program's version and bitness, the command line, the
// mode chosen (NULL: the run ends before it chooses one), the machine's
// processor and Windows version, and whether a person can see its windows.
void LogRunStart(const WCHAR *commandLine, const WCHAR *mode);

// The last line: the exit code and its reason in words. deployment tells a
// deployment mode, whose 0 means done, from the others, which end with 0
// whatever happened.
void LogRunEnd(int exitCode, BOOL deployment);
