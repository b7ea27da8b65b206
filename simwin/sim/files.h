// The test-facing side of the simulated file system.
//
// One in-memory tree of drives, folders and files with contents. Paths are
// Windows paths: case-insensitive, "\" separators ("/" accepted too), a
// doubled separator counts as one, "." and ".." are resolved, and trailing
// dots and spaces of a name are dropped. A path without a drive ("\x" or
// "x") is taken on drive C: from its root, the simulated processes' current
// directory. Names keep the case they were created with.
//
// A reset machine has C:\ with the system directory, the spooler's
// printer-driver folders (C:\Windows\system32\spool\drivers\W32X86, x64,
// ARM64, ARM) and the temporary folder.
//
// Locks stand for handles that other programs hold open:
//   Open  - a file opened without delete or write sharing: copying over it,
//           deleting it or opening it for writing fails with
//           ERROR_SHARING_VIOLATION (32);
//   Image - a loaded program or DLL (mapped image): copying over it or
//           opening it for writing fails with ERROR_SHARING_VIOLATION (32),
//           deleting it with
//           ERROR_ACCESS_DENIED (5), as Windows answers for a file in use.
// Either kind may still be read (copied from).
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace files {

// GetSystemDirectoryW's and GetTempPathW's answers.
extern const wchar_t *const kSystemDirectory;  // C:\Windows\system32
extern const wchar_t *const kTempDirectory;    // C:\Users\Setup\AppData\Local\Temp\ (with the backslash)

// A file with the given content, created or overwritten, with any missing
// parent folders.
void WriteFile(const std::wstring &path, const std::string &content = std::string());
// A folder with any missing parents (a drive root "D:\" adds a drive).
void CreateFolder(const std::wstring &path);

bool Exists(const std::wstring &path);  // a file or a folder
bool IsFile(const std::wstring &path);
bool IsFolder(const std::wstring &path);
// A file's content; empty when it is not a file.
std::string ReadFile(const std::wstring &path);
// The path as the file system spells it (names in their stored case, one
// separator each, no trailing separator except after a drive); a path that
// does not exist is normalised all the same. Empty for an unusable path.
std::wstring Canonical(const std::wstring &path);

// Names of the entries directly inside a folder, sorted without regard to
// case; empty when it is not a folder.
std::vector<std::wstring> ListFolder(const std::wstring &path);
// Full paths of everything below a folder, each folder before its contents.
std::vector<std::wstring> ListTree(const std::wstring &path);

// Removes a file, or a folder with all it holds, whatever locks there are.
// Returns false when nothing was there.
bool Remove(const std::wstring &path);
// Moves a file or a folder with all it holds to a new path (whose parent
// must exist and which must not exist), locks included. Returns false when
// that is not possible.
bool Move(const std::wstring &from, const std::wstring &to);

// --- Files in use ---------------------------------------------------------
enum class LockKind { Open, Image };
void Lock(const std::wstring &path, LockKind kind = LockKind::Open);
// An image lock held only while the service has a process (any state but
// SERVICE_STOPPED), as a DLL that the service loads, such as a port
// monitor loaded by "Spooler".
void LockWhileServiceRuns(const std::wstring &path, const std::wstring &service);
void Unlock(const std::wstring &path);
// The lock in force on the path right now.
bool IsLocked(const std::wstring &path);

// Handles from CreateFileW not closed yet, in every process. Such a handle
// counts for later CreateFileW calls (their sharing), not for copying,
// moving or deleting the file.
int OpenFileHandles();

// --- Replacements at the next restart ----------------------------------------
struct PendingRename {
    std::wstring From;  // canonical source path
    std::wstring To;    // canonical target path; empty: delete at restart
    DWORD Flags = 0;    // MoveFileExW's flags
    uint64_t Time = 0;  // virtual time of the call
};
// Every MoveFileExW call with MOVEFILE_DELAY_UNTIL_REBOOT that succeeded, in
// order.
const std::vector<PendingRename> &PendingRenames();

// The product's install folder as it ships, with stand-in contents that name
// each file: "crvnv6.inf", "unins000.exe", "dat\crvndrv6.dat", and in each of
// "i386", "arm", "amd64", "arm64" the files "crvndrv6.dll", "crvndrv6ui.dll"
// and "crvnmon.dll". Each file's content is its path relative to the folder,
// e.g. "amd64\crvnmon.dll".
void LayOutInstallFolder(const std::wstring &folder);

}  // namespace files
}  // namespace sim
