// The simulated spooler and Plug and Play manager, where a mistake would hide
// a product fault: the enumeration buffer protocol, the driver directory per
// environment, a stopped spooler, the spooler's refusals, the driver store
// and the delayed Plug and Play installation.
#include <windows.h>
#include <winspool.h>
#include <winsvc.h>
#include <cfgmgr32.h>
#include <newdev.h>

#include <string>
#include <vector>

#include "sim/files.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "sim/services.h"
#include "sim/spooler.h"
#include "tests/test_support.h"

namespace {

class SimSpoolerTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_AMD64);
    }

    static bool Inside(const void *p, const std::vector<BYTE> &buffer) {
        const BYTE *b = static_cast<const BYTE *>(p);
        return b >= buffer.data() && b < buffer.data() + buffer.size();
    }

    static void AddDriver(const std::wstring &name, uint64_t listedAt = 0) {
        sim::PrinterDriver d;
        d.pName = name;
        d.pDriverPath = std::wstring(L"crvndrv6.dll");
        d.pDataFile = std::wstring(L"crvndrv6.dat");
        d.pConfigFile = std::wstring(L"crvndrv6ui.dll");
        d.pDependentFiles = std::vector<std::wstring>{L"crvnmon.dll", L"extra.dll"};
        d.ListedAt = listedAt;
        sim::AddDriver(d);
    }
};

TEST_F(SimSpoolerTest, PortsFollowedByTheirStringsInTheCallersBuffer) {
    sim::AddPort(L"USB001");
    sim::AddPort(L"LPT1:");
    DWORD needed = 0, count = 7;
    EXPECT_FALSE(EnumPortsW(NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0u, count);
    // Name, monitor and description of each, with their terminators.
    const size_t chars = (7 + 12 + 29) + (6 + 12 + 29);
    EXPECT_EQ(2 * sizeof(PORT_INFO_2W) + chars * sizeof(WCHAR), needed);

    std::vector<BYTE> buffer(needed - 1);
    EXPECT_FALSE(EnumPortsW(NULL, 2, buffer.data(), (DWORD)buffer.size(), &needed, &count));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());

    buffer.resize(needed);
    ASSERT_TRUE(EnumPortsW(NULL, 2, buffer.data(), needed, &needed, &count));
    ASSERT_EQ(2u, count);
    const PORT_INFO_2W *ports = reinterpret_cast<const PORT_INFO_2W *>(buffer.data());
    EXPECT_EQ(std::wstring(L"USB001"), ports[0].pPortName);
    EXPECT_EQ(std::wstring(L"LPT1:"), ports[1].pPortName);
    EXPECT_EQ(std::wstring(L"USB Monitor"), ports[1].pMonitorName);
    for (DWORD i = 0; i < count; i++) {
        EXPECT_TRUE(Inside(ports[i].pPortName, buffer));
        EXPECT_TRUE(Inside(ports[i].pMonitorName, buffer));
        EXPECT_TRUE(Inside(ports[i].pDescription, buffer));
    }
    EXPECT_FALSE(EnumPortsW(NULL, 3, buffer.data(), needed, &needed, &count));
    EXPECT_EQ((DWORD)ERROR_INVALID_LEVEL, GetLastError());
}

TEST_F(SimSpoolerTest, DriversListedAsTheSpoolerReportsThem) {
    DWORD needed = 5, count = 5;
    EXPECT_TRUE(EnumPrinterDriversW(NULL, NULL, 8, NULL, 0, &needed, &count));
    EXPECT_EQ(0u, needed);
    EXPECT_EQ(0u, count);

    AddDriver(L"Corvane MODEL");
    AddDriver(L"Corvane LATE", 3000);
    EXPECT_FALSE(EnumPrinterDriversW(NULL, NULL, 8, NULL, 0, &needed, &count));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(EnumPrinterDriversW(NULL, NULL, 8, buffer.data(), needed, &needed, &count));
    ASSERT_EQ(1u, count);  // the other one is not listed yet
    const DRIVER_INFO_8W *d = reinterpret_cast<const DRIVER_INFO_8W *>(buffer.data());
    EXPECT_EQ(std::wstring(L"Corvane MODEL"), d->pName);
    EXPECT_EQ(std::wstring(L"Windows x64"), d->pEnvironment);
    EXPECT_EQ(std::wstring(L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\crvndrv6.dll"), d->pDriverPath);
    EXPECT_TRUE(Inside(d->pDriverPath, buffer));
    // The dependent files form a multi-string with its double terminator.
    const WCHAR *p = d->pDependentFiles;
    EXPECT_EQ(std::wstring(L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\crvnmon.dll"), p);
    p += wcslen(p) + 1;
    EXPECT_EQ(std::wstring(L"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\extra.dll"), p);
    p += wcslen(p) + 1;
    EXPECT_EQ(0, *p);
    EXPECT_TRUE(Inside(p, buffer));
    EXPECT_EQ(nullptr, d->pMonitorName);

    // Another environment's drivers are not listed.
    EXPECT_TRUE(EnumPrinterDriversW(NULL, (LPWSTR)L"Windows NT x86", 8, NULL, 0, &needed, &count));
    EXPECT_EQ(0u, needed);

    Sleep(3000);
    EXPECT_FALSE(EnumPrinterDriversW(NULL, NULL, 8, buffer.data(), (DWORD)buffer.size(), &needed, &count));
    buffer.resize(needed);
    ASSERT_TRUE(EnumPrinterDriversW(NULL, NULL, 8, buffer.data(), needed, &needed, &count));
    EXPECT_EQ(2u, count);
}

TEST_F(SimSpoolerTest, DriverDirectoryPerEnvironmentInBytes) {
    const std::wstring x64 = L"C:\\Windows\\system32\\spool\\DRIVERS\\x64";
    WCHAR dir[MAX_PATH];
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterDriverDirectoryW(NULL, NULL, 1, (LPBYTE)dir, (DWORD)(x64.size() * sizeof(WCHAR)), &needed));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ((x64.size() + 1) * sizeof(WCHAR), needed);
    ASSERT_TRUE(GetPrinterDriverDirectoryW(NULL, NULL, 1, (LPBYTE)dir, needed, &needed));
    EXPECT_EQ(x64, dir);

    ASSERT_TRUE(GetPrinterDriverDirectoryW(NULL, (LPWSTR)L"Windows NT x86", 1, (LPBYTE)dir, sizeof(dir), &needed));
    EXPECT_EQ(std::wstring(L"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86"), dir);

    sim::SetNativeArchitecture(PROCESSOR_ARCHITECTURE_ARM64);
    ASSERT_TRUE(GetPrinterDriverDirectoryW(NULL, NULL, 1, (LPBYTE)dir, sizeof(dir), &needed));
    EXPECT_EQ(std::wstring(L"C:\\Windows\\system32\\spool\\DRIVERS\\ARM64"), dir);

    EXPECT_FALSE(GetPrinterDriverDirectoryW(NULL, (LPWSTR)L"Windows 95", 1, (LPBYTE)dir, sizeof(dir), &needed));
    EXPECT_EQ((DWORD)ERROR_INVALID_ENVIRONMENT, GetLastError());
    EXPECT_FALSE(GetPrinterDriverDirectoryW(NULL, NULL, 2, (LPBYTE)dir, sizeof(dir), &needed));
    EXPECT_EQ((DWORD)ERROR_INVALID_LEVEL, GetLastError());
}

TEST_F(SimSpoolerTest, StoppedSpoolerAnswersThatItIsUnavailable) {
    sim::AddPort(L"USB001");
    sim::files::WriteFile(L"C:\\pkg\\crvnv6.inf", "inf");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    DWORD needed = 0, count = 0;
    EXPECT_FALSE(EnumPortsW(NULL, 2, NULL, 0, &needed, &count));
    EXPECT_EQ((DWORD)RPC_S_SERVER_UNAVAILABLE, GetLastError());
    HANDLE h = (HANDLE)1;
    EXPECT_FALSE(OpenPrinterW((LPWSTR)L"Corvane MODEL", &h, NULL));
    EXPECT_EQ((DWORD)RPC_S_SERVER_UNAVAILABLE, GetLastError());
    EXPECT_EQ(nullptr, h);
    WCHAR store[MAX_PATH] = {0};
    ULONG cch = MAX_PATH;
    EXPECT_EQ(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
              UploadPrinterDriverPackageW(NULL, L"C:\\pkg\\crvnv6.inf", NULL, 2, NULL, store, &cch));
    EXPECT_TRUE(sim::DriverPackages().empty());
}

TEST_F(SimSpoolerTest, QueueCreationRefusals) {
    sim::AddPort(L"USB001");
    AddDriver(L"Corvane MODEL");
    PRINTER_INFO_2W info = {};
    info.pPrinterName = (LPWSTR)L"Corvane MODEL";
    info.pPortName = (LPWSTR)L"USB001";
    info.pDriverName = (LPWSTR)L"Corvane MODEL";
    info.pPrintProcessor = (LPWSTR)L"WinPrint";
    info.pDatatype = (LPWSTR)L"RAW";
    info.Attributes = PRINTER_ATTRIBUTE_LOCAL;

    info.pPortName = (LPWSTR)L"USB009";
    EXPECT_EQ(nullptr, AddPrinterW(NULL, 2, (LPBYTE)&info));
    EXPECT_EQ(1796u, GetLastError());
    info.pPortName = (LPWSTR)L"USB001";
    info.pDriverName = (LPWSTR)L"Corvane OTHER";
    EXPECT_EQ(nullptr, AddPrinterW(NULL, 2, (LPBYTE)&info));
    EXPECT_EQ((DWORD)ERROR_UNKNOWN_PRINTER_DRIVER, GetLastError());
    info.pDriverName = (LPWSTR)L"Corvane MODEL";

    HANDLE added = AddPrinterW(NULL, 2, (LPBYTE)&info);
    ASSERT_NE(nullptr, added);
    EXPECT_TRUE(ClosePrinter(added));
    info.pPrinterName = (LPWSTR)L"corvane model";
    EXPECT_EQ(nullptr, AddPrinterW(NULL, 2, (LPBYTE)&info));
    EXPECT_EQ((DWORD)ERROR_PRINTER_ALREADY_EXISTS, GetLastError());

    HANDLE h = NULL;
    EXPECT_FALSE(OpenPrinterW((LPWSTR)L"Corvane OTHER", &h, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_PRINTER_NAME, GetLastError());
    ASSERT_TRUE(OpenPrinterW((LPWSTR)L"Corvane MODEL", &h, NULL));
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(h, 2, NULL, 0, &needed));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(GetPrinterW(h, 2, buffer.data(), needed, &needed));
    const PRINTER_INFO_2W *q = reinterpret_cast<const PRINTER_INFO_2W *>(buffer.data());
    EXPECT_EQ(std::wstring(L"USB001"), q->pPortName);
    EXPECT_TRUE(Inside(q->pDatatype, buffer));
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_FALSE(ClosePrinter(h));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(SimSpoolerTest, DriverFilesAndMonitorDllMustBeInPlace) {
    AddDriver(L"placeholder");  // the driver directory itself is not checked
    DRIVER_INFO_8W d = {};
    d.cVersion = 3;
    d.pName = (LPWSTR)L"Corvane MODEL";
    d.pDriverPath = (LPWSTR)L"crvndrv6.dll";
    d.pDataFile = (LPWSTR)L"crvndrv6.dat";
    d.pConfigFile = (LPWSTR)L"crvndrv6ui.dll";
    EXPECT_FALSE(AddPrinterDriverW(NULL, 8, (LPBYTE)&d));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    for (const wchar_t *f : {L"crvndrv6.dll", L"crvndrv6.dat", L"crvndrv6ui.dll"})
        sim::files::WriteFile(sim::PrinterDriverDirectory() + L"\\" + f, "x");
    EXPECT_TRUE(AddPrinterDriverW(NULL, 8, (LPBYTE)&d));

    MONITOR_INFO_2W m = {(LPWSTR)L"Language Monitor", NULL, (LPWSTR)L"crvnmon.dll"};
    EXPECT_FALSE(AddMonitorW(NULL, 2, (LPBYTE)&m));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    sim::files::WriteFile(L"C:\\Windows\\system32\\crvnmon.dll", "x");
    EXPECT_TRUE(AddMonitorW(NULL, 2, (LPBYTE)&m));
    EXPECT_FALSE(AddMonitorW(NULL, 2, (LPBYTE)&m));
    EXPECT_EQ((DWORD)ERROR_PRINT_MONITOR_ALREADY_INSTALLED, GetLastError());
}

TEST_F(SimSpoolerTest, UploadCopiesThePackageIntoTheStore) {
    const std::wstring inf = L"C:\\Program Files\\Corvane\\crvnv6.inf";
    const std::wstring store =
        L"C:\\Windows\\System32\\DriverStore\\FileRepository\\crvnv6.inf_amd64_1a2b3c4d\\crvnv6.inf";
    WCHAR dest[MAX_PATH] = {0};
    ULONG cch = 10;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              UploadPrinterDriverPackageW(NULL, inf.c_str(), NULL, 2, NULL, dest, &cch));

    sim::files::WriteFile(inf, "[Version]");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
              UploadPrinterDriverPackageW(NULL, inf.c_str(), NULL, 2, NULL, dest, &cch));
    EXPECT_EQ(store.size() + 1, cch);

    cch = MAX_PATH;
    EXPECT_EQ(S_OK, UploadPrinterDriverPackageW(NULL, inf.c_str(), NULL, 2, NULL, dest, &cch));
    EXPECT_EQ(store, dest);
    EXPECT_EQ("[Version]", sim::files::ReadFile(store));
    ASSERT_EQ(1u, sim::DriverPackages().size());
    EXPECT_EQ(store, sim::DriverPackages()[0].StoreInf);

    // The spooler keeps its record of the package beside the store.
    EXPECT_EQ(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\PackageInstallation\\Windows x64\\"
              L"DriverPackages\\crvnv6.inf_amd64_1a2b3c4d",
              sim::DriverPackageKey(store));
    EXPECT_TRUE(sim::KeyExists(sim::DriverPackageKey(store)));

    sim::FailCall("UploadPrinterDriverPackageW", (DWORD)E_NOTIMPL);
    EXPECT_EQ(E_NOTIMPL, UploadPrinterDriverPackageW(NULL, inf.c_str(), NULL, 2, NULL, dest, &cch));
    EXPECT_EQ(1u, sim::Uploads().size());

    // Deleting it is one environment's business; the record and the store
    // folder go with the package.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              DeletePrinterDriverPackageW(NULL, store.c_str(), L"Windows NT x86"));
    EXPECT_EQ(S_OK, DeletePrinterDriverPackageW(NULL, store.c_str(), L"Windows x64"));
    EXPECT_TRUE(sim::DriverPackages().empty());
    EXPECT_FALSE(sim::KeyExists(sim::DriverPackageKey(store)));
    EXPECT_FALSE(sim::files::Exists(store));
}

TEST_F(SimSpoolerTest, PlugAndPlayInstallsOnlyDeclaredPrintersFromUploadedPackages) {
    const std::wstring inf = L"C:\\Program Files\\Corvane\\crvnv6.inf";
    sim::files::WriteFile(inf, "[Version]");
    sim::PlugPrinter({L"usbprint\\corvanemodel1b2c", L"Corvane MODEL", L"Corvane MODEL", L"USB001", 3000});

    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"usbprint\\corvanemodel1b2c", inf.c_str(), 1, NULL));
    EXPECT_EQ(ERROR_NO_SUCH_DEVINST, GetLastError());  // not uploaded yet

    sim::AddDriverPackage(inf);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"usbprint\\other", inf.c_str(), 1, NULL));
    EXPECT_EQ(ERROR_NO_SUCH_DEVINST, GetLastError());

    BOOL reboot = TRUE;
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesW(NULL, L"USBPRINT\\CorvaneMODEL1B2C", inf.c_str(), 1, &reboot));
    EXPECT_FALSE(reboot);
    Sleep(2999);
    EXPECT_EQ(nullptr, sim::FindQueue(L"Corvane MODEL"));
    Sleep(1);
    ASSERT_NE(nullptr, sim::FindQueue(L"Corvane MODEL"));
    EXPECT_EQ(L"USB001", sim::FindQueue(L"Corvane MODEL")->pPortName);
    ASSERT_NE(nullptr, sim::FindDriver(L"Corvane MODEL"));
    EXPECT_EQ(sim::DriverStorePath(inf), sim::FindDriver(L"Corvane MODEL")->pszInfPath.value_or(L""));
    EXPECT_EQ(3u, sim::DriverUpdates().size());
}

TEST_F(SimSpoolerTest, RootLocatedAndReenumerationsRecorded) {
    DEVINST root = 0;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS, CM_Locate_DevNodeW(&root, NULL, CM_LOCATE_DEVNODE_NORMAL));
    EXPECT_EQ(sim::kRootDevInst, root);
    Sleep(500);
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS));
    EXPECT_EQ((CONFIGRET)CR_INVALID_DEVNODE, CM_Reenumerate_DevNode(0, CM_REENUMERATE_NORMAL));
    ASSERT_EQ(1u, sim::Reenumerations().size());
    EXPECT_EQ(1u, sim::Reenumerations()[0].Flags);
    EXPECT_EQ(500u, sim::Reenumerations()[0].Time);
}

TEST_F(SimSpoolerTest, DeletionsRefuseWhatIsInUse) {
    sim::AddPort(L"USB001");
    AddDriver(L"Corvane MODEL");
    sim::PrintQueue q;
    q.pPrinterName = L"Corvane MODEL";
    q.pPortName = L"USB001";
    q.pDriverName = L"Corvane MODEL";
    sim::AddQueue(q);

    EXPECT_FALSE(DeletePrinterDriverExW(NULL, NULL, (LPWSTR)L"Corvane MODEL", DPD_DELETE_UNUSED_FILES, 0));
    EXPECT_EQ((DWORD)ERROR_PRINTER_DRIVER_IN_USE, GetLastError());
    HANDLE h = NULL;
    ASSERT_TRUE(OpenPrinterW((LPWSTR)L"Corvane MODEL", &h, NULL));
    EXPECT_TRUE(DeletePrinter(h));
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_TRUE(DeletePrinterDriverExW(NULL, NULL, (LPWSTR)L"Corvane MODEL", DPD_DELETE_UNUSED_FILES, 0));
    EXPECT_FALSE(DeletePrinterDriverExW(NULL, NULL, (LPWSTR)L"Corvane MODEL", DPD_DELETE_UNUSED_FILES, 0));
    EXPECT_EQ((DWORD)ERROR_UNKNOWN_PRINTER_DRIVER, GetLastError());
    EXPECT_FALSE(DeleteMonitorW(NULL, NULL, (LPWSTR)L"Language Monitor"));
    EXPECT_EQ((DWORD)ERROR_UNKNOWN_PRINT_MONITOR, GetLastError());

    // A monitor stays while a driver names it as its language monitor.
    sim::AddMonitor(L"Language Monitor", L"crvnmon.dll");
    sim::PrinterDriver d;
    d.pName = std::wstring(L"Corvane LM");
    d.pMonitorName = std::wstring(L"language monitor");
    sim::AddDriver(d);
    EXPECT_FALSE(DeleteMonitorW(NULL, NULL, (LPWSTR)L"Language Monitor"));
    EXPECT_EQ((DWORD)ERROR_PRINT_MONITOR_IN_USE, GetLastError());
    EXPECT_TRUE(DeletePrinterDriverExW(NULL, NULL, (LPWSTR)L"Corvane LM", DPD_DELETE_UNUSED_FILES, 0));
    EXPECT_TRUE(DeleteMonitorW(NULL, NULL, (LPWSTR)L"Language Monitor"));
    EXPECT_TRUE(sim::Monitors().empty());
}

}  // namespace
