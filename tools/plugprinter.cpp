// plugprinter: plugs a simulated USB printer into this machine (meant for a
// Wine prefix), the way a USB printer appears to programs that look for one:
//   - a device USB\VID_vvvv&PID_pppp\SERIAL with an interface of the class
//     GUID_DEVINTERFACE_USBPRINT, marked as linked (present);
//   - the interface's "Device Parameters": "Port Description" (the model
//     string), "Port Number" and "Serial Number";
//   - the spooler's port USBnnn, so that EnumPortsW lists it.
//
//   plugprinter.exe [--description TEXT] [--port N] [--serial TEXT]
//                   [--vid HEX] [--pid HEX] [--no-port-number] [--no-port]
//                   [--unplug]
//
// --unplug marks the interface of that device as no longer present (the
// device, its parameters and the port stay, as on Windows). --no-port-number
// leaves the "Port Number" value out; --no-port leaves the spooler port out.
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <usbprint.h>
#include <stdlib.h>

#include "tool_output.h"

static const WCHAR DeviceClassesKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
static const WCHAR PortsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

typedef struct Options {
    const WCHAR *Description;
    const WCHAR *Serial;
    DWORD PortNumber;
    DWORD VendorId;
    DWORD ProductId;
    BOOL Unplug;
    BOOL NoPortNumber;
    BOOL NoPort;
} Options;

static int Fail(const WCHAR *what)
{
    Err(L"plugprinter: %ls failed, error %lu\n", what, GetLastError());
    return 1;
}

static LONG SetString(HKEY key, const WCHAR *name, const WCHAR *value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)value, (DWORD)((lstrlenW(value) + 1) * sizeof(WCHAR)));
}

static LONG SetDword(HKEY key, const WCHAR *name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
}

// Creates (or opens) the device and its print interface and returns the
// interface's device path, such as \\?\usb#vid_3e8b&pid_0101#sn0001#{28d7...}.
static BOOL CreatePrinterInterface(const WCHAR *instanceId, WCHAR *devicePath, DWORD pathCch)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVINTERFACE_USBPRINT, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return Fail(L"SetupDiCreateDeviceInfoList") == 0;
    SP_DEVINFO_DATA device;
    ZeroMemory(&device, sizeof(device));
    device.cbSize = sizeof(device);
    BOOL ok = SetupDiCreateDeviceInfoW(set, instanceId, &GUID_DEVINTERFACE_USBPRINT, L"USB printer", NULL, 0, &device);
    if (ok) {
        ok = SetupDiRegisterDeviceInfo(set, &device, 0, NULL, NULL, NULL);
        if (!ok)
            Fail(L"SetupDiRegisterDeviceInfo");
    } else if (GetLastError() == ERROR_DEVINST_ALREADY_EXISTS) {
        ok = SetupDiOpenDeviceInfoW(set, instanceId, NULL, 0, &device);
        if (!ok)
            Fail(L"SetupDiOpenDeviceInfoW");
    } else {
        Fail(L"SetupDiCreateDeviceInfoW");
    }
    SP_DEVICE_INTERFACE_DATA iface;
    ZeroMemory(&iface, sizeof(iface));
    iface.cbSize = sizeof(iface);
    if (ok) {
        ok = SetupDiCreateDeviceInterfaceW(set, &device, &GUID_DEVINTERFACE_USBPRINT, NULL, 0, &iface);
        if (!ok)
            Fail(L"SetupDiCreateDeviceInterfaceW");
    }
    if (ok) {
        static BYTE detailBuffer[4096];
        SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = (SP_DEVICE_INTERFACE_DETAIL_DATA_W *)detailBuffer;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ok = SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, sizeof(detailBuffer), NULL, NULL);
        if (ok)
            StringCchCopyW(devicePath, pathCch, detail->DevicePath);
        else
            Fail(L"SetupDiGetDeviceInterfaceDetailW");
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// The interface's registry key under DeviceClasses: the device path with its
// leading four characters (\\?\) replaced by ##?#, then the reference key "#".
static BOOL OpenInterfaceKey(const WCHAR *devicePath, const WCHAR *subKey, HKEY *key)
{
    WCHAR path[1024];
    if (lstrlenW(devicePath) < 4)
        return FALSE;
    if (FAILED(StringCchPrintfW(path, ARRAYSIZE(path), L"%ls\\##?#%ls\\#\\%ls", DeviceClassesKey, devicePath + 4, subKey)))
        return FALSE;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, key, NULL);
    if (rc != ERROR_SUCCESS) {
        SetLastError((DWORD)rc);
        Fail(path);
        return FALSE;
    }
    return TRUE;
}

static BOOL ReadArgument(int argc, WCHAR **argv, int *i, const WCHAR **value)
{
    if (*i + 1 >= argc) {
        Err(L"plugprinter: %ls needs a value\n", argv[*i]);
        return FALSE;
    }
    *i += 1;
    *value = argv[*i];
    return TRUE;
}

int wmain(int argc, WCHAR **argv)
{
    Options o;
    ZeroMemory(&o, sizeof(o));
    o.Description = L"CorvaneLD-2040";
    o.PortNumber = 1;
    o.VendorId = 0x3E8B;
    o.ProductId = 0x0101;
    WCHAR defaultSerial[32];
    for (int i = 1; i < argc; i++) {
        const WCHAR *value = NULL;
        if (lstrcmpW(argv[i], L"--description") == 0) {
            if (!ReadArgument(argc, argv, &i, &o.Description))
                return 2;
        } else if (lstrcmpW(argv[i], L"--serial") == 0) {
            if (!ReadArgument(argc, argv, &i, &o.Serial))
                return 2;
        } else if (lstrcmpW(argv[i], L"--port") == 0) {
            if (!ReadArgument(argc, argv, &i, &value))
                return 2;
            o.PortNumber = (DWORD)wcstoul(value, NULL, 10);
        } else if (lstrcmpW(argv[i], L"--vid") == 0) {
            if (!ReadArgument(argc, argv, &i, &value))
                return 2;
            o.VendorId = (DWORD)wcstoul(value, NULL, 16) & 0xFFFF;
        } else if (lstrcmpW(argv[i], L"--pid") == 0) {
            if (!ReadArgument(argc, argv, &i, &value))
                return 2;
            o.ProductId = (DWORD)wcstoul(value, NULL, 16) & 0xFFFF;
        } else if (lstrcmpW(argv[i], L"--unplug") == 0) {
            o.Unplug = TRUE;
        } else if (lstrcmpW(argv[i], L"--no-port-number") == 0) {
            o.NoPortNumber = TRUE;
        } else if (lstrcmpW(argv[i], L"--no-port") == 0) {
            o.NoPort = TRUE;
        } else {
            Err(L"usage: plugprinter.exe [--description TEXT] [--port N] [--serial TEXT] [--vid HEX] [--pid HEX]\n"
                L"                       [--no-port-number] [--no-port] [--unplug]\n");
            return 2;
        }
    }
    if (o.Serial == NULL) {
        StringCchPrintfW(defaultSerial, ARRAYSIZE(defaultSerial), L"SN%04lu", o.PortNumber);
        o.Serial = defaultSerial;
    }
    // The serial number is the last part of the device instance id, which
    // allows no backslash; such a serial is still stored whole as a value.
    WCHAR instanceSerial[64];
    int n = 0;
    for (const WCHAR *p = o.Serial; *p && n < (int)ARRAYSIZE(instanceSerial) - 1; p++)
        instanceSerial[n++] = (*p == L'\\' || *p == L' ') ? L'_' : *p;
    instanceSerial[n] = 0;
    if (n == 0)
        StringCchCopyW(instanceSerial, ARRAYSIZE(instanceSerial), L"0");

    WCHAR instanceId[128];
    StringCchPrintfW(instanceId, ARRAYSIZE(instanceId), L"USB\\VID_%04lX&PID_%04lX\\%ls", o.VendorId, o.ProductId, instanceSerial);
    WCHAR devicePath[1024];
    if (!CreatePrinterInterface(instanceId, devicePath, ARRAYSIZE(devicePath)))
        return 1;

    HKEY control;
    if (!OpenInterfaceKey(devicePath, L"Control", &control))
        return 1;
    LONG rc = SetDword(control, L"Linked", o.Unplug ? 0 : 1);
    RegCloseKey(control);
    if (rc != ERROR_SUCCESS)
        return SetLastError((DWORD)rc), Fail(L"setting Control\\Linked");
    if (o.Unplug) {
        Out(L"unplugged %ls\n", devicePath);
        return 0;
    }

    HKEY params;
    if (!OpenInterfaceKey(devicePath, L"Device Parameters", &params))
        return 1;
    rc = SetString(params, L"Port Description", o.Description);
    if (rc == ERROR_SUCCESS)
        rc = SetString(params, L"Serial Number", o.Serial);
    if (rc == ERROR_SUCCESS) {
        if (o.NoPortNumber)
            RegDeleteValueW(params, L"Port Number");
        else
            rc = SetDword(params, L"Port Number", o.PortNumber);
    }
    RegCloseKey(params);
    if (rc != ERROR_SUCCESS)
        return SetLastError((DWORD)rc), Fail(L"writing Device Parameters");

    WCHAR portName[32];
    StringCchPrintfW(portName, ARRAYSIZE(portName), L"USB%03lu", o.PortNumber);
    if (!o.NoPort && !o.NoPortNumber) {
        HKEY ports;
        rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, PortsKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &ports, NULL);
        if (rc == ERROR_SUCCESS) {
            rc = SetString(ports, portName, L"");
            RegCloseKey(ports);
        }
        if (rc != ERROR_SUCCESS)
            return SetLastError((DWORD)rc), Fail(L"adding the spooler port");
    }
    Out(L"plugged %ls\n  Port Description \"%ls\", Port Number %lu (%ls), Serial Number \"%ls\"\n", devicePath,
        o.Description, o.PortNumber, o.NoPortNumber ? L"none" : portName, o.Serial);
    return 0;
}
