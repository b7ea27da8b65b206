// Who may write where, and which opens a held file allows: security
// descriptors from SDDL on created folders and what files and folders inherit,
// the answer for an unelevated process of the user, share modes of open
// handles (against opens, copies, deletion, renames and program starts), and
// deletions at the next restart.
#include <windows.h>
#include <sddl.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/core.h"
#include "sim/files.h"
#include "tests/test_support.h"

namespace {

const std::wstring kTemp = sim::files::kTempDirectory;
const std::wstring kUser = sim::files::kUserSid;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class SimFilesAccessTest : public SimTest {
protected:
    // A folder created as a program creates it, with a descriptor from SDDL
    // (none for an empty string).
    static BOOL CreateFolder(const std::wstring &path, const std::wstring &sddl) {
        if (sddl.empty())
            return CreateDirectoryW(path.c_str(), NULL);
        PSECURITY_DESCRIPTOR descriptor = NULL;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, NULL));
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        BOOL created = CreateDirectoryW(path.c_str(), &attributes);
        LocalFree(descriptor);
        return created;
    }
};

TEST_F(SimFilesAccessTest, SddlIsReadAsWindowsReadsIt) {
    struct Row {
        const wchar_t *Given;
        DWORD Error;            // 0: converts
        const wchar_t *Stored;  // the folder's descriptor, created in C:\Data with its protection
    };
    const Row rows[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 0, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"},
        {L"O:SYG:BAD:PAI(A;OICI;0x1f01ff;;;S-1-5-18)", 0, L"O:SYG:BAD:PAI(A;OICI;FA;;;SY)"},
        {L"D:P(A;CIIO;GRGWGX;;;CO)(A;NP;CCDCLC;;;BU)(D;;0x1200a9;;;WD)", 0,
         L"O:BAD:P(A;CIIO;GXGWGR;;;CO)(A;NP;CCDCLC;;;BU)(D;;0x1200a9;;;WD)"},
        {L"D:P(OA;;FA;;;SY)", 0, L"O:BAD:P(A;;FA;;;SY)"},
        {L"D:NO_ACCESS_CONTROL", 0, L"O:BAD:NO_ACCESS_CONTROL"},
        {L"D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)S:(ML;;NW;;;HI)", 0,
         L"O:BAD:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)S:(ML;;NW;;;HI)"},
        {L"D:P(A;;FA;;;XX)", ERROR_NONE_MAPPED, nullptr},
        {L"D:P(A;;FA;;;S-1-x)", ERROR_INVALID_SID, nullptr},
        {L"D:P(Q;;FA;;;SY)", ERROR_INVALID_PARAMETER, nullptr},
        {L"D:P(A;;FA;;SY)", ERROR_INVALID_PARAMETER, nullptr},
        {L"D:P(A;XX;FA;;;SY)", ERROR_INVALID_PARAMETER, nullptr},
        {L"D:P(A;;QQ;;;SY)", ERROR_INVALID_PARAMETER, nullptr},
        {L"D:P(A;;FA;;;SY", ERROR_INVALID_PARAMETER, nullptr},
        {L"X:P", ERROR_INVALID_PARAMETER, nullptr},
    };
    sim::files::CreateFolder(L"C:\\Data");
    int n = 0;
    for (const Row &row : rows) {
        PSECURITY_DESCRIPTOR descriptor = NULL;
        ULONG size = 0;
        BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(row.Given, SDDL_REVISION_1, &descriptor, &size);
        EXPECT_EQ(row.Error == 0, ok != FALSE) << row.Given;
        if (!ok) {
            EXPECT_EQ(row.Error, GetLastError()) << row.Given;
            continue;
        }
        EXPECT_GT(size, 0u);
        EXPECT_EQ(1u, sim::LiveAllocations());
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
        std::wstring folder = L"C:\\Data\\" + std::to_wstring(n++);
        EXPECT_TRUE(CreateDirectoryW(folder.c_str(), &attributes));
        EXPECT_EQ(NULL, LocalFree(descriptor));
        EXPECT_EQ(0u, sim::LiveAllocations());
        EXPECT_EQ(row.Stored, sim::files::Security(folder)) << row.Given;
    }
    PSECURITY_DESCRIPTOR descriptor = NULL;
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", 2, &descriptor, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_REVISION), GetLastError());
}

TEST_F(SimFilesAccessTest, WhatFilesAndFoldersInherit) {
    struct Row {
        std::wstring Path;
        const wchar_t *Given;  // SDDL for CreateDirectoryW; null: a file written there
        std::wstring Stored;
    };
    const Row rows[] = {
        // In the temporary folder: the profile's entries, inherited.
        {kTemp + L"plain", L"",
         L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;" + kUser + L")"},
        {kTemp + L"plain\\a.exe", nullptr, L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;" + kUser + L")"},
        // Explicit entries come first; a protected DACL inherits nothing.
        {kTemp + L"open", L"D:(A;OICI;FA;;;BU)",
         L"O:BAD:AI(A;OICI;FA;;;BU)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;" + kUser + L")"},
        {kTemp + L"closed", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"},
        {kTemp + L"closed\\a.exe", nullptr, L"O:BAD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"},
        // In the drive root, the "Modify" entry for what users create there.
        {L"C:\\Corvane", L"",
         L"O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
         L"(A;OICIIOID;SDGXGWGR;;;AU)"},
        // Entries for the creator go to the owner; only-for-files entries pass on.
        {L"C:\\Kinds", L"D:P(A;OICI;FA;;;CO)(A;OI;FR;;;BU)(A;CINP;FX;;;WD)", L"O:BAD:P(A;OICI;FA;;;CO)(A;OI;FR;;;BU)(A;CINP;FX;;;WD)"},
        {L"C:\\Kinds\\sub", L"",
         L"O:BAD:AI(A;ID;FA;;;BA)(A;OICIIOID;FA;;;CO)(A;OIIOID;FR;;;BU)(A;ID;FX;;;WD)"},
        {L"C:\\Kinds\\sub\\a.txt", nullptr, L"O:BAD:AI(A;ID;FA;;;BA)(A;ID;FR;;;BU)"},
        // Nothing to inherit: the creator's default.
        {L"C:\\Kinds\\sub\\a.txt\\..\\..\\bare", L"D:P(A;;FA;;;SY)", L"O:BAD:P(A;;FA;;;SY)"},
        {L"C:\\Kinds\\bare\\none", L"", L"O:BAD:(A;;FA;;;BA)(A;;FA;;;SY)"},
    };
    for (const Row &row : rows) {
        if (row.Given)
            EXPECT_TRUE(CreateFolder(row.Path, row.Given)) << row.Path;
        else
            sim::files::WriteFile(row.Path, "x");
        EXPECT_EQ(row.Stored, sim::files::Security(row.Path)) << row.Path;
    }
    // A copy takes its new folder's descriptor; a move keeps its own.
    EXPECT_TRUE(CopyFileW((kTemp + L"plain\\a.exe").c_str(), (kTemp + L"closed\\copy.exe").c_str(), FALSE));
    EXPECT_EQ(sim::files::Security(kTemp + L"closed\\a.exe"), sim::files::Security(kTemp + L"closed\\copy.exe"));
    EXPECT_TRUE(MoveFileExW((kTemp + L"plain\\a.exe").c_str(), (kTemp + L"closed\\moved.exe").c_str(), 0));
    EXPECT_EQ(sim::files::Security(kTemp + L"plain\\..\\plain\\a.exe"), L"");
    EXPECT_NE(sim::files::Security(kTemp + L"closed\\a.exe"), sim::files::Security(kTemp + L"closed\\moved.exe"));

    EXPECT_FALSE(CreateFolder(kTemp + L"closed", L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(CreateFolder(kTemp + L"none\\sub", L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    SECURITY_ATTRIBUTES bogus = {sizeof(bogus), &bogus, FALSE};
    EXPECT_FALSE(CreateDirectoryW((kTemp + L"bogus").c_str(), &bogus));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR), GetLastError());
}

TEST_F(SimFilesAccessTest, WhereAnUnelevatedProcessOfTheUserMayWrite) {
    enum Make { Nothing, File, Folder };
    struct Row {
        std::wstring Path;
        Make Made;
        const wchar_t *Given;  // SDDL for a folder made there
        bool Writable;
    };
    const std::wstring owned = L"O:" + kUser + L"D:P(A;OICI;FA;;;SY)";
    const std::wstring ownerRights = owned + L"(A;;RC;;;OW)";
    const Row rows[] = {
        {kTemp, Nothing, L"", true},
        {L"C:\\Users\\Setup\\Downloads\\setup.exe", File, L"", true},
        {L"C:\\Windows", Nothing, L"", false},
        {L"C:\\Windows\\system32", Nothing, L"", false},
        {L"C:\\Windows\\system32\\newdev.dll", Nothing, L"", false},
        {L"C:\\Windows\\system32\\planted.dll", Nothing, L"", false},
        {L"C:\\Program Files", Nothing, L"", false},
        {L"C:\\Program Files\\Corvane", Folder, L"", false},
        {L"C:\\", Nothing, L"", false},  // folders only
        {L"C:\\Corvane", Folder, L"", true},
        {kTemp + L"plain", Folder, L"", true},
        {kTemp + L"closed", Folder, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        {kTemp + L"closed\\x.exe", File, L"", false},
        {kTemp + L"unprotected", Folder, L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {kTemp + L"denied", Folder, L"D:P(D;OICI;FA;;;BA)(A;OICI;FA;;;BU)", false},
        {kTemp + L"users", Folder, L"D:P(A;OICI;FA;;;BU)", true},
        {kTemp + L"filesonly", Folder, L"D:P(A;OICIIO;FA;;;BU)", false},
        {kTemp + L"filesonly\\x.exe", File, L"", true},
        {kTemp + L"nulldacl", Folder, L"D:NO_ACCESS_CONTROL", true},
        {kTemp + L"owned", Folder, owned.c_str(), true},
        {kTemp + L"ownerrights", Folder, ownerRights.c_str(), false},
    };
    for (const Row &row : rows) {
        if (row.Made == Folder) {
            EXPECT_TRUE(CreateFolder(row.Path, row.Given)) << row.Path;
        } else if (row.Made == File) {
            sim::files::WriteFile(row.Path, "x");
        }
        EXPECT_EQ(row.Writable, sim::files::UserCanWrite(row.Path)) << row.Path;
    }
    // A file keeps the protection it was created with when it moves.
    sim::files::WriteFile(kTemp + L"made-here.exe", "x");
    EXPECT_TRUE(MoveFileExW((kTemp + L"made-here.exe").c_str(), (kTemp + L"closed\\moved.exe").c_str(), 0));
    EXPECT_TRUE(sim::files::UserCanWrite(kTemp + L"closed\\moved.exe"));
}

TEST_F(SimFilesAccessTest, ShareModesOfAHeldFile) {
    struct Row {
        DWORD HeldAccess, HeldShare, Access, Share;
        DWORD Error;
    };
    const DWORD R = FILE_SHARE_READ, W = FILE_SHARE_WRITE, D = FILE_SHARE_DELETE;
    const Row rows[] = {
        {GENERIC_READ, R, GENERIC_READ, kShareAll, 0},
        {GENERIC_READ, R, GENERIC_READ, 0, ERROR_SHARING_VIOLATION},  // must share what the other reads
        {GENERIC_READ, R, GENERIC_WRITE, kShareAll, ERROR_SHARING_VIOLATION},
        {GENERIC_READ, R, DELETE, kShareAll, ERROR_SHARING_VIOLATION},
        {GENERIC_READ, R | D, DELETE, kShareAll, 0},
        {GENERIC_READ, R, FILE_READ_DATA | FILE_EXECUTE, R | D, 0},  // the loader's open of a program
        {GENERIC_WRITE, R, FILE_READ_DATA | FILE_EXECUTE, R | D, ERROR_SHARING_VIOLATION},
        {GENERIC_WRITE, R | W, GENERIC_READ, kShareAll, 0},
        {GENERIC_READ | GENERIC_WRITE, 0, GENERIC_READ, kShareAll, ERROR_SHARING_VIOLATION},
        {FILE_READ_ATTRIBUTES, 0, GENERIC_WRITE, 0, 0},  // no data access: no part in sharing
        {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, 0},
    };
    const std::wstring file = kTemp + L"held.exe";
    sim::files::WriteFile(file, "image");
    for (const Row &row : rows) {
        HANDLE held = CreateFileW(file.c_str(), row.HeldAccess, row.HeldShare, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(row.Error, sim::files::TryOpen(file, row.Access, row.Share));
        HANDLE other = CreateFileW(file.c_str(), row.Access, row.Share, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(row.Error == 0, other != INVALID_HANDLE_VALUE);
        EXPECT_EQ(row.Error, GetLastError());
        if (other != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(other));
        }
        EXPECT_TRUE(CloseHandle(held));
        EXPECT_TRUE(sim::files::OpenHandles(file).empty());
    }
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// The uninstaller's relaunch: a copy in a folder of its own, held open for
// reading until the child has started, deleted at the next restart.
TEST_F(SimFilesAccessTest, AProgramHeldOpenForReadingStillStartsAndCannotBeChanged) {
    const std::wstring folder = kTemp + L"unins";
    const std::wstring copy = folder + L"\\unins000.exe";
    sim::files::WriteFile(L"C:\\Program Files\\Corvane\\unins000.exe", "uninstaller");
    sim::Process p = sim::RunInProcess([&] {
        ASSERT_TRUE(CreateFolder(folder, L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
        ASSERT_TRUE(CopyFileW(L"C:\\Program Files\\Corvane\\unins000.exe", copy.c_str(), FALSE));
        HANDLE held = CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(0u, GetLastError());

        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), sim::files::TryOpen(copy, GENERIC_WRITE, kShareAll));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), sim::files::TryDelete(copy));
        EXPECT_FALSE(CopyFileW(L"C:\\Program Files\\Corvane\\unins000.exe", copy.c_str(), FALSE));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_FALSE(MoveFileExW(copy.c_str(), (folder + L"\\other.exe").c_str(), 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
        EXPECT_TRUE(sim::files::IsLocked(copy));

        WCHAR commandLine[] = L"\"C:\\Users\\Setup\\AppData\\Local\\Temp\\unins\\unins000.exe\" -u x";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child = {};
        EXPECT_TRUE(CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child));
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);

        EXPECT_TRUE(MoveFileExW(copy.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
        EXPECT_TRUE(MoveFileExW(folder.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
        // Ending without closing it: the handle goes with the process.
    });
    EXPECT_FALSE(p.Crashed);
    EXPECT_TRUE(sim::files::OpenHandles(copy).empty());
    EXPECT_EQ(0u, sim::files::TryDelete(copy));
    EXPECT_FALSE(sim::files::UserCanWrite(copy));

    // A program open for writing cannot be started.
    HANDLE writer = CreateFileW(copy.c_str(), GENERIC_WRITE, kShareAll, NULL, OPEN_EXISTING, 0, NULL);
    WCHAR commandLine[] = L"\"C:\\Users\\Setup\\AppData\\Local\\Temp\\unins\\unins000.exe\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    EXPECT_FALSE(CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(writer);

    sim::files::Restart();
    EXPECT_FALSE(sim::files::Exists(folder));
}

TEST_F(SimFilesAccessTest, AFileDeletedWhileOpenGoesWithItsLastHandle) {
    const std::wstring file = kTemp + L"log.txt";
    for (bool deleteOnClose : {false, true}) {
        sim::files::WriteFile(file, "x");
        HANDLE first = CreateFileW(file.c_str(), GENERIC_READ | (deleteOnClose ? 0 : DELETE), kShareAll, NULL,
                                   OPEN_EXISTING, deleteOnClose ? FILE_FLAG_DELETE_ON_CLOSE : 0, NULL);
        HANDLE second = CreateFileW(file.c_str(), GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, second);
        if (!deleteOnClose) {
            EXPECT_TRUE(DeleteFileW(file.c_str()));
        }
        EXPECT_TRUE(CloseHandle(first));
        EXPECT_TRUE(sim::files::Exists(file));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(file.c_str()));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(file.c_str(), GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, 0, NULL));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
        EXPECT_TRUE(CloseHandle(second));
        EXPECT_FALSE(sim::files::Exists(file));
    }
}

TEST_F(SimFilesAccessTest, CreateFileDispositions) {
    struct Row {
        bool Exists;
        DWORD Disposition;
        DWORD Error;  // after the call; a handle unless it is a failure below
        bool Fails;
        const char *Content;  // afterwards; null: no file
    };
    const Row rows[] = {
        {false, CREATE_NEW, 0, false, ""},
        {true, CREATE_NEW, ERROR_FILE_EXISTS, true, "old"},
        {false, OPEN_EXISTING, ERROR_FILE_NOT_FOUND, true, nullptr},
        {true, OPEN_EXISTING, 0, false, "old"},
        {false, OPEN_ALWAYS, 0, false, ""},
        {true, OPEN_ALWAYS, ERROR_ALREADY_EXISTS, false, "old"},
        {true, CREATE_ALWAYS, ERROR_ALREADY_EXISTS, false, ""},
        {true, TRUNCATE_EXISTING, 0, false, ""},
        {false, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND, true, nullptr},
        {true, 0, ERROR_INVALID_PARAMETER, true, "old"},
    };
    const std::wstring file = kTemp + L"f.txt";
    for (const Row &row : rows) {
        sim::files::Remove(file);
        if (row.Exists)
            sim::files::WriteFile(file, "old");
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, row.Disposition, FILE_ATTRIBUTE_NORMAL, NULL);
        EXPECT_EQ(row.Fails, h == INVALID_HANDLE_VALUE) << row.Disposition;
        EXPECT_EQ(row.Error, GetLastError()) << row.Disposition;
        EXPECT_EQ(row.Content != nullptr, sim::files::IsFile(file)) << row.Disposition;
        if (row.Content) {
            EXPECT_EQ(row.Content, sim::files::ReadFile(file)) << row.Disposition;
        }
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(kTemp.c_str(), GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, 0, NULL));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    HANDLE folder = CreateFileW(kTemp.c_str(), GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, folder);
    CloseHandle(folder);
}

// A junction the user made above files a program holds: the user removes,
// renames and remakes it as Windows lets one, the held files stay what they
// were, and every later open by path goes where the junction leads then.
TEST_F(SimFilesAccessTest, AUsersJunctionChangesWhileFilesBelowItsOldTargetAreHeld) {
    namespace user = sim::files::user;
    const std::wstring link = L"C:\\Corvane\\amd64", dll = link + L"\\a.dll";
    const std::wstring genuine = L"C:\\Genuine", evil = sim::files::kProfileDirectory + std::wstring(L"\\evil");
    struct Row {
        const char *What;
        std::function<DWORD()> Act;  // as the user, while the program holds the DLL
        DWORD Error;
        const char *ThenReads;  // what opening the DLL by its path reads afterwards ("": nothing there)
    } rows[] = {
        {"remade", [&] { return user::RemoveFolder(link) + user::MakeLink(link, evil, true); }, 0, "evil"},
        {"renamed", [&] { return user::Move(link, link + L".old"); }, 0, ""},
        {"removed by the program", [&] { return RemoveDirectoryW(link.c_str()) ? 0 : GetLastError(); }, 0, ""},
        {"renamed by the program",
         [&] { return MoveFileExW(link.c_str(), (link + L"2").c_str(), 0) ? 0 : GetLastError(); }, 0, ""},
        {"held itself",
         [&] {
             HANDLE h = CreateFileW(link.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
             DWORD error = user::RemoveFolder(link);
             EXPECT_EQ(error, user::Move(link, link + L".old"));
             CloseHandle(h);
             return error;
         },
         ERROR_SHARING_VIOLATION, "genuine"},
        {"a folder, not a junction", [&] { return user::RemoveFolder(L"C:\\Corvane"); }, ERROR_DIR_NOT_EMPTY, "genuine"},
        {"another's folder", [&] { return user::RemoveFolder(L"C:\\Program Files"); }, ERROR_ACCESS_DENIED, "genuine"},
    };
    for (const Row &row : rows) {
        sim::Reset();
        sim::files::WriteFile(genuine + L"\\a.dll", "genuine");
        sim::files::WriteFile(evil + L"\\a.dll", "evil");
        ASSERT_EQ(0u, user::CreateFolder(L"C:\\Corvane") + user::MakeLink(link, genuine, true));
        HANDLE held = CreateFileW(dll.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        EXPECT_EQ(row.Error, row.Act()) << row.What;
        EXPECT_EQ(row.ThenReads, sim::files::ReadFile(dll)) << row.What;
        char bytes[16] = {};
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(held, bytes, sizeof(bytes), &read, NULL));
        EXPECT_EQ("genuine", std::string(bytes, read)) << row.What;
        EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, sim::files::TryOpen(genuine + L"\\a.dll", GENERIC_WRITE, kShareAll));
        CloseHandle(held);
        EXPECT_EQ("genuine", sim::files::ReadFile(genuine + L"\\a.dll")) << row.What;
    }
}

// A writable view the user mapped before a run outlives its handles: share
// modes are checked against opens only, so it changes the bytes of a file
// that a program holds without write sharing, and every later read sees them.
TEST_F(SimFilesAccessTest, AWritableViewKeptFromBeforeChangesAHeldFile) {
    namespace user = sim::files::user;
    const std::wstring file = L"C:\\Corvane\\a.dll";
    struct Row {
        const char *What;
        std::function<void()> Before;
        DWORD Error;  // of MapView
    } rows[] = {
        {"the user's file", [] {}, 0},
        {"held without write sharing",
         [&] { CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL); },
         ERROR_SHARING_VIOLATION},
        {"read-only", [&] { EXPECT_EQ(0u, user::SetAttributes(file, FILE_ATTRIBUTE_READONLY)); }, ERROR_ACCESS_DENIED},
        {"another's", [&] { sim::files::SetSecurity(file, L"O:BAD:P(A;;FA;;;BA)(A;;FR;;;BU)"); }, ERROR_ACCESS_DENIED},
        {"empty", [&] { user::WriteFile(file, ""); }, ERROR_FILE_INVALID},
    };
    for (const Row &row : rows) {
        sim::Reset();
        ASSERT_EQ(0u, user::CreateFolder(L"C:\\Corvane") + user::WriteFile(file, "genuine"));
        row.Before();
        int view = -1;
        EXPECT_EQ(row.Error, user::MapView(file, &view)) << row.What;
        if (row.Error != 0)
            continue;
        HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, user::WriteFile(file, "planted"));
        EXPECT_EQ(0u, user::WriteView(view, 1, "EVIL"));
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, user::WriteView(view, 4, "longer"));
        char bytes[16] = {};
        DWORD read = 0;
        EXPECT_TRUE(ReadFile(held, bytes, sizeof(bytes), &read, NULL));
        EXPECT_EQ("gEVILne", std::string(bytes, read));
        CloseHandle(held);
        EXPECT_TRUE(CopyFileW(file.c_str(), L"C:\\copy.dll", FALSE));
        EXPECT_EQ("gEVILne", sim::files::ReadFile(L"C:\\copy.dll"));
        // Mapped, the file can be renamed, but neither deleted nor cut short.
        EXPECT_TRUE(MoveFileExW(file.c_str(), L"C:\\Corvane\\b.dll", 0));
        EXPECT_EQ(0u, user::WriteView(view, 0, "G"));
        EXPECT_EQ("GEVILne", sim::files::ReadFile(L"C:\\Corvane\\b.dll"));
        EXPECT_FALSE(DeleteFileW(L"C:\\Corvane\\b.dll"));
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
        EXPECT_FALSE(CopyFileW(L"C:\\copy.dll", L"C:\\Corvane\\b.dll", FALSE));
        EXPECT_EQ((DWORD)ERROR_USER_MAPPED_FILE, GetLastError());
    }
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, user::SetAttributes(L"C:\\Windows\\system32\\newdev.dll", 0));
}

TEST_F(SimFilesAccessTest, RestartDeletesInOrderAndFoldersOnlyWhenEmpty) {
    for (bool fileFirst : {true, false}) {
        sim::files::WriteFile(L"C:\\Temp\\x\\a.exe", "a");
        const wchar_t *order[2] = {L"C:\\Temp\\x\\a.exe", L"C:\\Temp\\x"};
        if (!fileFirst)
            std::swap(order[0], order[1]);
        for (const wchar_t *path : order)
            EXPECT_TRUE(MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
        EXPECT_TRUE(sim::files::Exists(L"C:\\Temp\\x\\a.exe"));
        sim::files::Restart();
        EXPECT_FALSE(sim::files::Exists(L"C:\\Temp\\x\\a.exe"));
        EXPECT_EQ(!fileFirst, sim::files::Exists(L"C:\\Temp\\x")) << fileFirst;
        EXPECT_TRUE(sim::files::PendingRenames().empty());
    }
}

}  // namespace
