// Asking the spooler whether a queue or a port exists, and moving a queue to
// another port: exact names, stopped spooler, failed allocations, and no
// handle or buffer left behind.
#include <windows.h>
#include <winspool.h>
#include <winsvc.h>

#include "install/queue_queries.h"
#include "sim/services.h"
#include "sim/spooler.h"
#include "tests/install_fixture.h"

namespace {

using namespace install_fixture;

class QueueQueriesTest : public InstallFixture {
protected:
    void SetUp() override {
        InstallFixture::SetUp();
        InstallDriver(kDriverName);
        sim::AddPort(L"USB002");
    }

    void TearDown() override {
        // Every query closes what it opened and frees what it allocated.
        EXPECT_EQ(0, sim::OpenPrinterHandles());
        EXPECT_EQ(0u, sim::LiveAllocations());
        InstallFixture::TearDown();
    }
};

TEST_F(QueueQueriesTest, QueueFoundWhateverPortItIsOn) {
    InstallQueue(kQueueName, L"USB002");
    EXPECT_EQ(1, CheckPrinterQueue(kQueueName, kPort));
    EXPECT_EQ(1, Count("OpenPrinterW"));
    EXPECT_EQ(1, Count("ClosePrinter"));
    EXPECT_EQ(0, Count("GetPrinterW"));
}

TEST_F(QueueQueriesTest, QueueAbsentOrSpoolerStopped) {
    EXPECT_EQ(0, CheckPrinterQueue(kQueueName, kPort));
    EXPECT_EQ(0, Count("ClosePrinter"));

    InstallQueue(kQueueName, kPort);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, CheckPrinterQueue(kQueueName, kPort));
    sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
    EXPECT_EQ(1, CheckPrinterQueue(kQueueName, kPort));
}

TEST_F(QueueQueriesTest, QueueOpenedWithFullAccessOrNotAtAll) {
    InstallQueue(kQueueName, kPort);
    EXPECT_EQ(1, CheckPrinterQueue(kQueueName, kPort));
    ASSERT_EQ(1u, sim::OpenPrinterRequests().size());
    const sim::OpenPrinterRequest &open = sim::OpenPrinterRequests()[0];
    EXPECT_EQ(std::wstring(kQueueName), open.Name.value_or(L""));
    EXPECT_TRUE(open.DefaultsGiven);
    EXPECT_FALSE(open.Datatype.has_value());
    EXPECT_FALSE(open.DevModeGiven);
    EXPECT_EQ(0xF000Cu, open.DesiredAccess);

    sim::FailCall("OpenPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, CheckPrinterQueue(kQueueName, kPort));
}

TEST_F(QueueQueriesTest, PortMustBeListedUnderExactlyThatName) {
    EXPECT_EQ(1, PortExists(L"USB001"));
    EXPECT_EQ(1, PortExists(L"USB002"));
    EXPECT_EQ(0, PortExists(L"usb001"));
    EXPECT_EQ(0, PortExists(L"USB003"));
    EXPECT_EQ(0, PortExists(L"USB00"));
    EXPECT_EQ(10, Count("EnumPortsW"));  // a size query and a read per call
}

TEST_F(QueueQueriesTest, NoPortsOrNoSpoolerMeansNoPort) {
    sim::RemovePort(L"USB001");
    sim::RemovePort(L"USB002");
    EXPECT_EQ(0, PortExists(kPort));

    sim::AddPort(kPort);
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(0, PortExists(kPort));
}

TEST_F(QueueQueriesTest, PortBufferThatCannotBeAllocated) {
    sim::FailCall("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, PortExists(kPort));
    EXPECT_EQ(1, Count("EnumPortsW"));
}

TEST_F(QueueQueriesTest, QueueMovedToAnotherPort) {
    InstallQueue(kQueueName, L"USB002");
    EXPECT_EQ(1, SetQueuePort(kQueueName, kPort));
    ASSERT_EQ(1u, sim::SetPrinterRequests().size());
    EXPECT_EQ(2u, sim::SetPrinterRequests()[0].Level);
    EXPECT_EQ(0u, sim::SetPrinterRequests()[0].Command);
    EXPECT_EQ(std::wstring(kPort), sim::FindQueue(kQueueName)->pPortName);
    // Nothing else about the queue changes.
    EXPECT_EQ(std::wstring(kDriverName), sim::FindQueue(kQueueName)->pDriverName);
    EXPECT_EQ(std::wstring(L"WinPrint"), sim::FindQueue(kQueueName)->pPrintProcessor);
}

TEST_F(QueueQueriesTest, QueueAlreadyOnThePortIsLeftAlone) {
    InstallQueue(kQueueName, kPort);
    EXPECT_EQ(0, SetQueuePort(kQueueName, kPort));
    EXPECT_EQ(0, Count("SetPrinterW"));
}

TEST_F(QueueQueriesTest, PortNamesOfTheQueueComparedExactly) {
    // "usb001" is not the queue's "USB001": the port is set all the same.
    InstallQueue(kQueueName, kPort);
    EXPECT_EQ(1, SetQueuePort(kQueueName, L"usb001"));
    EXPECT_EQ(1, Count("SetPrinterW"));
}

TEST_F(QueueQueriesTest, MovingFailsForAnAbsentQueueOrAnUnknownPort) {
    EXPECT_EQ(0, SetQueuePort(kQueueName, kPort));
    EXPECT_EQ(0, Count("GetPrinterW"));

    InstallQueue(kQueueName, kPort);
    // The spooler refuses a port it does not know.
    EXPECT_EQ(0, SetQueuePort(kQueueName, L"USB009"));
    EXPECT_EQ(1, Count("SetPrinterW"));
    EXPECT_EQ(std::wstring(kPort), sim::FindQueue(kQueueName)->pPortName);
}

TEST_F(QueueQueriesTest, MovingFailsWhenTheRecordCannotBeAllocatedOrRead) {
    InstallQueue(kQueueName, L"USB002");
    sim::FailCall("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0, SetQueuePort(kQueueName, kPort));
    EXPECT_EQ(1, Count("ClosePrinter"));

    sim::ClearCalls();
    sim::FailCall("GetPrinterW", ERROR_INVALID_HANDLE, 2);
    EXPECT_EQ(0, SetQueuePort(kQueueName, kPort));
    EXPECT_EQ(0, Count("SetPrinterW"));
    EXPECT_EQ(std::wstring(L"USB002"), sim::FindQueue(kQueueName)->pPortName);
}

}  // namespace
