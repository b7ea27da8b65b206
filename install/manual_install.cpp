// Creating the monitor, the printer driver and the print queue through the
// spooler, when Plug and Play did not produce the queue.
#include "install/manual_install.h"

#include <windows.h>
#include <winspool.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/system_libraries.h"
#include "common/trace.h"
#include "install/catalog.h"
#include "install/deploy.h"
#include "install/queue_queries.h"
#include "product_version.h"

#define DEPENDENT_FILES_CCH 512

#define WAIT_TRIES 5
#define WAIT_PAUSE_MS 1000

// The build's DriverVer (product_version.h), which the package's INF carries
// too: each of the version's four numbers whole, 16 bits each, as Windows
// keeps an INF's version. Only the revision was ever above 255.
DWORDLONG ParseDriverVersion(void) {
    return ((DWORDLONG)(DRIVER_VERSION_1 & 0xFFFF) << 48) | ((DWORDLONG)(DRIVER_VERSION_2 & 0xFFFF) << 32) |
           ((DWORDLONG)(DRIVER_VERSION_3 & 0xFFFF) << 16) | (DWORDLONG)(DRIVER_VERSION_4 & 0xFFFF);
}

FILETIME ParseDriverDate(void) {
    SYSTEMTIME date;
    FILETIME result;

    memset(&date, 0, sizeof(date));
    date.wYear = (WORD)DRIVER_DATE_YEAR;
    date.wMonth = (WORD)DRIVER_DATE_MONTH;
    date.wDay = (WORD)DRIVER_DATE_DAY;
    memset(&result, 0, sizeof(result));
    SystemTimeToFileTime(&date, &result);
    return result;
}

// 1 when a driver of exactly that name is listed for the machine's
// environment, with its version in *version (0 for a spooler that keeps
// none); otherwise 0.
static int FindInstalledDriver(const WCHAR *driverName, DWORDLONG *version) {
    DWORD needed = 0;
    DWORD count = 0;
    DWORD i;
    DRIVER_INFO_8W *drivers;
    int found = 0;

    Winspool.EnumPrinterDriversW(NULL, NativePrintEnvironment(), 8, NULL, 0, &needed, &count);
    if (needed == 0)
        return 0;
    drivers = (DRIVER_INFO_8W *)LocalAlloc(LMEM_ZEROINIT, needed);
    if (drivers == NULL)
        return 0;
    count = 0;
    Winspool.EnumPrinterDriversW(NULL, NativePrintEnvironment(), 8, (LPBYTE)drivers, needed, &needed, &count);
    for (i = 0; i < count; i++) {
        if (drivers[i].pName != NULL && wcscmp(drivers[i].pName, driverName) == 0) {
            *version = drivers[i].dwlDriverVersion;
            found = 1;
            break;
        }
    }
    LocalFree(drivers);
    return found;
}

int IsDriverInstalled(const WCHAR *driverName) {
    DWORDLONG version = 0;

    return FindInstalledDriver(driverName, &version);
}

// The driver record of the request, added to the spooler; then up to
// WAIT_TRIES looks for it. A new driver is added as AddPrinterDriverW adds
// one, and is done once it is listed. An upgrade asks for the files in the
// printer-driver directory that are newer than those in use
// (APD_COPY_NEW_FILES), and is done once the driver is listed with this
// build's version (or with none, where the spooler keeps no version).
static int AddDriverRecord(const InstallRequest *request, BOOL upgrade) {
    DRIVER_INFO_8W driver;
    WCHAR dependentFiles[DEPENDENT_FILES_CCH];
    DWORDLONG listed = 0;
    BOOL added;
    int tries;

    memset(&driver, 0, sizeof(driver));
    driver.cVersion = 3;
    driver.pName = (LPWSTR)request->DriverName;
    // A local queue needs the driver of the machine's own environment.
    driver.pEnvironment = NativePrintEnvironment();
    driver.pDriverPath = (LPWSTR)DRIVER_DLL_NAME;
    driver.pDataFile = (LPWSTR)DRIVER_DATA_FILE_NAME;
    driver.pConfigFile = (LPWSTR)CONFIG_DLL_NAME;
    driver.pDefaultDataType = (LPWSTR)L"RAW";
    driver.ftDriverDate = ParseDriverDate();
    driver.dwlDriverVersion = ParseDriverVersion();
    driver.pszHardwareID = (LPWSTR)request->HardwareId;
    driver.pszProvider = (LPWSTR)L"corvane";

    if (request->Options & MODEL_USES_LANGUAGE_MONITOR) {
        // A multi-string of one entry: the zeros after it end the list.
        memset(dependentFiles, 0, sizeof(dependentFiles));
        StringCchCopyW(dependentFiles, DEPENDENT_FILES_CCH, MONITOR_DLL_NAME);
        driver.pDependentFiles = dependentFiles;
        driver.pMonitorName = (LPWSTR)LANGUAGE_MONITOR_NAME;
    }

    added = upgrade ? Winspool.AddPrinterDriverExW(NULL, 8, (LPBYTE)&driver, APD_COPY_NEW_FILES)
                    : Winspool.AddPrinterDriverW(NULL, 8, (LPBYTE)&driver);
    if (!added) {
        Trace("AddPrinterDriver failed, errcode:%d.", (int)GetLastError());
        return 0;
    }
    for (tries = 0; tries < WAIT_TRIES; tries++) {
        if (FindInstalledDriver(request->DriverName, &listed) &&
            (!upgrade || listed == driver.dwlDriverVersion || listed == 0))
            return 1;
        Sleep(WAIT_PAUSE_MS);
    }
    SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
    return 0;
}

int RegisterPrinterDriver(const InstallRequest *request) { return AddDriverRecord(request, FALSE); }

int InstallPrinterLanguageMonitor(const WCHAR *monitorName, const WCHAR *dllName) {
    MONITOR_INFO_2W monitor;
    DWORD error;

    memset(&monitor, 0, sizeof(monitor));
    monitor.pName = (LPWSTR)monitorName;
    monitor.pEnvironment = NativePrintEnvironment();
    monitor.pDLLName = (LPWSTR)dllName;
    if (Winspool.AddMonitorW(NULL, 2, (LPBYTE)&monitor))
        return 1;
    error = GetLastError();
    if (error == ERROR_PRINT_MONITOR_ALREADY_INSTALLED)
        return 1;
    Trace("InstallPrinterLanguageMonitor failed, errcode:%d.", (int)error);
    return 0;
}

// 1 when a file was deployed; otherwise 0, and the first such failure's
// error goes to *firstError.
static int Deployed(int deployed, DWORD *firstError) {
    if (deployed)
        return 1;
    if (*firstError == ERROR_SUCCESS && (*firstError = GetLastError()) == ERROR_SUCCESS)
        *firstError = ERROR_GEN_FAILURE;
    return 0;
}

// The queue is there: the printer is installed, and prints with the files
// the spooler keeps of its own (its driver's version folder), whatever became
// of the copies this run could not put in place; their trace lines say
// which. Only an unattended run still fails for such a copy: its exit code
// is all a deployment tool reads, and the queue prints with the driver that
// was installed before, which need not be this package's.
static int QueueReady(DWORD deployError) {
    if (deployError == ERROR_SUCCESS || !UnattendedRun)
        return 1;
    SetLastError(deployError);
    return 0;
}

int InstallPrinterManually(const InstallRequest *request) {
    PRINTER_INFO_2W queue;
    DWORD addError = ERROR_SUCCESS;
    DWORD deployError = ERROR_SUCCESS;
    HANDLE printer;
    int result;
    int tries;

    // Every deployment step runs, even after one has failed.
    result = Deployed(DeployArchFile(DRIVER_DLL_NAME), &deployError);
    result = Deployed(DeployArchFile(CONFIG_DLL_NAME), &deployError) & result;
    result = Deployed(DeployDataFile(DRIVER_DATA_FILE_NAME), &deployError) & result;
    if (request->Options & MODEL_USES_LANGUAGE_MONITOR) {
        result = Deployed(DeployArchFile(MONITOR_DLL_NAME), &deployError) & result;
        result = InstallPrinterLanguageMonitor(LANGUAGE_MONITOR_NAME, MONITOR_DLL_NAME) & result;
    }

    // With a file or the monitor missing the driver is not registered; the
    // queue is still created and waited for.
    if (result) {
        if (!IsDriverInstalled(request->DriverName)) {
            if (!RegisterPrinterDriver(request))
                return 0;
        }
    }

    if (CheckPrinterQueue(request->QueueName, request->PortName)) {
        Trace("The printer %ws is already added.", request->QueueName);
        return QueueReady(deployError);
    }

    memset(&queue, 0, sizeof(queue));
    queue.pServerName = NULL;
    queue.pPrinterName = (LPWSTR)request->QueueName;
    queue.pPortName = (LPWSTR)request->PortName;
    queue.pDriverName = (LPWSTR)request->DriverName;
    queue.pPrintProcessor = (LPWSTR)L"WinPrint";
    queue.pDatatype = (LPWSTR)L"RAW";
    queue.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    printer = Winspool.AddPrinterW(NULL, 2, (LPBYTE)&queue);
    if (printer == NULL) {
        addError = GetLastError();
        Trace("AddPrinter failed, errcode:%d.", (int)addError);
    } else {
        Winspool.ClosePrinter(printer);
    }

    for (tries = 0; tries < WAIT_TRIES; tries++) {
        if (CheckPrinterQueue(request->QueueName, request->PortName))
            return QueueReady(deployError);
        Sleep(WAIT_PAUSE_MS);
    }
    // A queue that never showed up is a failed installation; the reason the
    // spooler gave for it, rather than the lookups' "no such printer", is
    // what the failure message and the exit code report. A queue that exists
    // already and cannot be opened fails for the lookups' own reason.
    // A driver file that could not be put in place comes first: the queue's
    // failure is only its consequence.
    if (deployError != ERROR_SUCCESS)
        SetLastError(deployError);
    else if (addError != ERROR_SUCCESS && addError != ERROR_PRINTER_ALREADY_EXISTS)
        SetLastError(addError);
    return 0;
}

int UpgradePrinterDriver(const InstallRequest *request) {
    DWORD deployError = ERROR_SUCCESS;
    int result;

    // The same files as a new installation, from the staged package; with
    // one missing the spooler would take an incomplete set, so nothing is
    // added then and the installed version stays.
    result = Deployed(DeployArchFile(DRIVER_DLL_NAME), &deployError);
    result = Deployed(DeployArchFile(CONFIG_DLL_NAME), &deployError) & result;
    result = Deployed(DeployDataFile(DRIVER_DATA_FILE_NAME), &deployError) & result;
    if (request->Options & MODEL_USES_LANGUAGE_MONITOR) {
        result = Deployed(DeployArchFile(MONITOR_DLL_NAME), &deployError) & result;
        if (!InstallPrinterLanguageMonitor(LANGUAGE_MONITOR_NAME, MONITOR_DLL_NAME)) {
            if (deployError == ERROR_SUCCESS && (deployError = GetLastError()) == ERROR_SUCCESS)
                deployError = ERROR_GEN_FAILURE;
            result = 0;
        }
    }
    if (!result) {
        SetLastError(deployError);
        return 0;
    }
    return AddDriverRecord(request, TRUE);
}
