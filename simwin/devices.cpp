// USB printer device interfaces of the simulated machine, and device nodes
// of every setup class with their friendly names.
#include <windows.h>
#include <setupapi.h>
#include <usbprint.h>

#include <cstring>
#include <cwctype>
#include <map>
#include <vector>

#include "kernel.h"
#include "sim/devices.h"
#include "sim/registry.h"

namespace {

using simk::SameText;

struct Interface {
    std::wstring DevicePath;
    bool Present = true;
};

// A set holds either device interfaces (SetupDiGetClassDevsW with
// DIGCF_DEVICEINTERFACE) or device elements (SetupDiGetClassDevsExW).
struct DeviceSet {
    std::vector<std::wstring> Paths;    // interfaces: snapshot at creation
    std::vector<std::wstring> Members;  // device elements: instance ids
};

struct SetupClass {
    std::wstring Name;
    GUID Guid;
};

struct Devices {
    std::vector<Interface> Interfaces;  // in plug order
    std::vector<sim::DeviceNode> Nodes;
    std::vector<sim::RemovedDevice> Removed;
    std::vector<SetupClass> Classes;
    std::map<HDEVINFO, DeviceSet> Sets;
    unsigned QueueDevices = 0;
    bool Wow64RemovalRefused = true;
};

// The setup classes of a new machine (the ones tests name).
const SetupClass kKnownClasses[] = {
    {L"PrintQueue", {0x1ed2bbf9, 0x11f0, 0x4084, {0xb2, 0x1f, 0xad, 0x83, 0xa8, 0xe6, 0xdc, 0xdc}}},
    {L"Printer", {0x4d36e979, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}},
    {L"Ports", {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}},
    {L"USB", {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}}},
    {L"SoftwareDevice", {0x62f9c741, 0xb25a, 0x46ce, {0xb5, 0x4c, 0x9b, 0xcc, 0xce, 0x08, 0xb6, 0xf2}}},
};

Devices NewMachine() {
    Devices d;
    for (auto &c : kKnownClasses)
        d.Classes.push_back(c);
    return d;
}

Devices &D() {
    static Devices devices = NewMachine();
    return devices;
}

simk::Registrar gRegistrar([] { simk::OnReset([] { D() = NewMachine(); }); });

const SetupClass *FindClass(const std::wstring &name) {
    for (auto &c : D().Classes)
        if (SameText(c.Name, name))
            return &c;
    return nullptr;
}

// A class the machine does not know yet gets a GUID of its own.
const SetupClass &InstallClass(const std::wstring &name) {
    if (const SetupClass *c = FindClass(name))
        return *c;
    SetupClass c{name, {0x5e7c1a55, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}};
    c.Guid.Data2 = static_cast<WORD>(D().Classes.size());
    D().Classes.push_back(c);
    return D().Classes.back();
}

sim::DeviceNode *FindNode(const std::wstring &instanceId) {
    for (auto &n : D().Nodes)
        if (SameText(n.InstanceId, instanceId))
            return &n;
    return nullptr;
}

// The enumerator is the first part of the instance id.
std::wstring EnumeratorOf(const std::wstring &instanceId) { return instanceId.substr(0, instanceId.find(L'\\')); }

// The device node an SP_DEVINFO_DATA of the set refers to; sets the error
// when the set or the element is not valid, or the node is gone.
sim::DeviceNode *ElementNode(HDEVINFO set, const SP_DEVINFO_DATA *data) {
    auto it = D().Sets.find(set);
    if (it == D().Sets.end()) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > it->second.Members.size()) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sim::DeviceNode *node = FindNode(it->second.Members[data->Reserved - 1]);
    if (!node)
        simk::SetError(ERROR_NO_SUCH_DEVINST);
    return node;
}

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

void SetWow64DeviceRemovalRefused(bool refused) { D().Wow64RemovalRefused = refused; }

void AddDevice(const DeviceNode &device) {
    InstallClass(device.ClassName);
    if (DeviceNode *existing = FindNode(device.InstanceId)) {
        *existing = device;
        return;
    }
    D().Nodes.push_back(device);
}

std::wstring AddPrintQueueDevice(const std::wstring &queueName) {
    wchar_t id[80];
    swprintf(id, 80, L"SWD\\PRINTENUM\\{6E1F7A3C-0C52-4E2B-9D1A-%012X}", ++D().QueueDevices);
    DeviceNode node;
    node.InstanceId = id;
    node.ClassName = L"PrintQueue";
    node.FriendlyName = queueName;
    AddDevice(node);
    return node.InstanceId;
}

const std::vector<DeviceNode> &DeviceNodes() { return D().Nodes; }

const std::vector<RemovedDevice> &RemovedDevices() { return D().Removed; }

GUID SetupClassGuid(const std::wstring &className) {
    const SetupClass *c = FindClass(className);
    return c ? c->Guid : GUID();
}

}  // namespace sim

namespace {

// A new set of the USB printer interfaces.
HDEVINFO NewInterfaceSet(const GUID *classGuid, DWORD flags) {
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

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR, HWND, DWORD flags) {
    SIM_ENTER("SetupDiGetClassDevsW", INVALID_HANDLE_VALUE);
    return NewInterfaceSet(classGuid, flags);
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

// --- Device nodes of every setup class -----------------------------------------

BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize) {
    SIM_ENTER("SetupDiClassGuidsFromNameW", FALSE);
    if (!ClassName || !RequiredSize || (!ClassGuidList && ClassGuidListSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<GUID> found;
    for (auto &c : D().Classes)
        if (SameText(c.Name, ClassName))
            found.push_back(c.Guid);
    *RequiredSize = static_cast<DWORD>(found.size());
    if (ClassGuidListSize < found.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (size_t i = 0; i < found.size(); i++)
        ClassGuidList[i] = found[i];
    return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags,
                                       HDEVINFO DeviceInfoSet, PCWSTR MachineName, PVOID Reserved) {
    SIM_ENTER("SetupDiGetClassDevsExW", INVALID_HANDLE_VALUE);
    if (Reserved || (!ClassGuid && !(Flags & DIGCF_ALLCLASSES))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (MachineName && *MachineName) {
        SetLastError(ERROR_INVALID_MACHINENAME);
        return INVALID_HANDLE_VALUE;
    }
    if (Flags & DIGCF_DEVICEINTERFACE) {
        // Interface sets are what SetupDiGetClassDevsW makes; only a new one.
        if (DeviceInfoSet) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        return NewInterfaceSet(ClassGuid, Flags);
    }
    DeviceSet *target = nullptr;
    if (DeviceInfoSet && DeviceInfoSet != INVALID_HANDLE_VALUE) {
        auto it = D().Sets.find(DeviceInfoSet);
        if (it == D().Sets.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return INVALID_HANDLE_VALUE;
        }
        target = &it->second;
    }
    DeviceSet fresh;
    DeviceSet &set = target ? *target : fresh;
    for (auto &n : D().Nodes) {
        if ((Flags & DIGCF_PRESENT) && !n.Present)
            continue;
        if (!(Flags & DIGCF_ALLCLASSES) && !(sim::SetupClassGuid(n.ClassName) == *ClassGuid))
            continue;
        if (Enumerator && *Enumerator && !SameText(EnumeratorOf(n.InstanceId), Enumerator))
            continue;
        set.Members.push_back(n.InstanceId);
    }
    SetLastError(ERROR_SUCCESS);
    if (target)
        return DeviceInfoSet;
    HDEVINFO h = simk::NewHandleValue();
    D().Sets[h] = fresh;
    return h;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    SIM_ENTER("SetupDiEnumDeviceInfo", FALSE);
    auto it = D().Sets.find(DeviceInfoSet);
    if (it == D().Sets.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // An element stays in its set after its device is removed.
    const std::vector<std::wstring> &members = it->second.Members;
    if (MemberIndex >= members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const sim::DeviceNode *node = FindNode(members[MemberIndex]);
    DeviceInfoData->ClassGuid = node ? sim::SetupClassGuid(node->ClassName) : GUID();
    DeviceInfoData->DevInst = 0x100 + MemberIndex;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    SIM_ENTER("SetupDiGetDeviceRegistryPropertyW", FALSE);
    sim::DeviceNode *node = ElementNode(DeviceInfoSet, DeviceInfoData);
    if (!node)
        return FALSE;
    if (Property >= 0x25) {  // beyond SPDRP_MAXIMUM_PROPERTY
        SetLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    std::optional<std::wstring> text;
    if (Property == SPDRP_FRIENDLYNAME)
        text = node->FriendlyName;
    else if (Property == SPDRP_CLASS)
        text = node->ClassName;
    if (!text) {
        // The property is not set for this device (or not modelled).
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>((text->size() + 1) * sizeof(WCHAR));
    if (RequiredSize)
        *RequiredSize = need;
    if (PropertyRegDataType)
        *PropertyRegDataType = REG_SZ;
    if (!PropertyBuffer && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (PropertyBufferSize < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(PropertyBuffer, text->c_str(), need);
    return TRUE;
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    SIM_ENTER("SetupDiRemoveDevice", FALSE);
    sim::DeviceNode *node = ElementNode(DeviceInfoSet, DeviceInfoData);
    if (!node)
        return FALSE;
    if (simk::IsWow64() && D().Wow64RemovalRefused) {
        SetLastError(ERROR_IN_WOW64);
        return FALSE;
    }
    D().Removed.push_back({*node, simk::Now()});
    auto &nodes = D().Nodes;
    nodes.erase(nodes.begin() + (node - nodes.data()));
    return TRUE;
}
