#include "common/globals.h"

#include <strsafe.h>

HINSTANCE ModuleInstance;
WCHAR InstallDir[INSTALL_DIR_CCH];
WCHAR InfPath[INSTALL_DIR_CCH];
WCHAR PackageDir[INSTALL_DIR_CCH];
WCHAR InstallText[INSTALL_TEXT_CCH];
BOOL RestartNeeded = FALSE;
BOOL UnattendedRun = FALSE;
WCHAR RestartCause[RESTART_CAUSE_CCH];

void NoteRestartNeeded(const WCHAR *what, const WCHAR *name) {
    if (!RestartNeeded)
        StringCchPrintfW(RestartCause, RESTART_CAUSE_CCH, L"%ws%ws", what, name);
    RestartNeeded = TRUE;
}
