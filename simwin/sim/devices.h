// USB printers plugged into the simulated machine, and the device nodes of
// every setup class (print queues and the like).
#pragma once

#include <windef.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct UsbPrinter {
    // The interface's device path as Windows reports it, for example
    // "\\?\usb#vid_3e8b&pid_0101#sn0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}".
    std::wstring DevicePath;
    // The "Device Parameters" values; an empty optional leaves the value out.
    std::optional<std::wstring> PortDescription;
    std::optional<DWORD> PortNumber;
    std::optional<std::wstring> SerialNumber;
};

// A device path for a USB printer with the given ids and serial number.
std::wstring UsbPrinterPath(const std::wstring &vidPid = L"vid_3e8b&pid_0101", const std::wstring &serial = L"sn0001");
// The registry path (below HKEY_LOCAL_MACHINE) of the interface's
// "Device Parameters" key.
std::wstring UsbPrinterParametersKey(const std::wstring &devicePath);

// Plugs a printer in: the interface becomes present and its parameters are
// written. Plugging the same device path again replaces its parameters.
void PlugUsbPrinter(const UsbPrinter &printer);
// Convenience: a printer reporting description on port number `port`.
std::wstring PlugUsbPrinter(const std::wstring &description, DWORD port, const std::wstring &serial = L"SN0001");
// The interface is no longer present (its registry key stays, as on Windows).
void UnplugUsbPrinter(const std::wstring &devicePath);
// Device information sets created and not destroyed yet (of both kinds).
int OpenDeviceInfoSets();

// --- Device nodes of every setup class -------------------------------------

struct DeviceNode {
    // The device instance id, e.g. "SWD\PRINTENUM\{...}"; its first part is
    // the enumerator.
    std::wstring InstanceId;
    // The setup class by name ("PrintQueue", "Printer", "USB", ...). A class
    // name the machine does not know yet is installed along with the device.
    std::wstring ClassName;
    // SPDRP_FRIENDLYNAME; an empty optional: the device has none.
    std::optional<std::wstring> FriendlyName;
    bool Present = true;
};
// Adds a device node (one of the same instance id is replaced).
void AddDevice(const DeviceNode &device);
// A print-queue device as the spooler makes one for a local queue: class
// "PrintQueue", friendly name the queue's name. Returns its instance id.
std::wstring AddPrintQueueDevice(const std::wstring &queueName);
// The device nodes of the machine, in order of addition.
const std::vector<DeviceNode> &DeviceNodes();
// Whether SetupDiRemoveDevice refuses a WOW64 caller with ERROR_IN_WOW64
// (0xE0000235): true on a reset machine. Its page does not say; it is the
// default handler of DIF_REMOVE, whose SetupDiCallClassInstaller is
// documented to refuse WOW64 callers, so the simulation refuses too unless a
// test wants the other answer. The queries (SetupDiGetClassDevsW/ExW,
// SetupDiEnumDeviceInfo, SetupDiEnumDeviceInterfaces,
// SetupDiGetDeviceInterfaceDetailW, SetupDiGetDeviceRegistryPropertyW,
// SetupDiClassGuidsFromNameW) work the same for every caller.
void SetWow64DeviceRemovalRefused(bool refused);
// Device nodes removed with SetupDiRemoveDevice, in order of removal.
struct RemovedDevice {
    DeviceNode Device;
    uint64_t Time = 0;
};
const std::vector<RemovedDevice> &RemovedDevices();
// The GUID of a setup class the machine knows ("PrintQueue",
// {1ed2bbf9-11f0-4084-b21f-ad83a8e6dcdc}, and so on).
GUID SetupClassGuid(const std::wstring &className);

}  // namespace sim
