// USB printer device interfaces of the simulated machine.
#include <windows.h>
#include <setupapi.h>
#include <usbprint.h>

#include <cstring>
#include <map>
#include <vector>

#include "kernel.h"
#include "sim/devices.h"
#include "sim/registry.h"

namespace {

struct Interface {
    std::wstring DevicePath;
    bool Present = true;
};

struct DeviceSet {
    std::vector<std::wstring> Paths;  // snapshot at creation
};

struct Devices {
    std::vector<Interface> Interfaces;  // in plug order
    std::map<HDEVINFO, DeviceSet> Sets;
};

Devices &D() {
    static Devices devices;
    return devices;
}

simk::Registrar gRegistrar([] { simk::OnReset([] { D() = Devices(); }); });

const wchar_t kUsbPrintGuid[] = L"{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

}  // namespace

namespace sim {

std::wstring UsbPrinterPath(const std::wstring &vidPid, const std::wstring &serial) {
    return L"\\\\?\\usb#" + vidPid + L"#" + serial + L"#" + kUsbPrintGuid;
}

std::wstring UsbPrinterParametersKey(const std::wstring &devicePath) {
    std::wstring tail = devicePath.size() > 4 ? devicePath.substr(4) : std::wstring();
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + kUsbPrintGuid + L"\\##?#" + tail +
           L"\\#\\Device Parameters";
}

void PlugUsbPrinter(const UsbPrinter &printer) {
    std::wstring key = UsbPrinterParametersKey(printer.DevicePath);
    DeleteKey(key);
    CreateKey(key);
    if (printer.PortDescription)
        SetStringValue(key, L"Port Description", *printer.PortDescription);
    if (printer.PortNumber)
        SetDwordValue(key, L"Port Number", *printer.PortNumber);
    if (printer.SerialNumber)
        SetStringValue(key, L"Serial Number", *printer.SerialNumber);
    for (auto &i : D().Interfaces)
        if (i.DevicePath == printer.DevicePath) {
            i.Present = true;
            return;
        }
    D().Interfaces.push_back({printer.DevicePath, true});
}

std::wstring PlugUsbPrinter(const std::wstring &description, DWORD port, const std::wstring &serial) {
    wchar_t ids[32];
    swprintf(ids, 32, L"vid_3e8b&pid_%04x", static_cast<unsigned>(0x100 + port));
    std::wstring lowerSerial;
    for (wchar_t c : serial)
        lowerSerial += static_cast<wchar_t>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
    UsbPrinter p;
    p.DevicePath = UsbPrinterPath(ids, lowerSerial);
    p.PortDescription = description;
    p.PortNumber = port;
    p.SerialNumber = serial;
    PlugUsbPrinter(p);
    return p.DevicePath;
}

void UnplugUsbPrinter(const std::wstring &devicePath) {
    for (auto &i : D().Interfaces)
        if (i.DevicePath == devicePath)
            i.Present = false;
}

int OpenDeviceInfoSets() { return static_cast<int>(D().Sets.size()); }

}  // namespace sim

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR, HWND, DWORD flags) {
    SIM_ENTER("SetupDiGetClassDevsW", INVALID_HANDLE_VALUE);
    if (!(flags & DIGCF_DEVICEINTERFACE) || !classGuid) {
        // Only the USB printer interface class is modelled here.
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceSet set;
    if (*classGuid == GUID_DEVINTERFACE_USBPRINT)
        for (auto &i : D().Interfaces)
            if (i.Present || !(flags & DIGCF_PRESENT))
                set.Paths.push_back(i.DevicePath);
    HDEVINFO h = simk::NewHandleValue();
    D().Sets[h] = set;
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID *interfaceClassGuid,
                                        DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA data) {
    SIM_ENTER("SetupDiEnumDeviceInterfaces", FALSE);
    auto it = D().Sets.find(set);
    if (it == D().Sets.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!interfaceClassGuid || *interfaceClassGuid != GUID_DEVINTERFACE_USBPRINT ||
        memberIndex >= it->second.Paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = GUID_DEVINTERFACE_USBPRINT;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA) {
    SIM_ENTER("SetupDiGetDeviceInterfaceDetailW", FALSE);
    auto it = D().Sets.find(set);
    if (it == D().Sets.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > it->second.Paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring &path = it->second.Paths[data->Reserved - 1];
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                    (path.size() + 1) * sizeof(WCHAR));
    if (requiredSize)
        *requiredSize = need;
    if (!detail) {
        if (detailSize != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    SIM_ENTER("SetupDiDestroyDeviceInfoList", FALSE);
    if (!D().Sets.erase(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
