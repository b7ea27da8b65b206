// Installing one recognised printer: Plug and Play first, then the manual way.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#define REQUEST_TEXT_CCH 260

typedef struct InstallRequest {
    WCHAR DriverName[REQUEST_TEXT_CCH];
    WCHAR QueueName[REQUEST_TEXT_CCH];
    WCHAR PortName[REQUEST_TEXT_CCH];
    WCHAR HardwareId[REQUEST_TEXT_CCH];
    BYTE Options;
} InstallRequest;

// 3: the queue existed already; 1: installed; otherwise the manual result.
// infPath names the package's INF (InfPath); Windows gets the copy of it in
// the run's staged package (common/staged_package.h), staged here first.
int InstallPrinter(InstallRequest *request, const WCHAR *infPath);
// Puts the package of infPath into the driver store, for the machine's own
// print environment, and traces the upload; returns its HRESULT.
HRESULT UploadDriverPackage(const WCHAR *infPath);
// 1 when the upload succeeded, otherwise 0.
int DoUploadDriverPackage(const WCHAR *infPath);
// Asks Plug and Play to re-enumerate the device tree.
CONFIGRET RescanDevices(void);

// /stage: uploads the install folder's package (InfPath is set), from the
// run's staged copy, and asks Plug and Play to rescan, so that Windows
// installs a printer from the driver store without the program. Returns the
// exit code: 0, the staging's failure (common/staged_package.h), the
// upload's failing HRESULT, or ERROR_GEN_FAILURE when the rescan was refused.
DWORD StageDriverPackage(void);
