// Creating the monitor, driver and queue through the spooler.
#pragma once

#include <windows.h>

#include "install/install_sequence.h"

int InstallPrinterManually(const InstallRequest *request);
int RegisterPrinterDriver(const InstallRequest *request);
int InstallPrinterLanguageMonitor(const WCHAR *monitorName, const WCHAR *dllName);
int IsDriverInstalled(const WCHAR *driverName);
DWORDLONG ParseDriverVersion(void);
FILETIME ParseDriverDate(void);
