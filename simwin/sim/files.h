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
// ARM64, ARM), C:\Program Files, the user's profile C:\Users\Setup and the
// temporary folder in it. The system directory holds the system's DLLs (see
// sim/loader.h) and rundll32.exe; a 64-bit Windows (sim::SetNativeArchitecture)
// also has the 32-bit system directory C:\Windows\SysWOW64, with rundll32.exe
// too, which a 32-bit Windows lacks.
//
// Every file and folder has a security descriptor, fixed when it is created:
// what it inherits from its folder, and the descriptor given to CreateFileW or
// CreateDirectoryW. A reset machine's drive root is set up as Windows sets up
// C:\ (users may create folders in it, and may then change them), C:\Windows
// and C:\Program Files are writable by administrators only, the profile (and so
// the temporary folder) by the user. Files and folders are created as an
// administrator's process creates them, owned by Administrators; tests place
// files the same way. A move keeps a file's descriptor, a copy gets the one of
// its new folder.
//
// Handles from CreateFileW hold their file open with their access and share
// mode: every other open, and copying over, deleting or renaming the file, is
// checked against them as Windows checks share modes (ERROR_SHARING_VIOLATION).
// A file deleted while open (every handle sharing deletion) stays, refusing
// new opens with ERROR_ACCESS_DENIED, until its last handle closes. A
// process's handles close when it ends. A mapped view is no handle: share
// modes never see it (see user::MapView).
//
// Junctions and symbolic links: a path leads through every link on its way as
// the link is at the moment of each call, so a path opened after a junction
// was remade reaches the new target, while a handle stays on the file it
// opened. A link as the path's last name is followed too, except where
// Windows acts on the link itself: CreateFileW with
// FILE_FLAG_OPEN_REPARSE_POINT, RemoveDirectoryW (a junction goes, whatever
// its target holds), DeleteFileW (a symbolic link goes), MoveFileExW (the
// link is renamed), GetFileAttributesW, and Remove, Move, UserCanRename and
// user::Move, user::RemoveFolder here.
//
// Volumes: each drive is a volume with a serial number of its own
// (GetFileInformationByHandle's dwVolumeSerialNumber; C:'s is 0x5EC0A2D3),
// and numbers its files itself: a file index is unique on its volume only,
// so a file on D: may have the index of one on C:. A file moved to another
// drive (only Move here; MoveFileExW refuses with ERROR_NOT_SAME_DEVICE) gets
// an index there.
//
// Attributes: a new file has FILE_ATTRIBUTE_ARCHIVE (and those given to
// CreateFileW), a folder FILE_ATTRIBUTE_DIRECTORY, a link also
// FILE_ATTRIBUTE_REPARSE_POINT; a file without any reports
// FILE_ATTRIBUTE_NORMAL. SetFileAttributesW sets READONLY, HIDDEN, SYSTEM and
// ARCHIVE. CopyFileW gives the copy its source's attributes (and ARCHIVE, as
// every new file) and MoveFileExW keeps them. A read-only file cannot be deleted, opened for writing, cut
// short or replaced by CopyFileW or MoveFileExW (ERROR_ACCESS_DENIED); nor can
// CopyFileW replace a hidden file, nor CreateFileW with CREATE_ALWAYS a hidden
// or system one without those attributes (ERROR_ACCESS_DENIED). Folders keep
// what they are given but read-only does not protect them here.
//
// Sparse files (user::WriteSparseFile): a file whose size is more than the
// bytes it stores; it reads as zeros past them, and GetFileSizeEx,
// GetFileSize and GetFileInformationByHandle give its whole size. A program
// that reads a file of a terabyte in chunks makes more calls than
// sim::kStepBound at one virtual time, and ends as spinning.
//
// The calls here take real paths. The product's file calls go through the
// WOW64 file system redirector when it runs as a WOW64 process
// (sim::SetProgram32Bit): C:\Windows\System32 leads to C:\Windows\SysWOW64
// except its subfolders catroot, catroot2, driverstore, drivers\etc,
// logfiles and spool, and C:\Windows\Sysnative to C:\Windows\system32;
// Wow64DisableWow64FsRedirection turns that off for the calling thread.
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

// GetWindowsDirectoryW's (and GetSystemWindowsDirectoryW's),
// GetSystemDirectoryW's, GetSystemWow64DirectoryW's and GetTempPathW's answers.
extern const wchar_t *const kWindowsDirectory;      // C:\Windows
extern const wchar_t *const kSystemDirectory;       // C:\Windows\system32
extern const wchar_t *const kSystemWow64Directory;  // C:\Windows\SysWOW64 (64-bit Windows only)
extern const wchar_t *const kTempDirectory;         // C:\Users\Setup\AppData\Local\Temp\ (with the backslash)
extern const wchar_t *const kSystemTempDirectory;   // C:\Windows\Temp
extern const wchar_t *const kProfileDirectory;      // C:\Users\Setup
// The SID of the interactive user, "Setup", who runs the programs.
extern const wchar_t *const kUserSid;

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
// The same in one pass, each file with its bytes: what a test compares
// before and after a run, without resolving every path again. A link is
// listed as the link (a junction as a folder).
struct TreeEntry {
    std::wstring Path;
    bool Folder;
    std::string Content;
};
std::vector<TreeEntry> ReadTree(const std::wstring &path);

// Removes a file, or a folder with all it holds, whatever locks there are (a
// link as the last name: the link). Returns false when nothing was there.
bool Remove(const std::wstring &path);
// Moves a file or a folder with all it holds to a new path (whose parent
// must exist and which must not exist), locks included (a link as the last
// name: the link). Returns false when that is not possible.
bool Move(const std::wstring &from, const std::wstring &to);

// The attributes GetFileAttributesW would give (a link's own);
// INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD Attributes(const std::wstring &path);
// Sets a file's or folder's attributes as SetFileAttributesW does, as an
// administrator would; false when nothing is there.
bool SetAttributes(const std::wstring &path, DWORD attributes);
// The volume and index GetFileInformationByHandle gives for the file the
// path leads to (zeros when nothing is there).
struct FileId {
    DWORD VolumeSerial = 0;
    uint64_t Index = 0;
};
FileId IdOf(const std::wstring &path);

// A junction (folder) or symbolic link (file) at path, leading to target,
// made by the user (kUserSid owns it). False when path exists.
bool MakeLink(const std::wstring &path, const std::wstring &target, bool folder);
// A second name for an existing file (a hard link): a copy of it that counts
// two names; writes through one name do not reach the other here.
bool MakeHardLink(const std::wstring &path, const std::wstring &existing);

// --- Files in use ---------------------------------------------------------
enum class LockKind { Open, Image };
void Lock(const std::wstring &path, LockKind kind = LockKind::Open);
// An image lock held only while the service has a process (any state but
// SERVICE_STOPPED), as a DLL that the service loads, such as a port
// monitor loaded by "Spooler".
void LockWhileServiceRuns(const std::wstring &path, const std::wstring &service);
void Unlock(const std::wstring &path);
// The lock in force on the path right now, or a handle open on it that does
// not share deletion.
bool IsLocked(const std::wstring &path);

// --- Open handles and share modes ----------------------------------------
struct OpenHandle {
    HANDLE Handle;
    DWORD Process;  // the process that opened it
    DWORD Access;   // the access asked for, generic rights mapped to file rights
    DWORD Share;    // FILE_SHARE_* flags
};
// The handles open on a file now.
std::vector<OpenHandle> OpenHandles(const std::wstring &path);
// What another program opening the file now with this access and share mode
// would get: 0, ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED (the file is
// being deleted) or ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND. Nothing is
// opened. For example TryOpen(path, GENERIC_WRITE, FILE_SHARE_READ |
// FILE_SHARE_WRITE | FILE_SHARE_DELETE) asks whether it could write the file.
DWORD TryOpen(const std::wstring &path, DWORD access, DWORD share);
// What another program's DeleteFileW of the file would meet now: 0 or the error.
DWORD TryDelete(const std::wstring &path);

// --- Security ------------------------------------------------------------
// The descriptor of a file or folder in SDDL, as Windows prints it (for
// example "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"); empty when it does not
// exist.
std::wstring Security(const std::wstring &path);
// Replaces the descriptor of a file or folder (for setting up a machine);
// false for a path that does not exist or an SDDL string that is not valid.
bool SetSecurity(const std::wstring &path, const std::wstring &sddl);
// Whether an unelevated process of the user (kUserSid, with Everyone,
// Authenticated Users, Interactive and Users; Administrators only for deny
// entries) could write there: for a folder, create files in it; for a file,
// change it or replace it (delete it and create it anew); for a path that does
// not exist, create it in its folder. Rights the user could give itself (as
// the owner, or through WRITE_DAC) count. Mandatory integrity labels are not
// modelled.
bool UserCanWrite(const std::wstring &path);
// Whether an unelevated process of the user could rename or move the file or
// folder away: DELETE on it, or FILE_DELETE_CHILD on its folder (rights it
// could give itself count, as above).
bool UserCanRename(const std::wstring &path);

// --- A standard user -------------------------------------------------------
// What an unelevated process of the user (kUserSid) can do to files and
// folders, checked as Windows checks it: the rights of the descriptors (as
// UserCanWrite and UserCanRename), the share modes of the handles open, a
// folder with open files below it that cannot be renamed, the attributes, and
// the privilege a standard user lacks (a symbolic link to a file needs
// SeCreateSymbolicLinkPrivilege; a junction needs only an empty folder of
// one's own, a hard link only a file on the same drive). What the user makes
// is owned by the user. Each returns 0 or the Windows error.
namespace user {
// Writes a file whole (a new one, or one it may write that is not read-only,
// held against writing or mapped).
DWORD WriteFile(const std::wstring &path, const std::string &content);
// The same, as a sparse file of `size` bytes (FSCTL_SET_SPARSE and
// SetEndOfFile) that stores only `content`: for example a file of a terabyte,
// WriteSparseFile(path, "", 1ull << 40).
DWORD WriteSparseFile(const std::wstring &path, const std::string &content, uint64_t size);
DWORD CreateFolder(const std::wstring &path);
// Renames a file or folder, or a link itself (a junction keeps its name
// while a file below it is open only when the file was opened through it:
// files open below its target do not hold it).
DWORD Move(const std::wstring &from, const std::wstring &to);
// RemoveDirectoryW as the user: an empty folder, or a junction whatever its
// target holds and whatever is open below the target; it may rename the
// entry away (UserCanRename) and no handle holds it without delete sharing.
// With MakeLink again, a junction is retargeted: for example
//   user::RemoveFolder(L"C:\\Corvane\\amd64");
//   user::MakeLink(L"C:\\Corvane\\amd64", L"C:\\Users\\Setup\\evil", true);
DWORD RemoveFolder(const std::wstring &path);
DWORD MakeLink(const std::wstring &path, const std::wstring &target, bool folder);
DWORD MakeHardLink(const std::wstring &path, const std::wstring &existing);
// SetFileAttributesW as the user, on a file or folder whose attributes it may
// write (FILE_WRITE_ATTRIBUTES, or rights it could give itself).
DWORD SetAttributes(const std::wstring &path, DWORD attributes);
// A writable view of a file kept from before a run ("Creating a File Mapping
// Object"): the user opens the file for reading and writing, maps it, and
// closes every handle; the view stays. Mapping needs what that open needs
// now (the rights, no read-only attribute, share modes that allow writing)
// and a file that is not empty (ERROR_FILE_INVALID). *view numbers it.
// While mapped, the file can be renamed but not deleted (ERROR_ACCESS_DENIED)
// nor cut short or replaced (ERROR_USER_MAPPED_FILE).
DWORD MapView(const std::wstring &path, int *view);
// Writes through the view at offset, whatever handles others hold on the file
// and whatever they share: share modes are checked against opens only. The
// bytes must lie within the file's size when it was mapped
// (ERROR_INVALID_PARAMETER); the size never changes. Every later read of the
// file (ReadFile, CopyFileW, a program started from it) sees them. For example
//   int view; user::MapView(dll, &view);            // before the run
//   sim::OnCall("UploadPrinterDriverPackageW", [&] { user::WriteView(view, 0, "evil"); });
DWORD WriteView(int view, uint64_t offset, const std::string &bytes);
}  // namespace user

// Handles from CreateFileW not closed yet, in every process.
int OpenFileHandles();

// --- Replacements at the next restart ----------------------------------------
struct PendingRename {
    std::wstring From;  // canonical source path
    std::wstring To;    // canonical target path; empty: delete at restart
    DWORD Flags = 0;    // MoveFileExW's flags
    uint64_t Time = 0;  // virtual time of the call
};
// Every MoveFileExW call with MOVEFILE_DELAY_UNTIL_REBOOT that succeeded, in
// order, since the last restart.
const std::vector<PendingRename> &PendingRenames();
// The machine restarts, as far as files go: the programs that held files
// open are gone (their handles and the locks of Lock end, and files deleted
// while open go with them; a service's DLL is loaded again once the service
// runs), and before anything else runs the pending renames are carried out in
// order, then forgotten. As on Windows, a rename fails without a word, and is
// dropped, when its source is missing, when its target exists and
// MOVEFILE_REPLACE_EXISTING was not given, when the target is a folder, or
// when source and target lie on different drives. An empty target deletes
// the source; a folder only when it is empty by then.
void Restart();

// The product's install folder as it ships, with stand-in contents that name
// each file: "crvnv6.inf", its catalog "crvnv6.cat", "unins000.exe",
// "dat\crvndrv6.dat", and in each of "i386", "arm", "amd64", "arm64" the
// files "crvndrv6.dll", "crvndrv6ui.dll" and "crvnmon.dll". Each file's
// content is its path relative to the folder, e.g. "amd64\crvnmon.dll";
// "amd64\crvnpnp.exe", the program's x64 build, holds sim::kProgramImage64,
// "arm64\crvnpnp.exe", its ARM64 build, sim::kProgramImageArm64, and
// "crvnv6.inf" sim::inf::PrinterInfText().
// The host build's table of package hashes is made from these contents
// (cmake/host.cmake): change them there too.
void LayOutInstallFolder(const std::wstring &folder);

}  // namespace files
}  // namespace sim
