#include "common/globals.h"

HINSTANCE ModuleInstance;
WCHAR InstallDir[INSTALL_DIR_CCH];
WCHAR InfPath[INSTALL_DIR_CCH];
WCHAR InstallText[INSTALL_TEXT_CCH];
BOOL RestartNeeded = FALSE;
