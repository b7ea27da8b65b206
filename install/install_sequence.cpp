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
#include "install/manual_install.h"
#include "install/pnp_handover.h"
#include "install/queue_queries.h"

#define STORE_PATH_CCH 260
#define QUEUE_WAIT_TRIES 10
#define QUEUE_WAIT_PAUSE_MS 1000
#define STAGE_LOG_CCH 256

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

// Plug and Play's driver update for the printer. With a person at the PC
// Windows may ask for a restart itself; in an unattended run it asks nobody,
// and a restart it wants is remembered for the exit code.
static void UpdatePnpDriver(const InstallRequest *request, const WCHAR *infPath) {
    BOOL rebootRequired = FALSE;

    if (!UnattendedRun) {
        UpdateDriverForPnpDevices(request->HardwareId, infPath, INSTALLFLAG_FORCE, NULL);
        return;
    }
    if (UpdateDriverForPnpDevices(request->HardwareId, infPath, INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE,
                                  &rebootRequired) &&
        rebootRequired)
        NoteRestartNeeded(L"Windows, after installing the driver of ", request->QueueName);
}

DWORD StageDriverPackage(void) {
    WCHAR stagedInf[PROTECTED_COPY_PATH_CCH];
    WCHAR line[STAGE_LOG_CCH];
    CONFIGRET rescan;
    DWORD error;
    HRESULT result;

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
    result = UploadDriverPackage(stagedInf);
    if (result != S_OK)
        return (DWORD)result;
    // A printer plugged in before the package was staged was found without a
    // driver: Plug and Play tries its installation again, and now finds the
    // package. Plug and Play answers with a CONFIGRET, which is no Win32
    // error: its refusal is reported as a device that does not work.
    rescan = ReenumerateDeviceTree(CM_REENUMERATE_RETRY_INSTALLATION);
    if (rescan != CR_SUCCESS) {
        StringCchPrintfW(line, STAGE_LOG_CCH,
                         L"The package is staged, but Plug and Play refused to look at the devices again "
                         L"(CONFIGRET %lu): a printer plugged in already gets its queue when it is plugged in again.",
                         (unsigned long)rescan);
        WriteLogLine(line);
        return ERROR_GEN_FAILURE;
    }
    return ERROR_SUCCESS;
}

// The installation, from the staged package.
static int InstallStagedPackage(InstallRequest *request, const WCHAR *infPath) {
    int result;
    int tries;

    if (DoUploadDriverPackage(infPath)) {
        RescanDevices();
        UpdatePnpDriver(request, infPath);

        // Only a queue of a model with the language monitor ends the wait
        // early: its monitor DLL has to be put in place.
        for (tries = 0; tries < QUEUE_WAIT_TRIES; tries++) {
            if (CheckPrinterQueue(request->QueueName, request->PortName) &&
                (request->Options & MODEL_USES_LANGUAGE_MONITOR)) {
                DeployArchFile(MONITOR_DLL_NAME);
                break;
            }
            Sleep(QUEUE_WAIT_PAUSE_MS);
        }
    }

    result = CheckPrinterQueue(request->QueueName, request->PortName);
    if (result == 0)
        result = InstallPrinterManually(request);

    // A port the spooler does not list comes back when the spooler restarts.
    if (result != 0 && !PortExists(request->PortName))
        RunWithSpoolerStopped(NULL, NULL);
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

    // An existing queue is left as it is, whatever port it is on.
    if (CheckPrinterQueue(request->QueueName, request->PortName))
        return 3;

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
