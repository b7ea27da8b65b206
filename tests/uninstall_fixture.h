// A machine with the product installed, as the uninstaller finds it: an x64
// machine whose driver store holds the product's packages (with the spooler's
// "DriverPackages" keys and the INF text), product drivers and queues, the
// language monitor and its DLL in the system directory, and the install
// folder; and the uninstall window run on it.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <strsafe.h>

#include <string>
#include <vector>

#include "common/globals.h"
#include "common/resource_ids.h"
#include "sim/core.h"
#include "sim/devices.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/registry.h"
#include "sim/spooler.h"
#include "sim/windows.h"
#include "tests/test_support.h"
#include "uninstall/uninstall_window.h"

namespace uninstall_fixture {

const wchar_t kFolder[] = L"C:\\Program Files\\Corvane\\";
const wchar_t kSourceInf[] = L"C:\\Program Files\\Corvane\\crvnv6.inf";
const wchar_t kPackagesKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation\\Windows x64\\DriverPackages";
const wchar_t kMonitor[] = L"Language Monitor";
const wchar_t kMonitorDll[] = L"C:\\Windows\\system32\\crvnmon.dll";
const char kDriverVer[] = "07/16/2025,2025.7.16.1";
// 2025.7.16.1 as DRIVER_INFO_8W's dwlDriverVersion.
const DWORDLONG kDriverVersion = (2025ull << 48) | (7ull << 32) | (16ull << 16) | 1ull;

}  // namespace uninstall_fixture

class UninstallFixture : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_AMD64);
    }

    // A package of the product's INF in the driver store (its store folder
    // named with hash), the INF's text there, and its "DriverPackages" key
    // (named subkey, or after the store folder). Returns the store path.
    static std::wstring AddStorePackage(const std::wstring &hash,
                                        const std::string &driverVer = uninstall_fixture::kDriverVer,
                                        const std::wstring &subkey = L"") {
        sim::SetDriverStoreHash(hash);
        std::wstring store = sim::AddDriverPackage(uninstall_fixture::kSourceInf);
        sim::files::WriteFile(store, sim::inf::PrinterInfText(driverVer));
        SetPackageKey(subkey.empty() ? L"crvnv6.inf_amd64_" + hash : subkey, store);
        return store;
    }

    static void SetPackageKey(const std::wstring &subkey, const std::wstring &storePath) {
        sim::SetMultiStringValue(std::wstring(uninstall_fixture::kPackagesKey) + L"\\" + subkey, L"DriverStorePath",
                                 {storePath});
    }

    // A product driver as the installation leaves it (infPath empty: none).
    static sim::PrinterDriver ProductDriver(const std::wstring &name, const std::wstring &infPath = L"") {
        sim::PrinterDriver d;
        d.pName = name;
        d.pDriverPath = std::wstring(L"crvndrv6.dll");
        d.pDataFile = std::wstring(L"crvndrv6.dat");
        d.pConfigFile = std::wstring(L"crvndrv6ui.dll");
        d.pMonitorName = std::wstring(uninstall_fixture::kMonitor);
        d.pszMfgName = std::wstring(L"Corvane");
        d.dwlDriverVersion = uninstall_fixture::kDriverVersion;
        if (!infPath.empty())
            d.pszInfPath = infPath;
        return d;
    }

    static void AddProductDriver(const std::wstring &name, const std::wstring &infPath = L"") {
        sim::AddDriver(ProductDriver(name, infPath));
    }

    // Another printer's driver installed from the package at store, which
    // keeps the package in use.
    static void AddOtherDriverFrom(const std::wstring &store) {
        sim::PrinterDriver other;
        other.pName = std::wstring(L"Generic");
        other.pDriverPath = std::wstring(L"unidrv.dll");
        other.pszInfPath = store;
        sim::AddDriver(other);
    }

    // A queue with its print-queue device node.
    static void AddQueue(const std::wstring &name, const std::wstring &driver, const std::wstring &port = L"USB001") {
        sim::PrintQueue q;
        q.pPrinterName = name;
        q.pPortName = port;
        q.pDriverName = driver;
        sim::AddQueue(q);
        sim::AddPrintQueueDevice(name);
    }

    // What a complete installation of one printer leaves: one package, the
    // driver installed from it, its queue, the monitor with its DLL and the
    // install folder. Returns the store path.
    static std::wstring InstallProduct(const std::wstring &model = L"Corvane MODEL") {
        std::wstring store = AddStorePackage(L"1a2b3c4d");
        AddProductDriver(model, store);
        AddQueue(model, model);
        sim::AddMonitor(uninstall_fixture::kMonitor, L"crvnmon.dll");
        sim::files::WriteFile(uninstall_fixture::kMonitorDll, "amd64\\crvnmon.dll");
        sim::files::LayOutInstallFolder(uninstall_fixture::kFolder);
        return store;
    }

    // The uninstall window on folder, as start-up shows it for -u.
    static sim::Process RunUninstallWindow(uint64_t timeLimit = 600000,
                                           const std::wstring &folder = uninstall_fixture::kFolder) {
        return RunProgramWindow(IDD_UNINSTALL, UninstallDlgProc, folder, timeLimit,
                                L"C:\\Users\\Setup\\AppData\\Local\\Temp\\uni1.tmp");
    }

    static HWND Window() { return sim::FindDialog(IDD_UNINSTALL); }

    static void ClickAt(uint64_t time, int id) {
        sim::At(time, [id] { sim::Click(Window(), id); });
    }

    // The names of the calls among apis, in order.
    static std::vector<std::string> CallsAmong(const std::vector<std::string> &apis) {
        std::vector<std::string> out;
        for (const sim::Call &c : sim::Calls())
            for (auto &a : apis)
                if (c.Api == a)
                    out.push_back(c.Api);
        return out;
    }

    static std::vector<std::wstring> MessageTexts() {
        std::vector<std::wstring> texts;
        for (auto &b : sim::MessageBoxes())
            texts.push_back(b.Text);
        return texts;
    }
};
