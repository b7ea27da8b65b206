// The simulated kernel's scheduling and objects, where a fault would hide
// (or fake) a fault of the product.
#include <windows.h>
#include <strsafe.h>
#include <wincrypt.h>

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "common/globals.h"
#include "common/log_file.h"
#include "sim/core.h"
#include "sim/files.h"
#include "tests/install_fixture.h"
#include "tests/test_support.h"

namespace {

using SimKernelTest = SimTest;

std::vector<std::string> *gOrder;

DWORD WINAPI SleepThenNote(LPVOID parameter) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter)));
    gOrder->push_back("worker@" + std::to_string(sim::Now()));
    return 7;
}

TEST_F(SimKernelTest, ThreadsInterleaveByVirtualTimeWithoutWaiting) {
    std::vector<std::string> order;
    gOrder = &order;
    sim::RunInProcess([&] {
        HANDLE t = CreateThread(NULL, 0, SleepThenNote, reinterpret_cast<LPVOID>(1500), 0, NULL);
        Sleep(1000);
        order.push_back("main@" + std::to_string(sim::Now()));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(t, 100));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(t, INFINITE));
        order.push_back("joined@" + std::to_string(sim::Now()));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(7u, code);
        CloseHandle(t);
    });
    EXPECT_EQ((std::vector<std::string>{"main@1000", "worker@1500", "joined@1500"}), order);
}

TEST_F(SimKernelTest, ProcessEndsWithItsMainThreadAndTakesItsWorkersAlong) {
    std::vector<std::string> order;
    gOrder = &order;
    sim::Process p = sim::RunInProcess([] { CreateThread(NULL, 0, SleepThenNote, reinterpret_cast<LPVOID>(5000), 0, NULL); });
    EXPECT_TRUE(p.Ended);
    EXPECT_FALSE(p.Killed);
    EXPECT_EQ(0u, p.EndTime);
    EXPECT_TRUE(order.empty());
}

TEST_F(SimKernelTest, TimeLimitEndsAProgramThatWaitsForever) {
    sim::Process p = sim::RunInProcess([] { Sleep(INFINITE); }, 30000);
    EXPECT_TRUE(p.Killed);
    EXPECT_EQ(30000u, sim::Now());
}

TEST_F(SimKernelTest, ALoopThatNeverWaitsEndsCrashedAtTheStepBound) {
    sim::Process p = sim::RunInProcess([] {
        for (;;)
            lstrlenW(L"spin");
    });
    EXPECT_TRUE(p.Crashed);
    EXPECT_EQ(0xC0000194u, static_cast<DWORD>(p.ExitCode));
    EXPECT_EQ(0u, sim::Now());
}

TEST_F(SimKernelTest, ClockEventsRunAtTheirTime) {
    uint64_t seen = 0;
    sim::At(2500, [&] { seen = sim::Now(); });
    sim::RunInProcess([] { Sleep(3000); });
    EXPECT_EQ(2500u, seen);
    EXPECT_EQ(3000u, sim::Now());
}

TEST_F(SimKernelTest, NamedMutexIsSharedBetweenProcessesUntilItsLastHandleCloses) {
    sim::RunInProcess([] {
        HANDLE first = CreateMutexW(NULL, FALSE, L"guard");
        EXPECT_EQ(ERROR_SUCCESS, GetLastError());
        EXPECT_NE(nullptr, first);
        Sleep(1000);
    });
    EXPECT_FALSE(sim::NamedObjectExists(L"guard"));  // closed with its process
    sim::HoldNamedMutex(L"guard");
    sim::RunInProcess([] {
        HANDLE second = CreateMutexW(NULL, FALSE, L"guard");
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        EXPECT_NE(nullptr, second);
    });
}

TEST_F(SimKernelTest, InjectedFailuresAndTheCallLog) {
    sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(nullptr, HeapAlloc(GetProcessHeap(), 0, 10));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    void *p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 10);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(1u, sim::LiveAllocations());
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, p));
    EXPECT_EQ(0u, sim::LiveAllocations());
    EXPECT_EQ(2, sim::CallCount("HeapAlloc"));
}

TEST_F(SimKernelTest, CallHookFailsOneChosenCallAndRunsNoHooksForItsOwnCalls) {
    int calls = 0;
    sim::OnCall("HeapAlloc", [&calls] {
        HeapFree(GetProcessHeap(), 0, HeapAlloc(GetProcessHeap(), 0, 1));  // no hook of its own
        if (++calls == 2)
            sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    });
    void *first = HeapAlloc(GetProcessHeap(), 0, 10);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, HeapAlloc(GetProcessHeap(), 0, 10));
    void *third = HeapAlloc(GetProcessHeap(), 0, 10);
    EXPECT_NE(nullptr, third);
    EXPECT_EQ(3, calls);
    EXPECT_EQ(6, sim::CallCount("HeapAlloc"));  // the hook's own calls are logged
    HeapFree(GetProcessHeap(), 0, first);
    HeapFree(GetProcessHeap(), 0, third);
}

TEST_F(SimKernelTest, ChildRecordsHowItWasStartedAndTheEndRecordsTheHandlesLeftOpen) {
    sim::Process p = sim::RunInProcess([] {
        CreateMutexW(NULL, FALSE, L"guard");
        CreateMutexW(NULL, FALSE, L"guard");  // a second handle, one name
        CloseHandle(CreateEventW(NULL, TRUE, FALSE, L"closed"));
        CreateEventW(NULL, TRUE, FALSE, NULL);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        WCHAR commandLine[] = L"child.exe";
        EXPECT_TRUE(CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &startup,
                                   &process));
        CloseHandle(process.hThread);
    });
    ASSERT_EQ(2u, sim::Processes().size());
    const sim::Process &child = sim::Processes()[1];
    EXPECT_TRUE(child.InheritHandles);
    EXPECT_EQ((DWORD)CREATE_NO_WINDOW, child.CreationFlags);
    EXPECT_EQ(std::vector<std::wstring>{L"guard"}, child.NamedObjectsHeldByParent);
    EXPECT_EQ((std::vector<std::string>{"Mutex", "Mutex", "Event", "Process"}), p.HandlesLeftOpen);
}

TEST_F(SimKernelTest, SystemTimeToFileTimeOfTheDriverDate) {
    SYSTEMTIME st = {};
    st.wYear = 2025;
    st.wMonth = 7;
    st.wDay = 16;
    FILETIME ft = {};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(0x01DBF5E4u, ft.dwHighDateTime);
    EXPECT_EQ(0x92B14000u, ft.dwLowDateTime);
    st.wMonth = 13;
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
}

TEST_F(SimKernelTest, LocalTimeIsTheResetTimePlusTheVirtualClock) {
    struct Case {
        DWORD SleepMs;
        SYSTEMTIME Expected;
    } cases[] = {
        {0, {2025, 3, 5, 7, 8, 0, 0, 0}},                        // Friday
        {316801500, {2025, 3, 2, 11, 0, 0, 1, 500}},             // 3 d 16 h 1.5 s later: Tuesday
        {2160000000u - 316801500, {2025, 4, 2, 1, 8, 0, 0, 0}},  // 25 days after the reset
    };
    for (const Case &c : cases) {
        Sleep(c.SleepMs);
        SYSTEMTIME st = {};
        GetLocalTime(&st);
        EXPECT_EQ(0, memcmp(&c.Expected, &st, sizeof(st)))
            << st.wYear << "-" << st.wMonth << "-" << st.wDay << " (" << st.wDayOfWeek << ") " << st.wHour << ":"
            << st.wMinute << ":" << st.wSecond << "." << st.wMilliseconds;
    }
}

// Every process has the program's globals of its own. A child that the
// program starts begins with the program file's initial values: the 64-bit
// build that the 32-bit program starts on x64 neither takes its parent's log
// nor writes into it, and the parent's log goes on to its own end. A process
// that the test starts begins with the test's globals and leaves its own to it.
TEST_F(SimKernelTest, EachProcessHasTheProgramsGlobalsOfItsOwn) {
    const std::wstring log = L"C:\\Windows\\Temp\\t.log";
    sim::SetProgram32Bit(true);
    install_fixture::ArrangeProgramInstall(L"Corvane LX-420", true);
    install_fixture::RunNativeBuildChildren();
    std::map<DWORD, std::wstring> logOf, textOf;  // as each process ended
    sim::OnProcessEnd([&](const sim::Process &p) {
        logOf[p.Id] = LogFilePath;
        textOf[p.Id] = InstallText;
    });
    StringCchCopyW(InstallText, INSTALL_TEXT_CCH, L"the test's");
    sim::Process setup = sim::RunProgram(install_fixture::kSetup, L"/log " + log + L" /quiet", 120000);
    ASSERT_EQ(2u, sim::Processes().size());
    DWORD child = sim::Processes()[1].Id;
    EXPECT_EQ(0, setup.ExitCode);
    EXPECT_EQ(log, logOf[setup.Id]);
    EXPECT_EQ(L"", logOf[child]);
    EXPECT_EQ(L"", textOf[child]);
    std::vector<std::wstring> texts = LogTexts(log);
    for (const std::wstring &text : texts)
        EXPECT_EQ(std::wstring::npos, text.find(L"/UpdateDriverForPlugAndPlayDevices")) << text;
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(L"Ends with exit code 0 (0x00000000): done: every recognised printer has its queue.", texts.back());
    EXPECT_EQ(log, LogFilePath);

    UnattendedRun = TRUE;
    sim::RunInProcess([] {
        EXPECT_TRUE(UnattendedRun);
        UnattendedRun = FALSE;
    });
    EXPECT_FALSE(UnattendedRun);
}

// The random generator's next bytes can be known beforehand, however the
// calls cut them up: a standard user makes the folder of the name a program
// will draw next under C:\Windows\Temp, where users may make folders, and the
// program's administrator cannot make it any more. What others made there
// the user can neither change nor rename.
TEST_F(SimKernelTest, TheRandomGeneratorsNextBytesCanBeKnownBeforehand) {
    std::vector<BYTE> next = sim::PeekRandom(16);
    EXPECT_EQ(next, sim::PeekRandom(16));
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    std::vector<BYTE> drawn(16);
    EXPECT_TRUE(CryptGenRandom(provider, 3, drawn.data()));
    EXPECT_EQ(std::vector<BYTE>(next.begin() + 3, next.end()), sim::PeekRandom(13));
    EXPECT_TRUE(CryptGenRandom(provider, 13, drawn.data() + 3));
    EXPECT_EQ(next, drawn);
    EXPECT_NE(next, sim::PeekRandom(16));

    std::wstring name = L"C:\\Windows\\Temp\\CorvaneSetup.";
    for (BYTE b : sim::PeekRandom(8))
        name += L"0123456789ABCDEF"[b >> 4] + std::wstring(1, L"0123456789ABCDEF"[b & 15]);
    EXPECT_EQ(0u, sim::files::user::CreateFolder(name));
    EXPECT_FALSE(CreateDirectoryW(name.c_str(), NULL));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    sim::files::WriteFile(L"C:\\Windows\\Temp\\other.txt", "another's");
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, sim::files::user::WriteFile(L"C:\\Windows\\Temp\\other.txt", "x"));
    EXPECT_FALSE(sim::files::UserCanRename(L"C:\\Windows\\Temp\\other.txt"));
    CryptReleaseContext(provider, 0);
}

}  // namespace

// SHA-256 against the published test vectors, each hashed in two pieces.
TEST_F(SimKernelTest, Sha256GivesThePublishedDigests) {
    const struct {
        const char *Message;
        const char *Digest;
    } vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto &v : vectors) {
        std::string hex;
        sim::RunInProcess([&] {
            HCRYPTPROV provider = 0;
            HCRYPTHASH hash = 0;
            BYTE digest[32];
            DWORD length = sizeof(digest);
            DWORD half = (DWORD)strlen(v.Message) / 2;
            ASSERT_TRUE(CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
            ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash));
            EXPECT_TRUE(CryptHashData(hash, (const BYTE *)v.Message, half, 0));
            EXPECT_TRUE(CryptHashData(hash, (const BYTE *)v.Message + half, (DWORD)strlen(v.Message) - half, 0));
            EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0));
            for (DWORD i = 0; i < length; i++)
                hex += "0123456789abcdef"[digest[i] >> 4], hex += "0123456789abcdef"[digest[i] & 15];
            EXPECT_TRUE(CryptDestroyHash(hash) && CryptReleaseContext(provider, 0));
        });
        EXPECT_EQ(v.Digest, hex) << '"' << v.Message << '"';
    }
}
