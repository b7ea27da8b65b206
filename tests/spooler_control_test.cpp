// Stopping and starting the spooler: preconditions, poll budgets, the
// virtual time every wait takes, and what reaches the service manager.
#include <windows.h>
#include <winsvc.h>

#include <vector>

#include "common/spooler_control.h"
#include "sim/services.h"
#include "tests/test_support.h"

namespace {

const wchar_t kSpooler[] = L"Spooler";

// The requests that reached the spooler, as "stop@t" / "start@t" with a "!"
// for a refused one.
std::vector<std::wstring> Requests() {
    std::vector<std::wstring> out;
    for (const auto &r : sim::ServiceRequests()) {
        std::wstring s = r.Start ? L"start@" : (r.Control == SERVICE_CONTROL_STOP ? L"stop@" : L"control@");
        s += std::to_wstring(r.Time);
        if (!r.Accepted)
            s += L"!";
        out.push_back(s);
    }
    return out;
}

using Strings = std::vector<std::wstring>;

class StopStartTest : public SimTest {};

TEST_F(StopStartTest, StopSeenAtFirstPollReturnsAtOnce) {
    EXPECT_EQ(1, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(0u, sim::Now());
    EXPECT_EQ(0, sim::CallCount("Sleep"));
    EXPECT_EQ(2, sim::CallCount("QueryServiceStatusEx"));  // precondition, first poll
    EXPECT_EQ(Strings({L"stop@0"}), Requests());
    EXPECT_EQ((DWORD)SERVICE_STOPPED, sim::ServiceState(kSpooler));
    // Both handles are closed again.
    EXPECT_EQ(2, sim::CallCount("CloseServiceHandle"));
}

TEST_F(StopStartTest, PollsEveryTenMillisecondsUntilTheTargetState) {
    sim::SetServiceStopDelay(kSpooler, 35);
    EXPECT_EQ(1, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(40u, sim::Now());  // polls at 0, 10, 20, 30, 40

    sim::SetServiceStartDelay(kSpooler, 20);
    EXPECT_EQ(1, StartServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(60u, sim::Now());
    EXPECT_EQ(Strings({L"stop@0", L"start@40"}), Requests());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(StopStartTest, BudgetOfTenSecondsIsAThousandPolls) {
    sim::SetServiceStopDelay(kSpooler, sim::kServiceNeverCompletes);
    EXPECT_EQ(0, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(10000u, sim::Now());
    EXPECT_EQ(1 + 1000, sim::CallCount("QueryServiceStatusEx"));
    EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, sim::ServiceState(kSpooler));

    // The remainder of the budget is dropped: 10009 ms is still 1000 polls.
    sim::Reset();
    sim::SetServiceState(kSpooler, SERVICE_STOPPED);
    sim::SetServiceStartDelay(kSpooler, sim::kServiceNeverCompletes);
    EXPECT_EQ(0, StartServiceAndWait(kSpooler, 10009));
    EXPECT_EQ(10000u, sim::Now());
    EXPECT_EQ(1 + 1000, sim::CallCount("QueryServiceStatusEx"));
}

TEST_F(StopStartTest, BudgetUnderTenMillisecondsSendsTheControlButNeverLooks) {
    // The stop completes at once, yet with no poll it is never seen.
    EXPECT_EQ(0, StopServiceAndWait(kSpooler, 9));
    EXPECT_EQ(0u, sim::Now());
    EXPECT_EQ(1, sim::CallCount("QueryServiceStatusEx"));
    EXPECT_EQ(Strings({L"stop@0"}), Requests());
    EXPECT_EQ((DWORD)SERVICE_STOPPED, sim::ServiceState(kSpooler));

    EXPECT_EQ(0, StartServiceAndWait(kSpooler, 0));
    EXPECT_EQ(0u, sim::Now());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(StopStartTest, ServiceNotInTheStartingStateGetsNothing) {
    // Already running for a start, already stopped for a stop.
    EXPECT_EQ(0, StartServiceAndWait(kSpooler, 10000));
    sim::SetServiceState(kSpooler, SERVICE_STOPPED);
    EXPECT_EQ(0, StopServiceAndWait(kSpooler, 10000));
    // Pending and paused states satisfy neither operation.
    for (DWORD state : {SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_PAUSED}) {
        sim::SetServiceState(kSpooler, state);
        EXPECT_EQ(0, StopServiceAndWait(kSpooler, 10000)) << state;
        EXPECT_EQ(0, StartServiceAndWait(kSpooler, 10000)) << state;
        EXPECT_EQ(state, sim::ServiceState(kSpooler));
    }
    EXPECT_EQ(0u, sim::Now());
    EXPECT_EQ(0, sim::CallCount("ControlService"));
    EXPECT_EQ(0, sim::CallCount("StartServiceW"));
}

TEST_F(StopStartTest, ManagerOrServiceThatCannotBeOpened) {
    sim::FailCall("OpenSCManagerW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(0, sim::CallCount("OpenServiceW"));

    sim::FailCall("OpenServiceW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(1, sim::CallCount("CloseServiceHandle"));  // the manager's

    EXPECT_EQ(0, StopServiceAndWait(L"NoSuchService", 10000));
    EXPECT_EQ(2, sim::CallCount("CloseServiceHandle"));

    EXPECT_EQ(0, sim::CallCount("QueryServiceStatusEx"));
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(StopStartTest, EveryOperationOpensManagerAndServiceWithAllAccess) {
    StopServiceAndWait(kSpooler, 10000);
    StartServiceAndWait(kSpooler, 10000);
    RestartSpooler();
    RunWithSpoolerStopped(NULL, NULL);
    const std::vector<sim::ServiceOpen> &opens = sim::ServiceOpens();
    ASSERT_EQ(2u * (1 + 1 + 2 + 1), opens.size());
    for (size_t i = 0; i < opens.size(); i += 2) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(opens[i].Manager);
        EXPECT_EQ((DWORD)SC_MANAGER_ALL_ACCESS, opens[i].Access);
        EXPECT_FALSE(opens[i + 1].Manager);
        EXPECT_EQ(L"Spooler", opens[i + 1].Service);
        EXPECT_EQ((DWORD)SERVICE_ALL_ACCESS, opens[i + 1].Access);
    }
    EXPECT_EQ(0xF003Fu, (DWORD)SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(0xF01FFu, (DWORD)SERVICE_ALL_ACCESS);
}

TEST_F(StopStartTest, UnreadableStatusAtFirstQuerySendsNothing) {
    sim::FailCall("QueryServiceStatusEx", ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(0, sim::CallCount("ControlService"));
    EXPECT_EQ(2, sim::CallCount("CloseServiceHandle"));
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(StopStartTest, FailedPollKeepsTheStateLastRead) {
    // The poll at 10 ms fails: the record still says STOP_PENDING, so the
    // wait goes on and sees the stop at 20 ms.
    sim::SetServiceStopDelay(kSpooler, 10);
    sim::At(10, [] { sim::FailCall("QueryServiceStatusEx", ERROR_ACCESS_DENIED); });
    EXPECT_EQ(1, StopServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(20u, sim::Now());
}

TEST_F(StopStartTest, StartThatCouldNotBeAskedForOrWasRefusedIsAskedAgainASecondLater) {
    // One failure on the way to the start: the second ask, a second later,
    // finds the spooler still stopped and starts it.
    for (const char *api : {"OpenSCManagerW", "OpenServiceW", "QueryServiceStatusEx", "StartServiceW"}) {
        sim::Reset();
        sim::SetServiceState(kSpooler, SERVICE_STOPPED);
        sim::FailCall(api, ERROR_ACCESS_DENIED);
        EXPECT_EQ(1, StartServiceAndWait(kSpooler, 10000)) << api;
        EXPECT_EQ(Strings({L"start@1000"}), Requests()) << api;
        EXPECT_EQ(1000u, sim::Now()) << api;
        EXPECT_EQ(2, sim::CallCount("OpenSCManagerW")) << api;
        EXPECT_EQ(0, sim::OpenServiceHandles()) << api;
    }

    // Refused every time: three asks a second apart, no wait after any.
    sim::Reset();
    sim::SetServiceState(kSpooler, SERVICE_STOPPED);
    sim::FailCall("StartServiceW", ERROR_ACCESS_DENIED, -1);
    EXPECT_EQ(0, StartServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(3, sim::CallCount("StartServiceW"));
    EXPECT_EQ(2000u, sim::Now());
    EXPECT_EQ((DWORD)SERVICE_STOPPED, sim::ServiceState(kSpooler));

    // A start the service accepted is not asked for again, however long it
    // takes.
    sim::Reset();
    sim::SetServiceState(kSpooler, SERVICE_STOPPED);
    sim::SetServiceStartDelay(kSpooler, sim::kServiceNeverCompletes);
    EXPECT_EQ(0, StartServiceAndWait(kSpooler, 10000));
    EXPECT_EQ(Strings({L"start@0"}), Requests());
    EXPECT_EQ(10000u, sim::Now());
}

class RestartSpoolerTest : public SimTest {};

TEST_F(RestartSpoolerTest, RunningSpoolerIsStoppedStartedAndGivenASecond) {
    sim::SetServiceStopDelay(kSpooler, 50);
    sim::SetServiceStartDelay(kSpooler, 30);
    RestartSpooler();
    EXPECT_EQ(50u + 30u + 1000u, sim::Now());
    EXPECT_EQ(Strings({L"stop@0", L"start@50"}), Requests());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(RestartSpoolerTest, StoppedSpoolerIsOnlyStarted) {
    sim::SetServiceState(kSpooler, SERVICE_STOPPED);
    RestartSpooler();
    EXPECT_EQ(1000u, sim::Now());
    EXPECT_EQ(Strings({L"start@0"}), Requests());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(RestartSpoolerTest, StopNeverSeenMeansNoStart) {
    sim::SetServiceStopDelay(kSpooler, sim::kServiceNeverCompletes);
    RestartSpooler();
    EXPECT_EQ(10000u + 1000u, sim::Now());
    EXPECT_EQ(Strings({L"stop@0"}), Requests());
    EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, sim::ServiceState(kSpooler));
}

// What the action saw when it ran.
struct ActionRun {
    std::wstring Argument;
    uint64_t Time;
    DWORD SpoolerState;
};
std::vector<ActionRun> actionRuns;

int RecordingAction(const WCHAR *argument) {
    actionRuns.push_back({argument, sim::Now(), sim::ServiceState(L"Spooler")});
    return 0;
}

class RunWithSpoolerStoppedTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        actionRuns.clear();
    }
};

TEST_F(RunWithSpoolerStoppedTest, ActionRunsWhileTheSpoolerIsDown) {
    sim::SetServiceStopDelay(kSpooler, 30);
    sim::SetServiceStartDelay(kSpooler, 20);
    RunWithSpoolerStopped(RecordingAction, L"C:\\x\\crvnmon.dll");
    ASSERT_EQ(1u, actionRuns.size());
    EXPECT_EQ(L"C:\\x\\crvnmon.dll", actionRuns[0].Argument);
    EXPECT_EQ(30u + 200u, actionRuns[0].Time);  // stop seen at 30, then the pause
    EXPECT_EQ((DWORD)SERVICE_STOPPED, actionRuns[0].SpoolerState);
    EXPECT_EQ(Strings({L"stop@0", L"start@230"}), Requests());
    EXPECT_EQ(250u, sim::Now());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(RunWithSpoolerStoppedTest, WithoutActionOrArgumentAPlainRestartWithoutPause) {
    RunWithSpoolerStopped(NULL, NULL);
    EXPECT_EQ(0u, sim::Now());
    RunWithSpoolerStopped(NULL, L"C:\\x");
    EXPECT_EQ(0u, sim::Now());
    RunWithSpoolerStopped(RecordingAction, NULL);
    EXPECT_EQ(0u, sim::Now());
    EXPECT_TRUE(actionRuns.empty());
    EXPECT_EQ(Strings({L"stop@0", L"start@0", L"stop@0", L"start@0", L"stop@0", L"start@0"}), Requests());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

TEST_F(RunWithSpoolerStoppedTest, SpoolerNotRunningNothingHappens) {
    for (DWORD state : {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_PAUSED}) {
        sim::SetServiceState(kSpooler, state);
        RunWithSpoolerStopped(RecordingAction, L"C:\\x");
        EXPECT_EQ(state, sim::ServiceState(kSpooler));
    }
    sim::SetServiceState(kSpooler, SERVICE_RUNNING);
    sim::FailCall("QueryServiceStatusEx", ERROR_ACCESS_DENIED);
    RunWithSpoolerStopped(RecordingAction, L"C:\\x");
    sim::FailCall("OpenSCManagerW", ERROR_ACCESS_DENIED);
    RunWithSpoolerStopped(RecordingAction, L"C:\\x");
    sim::FailCall("OpenServiceW", ERROR_ACCESS_DENIED);
    RunWithSpoolerStopped(RecordingAction, L"C:\\x");

    EXPECT_TRUE(actionRuns.empty());
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(0u, sim::Now());
    // Every handle that was opened was closed: five managers, four services.
    EXPECT_EQ(9, sim::CallCount("CloseServiceHandle"));
}

TEST_F(RunWithSpoolerStoppedTest, StopNeverSeenStillRunsTheActionAndStarts) {
    sim::SetServiceStopDelay(kSpooler, sim::kServiceNeverCompletes);
    RunWithSpoolerStopped(RecordingAction, L"C:\\x");
    ASSERT_EQ(1u, actionRuns.size());
    EXPECT_EQ(10000u + 200u, actionRuns[0].Time);
    EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, actionRuns[0].SpoolerState);
    // The start is sent (and refused: the old instance is still there),
    // asked for twice more a second apart, then 1000 more polls.
    EXPECT_EQ(Strings({L"stop@0", L"start@10200!", L"start@11200!", L"start@12200!"}), Requests());
    EXPECT_EQ(12200u + 10000u, sim::Now());
}

TEST_F(RunWithSpoolerStoppedTest, RefusedStartIsAskedAgainASecondLater) {
    sim::FailCall("StartServiceW", ERROR_ACCESS_DENIED);
    RunWithSpoolerStopped(RecordingAction, L"C:\\x");
    EXPECT_EQ(Strings({L"stop@0", L"start@1200"}), Requests());  // the refused ask never reached the service
    EXPECT_EQ(2, sim::CallCount("StartServiceW"));
    EXPECT_EQ(1200u, sim::Now());
    EXPECT_TRUE(sim::ServiceRunning(kSpooler));
}

}  // namespace
