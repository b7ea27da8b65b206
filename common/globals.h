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

// The install worker's buffer for string-table templates.
extern WCHAR InstallText[INSTALL_TEXT_CCH];

// Set once a file of this run waits for the next restart: a driver file in use
// that is replaced then, or a monitor DLL deleted then.
extern BOOL RestartNeeded;
