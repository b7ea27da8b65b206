// Installing one printer end to end: the queue that already exists, the Plug
// and Play road with its ten-second wait, the language-monitor model that
// ends the wait early, the manual fallback, the failed upload, the spooler
// restart for a port the spooler does not list, and the hardware id of the
// latest scan.
#include <windows.h>
#include <winspool.h>
#include <winsvc.h>
#include <cfgmgr32.h>

#include "install/discovery.h"
#include "install/install_sequence.h"
#include "sim/pnp.h"
#include "sim/services.h"
#include "sim/spooler.h"
#include "tests/install_fixture.h"

namespace {

using namespace install_fixture;
using Strings = std::vector<std::wstring>;

class InstallSequenceTest : public InstallFixture {
protected:
    void SetUp() override {
        InstallFixture::SetUp();
        printer.HardwareId = kHardwareId;
        printer.DriverName = kDriverName;
        printer.QueueName = kQueueName;
        printer.PortName = kPort;
        printer.Delay = 0;
    }

    void TearDown() override {
        // Whatever happened, the spooler runs again and nothing is left open.
        EXPECT_TRUE(sim::ServiceRunning(L"Spooler"));
        EXPECT_EQ(0, sim::OpenPrinterHandles());
        InstallFixture::TearDown();
    }

    void Plug() { sim::PlugPrinter(printer); }

    static std::wstring UploadLine() {
        return L"DoUploadDriverPackage, " + sim::DriverStorePath(kInfPath) + L", code:0.";
    }

    static uint64_t FirstCallTime(const std::string &api) {
        for (auto &c : sim::Calls())
            if (c.Api == api)
                return c.Time;
        return UINT64_MAX;
    }

    static DeviceRecord Device(const wchar_t *port, const wchar_t *hardwareId) {
        DeviceRecord d = DeviceRecord();
        StringCchCopyW(d.PortName, DEVICE_TEXT_CCH, port);
        StringCchCopyW(d.HardwareId, DEVICE_TEXT_CCH, hardwareId);
        return d;
    }

    sim::PnpPrinter printer;
};

TEST_F(InstallSequenceTest, ExistingQueueGives3AndTouchesNothing) {
    Plug();
    InstallQueue(kQueueName, L"USB002");
    EXPECT_EQ(3, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(1, Count("OpenPrinterW"));
    EXPECT_EQ(0, Count("UploadPrinterDriverPackageW"));
    EXPECT_EQ(0, Count("CM_Locate_DevNodeW"));
    EXPECT_EQ(0, Count("UpdateDriverForPlugAndPlayDevicesW"));
    EXPECT_EQ(0, Count("EnumPortsW"));
    EXPECT_EQ(0, Count("SetPrinterW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
    EXPECT_TRUE(sim::Uploads().empty());
    EXPECT_EQ(L"USB002", sim::FindQueue(kQueueName)->pPortName);
    EXPECT_EQ(0u, sim::Now());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(InstallSequenceTest, PlugAndPlayQueueStillWaitsAllTenTries) {
    Plug();
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(10000u, sim::Now());
    EXPECT_EQ(10, Count("Sleep"));
    EXPECT_EQ(1 + 10 + 1, Count("OpenPrinterW"));
    EXPECT_EQ(Strings{UploadLine()}, Lines());

    ASSERT_EQ(1u, sim::Uploads().size());
    EXPECT_TRUE(IsStagedCopy(sim::Uploads()[0].SourceInf, L"crvnv6.inf"));
    EXPECT_EQ(0x2u, sim::Uploads()[0].Flags);
    EXPECT_EQ(L"Windows x64", sim::Uploads()[0].Environment);

    ASSERT_EQ(1u, sim::Reenumerations().size());
    EXPECT_EQ(sim::kRootDevInst, sim::Reenumerations()[0].DevInst);
    EXPECT_EQ(0u, sim::Reenumerations()[0].Flags);

    ASSERT_EQ(1u, sim::DriverUpdates().size());
    const sim::DriverUpdate &update = sim::DriverUpdates()[0];
    EXPECT_EQ(std::wstring(kHardwareId), update.HardwareId);
    EXPECT_EQ(sim::Uploads()[0].SourceInf, update.InfPath);
    EXPECT_EQ(1u, update.InstallFlags);
    EXPECT_FALSE(update.RebootPointerGiven);

    ASSERT_NE(nullptr, sim::FindQueue(kQueueName));
    EXPECT_TRUE(sim::FindQueue(kQueueName)->AddedByPnp);
    EXPECT_EQ(0, Count("AddPrinterW"));
    EXPECT_EQ(0, Count("AddPrinterDriverW"));
    EXPECT_EQ(2, Count("EnumPortsW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
}

TEST_F(InstallSequenceTest, LanguageMonitorModelEndsTheWaitWhenTheQueueAppears) {
    request.Options = kUsesMonitor;
    printer.Delay = 1500;  // present at the third try
    Plug();
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));

    // Two sleeps, then the monitor DLL's deployment (a 200 ms pause while
    // the spooler is stopped), then the final lookup.
    EXPECT_EQ(2000u, FirstCallTime("DeleteFileW"));
    EXPECT_EQ(2200u, sim::Now());
    EXPECT_EQ(1 + 3 + 1, Count("OpenPrinterW"));
    EXPECT_EQ(1, LinesWith(L"CopyFile file:"));
    EXPECT_EQ(1, LinesWith(L"\\amd64\\crvnmon.dll to " + std::wstring(kDriverDir) + L"\\crvnmon.dll, 1"));
    EXPECT_EQ("amd64\\crvnmon.dll", sim::files::ReadFile(L"C:\\Windows\\system32\\crvnmon.dll"));
    ASSERT_EQ(2u, sim::ServiceRequests().size());  // the DLL's copy, not a restart
    EXPECT_EQ(0, Count("AddPrinterW"));
}

TEST_F(InstallSequenceTest, LanguageMonitorModelWithoutQueueWaitsTenSeconds) {
    request.Options = kUsesMonitor;
    printer.Delay = sim::kPnpNever;
    Plug();
    sim::FailCall("AddPrinterDriverW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, InstallPrinter(&request, kInfPath));
    // The monitor DLL is deployed once, by the fallback.
    EXPECT_EQ(1, LinesWith(L"\\amd64\\crvnmon.dll to " + std::wstring(kDriverDir) + L"\\crvnmon.dll"));
    EXPECT_EQ(10000u, FirstCallTime("DeleteFileW"));
}

TEST_F(InstallSequenceTest, QueueNeverFromPlugAndPlayFallsBackAndSucceeds) {
    printer.Delay = sim::kPnpNever;
    Plug();
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(10000u, sim::Now());
    EXPECT_EQ(10000u, FirstCallTime("DeleteFileW"));
    EXPECT_EQ(UploadLine(), Lines().at(0));
    EXPECT_EQ(1, Count("AddPrinterDriverW"));
    EXPECT_EQ(1, Count("AddPrinterW"));
    ASSERT_NE(nullptr, sim::FindQueue(kQueueName));
    EXPECT_FALSE(sim::FindQueue(kQueueName)->AddedByPnp);
    EXPECT_EQ(std::wstring(kPort), sim::FindQueue(kQueueName)->pPortName);
    EXPECT_TRUE(sim::ServiceRequests().empty());
}

TEST_F(InstallSequenceTest, FailedFallbackGives0WithoutPortCheck) {
    printer.Delay = sim::kPnpNever;
    Plug();
    sim::RemovePort(kPort);  // a port check would restart the spooler
    sim::FailCall("AddPrinterDriverW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(0, Count("EnumPortsW"));
    EXPECT_TRUE(sim::ServiceRequests().empty());
    EXPECT_EQ(1, LinesWith(L"AddPrinterDriver failed, errcode:5."));
}

TEST_F(InstallSequenceTest, FailedUploadSkipsPlugAndPlay) {
    Plug();
    sim::FailCall("UploadPrinterDriverPackageW", (DWORD)E_NOTIMPL);
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(L"DoUploadDriverPackage, , code:-2147467263.", Lines().at(0));
    EXPECT_EQ(0, Count("CM_Locate_DevNodeW"));
    EXPECT_EQ(0, Count("CM_Reenumerate_DevNode"));
    EXPECT_EQ(0, Count("UpdateDriverForPlugAndPlayDevicesW"));
    // No wait: the final lookup and the fallback follow at once.
    EXPECT_EQ(0, Count("Sleep"));
    EXPECT_EQ(0u, sim::Now());
    EXPECT_EQ(1, Count("AddPrinterW"));
}

TEST_F(InstallSequenceTest, MissingInfFailsTheUploadWithCode2) {
    sim::files::Remove(kInfPath);
    EXPECT_EQ(0, DoUploadDriverPackage(kInfPath));
    EXPECT_EQ(Strings{L"DoUploadDriverPackage, , code:-2147024894."}, Lines());
}

TEST_F(InstallSequenceTest, UploadWritesTheStorePath) {
    EXPECT_EQ(1, DoUploadDriverPackage(kInfPath));
    EXPECT_EQ(Strings{L"DoUploadDriverPackage, "
                      L"C:\\Windows\\System32\\DriverStore\\FileRepository\\crvnv6.inf_amd64_1a2b3c4d\\crvnv6.inf, "
                      L"code:0."},
              Lines());
}

TEST_F(InstallSequenceTest, UnlistedPortRestartsTheSpoolerOnce) {
    Plug();
    sim::RemovePort(kPort);
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    ASSERT_EQ(2u, sim::ServiceRequests().size());
    EXPECT_FALSE(sim::ServiceRequests()[0].Start);
    EXPECT_EQ((DWORD)SERVICE_CONTROL_STOP, sim::ServiceRequests()[0].Control);
    EXPECT_TRUE(sim::ServiceRequests()[1].Start);
    EXPECT_EQ(10000u, sim::ServiceRequests()[0].Time);
    // The port is not looked up again.
    EXPECT_EQ(2, Count("EnumPortsW"));
}

TEST_F(InstallSequenceTest, QueueOnAnotherPortKeepsIt) {
    printer.PortName = L"USB002";
    sim::AddPort(L"USB002");
    Plug();
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(0, Count("SetPrinterW"));
    EXPECT_EQ(L"USB002", sim::FindQueue(kQueueName)->pPortName);
    EXPECT_TRUE(sim::ServiceRequests().empty());
}

TEST_F(InstallSequenceTest, HardwareIdOfTheLatestScan) {
    const wchar_t latest[] = L"usbprint\\corvanemodel9999";
    DeviceRecord other = Device(L"USB002", L"usbprint\\corvaneother0001");
    DeviceRecord mine = Device(kPort, latest);
    mine.Next = &other;
    DiscoveredDevices = &mine;
    printer.HardwareId = latest;
    Plug();

    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(std::wstring(latest), request.HardwareId);
    ASSERT_EQ(1u, sim::DriverUpdates().size());
    EXPECT_EQ(std::wstring(latest), sim::DriverUpdates()[0].HardwareId);
    EXPECT_TRUE(sim::DriverUpdates()[0].Result);
}

TEST_F(InstallSequenceTest, WithoutScanRecordTheRequestsOwnIdIsUsed) {
    DeviceRecord other = Device(L"USB002", L"usbprint\\corvaneother0001");
    DiscoveredDevices = &other;
    Plug();
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    EXPECT_EQ(std::wstring(kHardwareId), request.HardwareId);
    ASSERT_EQ(1u, sim::DriverUpdates().size());
    EXPECT_EQ(std::wstring(kHardwareId), sim::DriverUpdates()[0].HardwareId);
}

TEST_F(InstallSequenceTest, UnknownPrinterIsNotNoticedAndFallsBack) {
    // Nothing plugged under this id: Plug and Play refuses, the wait runs out.
    EXPECT_EQ(1, InstallPrinter(&request, kInfPath));
    ASSERT_EQ(1u, sim::DriverUpdates().size());
    EXPECT_FALSE(sim::DriverUpdates()[0].Result);
    EXPECT_EQ(ERROR_NO_SUCH_DEVINST, sim::DriverUpdates()[0].Error);
    EXPECT_EQ(10000u, sim::Now());
    EXPECT_EQ(1, Count("AddPrinterW"));
}

TEST_F(InstallSequenceTest, RescanStartsWithoutWaiting) {
    RescanDevices();
    ASSERT_EQ(1u, sim::Reenumerations().size());
    EXPECT_EQ(0u, sim::Reenumerations()[0].Flags);
    EXPECT_EQ(0u, sim::Now());

    sim::FailCall("CM_Locate_DevNodeW", CR_FAILURE);
    RescanDevices();
    EXPECT_EQ(1u, sim::Reenumerations().size());
}

}  // namespace
