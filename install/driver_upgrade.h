// The installed driver against the package's: compared, and brought to the
// package's version in place, for the deployment modes.
#pragma once

#include <windows.h>

#define DRIVER_VERSION_TEXT_CCH 32

// A driver version as the log shows it: "2025.7.16.1"; "unknown" for 0, the
// version of a spooler that keeps none.
void FormatDriverVersion(DWORDLONG version, WCHAR *text, size_t capacity);

// Compares each of the product's drivers installed for the machine's own
// environment (those whose driver file is the product's DLL) with this
// build's driver version, logs one line for each and one for what follows,
// and returns INSTALLED_* (install/install_sequence.h). A driver listed
// without a version counts as older. *error is ERROR_SUCCESS, or why the
// drivers could not be listed: then nothing can be told.
int CompareInstalledDrivers(DWORD *error);

// Brings every product driver older than this build's to this build's
// version, in place, from the run's staged package: through Plug and Play's
// driver update for a printer of its model that is plugged in, where the
// package is in the driver store and the driver came from it; otherwise, or
// when that did not update it within ten seconds, as the manual road
// installs a driver (UpgradePrinterDriver). No queue is deleted, and no job
// purged. Each driver is tried; ERROR_SUCCESS, or the first failure's error,
// and then the drivers not updated keep working at their version. The log
// says what became of each.
DWORD UpgradeInstalledDrivers(void);
