// The installed driver against the package's, and its upgrade in place.
//
// A driver in use cannot be deleted without its queues, and deleting a queue
// loses its jobs, its settings and whatever port a person gave it. So a
// newer package never goes through a removal: the spooler takes the new
// driver over the old one of the same name, and every queue that names the
// driver prints with the new one from then on.
#include "install/driver_upgrade.h"

#include <windows.h>
#include <winspool.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/protected_copy.h"
#include "common/staged_package.h"
#include "common/system_libraries.h"
#include "install/catalog.h"
#include "install/discovery.h"
#include "install/install_sequence.h"
#include "install/manual_install.h"

#define UPGRADE_LOG_CCH 512
// Plug and Play's update, as its queue, is looked for ten times a second
// apart (install/install_sequence.cpp).
#define PNP_UPDATE_TRIES 10
#define PNP_UPDATE_PAUSE_MS 1000

void FormatDriverVersion(DWORDLONG version, WCHAR *text, size_t capacity) {
    if (version == 0)
        StringCchCopyW(text, capacity, L"unknown");
    else
        StringCchPrintfW(text, capacity, L"%u.%u.%u.%u", (unsigned)(version >> 48) & 0xFFFF,
                         (unsigned)(version >> 32) & 0xFFFF, (unsigned)(version >> 16) & 0xFFFF,
                         (unsigned)version & 0xFFFF);
}

// The drivers of the machine's own environment, level 8, in a block the
// caller frees with LocalFree; NULL (and *count 0) when there are none or
// they cannot be listed, with *error then the failure's error (or
// ERROR_SUCCESS for none).
static DRIVER_INFO_8W *ListDrivers(DWORD *count, DWORD *error) {
    DWORD needed = 0;
    DRIVER_INFO_8W *drivers;

    *count = 0;
    *error = ERROR_SUCCESS;
    if (!Winspool.EnumPrinterDriversW(NULL, NativePrintEnvironment(), 8, NULL, 0, &needed, count) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        *error = GetLastError();
    *count = 0;
    if (needed == 0)
        return NULL;
    drivers = (DRIVER_INFO_8W *)LocalAlloc(LMEM_ZEROINIT, needed);
    if (drivers == NULL) {
        *error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    if (!Winspool.EnumPrinterDriversW(NULL, NativePrintEnvironment(), 8, (LPBYTE)drivers, needed, &needed, count)) {
        *error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
        *count = 0;
        LocalFree(drivers);
        return NULL;
    }
    return drivers;
}

static BOOL IsProductDriver(const DRIVER_INFO_8W *driver) {
    return driver->pName != NULL && driver->pDriverPath != NULL && wcsstr(driver->pDriverPath, DRIVER_DLL_NAME) != NULL;
}

// The version the spooler lists for the driver of that name, or 0 when it is
// not listed (or listed without one).
static DWORDLONG ListedVersion(const WCHAR *name) {
    DRIVER_INFO_8W *drivers;
    DWORDLONG version = 0;
    DWORD count;
    DWORD error;
    DWORD i;

    drivers = ListDrivers(&count, &error);
    for (i = 0; i < count; i++)
        if (drivers[i].pName != NULL && wcscmp(drivers[i].pName, name) == 0)
            version = drivers[i].dwlDriverVersion;
    if (drivers != NULL)
        LocalFree(drivers);
    return version;
}

int CompareInstalledDrivers(DWORD *error) {
    WCHAR line[UPGRADE_LOG_CCH];
    WCHAR installed[DRIVER_VERSION_TEXT_CCH];
    WCHAR package[DRIVER_VERSION_TEXT_CCH];
    DWORDLONG version = ParseDriverVersion();
    DRIVER_INFO_8W *drivers;
    DWORD count;
    DWORD i;
    int result = INSTALLED_NONE;

    FormatDriverVersion(version, package, DRIVER_VERSION_TEXT_CCH);
    drivers = ListDrivers(&count, error);
    for (i = 0; i < count; i++) {
        if (!IsProductDriver(&drivers[i]))
            continue;
        FormatDriverVersion(drivers[i].dwlDriverVersion, installed, DRIVER_VERSION_TEXT_CCH);
        StringCchPrintfW(line, UPGRADE_LOG_CCH, L"The installed driver %ws is version %ws; this package's is %ws.",
                         drivers[i].pName, installed, package);
        WriteLogLine(line);
        if (drivers[i].dwlDriverVersion > version)
            result = INSTALLED_NEWER;
        else if (drivers[i].dwlDriverVersion < version && result != INSTALLED_NEWER)
            result = INSTALLED_OLDER;
        else if (result == INSTALLED_NONE)
            result = INSTALLED_SAME;
    }
    if (drivers != NULL)
        LocalFree(drivers);
    if (result == INSTALLED_OLDER)
        WriteLogLine(L"The older driver is updated in place: its queues keep their names, ports, settings and jobs.");
    else if (result == INSTALLED_SAME)
        WriteLogLine(L"The installed driver is this package's version: nothing to update.");
    else if (result == INSTALLED_NEWER)
        WriteLogLine(L"A newer driver is installed: it is left alone, and this package is not staged.");
    return result;
}

// A printer of the driver's model plugged in, as the latest scan found it;
// NULL when there is none.
static const DeviceRecord *PrinterOfModel(const WCHAR *driverName) {
    const DeviceRecord *device;

    for (device = DiscoveredDevices; device != NULL; device = device->Next)
        if (IsOfModel(device->PortDescription, driverName))
            return device;
    return NULL;
}

// Plug and Play's road: the driver update for the plugged-in printer, and up
// to ten looks a second apart for the driver at this build's version.
static BOOL UpdateThroughPlugAndPlay(const InstallRequest *request, const WCHAR *stagedInf) {
    int tries;

    if (!UpdatePnpDriver(request, stagedInf))
        return FALSE;
    for (tries = 0; tries < PNP_UPDATE_TRIES; tries++) {
        if (ListedVersion(request->DriverName) >= ParseDriverVersion())
            return TRUE;
        Sleep(PNP_UPDATE_PAUSE_MS);
    }
    return FALSE;
}

// Brings one driver to this build's version; ERROR_SUCCESS or the error.
static DWORD UpgradeDriver(const DRIVER_INFO_8W *driver, const WCHAR *stagedInf) {
    WCHAR line[UPGRADE_LOG_CCH];
    WCHAR package[DRIVER_VERSION_TEXT_CCH];
    InstallRequest request;
    const CatalogEntry *entry;
    const DeviceRecord *printer;
    DWORD error;

    memset(&request, 0, sizeof(request));
    StringCchCopyW(request.DriverName, REQUEST_TEXT_CCH, driver->pName);
    StringCchCopyW(request.QueueName, REQUEST_TEXT_CCH, driver->pName);
    if (driver->pszHardwareID != NULL)
        StringCchCopyW(request.HardwareId, REQUEST_TEXT_CCH, driver->pszHardwareID);
    entry = MatchCatalogEntry(driver->pName);
    request.Options = entry != NULL ? entry->Options : (driver->pMonitorName != NULL ? MODEL_USES_LANGUAGE_MONITOR : 0);
    FormatDriverVersion(ParseDriverVersion(), package, DRIVER_VERSION_TEXT_CCH);

    // A driver that came from the store is updated from the store, through
    // a printer of its model that is plugged in.
    printer = PrinterOfModel(driver->pName);
    if (printer != NULL && driver->pszInfPath != NULL && PackageStaging.Uploaded && PackageStaging.Upload == S_OK) {
        StringCchCopyW(request.HardwareId, REQUEST_TEXT_CCH, printer->HardwareId);
        StringCchCopyW(request.PortName, REQUEST_TEXT_CCH, printer->PortName);
        if (UpdateThroughPlugAndPlay(&request, stagedInf)) {
            StringCchPrintfW(line, UPGRADE_LOG_CCH, L"The driver %ws is updated to %ws through Plug and Play.",
                             request.DriverName, package);
            WriteLogLine(line);
            return ERROR_SUCCESS;
        }
    }
    if (UpgradePrinterDriver(&request)) {
        StringCchPrintfW(line, UPGRADE_LOG_CCH, L"The driver %ws is updated to %ws by the spooler (AddPrinterDriverExW).",
                         request.DriverName, package);
        WriteLogLine(line);
        return ERROR_SUCCESS;
    }
    if ((error = GetLastError()) == ERROR_SUCCESS)
        error = ERROR_GEN_FAILURE;
    StringCchPrintfW(line, UPGRADE_LOG_CCH,
                     L"The driver %ws could not be updated: error %lu. Its queues keep printing with the version "
                     L"installed.",
                     request.DriverName, (unsigned long)error);
    WriteLogLine(line);
    return error;
}

DWORD UpgradeInstalledDrivers(void) {
    WCHAR stagedInf[PROTECTED_COPY_PATH_CCH];
    DWORDLONG version = ParseDriverVersion();
    DRIVER_INFO_8W *drivers;
    DWORD count;
    DWORD i;
    DWORD error;
    DWORD firstError = ERROR_SUCCESS;

    if (!StagedFilePath(stagedInf, PROTECTED_COPY_PATH_CCH, PACKAGE_INF_NAME))
        return ERROR_INSUFFICIENT_BUFFER;
    // The printers plugged in, for Plug and Play's road; a scan that fails
    // leaves the manual road to every driver.
    ScanUsbPrinters(&DiscoveredDevices);
    drivers = ListDrivers(&count, &error);
    if (drivers == NULL)
        return error;
    for (i = 0; i < count; i++) {
        if (!IsProductDriver(&drivers[i]) || drivers[i].dwlDriverVersion >= version)
            continue;
        error = UpgradeDriver(&drivers[i], stagedInf);
        if (firstError == ERROR_SUCCESS)
            firstError = error;
    }
    if (drivers != NULL)
        LocalFree(drivers);
    return firstError;
}
