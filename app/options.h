// The program's command line.
//
//   -u FOLDER      the uninstall window on FOLDER
//   /silence       install without a window (searches until it has installed)
//   /stage         put the driver package into the driver store, and end
//   /quiet         unattended install with an exit code; /wait SECONDS bounds
//                  its search for a printer
//   /remove        unattended uninstall with an exit code
//   /log FILE      append the trace and the window texts to FILE
//
// Options are case-blind. -u and /log take the next token; a later one wins.
#pragma once

#include <windows.h>

// /quiet waits this long for a printer it knows, unless /wait says otherwise.
#define DEFAULT_WAIT_SECONDS 60
#define MAX_WAIT_SECONDS 86400

typedef struct StartOptions {
    BOOL Uninstall;      // -u FOLDER: InstallDir holds the folder
    BOOL Silent;         // /silence
    BOOL Stage;          // /stage
    BOOL Quiet;          // /quiet
    BOOL Remove;         // /remove
    DWORD WaitSeconds;   // /wait SECONDS, or DEFAULT_WAIT_SECONDS
    BOOL WaitMalformed;  // /wait without a whole number from 0 to MAX_WAIT_SECONDS
    DWORD Unreadable;    // the error of a command line that could not be split
} StartOptions;

// Reads the command line wWinMain received. Sets InstallDir from -u and
// LogFilePath from /log as it goes. A folder or a file that does not fit its
// buffer is never cut short (a shortened path could name another folder, which
// the uninstaller would remove): such a -u or /log is ignored with its token.
// /log never takes one of the options as its file, and is ignored without one.
// A command line that cannot be split leaves Unreadable set to the error.
StartOptions ReadCommandLine(LPWSTR commandLine);

// A whole number in decimal digits alone, at most maximum; FALSE for anything
// else (a sign, a blank, a fraction, an empty text, a larger number).
BOOL ReadWholeNumber(const WCHAR *text, DWORD maximum, DWORD *value);

// TRUE when one of the modes with an exit code for deployment tools is
// asked for (/remove, /stage, /quiet), which -u overrides.
BOOL IsDeploymentMode(const StartOptions *options);
