// The program's command line.
//
//   -u FOLDER      the uninstall window on FOLDER
//   /silence       install without a window (searches until it has installed)
//   /stage         put the driver package into the driver store, and end
//   /quiet         unattended install with an exit code; /wait SECONDS bounds
//                  its search for a printer
//   /remove        unattended uninstall with an exit code
//   /requireprinter  /quiet without a recognised printer within the wait
//                  ends with 1167 instead of 0 (the package staged)
//   /norestart     accepted, and nothing more: the program never restarts
//                  the machine (deployment tools append it out of habit)
//   /log FILE      append the trace and the window texts to FILE
//
// Options are case-blind. -u and /log take the next token; a later one wins.
//
// The 64-bit build's private mode, which the 32-bit program starts for one
// Plug and Play call (install/pnp_handover.h), is a command line of its own:
// its option, case-sensitive, followed by exactly three arguments. Any other
// line that begins with that option is read like any other.
#pragma once

#include <windows.h>

#include "install/install_sequence.h"

// /quiet waits this long for a printer it knows, unless /wait says otherwise.
#define DEFAULT_WAIT_SECONDS 60
#define MAX_WAIT_SECONDS 86400
// How much of a token that means nothing is kept, for the log.
#define STRAY_TOKEN_CCH 128

typedef struct StartOptions {
    BOOL Uninstall;      // -u FOLDER: InstallDir holds the folder
    BOOL Silent;         // /silence
    BOOL Stage;          // /stage
    BOOL Quiet;          // /quiet
    BOOL Remove;         // /remove
    BOOL RequirePrinter; // /requireprinter
    DWORD WaitSeconds;   // /wait SECONDS, or DEFAULT_WAIT_SECONDS
    BOOL WaitMalformed;  // /wait without a whole number from 0 to MAX_WAIT_SECONDS
    WCHAR WaitText[STRAY_TOKEN_CCH];  // what the last /wait was given
    // The first token that means nothing: not an option, nor the argument of
    // one; an option without the argument it needs, or with one that does
    // not fit; in quotes. Empty when every token was read. A deployment mode
    // refuses it.
    WCHAR StrayToken[STRAY_TOKEN_CCH];
    // The private mode of the 64-bit build: its three arguments.
    BOOL PnpUpdate;
    WCHAR PnpHardwareId[REQUEST_TEXT_CCH];
    WCHAR PnpInfPath[REQUEST_TEXT_CCH];
    WCHAR PnpFlags[STRAY_TOKEN_CCH];
} StartOptions;

// Reads the command line wWinMain received. Sets InstallDir from -u and
// LogFilePath from /log as it goes; the log's path is made full from the
// current folder, with forward slashes read as backslashes. A folder or a
// file that does not fit its buffer is never cut short (a shortened path could
// name another folder, which the uninstaller would remove): such a -u or /log
// is ignored with its token. /log never takes one of the options as its file,
// and is ignored without one. A command line that cannot be split is read as
// one without options.
StartOptions ReadCommandLine(LPWSTR commandLine);

// Every option the program knows, as spelt here (case-blind on the command
// line), and how many there are.
extern const WCHAR *const OptionNames[];
extern const size_t OptionCount;

// How many run modes start-up chooses among (app/main.cpp, in their order of
// precedence).
extern const size_t RunModeCount;

// TRUE when one of the modes with an exit code for deployment tools is
// asked for (/remove, /stage, /quiet), which -u overrides.
BOOL IsDeploymentMode(const StartOptions *options);
