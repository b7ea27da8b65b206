// Discovery of the USB printers that are plugged in.
#pragma once

#include <windows.h>

#define DEVICE_TEXT_CCH 260
#define DEVICE_SHORT_CCH 5

typedef struct DeviceRecord {
    struct DeviceRecord *Next;
    WCHAR VendorId[DEVICE_SHORT_CCH];
    WCHAR Checksum[DEVICE_SHORT_CCH];
    WCHAR PortName[DEVICE_TEXT_CCH];
    WCHAR PortDescription[DEVICE_TEXT_CCH];
    WCHAR SerialNumber[DEVICE_TEXT_CCH];
    WCHAR HardwareId[DEVICE_TEXT_CCH];
    WORD Flag;
} DeviceRecord;

// The install worker's list of the latest scan, newest record first.
extern DeviceRecord *DiscoveredDevices;
// The error that kept the latest scan from looking at every printer that is
// plugged in (0 when it could): a list or a key it could not read, memory it
// did not get. A missing value or key is no error.
extern DWORD ScanError;

// ScanUsbPrinters' answer when the device list itself cannot be had; the
// last error then says why. Otherwise it gives the number of records.
#define SCAN_FAILED (-1)

int ScanUsbPrinters(DeviceRecord **head);
void FreeDeviceList(DeviceRecord **head);
DeviceRecord *FindDeviceByPort(DeviceRecord *first, const WCHAR *portName);
WORD ComputeIdChecksum(const BYTE *bytes, WORD length);
