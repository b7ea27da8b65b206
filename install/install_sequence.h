// Installing one recognised printer: Plug and Play first, then the manual way.
#pragma once

#include <windows.h>

#define REQUEST_TEXT_CCH 260

typedef struct InstallRequest {
    WCHAR DriverName[REQUEST_TEXT_CCH];
    WCHAR QueueName[REQUEST_TEXT_CCH];
    WCHAR PortName[REQUEST_TEXT_CCH];
    WCHAR HardwareId[REQUEST_TEXT_CCH];
    BYTE Options;
} InstallRequest;

// 3: the queue existed already; 1: installed; otherwise the manual result.
int InstallPrinter(InstallRequest *request, const WCHAR *infPath);
int DoUploadDriverPackage(const WCHAR *infPath);
void RescanDevices(void);
