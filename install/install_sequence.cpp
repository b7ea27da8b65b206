// Installing one recognised printer: the driver package goes into the driver
// store and Plug and Play installs it; when no queue comes of that, the
// driver and the queue are created by hand.
#include "install/install_sequence.h"

#include <windows.h>
#include <winspool.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <string.h>
#include <strsafe.h>
#include <wchar.h>

#include "common/globals.h"
#include "common/log_file.h"
#include "common/native_system.h"
#include "common/package_files.h"
#include "common/protected_copy.h"
#include "common/sdk_extras.h"
#include "common/spooler_control.h"
#include "common/system_libraries.h"
#include "common/trace.h"
#include "common/staged_package.h"
#include "install/catalog.h"
#include "install/deploy.h"
#include "install/discovery.h"
#include "install/driver_upgrade.h"
#include "install/manual_install.h"
#include "install/pnp_handover.h"
#include "install/queue_queries.h"

#define STORE_PATH_CCH 260
#define QUEUE_WAIT_TRIES 10
#define QUEUE_WAIT_PAUSE_MS 1000
#define STAGE_LOG_CCH 256
#define QUEUE_LOG_CCH 640

RunStaging PackageStaging;
BOOL QueueLeftOnAnotherPort = FALSE;

HRESULT UploadDriverPackage(const WCHAR *infPath) {
    WCHAR storePath[STORE_PATH_CCH];
    ULONG storePathCch = STORE_PATH_CCH;
    HRESULT result;

    memset(storePath, 0, sizeof(storePath));
    // Nobody may be asked anything in an unattended run.
    result = Winspool.UploadPrinterDriverPackageW(NULL, infPath, NativePrintEnvironment(),
                                                  UPDP_UPLOAD_ALWAYS | (UnattendedRun ? UPDP_SILENT_UPLOAD : 0), NULL,
                                                  storePath, &storePathCch);
    Trace("DoUploadDriverPackage, %ws, code:%d.", storePath, (int)result);
    return result;
}

int DoUploadDriverPackage(const WCHAR *infPath) { return UploadDriverPackage(infPath) == S_OK ? 1 : 0; }

// Asks Plug and Play to enumerate the whole device tree again.
static CONFIGRET ReenumerateDeviceTree(ULONG flags) {
    DEVINST root = 0;
    CONFIGRET result;

    result = CM_Locate_DevNodeW(&root, NULL, CM_LOCATE_DEVNODE_NORMAL);
    if (result == CR_SUCCESS)
        result = CM_Reenumerate_DevNode(root, flags);
    return result;
}

CONFIGRET RescanDevices(void) { return ReenumerateDeviceTree(CM_REENUMERATE_NORMAL); }

// The log's line on Plug and Play's driver update for the printer.
static void LogPnpUpdate(const InstallRequest *request, BOOL updated, BOOL rebootRequired) {
    WCHAR line[QUEUE_LOG_CCH];
    DWORD error = GetLastError();

    if (updated)
        StringCchPrintfW(line, QUEUE_LOG_CCH, L"Plug and Play's driver update for %ws (%ws) is done%ws.",
                         request->HardwareId, request->PortName, rebootRequired ? L"; Windows wants a restart" : L"");
    else
        StringCchPrintfW(line, QUEUE_LOG_CCH,
                         error > 0xFFFF ? L"Plug and Play's driver update for %ws (%ws) failed: error 0x%08lX. The "
                                          L"queue may still come from Plug and Play; the wait for it follows."
                                        : L"Plug and Play's driver update for %ws (%ws) failed: error %lu. The queue "
                                          L"may still come from Plug and Play; the wait for it follows.",
                         request->HardwareId, request->PortName, (unsigned long)error);
    WriteLogLine(line);
    SetLastError(error);
}

// Plug and Play's driver update for the printer. With a person at the PC
// Windows may ask for a restart itself; in an unattended run it asks nobody,
// and a restart it wants is remembered for the exit code.
BOOL UpdatePnpDriver(const InstallRequest *request, const WCHAR *infPath) {
    BOOL rebootRequired = FALSE;
    BOOL updated;

    if (!UnattendedRun)
        updated = UpdateDriverForPnpDevices(request->HardwareId, infPath, INSTALLFLAG_FORCE, NULL);
    else
        updated = UpdateDriverForPnpDevices(request->HardwareId, infPath, INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE,
                                            &rebootRequired);
    LogPnpUpdate(request, updated, rebootRequired);
    if (updated && rebootRequired)
        NoteRestartNeeded(L"Windows, after installing the driver of ", request->QueueName);
    return updated;
}

DWORD StagePackageIntoStore(void) {
    WCHAR stagedInf[PROTECTED_COPY_PATH_CCH];
    DWORD error;
    HRESULT result;

    memset(&PackageStaging, 0, sizeof(PackageStaging));
    result = StringCchPrintfW(InfPath, INSTALL_DIR_CCH, L"%ws%ws", InstallDir, PACKAGE_INF_NAME);
    if (FAILED(result))
        return (DWORD)result;
    // The package goes to Windows only as it was built, from a copy nobody
    // else can change.
    error = StagePackage();
    if (error != ERROR_SUCCESS)
        return error;
    if (!StagedFilePath(stagedInf, PROTECTED_COPY_PATH_CCH, PACKAGE_INF_NAME))
        return ERROR_INSUFFICIENT_BUFFER;
    // Whether a driver is installed, and which, decides what the store gets:
    // a run that cannot tell does nothing.
    PackageStaging.Installed = CompareInstalledDrivers(&error);
    if (error != ERROR_SUCCESS)
        return error;
    // An older package in the store would be what Plug and Play installs
    // for the next printer plugged in, over the newer driver.
    if (PackageStaging.Installed == INSTALLED_NEWER)
        return ERROR_SUCCESS;
    PackageStaging.Upload = UploadDriverPackage(stagedInf);
    PackageStaging.Uploaded = TRUE;
    return ERROR_SUCCESS;
}

BOOL RetryDeviceInstallations(void) {
    WCHAR line[STAGE_LOG_CCH];
    CONFIGRET rescan;

    // A printer plugged in before the package was staged was found without a
    // driver: Plug and Play tries its installation again, and now finds the
    // package. Its refusal leaves the package staged all the same.
    rescan = ReenumerateDeviceTree(CM_REENUMERATE_RETRY_INSTALLATION);
    if (rescan == CR_SUCCESS)
        return TRUE;
    StringCchPrintfW(line, STAGE_LOG_CCH,
                     L"Warning: the package is staged, but Plug and Play refused to look at the devices again "
                     L"(CONFIGRET %lu): a printer plugged in already gets its queue when it is plugged in again.",
                     (unsigned long)rescan);
    WriteLogLine(line);
    return FALSE;
}

// The printer's queue is there: one of the request's name, or one of its
// model's driver on its port, whatever its name (Windows names a second
// printer's "Corvane MODEL (Copy 1)", a person may have renamed one), whose
// name the request then takes.
static int QueueReadyFor(InstallRequest *request) {
    WCHAR found[REQUEST_TEXT_CCH];

    if (CheckPrinterQueue(request->QueueName, request->PortName))
        return 1;
    if (!FindQueueOnPort(request->DriverName, request->PortName, found, REQUEST_TEXT_CCH))
        return 0;
    StringCchCopyW(request->QueueName, REQUEST_TEXT_CCH, found);
    return 1;
}

// TRUE when a printer of the request's model, other than the request's own,
// is plugged in on a port of portList (as the latest scan found it).
static BOOL ServesAnotherPrinter(const InstallRequest *request, const WCHAR *portList) {
    DeviceRecord *device;

    for (device = DiscoveredDevices; device != NULL; device = device->Next)
        if (wcscmp(device->PortName, request->PortName) != 0 && PortListed(portList, device->PortName) &&
            IsOfModel(device->PortDescription, request->DriverName))
            return TRUE;
    return FALSE;
}

// Whether the printer has its queue already (1) or needs one (0). A queue of
// its model on its own port is its queue. The queue named for the model on
// another port is its queue too, as the name alone decides, unless a printer
// of that model is plugged in on that port: then the queue is that printer's,
// and this one, a second printer of the model, needs a queue of its own,
// named "MODEL (PORT)" so that it cannot be taken for the first's. No queue is
// ever moved or renamed.
static int FindPrintersQueue(InstallRequest *request) {
    WCHAR ports[REQUEST_TEXT_CCH];
    WCHAR line[QUEUE_LOG_CCH];

    if (FindQueueOnPort(request->DriverName, request->PortName, ports, REQUEST_TEXT_CCH)) {
        StringCchCopyW(request->QueueName, REQUEST_TEXT_CCH, ports);
        return 1;
    }
    if (!ReadPrinterQueuePort(request->QueueName, ports, REQUEST_TEXT_CCH))
        return 0;
    if (ports[0] == 0 || PortListed(ports, request->PortName))
        return 1;
    if (!ServesAnotherPrinter(request, ports)) {
        QueueLeftOnAnotherPort = TRUE;
        StringCchPrintfW(line, QUEUE_LOG_CCH,
                         L"The queue %ws is on %ws, the printer on %ws, and no other printer of its model is plugged in "
                         L"on %ws: the queue counts as this printer's and keeps its port.",
                         request->QueueName, ports, request->PortName, ports);
        WriteLogLine(line);
        return 1;
    }
    StringCchPrintfW(line, QUEUE_LOG_CCH,
                     L"The queue %ws serves the printer of its model on %ws: the printer on %ws gets a queue of its own.",
                     request->QueueName, ports, request->PortName);
    WriteLogLine(line);
    StringCchPrintfW(request->QueueName, REQUEST_TEXT_CCH, L"%ws (%ws)", request->DriverName, request->PortName);
    return CheckPrinterQueue(request->QueueName, request->PortName);
}

// The log's line as the driver and the queue are made by hand.
static void LogManualRoad(const InstallRequest *request, BOOL uploaded) {
    WCHAR line[QUEUE_LOG_CCH];

    if (uploaded)
        StringCchPrintfW(line, QUEUE_LOG_CCH,
                         L"No queue for the printer on %ws after %d s of waiting for Plug and Play: the driver and the "
                         L"queue %ws are made by hand.",
                         request->PortName, QUEUE_WAIT_TRIES * QUEUE_WAIT_PAUSE_MS / 1000, request->QueueName);
    else
        StringCchPrintfW(line, QUEUE_LOG_CCH,
                         L"The driver store did not take the package: the driver and the queue %ws for the printer on "
                         L"%ws are made by hand.",
                         request->QueueName, request->PortName);
    WriteLogLine(line);
}

// The installation, from the staged package. A deployment run uploaded it
// already, once for all its printers.
static int InstallStagedPackage(InstallRequest *request, const WCHAR *infPath) {
    WCHAR line[QUEUE_LOG_CCH];
    int result;
    int tries;
    BOOL uploaded;

    uploaded = PackageStaging.Uploaded ? PackageStaging.Upload == S_OK : DoUploadDriverPackage(infPath);
    if (uploaded) {
        RescanDevices();
        UpdatePnpDriver(request, infPath);

        // Only a queue of a model with the language monitor ends the wait
        // early: its monitor DLL has to be put in place.
        for (tries = 0; tries < QUEUE_WAIT_TRIES; tries++) {
            if (QueueReadyFor(request) && (request->Options & MODEL_USES_LANGUAGE_MONITOR)) {
                DeployArchFile(MONITOR_DLL_NAME);
                break;
            }
            Sleep(QUEUE_WAIT_PAUSE_MS);
        }
    }

    result = QueueReadyFor(request);
    if (result == 0) {
        LogManualRoad(request, uploaded);
        result = InstallPrinterManually(request);
    } else if (uploaded) {
        StringCchPrintfW(line, QUEUE_LOG_CCH, L"Plug and Play made the queue %ws for the printer on %ws.",
                         request->QueueName, request->PortName);
        WriteLogLine(line);
    }

    // A port the spooler does not list comes back when the spooler restarts.
    if (result != 0 && !PortExists(request->PortName)) {
        StringCchPrintfW(line, QUEUE_LOG_CCH,
                         L"The spooler does not list the port %ws of the queue %ws: the spooler is restarted so that "
                         L"it finds the port again (jobs waiting in any queue may be lost).",
                         request->PortName, request->QueueName);
        WriteLogLine(line);
        RunWithSpoolerStopped(NULL, NULL);
    }
    return result;
}

int InstallPrinter(InstallRequest *request, const WCHAR *infPath) {
    WCHAR stagedInf[PROTECTED_COPY_PATH_CCH];
    const WCHAR *infName = wcsrchr(infPath, L'\\');
    DeviceRecord *device;
    DWORD error;

    // The latest scan knows the printer's hardware id best.
    device = FindDeviceByPort(DiscoveredDevices, request->PortName);
    if (device != NULL)
        StringCchCopyW(request->HardwareId, REQUEST_TEXT_CCH, device->HardwareId);

    // An existing queue is left as it is.
    if (FindPrintersQueue(request))
        return 3;

    // This package's driver would replace the newer one installed, which the
    // run leaves alone.
    if (PackageStaging.Installed == INSTALLED_NEWER) {
        SetLastError(ERROR_PRODUCT_VERSION);
        return 0;
    }

    // Windows gets the package only from the run's staged copy, checked file
    // by file as it was made: one that is not as built is never used. The
    // INF is the staged copy of the one infPath names.
    error = StagePackage();
    if (error == ERROR_SUCCESS &&
        !StagedFilePath(stagedInf, PROTECTED_COPY_PATH_CCH, infName != NULL ? infName + 1 : infPath))
        error = ERROR_INSUFFICIENT_BUFFER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return InstallStagedPackage(request, stagedInf);
}
