// Process-wide values shared by the installer and the uninstaller.
#pragma once

#include <windows.h>

// Capacities, in characters, of the shared texts.
#define INSTALL_DIR_CCH 260
#define INSTALL_TEXT_CCH 260

// The module instance handle; every LoadStringW and DialogBoxParamW uses it.
extern HINSTANCE ModuleInstance;

// The product folder: the running program's drive and directory (ending in a
// backslash), or the folder given after -u. Set once at start-up.
extern WCHAR InstallDir[INSTALL_DIR_CCH];

// InstallDir followed by the package INF's name; set by the install worker.
extern WCHAR InfPath[INSTALL_DIR_CCH];

// The run's staged copy of the package (common/staged_package.h), ending in a
// backslash as InstallDir does: what Windows gets the package's files from.
// Empty until the package is staged.
extern WCHAR PackageDir[INSTALL_DIR_CCH];

// The install worker's buffer for string-table templates.
extern WCHAR InstallText[INSTALL_TEXT_CCH];

// Set by start-up for the deployment modes (/quiet, /remove, /stage), where
// nobody can answer a question: the calls that could ask one ask Windows for
// none, and every wait is bounded.
extern BOOL UnattendedRun;

// Set once a file of this run waits for the next restart: a driver file in use
// that is replaced then, or a monitor DLL deleted then.
extern BOOL RestartNeeded;
// What waits for that restart, in words, for the log: the first cause noted.
#define RESTART_CAUSE_CCH 320
extern WCHAR RestartCause[RESTART_CAUSE_CCH];
// Sets RestartNeeded, and RestartCause to the text what followed by name
// when no cause was noted before.
void NoteRestartNeeded(const WCHAR *what, const WCHAR *name);
