// Discovery of the USB printers that Windows reports as present.
#include "install/discovery.h"

#include <windows.h>
#include <initguid.h>
#include <setupapi.h>
#include <strsafe.h>
#include <usbprint.h>
#include <string.h>

DeviceRecord *DiscoveredDevices;
DWORD ScanError;

// Keeps the first error of the scan; a value or key that is not there is
// none.
static void NoteScanError(DWORD error) {
    if (ScanError == ERROR_SUCCESS && error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        ScanError = error;
}

// Narrow form of a description, from which the checksum is computed.
#define NARROW_DESCRIPTION_BYTES 255

static const WCHAR ParametersKeyFormat[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"
    L"\\##?#%ws\\#\\Device Parameters";

// HeapAlloc sets no last error.
static void *AllocZeroed(SIZE_T bytes) {
    void *block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);

    if (block == NULL)
        NoteScanError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

static void FreeBlock(void *block) {
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

// Text in any of the registry's string types; a multi-string's text is its
// first string, where the formatting below stops.
static BOOL IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Reads a text value and formats its first 32 characters into field. The
// value may lack its terminator or have an odd byte count: the buffer always
// has room for a terminator behind the stored bytes. A missing or unreadable
// value, or one of a type that is not text, leaves the field empty.
static void ReadTextValue(HKEY key, const WCHAR *name, WCHAR *field, size_t fieldCch) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    DWORD bufferSize;
    WCHAR *text;

    LONG result = RegQueryValueExW(key, name, NULL, &type, NULL, &size);

    NoteScanError((DWORD)result);
    if (result != ERROR_SUCCESS || !IsTextType(type))
        return;
    // Whole characters, plus one for a terminator the value may not have.
    bufferSize = (size / sizeof(WCHAR) + 2) * sizeof(WCHAR);
    if (bufferSize < size)
        return;
    text = (WCHAR *)AllocZeroed(bufferSize);
    if (!text)
        return;
    result = RegQueryValueExW(key, name, NULL, &type, (BYTE *)text, &size);
    NoteScanError((DWORD)result);
    if (result == ERROR_SUCCESS && IsTextType(type))
        StringCchPrintfW(field, fieldCch, L"%.32ws", text);
    FreeBlock(text);
}

// Reads the REG_DWORD "Port Number"; FALSE when there is no such number.
static BOOL ReadPortNumber(HKEY key, DWORD *number) {
    DWORD type = REG_NONE;
    DWORD size = sizeof(*number);

    LONG result = RegQueryValueExW(key, L"Port Number", NULL, &type, (BYTE *)number, &size);

    NoteScanError((DWORD)result);
    if (result != ERROR_SUCCESS)
        return FALSE;
    return type == REG_DWORD && size == sizeof(*number);
}

// Fills a new record from the interface's "Device Parameters" key. A printer
// without a port number cannot get a queue, so it gives no record.
static DeviceRecord *BuildRecord(HKEY key, const WCHAR *devicePath) {
    DeviceRecord *record;
    DWORD portNumber;
    char narrow[NARROW_DESCRIPTION_BYTES];
    size_t length = 0;
    int written;

    record = (DeviceRecord *)AllocZeroed(sizeof(DeviceRecord));
    if (!record)
        return NULL;

    ReadTextValue(key, L"Port Description", record->PortDescription, DEVICE_TEXT_CCH);
    if (!ReadPortNumber(key, &portNumber)) {
        FreeBlock(record);
        return NULL;
    }
    StringCchPrintfW(record->PortName, DEVICE_TEXT_CCH, L"USB%.3d", (int)portNumber);
    ReadTextValue(key, L"Serial Number", record->SerialNumber, DEVICE_TEXT_CCH);

    // The USB vendor id's digits start at index 12 of the device path; a
    // shorter path gives what it has.
    if (wcslen(devicePath) > 12)
        StringCchPrintfW(record->VendorId, DEVICE_SHORT_CCH, L"%.4ws", devicePath + 12);

    // The checksum is computed over the description's ANSI form.
    memset(narrow, 0, sizeof(narrow));
    if (FAILED(StringCchLengthW(record->PortDescription, NARROW_DESCRIPTION_BYTES, &length)))
        length = 0;
    written = 0;
    if (length > 0)
        written = WideCharToMultiByte(CP_ACP, 0, record->PortDescription, (int)length, narrow, (int)length, NULL,
                                      NULL);
    if (written < 0 || written >= NARROW_DESCRIPTION_BYTES)
        written = 0;
    narrow[written] = 0;
    StringCchPrintfW(record->Checksum, DEVICE_SHORT_CCH, L"%04x",
                     (unsigned)ComputeIdChecksum((const BYTE *)narrow, (WORD)strlen(narrow)));

    record->Flag = 1;
    StringCchPrintfW(record->HardwareId, DEVICE_TEXT_CCH, L"usbprint\\%ws%ws", record->PortDescription,
                     record->Checksum);
    for (WCHAR *c = record->HardwareId; *c; c++)
        if (*c >= L'A' && *c <= L'Z')
            *c = (WCHAR)(*c - L'A' + L'a');
    return record;
}

int ScanUsbPrinters(DeviceRecord **head) {
    HDEVINFO set;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    DWORD index;
    int count = 0;

    FreeDeviceList(head);
    ScanError = ERROR_SUCCESS;
    set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USBPRINT, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        NoteScanError(GetLastError());
        return SCAN_FAILED;
    }

    for (index = 0;; index++) {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail;
        DWORD detailSize = 0;
        WCHAR *keyPath;
        size_t keyPathCch;
        HKEY key;
        DeviceRecord *record;

        memset(&interfaceData, 0, sizeof(interfaceData));
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupDiEnumDeviceInterfaces(set, NULL, &GUID_DEVINTERFACE_USBPRINT, index, &interfaceData)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS)
                NoteScanError(GetLastError());
            break;
        }

        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, NULL, 0, &detailSize, NULL) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            NoteScanError(GetLastError());
        if (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_W *)AllocZeroed(detailSize);
        if (!detail)
            continue;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, detailSize, NULL, NULL)) {
            NoteScanError(GetLastError());
            FreeBlock(detail);
            continue;
        }
        if (wcslen(detail->DevicePath) < 4) {
            FreeBlock(detail);
            continue;
        }

        // No vendor filter: every USB printer interface goes on, and the
        // model catalogue alone decides which printers are ours.

        keyPathCch = ARRAYSIZE(ParametersKeyFormat) + wcslen(detail->DevicePath);
        keyPath = (WCHAR *)AllocZeroed(keyPathCch * sizeof(WCHAR));
        if (!keyPath) {
            FreeBlock(detail);
            continue;
        }
        StringCchPrintfW(keyPath, keyPathCch, ParametersKeyFormat, detail->DevicePath + 4);
        LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key);
        NoteScanError((DWORD)opened);
        if (opened == ERROR_SUCCESS) {
            record = BuildRecord(key, detail->DevicePath);
            if (record) {
                record->Next = *head;
                *head = record;
                count++;
            }
            RegCloseKey(key);
        }
        FreeBlock(keyPath);
        FreeBlock(detail);
    }

    SetupDiDestroyDeviceInfoList(set);
    return count;
}

void FreeDeviceList(DeviceRecord **head) {
    while (*head) {
        DeviceRecord *record = *head;
        *head = record->Next;
        FreeBlock(record);
    }
}

DeviceRecord *FindDeviceByPort(DeviceRecord *first, const WCHAR *portName) {
    DeviceRecord *record;

    for (record = first; record; record = record->Next)
        if (wcscmp(record->PortName, portName) == 0)
            return record;
    return NULL;
}
