// A machine ready for installing one printer: an x64 machine with the
// product's install folder laid out, the spooler listing the printer's USB
// port, and an install request for "Corvane MODEL" on that port.
#pragma once

#include <windows.h>
#include <strsafe.h>

#include <string>
#include <vector>

#include "common/globals.h"
#include "install/discovery.h"
#include "install/install_sequence.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/pnp.h"
#include "sim/spooler.h"
#include "tests/test_support.h"

namespace install_fixture {

const wchar_t kInstallDir[] = L"C:\\Program Files\\Corvane\\";
const wchar_t kInfPath[] = L"C:\\Program Files\\Corvane\\crvnv6.inf";
const wchar_t kDriverName[] = L"Corvane MODEL";
const wchar_t kQueueName[] = L"Corvane MODEL";
const wchar_t kPort[] = L"USB001";
const wchar_t kHardwareId[] = L"usbprint\\corvanemodel1b2c";
const wchar_t kDriverDir[] = L"C:\\Windows\\system32\\spool\\DRIVERS\\x64";
const BYTE kUsesMonitor = 0x10;
const wchar_t kSetup[] = L"C:\\Program Files\\Corvane\\setup.exe";

// The hardware id discovery makes of a printer's description.
inline std::wstring HardwareIdOf(const std::wstring &description) {
    std::string narrow(description.begin(), description.end());
    WCHAR checksum[8];
    StringCchPrintfW(checksum, 8, L"%04x",
                     (unsigned)ComputeIdChecksum((const BYTE *)narrow.c_str(), (WORD)narrow.size()));
    std::wstring id = L"usbprint\\" + description + checksum;
    for (wchar_t &c : id)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return id;
}

// A machine ready for a run of the whole program: the install folder with
// setup.exe in it, the USB port, and one printer reporting `description` on
// port 1. With plugAndPlay, Plug and Play installs its driver and queue, both
// named `description`, from the uploaded package two seconds after it is
// asked (and, with rebootRequired, says a restart is needed); without, it
// knows nothing of the printer and only the manual road can install it.
// The folder may be another than kInstallDir (one that users can write).
inline void ArrangeProgramInstall(const std::wstring &description, bool plugAndPlay, bool rebootRequired = false,
                                  const std::wstring &folder = kInstallDir) {
    sim::files::LayOutInstallFolder(folder);
    sim::files::WriteFile(folder + L"setup.exe", "program image");
    sim::AddPort(kPort);
    sim::PlugUsbPrinter(description, 1, L"SN0001");
    if (plugAndPlay) {
        sim::PnpPrinter printer;
        printer.HardwareId = HardwareIdOf(description);
        printer.DriverName = description;
        printer.QueueName = description;
        printer.PortName = kPort;
        printer.Delay = 2000;
        printer.RebootRequired = rebootRequired;
        sim::PlugPrinter(printer);
    }
}

// Runs the children that the program starts from its x64 or ARM64 build (the
// hand-over of the Plug and Play call under WOW64) as they are created;
// CreateProcessW itself only records a process.
inline void RunNativeBuildChildren() {
    sim::OnProcessCreated([](const sim::Process &child) {
        std::string image = sim::files::ReadFile(child.ImageFile);
        if (image == sim::kProgramImage64 || image == sim::kProgramImageArm64)
            sim::StartCreatedProcess(child.Id);
    });
}

}  // namespace install_fixture

class InstallFixture : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_AMD64);
        StringCchCopyW(InstallDir, INSTALL_DIR_CCH, install_fixture::kInstallDir);
        StringCchCopyW(InfPath, INSTALL_DIR_CCH, install_fixture::kInfPath);
        sim::files::LayOutInstallFolder(install_fixture::kInstallDir);
        sim::AddPort(install_fixture::kPort);
        request = InstallRequest();
        StringCchCopyW(request.DriverName, REQUEST_TEXT_CCH, install_fixture::kDriverName);
        StringCchCopyW(request.QueueName, REQUEST_TEXT_CCH, install_fixture::kQueueName);
        StringCchCopyW(request.PortName, REQUEST_TEXT_CCH, install_fixture::kPort);
        StringCchCopyW(request.HardwareId, REQUEST_TEXT_CCH, install_fixture::kHardwareId);
        request.Options = 0;
    }

    // The driver files in the printer-driver directory, as the deployment
    // leaves them.
    static void PlaceDriverFiles() {
        for (const wchar_t *name : {L"crvndrv6.dll", L"crvndrv6ui.dll", L"crvndrv6.dat", L"crvnmon.dll"})
            sim::files::WriteFile(std::wstring(install_fixture::kDriverDir) + L"\\" + name, "stand-in");
    }

    // A driver already installed under this name.
    static void InstallDriver(const std::wstring &name) {
        sim::PrinterDriver d;
        d.pName = name;
        d.pDriverPath = std::wstring(L"crvndrv6.dll");
        d.pDataFile = std::wstring(L"crvndrv6.dat");
        d.pConfigFile = std::wstring(L"crvndrv6ui.dll");
        sim::AddDriver(d);
    }

    // A queue that already exists.
    static void InstallQueue(const std::wstring &name, const std::wstring &port) {
        sim::PrintQueue q;
        q.pPrinterName = name;
        q.pPortName = port;
        q.pDriverName = install_fixture::kDriverName;
        sim::AddQueue(q);
    }

    static int Count(const std::string &api) { return sim::CallCount(api); }

    // How many debugger-output lines contain text.
    static int LinesWith(const std::wstring &text) {
        int n = 0;
        for (auto &line : sim::DebugLines())
            if (line.find(text) != std::wstring::npos)
                n++;
        return n;
    }

    static std::vector<std::wstring> Lines() { return TraceLines(); }

    InstallRequest request;
};
