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

// 3: the printer has its queue already; 1: installed; otherwise the manual
// result. infPath names the package's INF (InfPath); Windows gets the copy of
// it in the run's staged package (common/staged_package.h), staged here
// first. The printer's queue is one of its model's driver on its port, or
// the one named for its model, unless that one serves another printer of the
// model plugged in on its own port: the printer then gets a queue of its own,
// request->QueueName becoming "MODEL (PORT)". The request's QueueName is the
// name of the printer's queue afterwards (Windows' own name for one Plug and
// Play made). With a newer driver installed than this package's
// (PackageStaging), a printer without a queue fails with
// ERROR_PRODUCT_VERSION.
int InstallPrinter(InstallRequest *request, const WCHAR *infPath);
// Puts the package of infPath into the driver store, for the machine's own
// print environment, and traces the upload; returns its HRESULT.
HRESULT UploadDriverPackage(const WCHAR *infPath);
// 1 when the upload succeeded, otherwise 0.
int DoUploadDriverPackage(const WCHAR *infPath);
// Asks Plug and Play to re-enumerate the device tree.
CONFIGRET RescanDevices(void);
// Plug and Play's driver update of the request's hardware id from infPath,
// forced; in an unattended run without asking anyone, a restart Windows asks
// for noted (NoteRestartNeeded). Its result (the installation's sequence does
// not examine it).
BOOL UpdatePnpDriver(const InstallRequest *request, const WCHAR *infPath);

// What the installed product drivers of the machine's environment are to
// this package's version (install/driver_upgrade.h).
#define INSTALLED_NONE 0   // none is installed
#define INSTALLED_OLDER 1  // one at least is older (or of no known version), none newer
#define INSTALLED_SAME 2   // all are this version
#define INSTALLED_NEWER 3  // one at least is newer

// A deployment run's staging of the package (StagePackageIntoStore); all
// zero in the other modes.
typedef struct RunStaging {
    int Installed;    // INSTALLED_*
    BOOL Uploaded;    // the package went to the driver store (not with a newer driver installed)
    HRESULT Upload;   // the upload's result
} RunStaging;
extern RunStaging PackageStaging;

// Set when a printer's queue counted although it is on another port than the
// printer (see InstallPrinter); the log says which.
extern BOOL QueueLeftOnAnotherPort;

// /stage and /quiet, first thing: stages the install folder's package for the
// run (InfPath set, common/staged_package.h), compares the installed drivers
// with it (logging each, PackageStaging.Installed) and, unless one is newer,
// uploads the staged INF into the driver store (PackageStaging.Upload), once
// for the whole run. ERROR_SUCCESS, or the staging's failure, or the error
// of a driver list that could not be read: then nothing of the package is
// used.
DWORD StagePackageIntoStore(void);

// /stage: asks Plug and Play to retry the installation of devices it found
// without a driver, so that a printer plugged in before the staging installs
// from the store. FALSE, with a warning in the log, when Plug and Play
// refused.
BOOL RetryDeviceInstallations(void);
