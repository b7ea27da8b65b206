// USB printers plugged into the simulated machine.
#pragma once

#include <windef.h>

#include <optional>
#include <string>

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
int OpenDeviceInfoSets();

}  // namespace sim
