// Creating the monitor, driver and queue through the spooler.
#pragma once

#include <windows.h>

#include "install/install_sequence.h"

int InstallPrinterManually(const InstallRequest *request);
int RegisterPrinterDriver(const InstallRequest *request);
// Brings the installed driver of request->DriverName to this build's version
// in place: its files put into the printer-driver directory from the staged
// package, as for a new driver, then AddPrinterDriverExW with
// APD_COPY_NEW_FILES, which lets the spooler take over what is newer while
// the queues that use the driver keep their names, ports, settings and jobs.
// 1 when the driver is then listed with this build's version; otherwise 0,
// with the error, and the installed version stays in use.
int UpgradePrinterDriver(const InstallRequest *request);
int InstallPrinterLanguageMonitor(const WCHAR *monitorName, const WCHAR *dllName);
int IsDriverInstalled(const WCHAR *driverName);
DWORDLONG ParseDriverVersion(void);
FILETIME ParseDriverDate(void);
