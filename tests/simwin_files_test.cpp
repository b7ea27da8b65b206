// The simulated file system answers as Windows does where the product's
// results depend on it: path spelling, error codes of copy and delete for
// missing and locked files, restart-time moves, the buffer protocols, and
// appending through shared handles.
#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "sim/files.h"
#include "sim/services.h"
#include "tests/test_support.h"

namespace {

using Strings = std::vector<std::wstring>;

class SimFilesTest : public SimTest {};

TEST_F(SimFilesTest, PathsAreSpelledAsWindowsAllows) {
    sim::files::WriteFile(L"C:\\Program Files\\Corvane\\amd64\\crvnmon.dll", "x");
    for (const wchar_t *path : {L"c:\\PROGRAM FILES\\corvane\\AMD64\\CRVNMON.DLL",
                                L"C:\\Program Files\\Corvane\\\\amd64\\crvnmon.dll",
                                L"C:/Program Files/Corvane//amd64/crvnmon.dll",
                                L"C:\\Program Files\\Corvane\\dat\\..\\.\\amd64\\crvnmon.dll.",
                                L"\\Program Files\\Corvane\\amd64\\crvnmon.dll"}) {
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path)) << path;
        EXPECT_EQ(L"C:\\Program Files\\Corvane\\amd64\\crvnmon.dll", sim::files::Canonical(path)) << path;
    }
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(L"C:\\Program Files\\Corvane\\"));
    EXPECT_EQ(Strings({L"amd64"}), sim::files::ListFolder(L"c:\\program files\\corvane"));

    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Program Files\\Corvane\\nothing.dll"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Nowhere\\nothing.dll"));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

TEST_F(SimFilesTest, CopyFileErrors) {
    sim::files::WriteFile(L"C:\\src\\a.dll", "new");
    sim::files::WriteFile(L"C:\\dst\\a.dll", "old");

    EXPECT_FALSE(CopyFileW(L"C:\\src\\missing.dll", L"C:\\dst\\b.dll", FALSE));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(CopyFileW(L"C:\\src\\a.dll", L"C:\\nowhere\\a.dll", FALSE));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_FALSE(CopyFileW(L"C:\\src\\a.dll", L"C:\\dst\\a.dll", TRUE));
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    EXPECT_FALSE(CopyFileW(L"C:\\src\\a.dll", L"C:\\SRC\\A.DLL", FALSE));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());

    sim::files::Lock(L"C:\\dst\\a.dll", sim::files::LockKind::Image);
    EXPECT_FALSE(CopyFileW(L"C:\\src\\a.dll", L"C:\\dst\\a.dll", FALSE));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_EQ("old", sim::files::ReadFile(L"C:\\dst\\a.dll"));

    // A locked source can still be read; success clears the last error.
    sim::files::Lock(L"C:\\src\\a.dll");
    SetLastError(1234);
    EXPECT_TRUE(CopyFileW(L"C:\\src\\a.dll", L"C:\\dst\\b.dll", FALSE));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ("new", sim::files::ReadFile(L"C:\\dst\\b.dll"));
}

TEST_F(SimFilesTest, DeleteFileOfMissingOrUsedFiles) {
    EXPECT_FALSE(DeleteFileW(L"C:\\Windows\\system32\\none.dll"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    sim::files::WriteFile(L"C:\\a\\open.dat");
    sim::files::WriteFile(L"C:\\a\\loaded.dll");
    sim::files::Lock(L"C:\\a\\open.dat");
    sim::files::Lock(L"C:\\a\\loaded.dll", sim::files::LockKind::Image);
    EXPECT_FALSE(DeleteFileW(L"C:\\a\\open.dat"));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_FALSE(DeleteFileW(L"C:\\a\\loaded.dll"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(DeleteFileW(L"C:\\a"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

    // Success leaves the last error as it was.
    sim::files::Unlock(L"C:\\a\\open.dat");
    SetLastError(1234);
    EXPECT_TRUE(DeleteFileW(L"C:\\a\\open.dat"));
    EXPECT_EQ(1234u, GetLastError());
    EXPECT_FALSE(sim::files::Exists(L"C:\\a\\open.dat"));
}

TEST_F(SimFilesTest, ServiceLockHoldsWhileTheServiceHasAProcess) {
    const wchar_t *dll = L"C:\\Windows\\system32\\crvnmon.dll";
    sim::files::WriteFile(dll, "old");
    sim::files::LockWhileServiceRuns(dll, L"Spooler");
    EXPECT_TRUE(sim::files::IsLocked(dll));
    sim::SetServiceState(L"Spooler", SERVICE_STOP_PENDING);
    EXPECT_TRUE(sim::files::IsLocked(dll));
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_FALSE(sim::files::IsLocked(dll));
    EXPECT_TRUE(DeleteFileW(dll));
}

TEST_F(SimFilesTest, RestartMovesAreOnlyRecorded) {
    sim::files::WriteFile(L"C:\\dst\\a.dll", "old");
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\\\missing.dll", L"c:\\dst\\A.dll", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_FALSE(MoveFileExW(L"C:\\src\\a.dll", L"C:\\dst\\a.dll", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    ASSERT_EQ(1u, sim::files::PendingRenames().size());
    EXPECT_EQ(L"C:\\src\\missing.dll", sim::files::PendingRenames()[0].From);
    EXPECT_EQ(L"C:\\dst\\a.dll", sim::files::PendingRenames()[0].To);
    EXPECT_EQ("old", sim::files::ReadFile(L"C:\\dst\\a.dll"));

    // A move without the flag happens at once.
    sim::files::WriteFile(L"C:\\src\\b.dll", "b");
    EXPECT_FALSE(MoveFileExW(L"C:\\src\\b.dll", L"C:\\dst\\a.dll", 0));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\b.dll", L"C:\\dst\\a.dll", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("b", sim::files::ReadFile(L"C:\\dst\\a.dll"));
    EXPECT_FALSE(sim::files::Exists(L"C:\\src\\b.dll"));
}

TEST_F(SimFilesTest, RestartCarriesOutThePendingMovesThatWindowsCan) {
    const DWORD delay = MOVEFILE_DELAY_UNTIL_REBOOT;
    const DWORD replace = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING;
    const std::wstring monitor = L"C:\\Windows\\system32\\crvnmon.dll";
    for (const wchar_t *name : {L"kept.dll", L"replaced.dll", L"other-drive.dll"})
        sim::files::WriteFile(std::wstring(L"C:\\dst\\") + name, "old");
    for (const wchar_t *name : {L"kept.dll", L"replaced.dll", L"moved.dll", L"deleted.tmp", L"monitor.tmp"})
        sim::files::WriteFile(std::wstring(L"C:\\src\\") + name, "new");
    sim::files::WriteFile(L"D:\\src\\other-drive.dll", "new");
    sim::files::WriteFile(monitor, "old");
    sim::files::Lock(L"C:\\dst\\kept.dll", sim::files::LockKind::Image);
    sim::files::Lock(L"C:\\dst\\replaced.dll", sim::files::LockKind::Image);
    sim::files::LockWhileServiceRuns(monitor, L"Spooler");

    // An existing target without MOVEFILE_REPLACE_EXISTING, another drive and
    // a missing source fail at restart without a word; the rest is done.
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\kept.dll", L"C:\\dst\\kept.dll", delay));
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\replaced.dll", L"C:\\dst\\replaced.dll", replace));
    EXPECT_TRUE(MoveFileExW(L"D:\\src\\other-drive.dll", L"C:\\dst\\other-drive.dll", replace));
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\moved.dll", L"C:\\dst\\moved.dll", delay));
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\missing.dll", L"C:\\dst\\missing.dll", replace));
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\deleted.tmp", NULL, delay));
    EXPECT_TRUE(MoveFileExW(L"C:\\src\\monitor.tmp", monitor.c_str(), replace));
    sim::files::Restart();

    EXPECT_EQ("old", sim::files::ReadFile(L"C:\\dst\\kept.dll"));
    EXPECT_EQ("new", sim::files::ReadFile(L"C:\\dst\\replaced.dll"));
    EXPECT_EQ("old", sim::files::ReadFile(L"C:\\dst\\other-drive.dll"));
    EXPECT_EQ("new", sim::files::ReadFile(L"C:\\dst\\moved.dll"));
    EXPECT_FALSE(sim::files::Exists(L"C:\\dst\\missing.dll"));
    EXPECT_EQ(Strings({L"kept.dll"}), sim::files::ListFolder(L"C:\\src"));
    EXPECT_TRUE(sim::files::IsFile(L"D:\\src\\other-drive.dll"));
    EXPECT_TRUE(sim::files::PendingRenames().empty());
    // The programs that held files are gone; the spooler loads its monitor,
    // the new one, again.
    EXPECT_FALSE(sim::files::IsLocked(L"C:\\dst\\kept.dll"));
    EXPECT_FALSE(sim::files::IsLocked(L"C:\\dst\\replaced.dll"));
    EXPECT_EQ("new", sim::files::ReadFile(monitor));
    EXPECT_TRUE(sim::files::IsLocked(monitor));
}

TEST_F(SimFilesTest, FolderMovesAndRemovalsTakeEverythingBelow) {
    // "C:\A B" sorts between "C:\A" and "C:\A\x"; it must stay untouched.
    sim::files::WriteFile(L"C:\\A\\x\\1.txt", "1");
    sim::files::WriteFile(L"C:\\A B\\2.txt", "2");
    sim::files::WriteFile(L"C:\\AB\\3.txt", "3");
    sim::files::Lock(L"C:\\A\\x\\1.txt");
    EXPECT_EQ(Strings({L"C:\\A\\x", L"C:\\A\\x\\1.txt"}), sim::files::ListTree(L"C:\\A"));
    EXPECT_FALSE(sim::files::Move(L"C:\\A", L"C:\\Bin\\A"));  // no such folder yet
    sim::files::CreateFolder(L"C:\\Bin");
    EXPECT_TRUE(sim::files::Move(L"C:\\A", L"C:\\Bin\\A"));
    EXPECT_EQ("1", sim::files::ReadFile(L"C:\\Bin\\A\\x\\1.txt"));
    EXPECT_TRUE(sim::files::IsLocked(L"C:\\Bin\\A\\x\\1.txt"));
    EXPECT_TRUE(sim::files::Remove(L"C:\\Bin"));
    EXPECT_FALSE(sim::files::Exists(L"C:\\Bin\\A\\x\\1.txt"));
    EXPECT_EQ("2", sim::files::ReadFile(L"C:\\A B\\2.txt"));
    EXPECT_EQ("3", sim::files::ReadFile(L"C:\\AB\\3.txt"));
}

TEST_F(SimFilesTest, DirectoriesAndTemporaryFiles) {
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(19u, GetSystemDirectoryW(buffer, MAX_PATH));
    EXPECT_STREQ(L"C:\\Windows\\system32", buffer);
    EXPECT_EQ(20u, GetSystemDirectoryW(buffer, 19));  // size needed, terminator included

    DWORD length = GetTempPathW(MAX_PATH, buffer);
    std::wstring temp = buffer;
    EXPECT_EQ(temp.size(), length);
    EXPECT_EQ(L'\\', temp.back());
    EXPECT_TRUE(sim::files::IsFolder(temp));

    Sleep(0x1234);
    WCHAR first[MAX_PATH];
    WCHAR second[MAX_PATH];
    EXPECT_EQ(0x1234u, GetTempFileNameW(temp.c_str(), L"unins000", 0, first));
    EXPECT_EQ(temp + L"uni1234.tmp", first);
    EXPECT_TRUE(sim::files::IsFile(first));
    EXPECT_EQ(0x1235u, GetTempFileNameW(temp.c_str(), L"unins000", 0, second));
    EXPECT_EQ(temp + L"uni1235.tmp", second);

    // With a number of its own the name is only made up.
    EXPECT_EQ(0xABu, GetTempFileNameW(L"C:\\Temp", L"x", 0xAB, first));
    EXPECT_STREQ(L"C:\\Temp\\xAB.tmp", first);
    EXPECT_EQ(0u, GetTempFileNameW(L"C:\\Temp", L"x", 0, first));  // no such folder
}

TEST_F(SimFilesTest, AppendHandlesWriteAtTheEndAndOpensHonourEachOthersSharing) {
    const wchar_t log[] = L"C:\\logs\\setup.log";
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
    auto open = [&](DWORD share) {
        return CreateFileW(log, FILE_APPEND_DATA, share, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    };
    auto write = [](HANDLE h, const std::string &text) {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, text.data(), (DWORD)text.size(), &written, NULL));
        EXPECT_EQ(text.size(), written);
    };
    sim::files::CreateFolder(L"C:\\logs");
    HANDLE first = open(shareAll);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_EQ(0u, GetLastError());  // created
    HANDLE second = open(shareAll);
    ASSERT_NE(INVALID_HANDLE_VALUE, second);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    write(first, "one\r\n");
    write(second, "two\r\n");
    write(first, "three\r\n");
    EXPECT_EQ("one\r\ntwo\r\nthree\r\n", sim::files::ReadFile(log));

    // A writer that does not share writing can neither join nor be joined.
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(FILE_SHARE_READ));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(CloseHandle(second));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    HANDLE exclusive = open(FILE_SHARE_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(shareAll));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_TRUE(CloseHandle(exclusive));

    // Another program's lock, a folder, a missing folder.
    sim::files::Lock(log);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(shareAll));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    sim::files::Unlock(log);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(L"C:\\logs", FILE_APPEND_DATA, shareAll, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(L"C:\\none\\a.log", FILE_APPEND_DATA, shareAll, NULL, OPEN_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, NULL));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());

    // A process's handles close when it ends.
    sim::RunInProcess([&] { open(FILE_SHARE_READ); });
    EXPECT_EQ(0, sim::files::OpenFileHandles());
    EXPECT_NE(INVALID_HANDLE_VALUE, open(shareAll));
}

// Each drive numbers its files itself: a file on D: may have the index of one
// on C:, and only the volume's serial number tells them apart.
TEST_F(SimFilesTest, AFileIsKnownByItsVolumeAndItsIndexTogether) {
    const std::wstring onC = L"C:\\Program Files\\Corvane\\setup.exe";
    sim::files::WriteFile(onC, "program");
    std::wstring onD;
    for (int i = 0; onD.empty() && i < 1000; i++) {
        std::wstring path = L"D:\\f" + std::to_wstring(i);
        sim::files::WriteFile(path, "program");
        if (sim::files::IdOf(path).Index == sim::files::IdOf(onC).Index)
            onD = path;
    }
    ASSERT_FALSE(onD.empty());
    auto information = [](const std::wstring &path) {
        BY_HANDLE_FILE_INFORMATION info = {};
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_TRUE(GetFileInformationByHandle(h, &info));
        CloseHandle(h);
        return info;
    };
    BY_HANDLE_FILE_INFORMATION c = information(onC), d = information(onD);
    EXPECT_EQ(c.nFileIndexLow, d.nFileIndexLow);
    EXPECT_NE(c.dwVolumeSerialNumber, d.dwVolumeSerialNumber);
    EXPECT_EQ(sim::files::IdOf(onD).VolumeSerial, d.dwVolumeSerialNumber);
    EXPECT_FALSE(MoveFileExW(onD.c_str(), L"C:\\moved.exe", 0));
    EXPECT_EQ((DWORD)ERROR_NOT_SAME_DEVICE, GetLastError());
}

// A sparse file of a terabyte that stores two bytes: the size calls give its
// whole size, and it reads as zeros past them, in chunks as asked.
TEST_F(SimFilesTest, ASparseFileOfATerabyteReadsAsZerosPastItsBytes) {
    const std::wstring file = L"C:\\Corvane\\crvnv6.inf";
    const uint64_t kTerabyte = 1ull << 40;
    ASSERT_EQ(0u, sim::files::user::CreateFolder(L"C:\\Corvane") +
                      sim::files::user::WriteSparseFile(file, "MZ", kTerabyte));
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER size = {};
    EXPECT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(static_cast<LONGLONG>(kTerabyte), size.QuadPart);
    DWORD high = 0;
    EXPECT_EQ(0u, GetFileSize(h, &high));
    EXPECT_EQ((DWORD)NO_ERROR, GetLastError());
    BY_HANDLE_FILE_INFORMATION info = {};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(256u, high);
    EXPECT_EQ(256u, info.nFileSizeHigh);
    char bytes[8];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(h, bytes, 4, &read, NULL));
    EXPECT_EQ(std::string("MZ\0\0", 4), std::string(bytes, read));
    LARGE_INTEGER nearEnd;
    nearEnd.QuadPart = static_cast<LONGLONG>(kTerabyte - 3);
    EXPECT_TRUE(SetFilePointerEx(h, nearEnd, NULL, FILE_BEGIN));
    EXPECT_TRUE(ReadFile(h, bytes, 8, &read, NULL));
    EXPECT_EQ(std::string(3, '\0'), std::string(bytes, read));
    EXPECT_TRUE(ReadFile(h, bytes, 8, &read, NULL));
    EXPECT_EQ(0u, read);
    CloseHandle(h);
}

}  // namespace
