// The simulated file system: drives, folders and files in memory, and the
// kernel's file calls that the product makes.
#include <windows.h>
#include <aclapi.h>

#include <cstring>
#include <winsvc.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/inf.h"
#include "sim/loader.h"
#include "sim/services.h"

// Error codes of these calls that the product itself never names.
#ifndef ERROR_BUFFER_OVERFLOW
#define ERROR_BUFFER_OVERFLOW 111L
#endif
#ifndef ERROR_DIRECTORY
#define ERROR_DIRECTORY 267L
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998L
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784L
#endif

namespace sim {
namespace files {
const wchar_t *const kWindowsDirectory = L"C:\\Windows";
const wchar_t *const kSystemDirectory = L"C:\\Windows\\system32";
const wchar_t *const kSystemWow64Directory = L"C:\\Windows\\SysWOW64";
const wchar_t *const kTempDirectory = L"C:\\Users\\Setup\\AppData\\Local\\Temp\\";
const wchar_t *const kSystemTempDirectory = L"C:\\Windows\\Temp";
const wchar_t *const kProfileDirectory = L"C:\\Users\\Setup";
const wchar_t *const kUserSid = L"S-1-5-21-1004336348-1177238915-682003330-1001";
}  // namespace files
}  // namespace sim

namespace {

using sim::files::LockKind;

struct Node {
    std::wstring Path;  // full path in stored case, e.g. "C:\Windows\system32"
    bool Folder = false;
    std::string Content;
    std::wstring Sddl;           // its security descriptor, fixed when it was created
    bool DeletePending = false;  // deleted while open: goes when the last handle closes
    uint64_t Id = 0;             // the file index on its volume: the same file under any name it is moved to
    std::wstring ReparseTarget;  // a junction's or symbolic link's target: paths through it lead there
    DWORD Links = 1;             // the names of the file (hard links)
    uint64_t Created = 0;        // virtual time of its creation
    // FILE_ATTRIBUTE_READONLY, _HIDDEN, _SYSTEM and _ARCHIVE as set (none:
    // FILE_ATTRIBUTE_NORMAL); a new file has _ARCHIVE.
    DWORD Attributes = 0;
    // A sparse file's size: its Content is what is stored, and it reads as
    // zeros from there to this size.
    uint64_t SparseSize = 0;
};
// The next file index of each volume (by drive letter): indexes are unique
// per volume, and another volume's files have the same ones.
std::map<wchar_t, uint64_t> nextNodeIds;
const DWORD kSettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

uint64_t SizeOf(const Node &n) { return std::max<uint64_t>(n.Content.size(), n.SparseSize); }

// What GetFileAttributesW and GetFileInformationByHandle report.
DWORD AttributesOf(const Node &n) {
    DWORD a = n.Attributes & kSettableAttributes;
    if (n.Folder)
        a |= FILE_ATTRIBUTE_DIRECTORY;
    if (!n.ReparseTarget.empty())
        a |= FILE_ATTRIBUTE_REPARSE_POINT;
    return a != 0 ? a : FILE_ATTRIBUTE_NORMAL;
}

// Each volume's serial number: C:'s, and one of its own for every other drive.
DWORD VolumeSerialOf(const std::wstring &path) {
    wchar_t drive = path.empty() ? L'C' : static_cast<wchar_t>(towupper(path[0]));
    return 0x5EC0A2D3u + static_cast<DWORD>(drive - L'C') * 0x01110111u;
}

// A writable view of a file that the standard user mapped (user::MapView):
// it names its file by volume and index, and spans the file's size then.
struct View {
    wchar_t Drive = 0;
    uint64_t Id = 0;
    uint64_t Size = 0;
};
std::vector<View> views;

// A handle from CreateFileW.
struct OpenFile {
    std::wstring Key;
    DWORD Access = 0;  // generic rights mapped to file rights
    DWORD Share = 0;
    DWORD Process = 0;
    bool DeleteOnClose = false;
    size_t Position = 0;  // where the next positioned write goes
};

struct FileLock {
    LockKind Kind = LockKind::Open;
    std::wstring Service;  // held while this service has a process
};

// Keyed by the upper-cased canonical path; everything below a folder is one
// run of the map's order, the keys that begin with the folder's key and a
// backslash.
std::map<std::wstring, Node> nodes;
std::map<std::wstring, FileLock> locks;
std::vector<sim::files::PendingRename> pendingRenames;
std::map<HANDLE, OpenFile> openFiles;
// Searches from FindFirstFileW: the keys of the entries still to report.
struct Search {
    std::vector<std::wstring> Keys;
    size_t Next = 0;
    DWORD Process = 0;
};
std::map<HANDLE, Search> searches;

// A drive root as Windows 10 sets up C:\: administrators and SYSTEM have full
// control, users read; authenticated users may create folders in the root,
// and may change whatever is below those (the "Modify" entry for subfolders
// and files only).
const wchar_t *const kDriveRootSddl =
    L"O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";
// The system's folders: only administrators and SYSTEM write there.
const wchar_t *const kSystemFolderSddl = L"O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// Threads that turned the WOW64 file system redirector off.
std::set<DWORD> redirectionOff;

using simk::Upper;

// A path split into its drive ("C:") and names, with separators, "." and
// ".." and trailing dots and spaces dealt with as Windows does.
struct ParsedPath {
    bool Ok = false;
    bool BadName = false;  // a name with a character Windows refuses
    std::wstring Drive;
    std::vector<std::wstring> Names;
};

// The names of a backslash-separated path from pos on, as Windows reads
// them: empty names and "." go, ".." takes the name before it away (never
// above the root). With trimEach, every name loses its trailing dots and
// blanks, and one left empty goes.
void SplitNames(const std::wstring &s, size_t pos, bool trimEach, std::vector<std::wstring> *names) {
    while (pos <= s.size()) {
        size_t end = s.find(L'\\', pos);
        if (end == std::wstring::npos)
            end = s.size();
        std::wstring name = s.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == L".")
            continue;
        if (name == L"..") {
            if (!names->empty())
                names->pop_back();
            continue;
        }
        while (trimEach && !name.empty() && (name.back() == L'.' || name.back() == L' '))
            name.pop_back();
        if (!name.empty())
            names->push_back(name);
    }
}

ParsedPath Parse(const std::wstring &raw) {
    ParsedPath p;
    std::wstring s = raw;
    if (s.rfind(L"\\\\?\\", 0) == 0)
        s = s.substr(4);
    // The object manager's name of drive C: through its root.
    static const std::wstring kVolume = L"GLOBALROOT\\DEVICE\\HARDDISKVOLUME3\\";
    if (simk::Upper(s.substr(0, kVolume.size())) == kVolume)
        s = L"C:\\" + s.substr(kVolume.size());
    for (auto &c : s)
        if (c == L'/')
            c = L'\\';
    if (s.empty())
        return p;
    size_t pos = 0;
    if (s.size() >= 2 && s[1] == L':' && iswalpha(s[0])) {
        p.Drive = std::wstring(1, (wchar_t)towupper(s[0])) + L":";
        pos = 2;
    } else if (s.rfind(L"\\\\", 0) == 0) {
        return p;  // network paths: no such thing on this machine
    } else {
        p.Drive = L"C:";
    }
    SplitNames(s, pos, true, &p.Names);
    for (const std::wstring &name : p.Names)
        for (wchar_t c : name)
            if (c < 32 || wcschr(L"<>:\"|?*", c) != nullptr)
                p.BadName = true;
    p.Ok = true;
    return p;
}

std::wstring Join(const ParsedPath &p, size_t count) {
    std::wstring s = p.Drive;
    for (size_t i = 0; i < count; ++i)
        s += L"\\" + p.Names[i];
    return s;
}

Node *Find(const std::wstring &key) {
    auto it = nodes.find(key);
    return it == nodes.end() ? nullptr : &it->second;
}

// Where a path leads: the node (if any), its key, the key of its parent
// folder, and the error Windows gives when the path cannot be used.
struct Resolved {
    DWORD Error = 0;  // ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND, or 0
    std::wstring Key;
    std::wstring ParentKey;  // empty for a drive root
    std::wstring Name;       // the last name as given
    Node *Target = nullptr;
};

// A link as the path's last name leads to its target unless followLast is
// false: then the path names the link itself, as FILE_FLAG_OPEN_REPARSE_POINT
// opens it and as RemoveDirectoryW, DeleteFileW and MoveFileExW act on it.
// Links on the way are always followed, each as it is at this moment.
Resolved ResolveParsed(const ParsedPath &p, bool followLast = true, int depth = 0) {
    Resolved r;
    if (!p.Ok || depth > 8) {
        r.Error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    if (p.BadName) {
        r.Error = ERROR_INVALID_NAME;
        return r;
    }
    r.Key = Upper(Join(p, p.Names.size()));
    if (!p.Names.empty()) {
        r.ParentKey = Upper(Join(p, p.Names.size() - 1));
        r.Name = p.Names.back();
        // Every folder on the way must exist and be a folder; a junction on
        // the way leads to its target.
        for (size_t i = 0; i < p.Names.size(); ++i) {
            Node *n = Find(Upper(Join(p, i)));
            if (n == nullptr || !n->Folder) {
                r.Error = ERROR_PATH_NOT_FOUND;
                return r;
            }
            if (!n->ReparseTarget.empty()) {
                ParsedPath q = Parse(n->ReparseTarget);
                q.Names.insert(q.Names.end(), p.Names.begin() + i, p.Names.end());
                return ResolveParsed(q, followLast, depth + 1);
            }
        }
    } else if (Find(r.Key) == nullptr) {
        r.Error = ERROR_PATH_NOT_FOUND;  // no such drive
        return r;
    }
    r.Target = Find(r.Key);
    if (r.Target != nullptr && !r.Target->ReparseTarget.empty() && followLast)
        return ResolveParsed(Parse(r.Target->ReparseTarget), true, depth + 1);
    return r;
}

// A path as it stands, for the test-facing calls and the system's own
// services (the spooler): no redirection.
Resolved Resolve(const wchar_t *path, bool followLast = true) {
    if (path == nullptr) {
        Resolved r;
        r.Error = ERROR_INVALID_PARAMETER;
        return r;
    }
    return ResolveParsed(Parse(path), followLast);
}
// The link itself where the path's last name is one.
Resolved ResolveName(const std::wstring &path) { return Resolve(path.c_str(), false); }

// --- The WOW64 file system redirector -------------------------------------------
//
// For a WOW64 process whose thread has not turned it off, %windir%\System32
// (also %windir%\lastgood\system32 and %windir%\regedit.exe) leads to the
// 32-bit system directory, %windir%\SysWOW64, except the subfolders that the
// 32-bit and 64-bit programs share; %windir%\Sysnative, which exists for
// nobody else, leads to the real System32.

using simk::SameText;

bool ExemptFromRedirection(const std::vector<std::wstring> &names) {
    if (names.size() < 3)
        return false;
    for (const wchar_t *shared : {L"catroot", L"catroot2", L"driverstore", L"logfiles", L"spool"})
        if (SameText(names[2], shared))
            return true;
    return names.size() >= 4 && SameText(names[2], L"drivers") && SameText(names[3], L"etc");
}

bool RedirectionActive() { return simk::IsWow64() && redirectionOff.count(simk::CurrentThreadId()) == 0; }

void Redirect(ParsedPath &p) {
    std::vector<std::wstring> &names = p.Names;
    if (!p.Ok || !RedirectionActive() || p.Drive != L"C:" || names.size() < 2 || !SameText(names[0], L"Windows"))
        return;
    if (SameText(names[1], L"Sysnative")) {
        names[1] = L"system32";
    } else if (SameText(names[1], L"system32")) {
        if (!ExemptFromRedirection(names))
            names[1] = L"SysWOW64";
    } else if (SameText(names[1], L"lastgood") && names.size() >= 3 && SameText(names[2], L"system32")) {
        names[2] = L"SysWOW64";
    } else if (names.size() == 2 && SameText(names[1], L"regedit.exe")) {
        names.insert(names.begin() + 1, L"SysWOW64");
    }
}

// A path that the running process names in a file call.
Resolved ResolveForCaller(const wchar_t *path, bool followLast = true) {
    if (path == nullptr)
        return Resolve(path);
    ParsedPath p = Parse(path);
    Redirect(p);
    return ResolveParsed(p, followLast);
}

// The lock in force on a key, if any.
const FileLock *ActiveLock(const std::wstring &key) {
    auto it = locks.find(key);
    if (it == locks.end())
        return nullptr;
    if (!it->second.Service.empty()) {
        DWORD state = sim::ServiceState(it->second.Service);
        if (state == 0 || state == SERVICE_STOPPED)
            return nullptr;
    }
    return &it->second;
}

bool UnderOrAt(const std::wstring &key, const std::wstring &folderKey) {
    return key == folderKey || (key.size() > folderKey.size() && key.compare(0, folderKey.size(), folderKey) == 0 &&
                                key[folderKey.size()] == L'\\');
}

// The keys of a map at and below a folder's key, in the map's order.
template <class Map>
std::vector<std::wstring> KeysAtAndBelow(const Map &map, const std::wstring &key, bool includeSelf) {
    std::vector<std::wstring> keys;
    if (includeSelf && map.count(key) != 0)
        keys.push_back(key);
    std::wstring prefix = key + L"\\";
    for (auto it = map.lower_bound(prefix); it != map.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
        keys.push_back(it->first);
    return keys;
}

// A new entry in a folder, with the descriptor it inherits from the folder
// (and the given one, if any). An entry that is already there keeps its own.
Node &MakeNode(const std::wstring &parentPath, const std::wstring &name, bool folder,
               const std::wstring &given = std::wstring()) {
    std::wstring path = parentPath + L"\\" + name;
    Node &n = nodes[Upper(path)];
    n.Path = path;
    if (n.Id == 0) {
        n.Id = ++nextNodeIds[static_cast<wchar_t>(towupper(path[0]))];
        n.Attributes = folder ? 0 : FILE_ATTRIBUTE_ARCHIVE;
        n.Created = simk::Now();
    }
    n.Folder = folder;
    if (n.Sddl.empty()) {
        Node *parent = Find(Upper(parentPath));
        n.Sddl = simk::NewObjectSddl(parent != nullptr ? parent->Sddl : kDriveRootSddl, given, folder);
    }
    return n;
}

// Creates a path's missing folders, the last one included when folder is
// true; returns the parent's stored path (or the folder's own).
std::wstring EnsureFolders(const ParsedPath &p, bool lastIsFolder) {
    Node *drive = Find(Upper(p.Drive));
    if (drive == nullptr) {
        Node &d = nodes[Upper(p.Drive)];
        d.Path = p.Drive;
        d.Folder = true;
        d.Sddl = kDriveRootSddl;
        drive = &d;
    }
    std::wstring path = drive->Path;
    size_t count = lastIsFolder ? p.Names.size() : (p.Names.empty() ? 0 : p.Names.size() - 1);
    for (size_t i = 0; i < count; ++i) {
        Node *n = Find(Upper(path + L"\\" + p.Names[i]));
        if (n == nullptr)
            n = &MakeNode(path, p.Names[i], true);
        n->Folder = true;
        path = n->Path;
    }
    return path;
}

std::wstring StoredParentPath(const Resolved &r) {
    Node *parent = Find(r.ParentKey);
    return parent != nullptr ? parent->Path : std::wstring();
}

// A 64-bit Windows has the 32-bit system directory, with its own copy of the
// system's programs; a 32-bit one has none.
void MatchArchitecture() {
    const std::wstring wow64 = sim::files::kSystemWow64Directory;
    if (!simk::Is64BitWindows())
        sim::files::Remove(wow64);
    else if (!sim::files::IsFolder(wow64))
        sim::files::WriteFile(wow64 + L"\\rundll32.exe", "rundll32.exe (x86)");
}

void ResetFiles() {
    nodes.clear();
    searches.clear();
    locks.clear();
    pendingRenames.clear();
    openFiles.clear();
    views.clear();
    nextNodeIds.clear();
    // The protected folders first, so that what is created below them inherits.
    using sim::files::CreateFolder;
    using sim::files::SetSecurity;
    CreateFolder(L"C:\\Windows");
    SetSecurity(L"C:\\Windows", kSystemFolderSddl);
    CreateFolder(L"C:\\Windows\\Logs");
    CreateFolder(L"C:\\Program Files");
    SetSecurity(L"C:\\Program Files", kSystemFolderSddl);
    CreateFolder(L"C:\\Users");
    SetSecurity(L"C:\\Users", L"O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;WD)");
    // The user's profile: the user, administrators and SYSTEM have full control.
    CreateFolder(sim::files::kProfileDirectory);
    SetSecurity(sim::files::kProfileDirectory, L"O:" + std::wstring(sim::files::kUserSid) +
                                                  L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                                                  sim::files::kUserSid + L")");
    CreateFolder(sim::files::kSystemDirectory);
    for (const std::wstring &dll : sim::loader::SystemDlls())
        sim::files::WriteFile(std::wstring(sim::files::kSystemDirectory) + L"\\" + dll, "system DLL");
    sim::files::WriteFile(std::wstring(sim::files::kSystemDirectory) + L"\\rundll32.exe", "system program");
    for (const wchar_t *env : {L"W32X86", L"x64", L"ARM64", L"ARM"})
        CreateFolder(std::wstring(sim::files::kSystemDirectory) + L"\\spool\\drivers\\" + env);
    CreateFolder(sim::files::kTempDirectory);
    // The system's temporary folder: users may create files and folders in
    // it, and own what they create, but may not touch what others made.
    CreateFolder(sim::files::kSystemTempDirectory);
    SetSecurity(sim::files::kSystemTempDirectory,
                L"O:SYD:P(A;OICIIO;FA;;;CO)(A;CI;0x100026;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    redirectionOff.clear();
    MatchArchitecture();
}

// --- Open files and share modes ---------------------------------------------------

const DWORD kReadData = FILE_READ_DATA | FILE_EXECUTE;
const DWORD kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;
const DWORD kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD MapGeneric(DWORD access) {
    if (access & GENERIC_READ)
        access |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        access |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE)
        access |= FILE_GENERIC_EXECUTE;
    if (access & GENERIC_ALL)
        access |= FILE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// The opens of a file: its handles, and a test lock as the handle it stands for
// (an open file read without write or delete sharing; a mapped image, which is
// read and executed and shares reading and deletion).
std::vector<OpenFile> OpensOf(const std::wstring &key) {
    std::vector<OpenFile> opens;
    for (auto &h : openFiles)
        if (h.second.Key == key)
            opens.push_back(h.second);
    if (const FileLock *lock = ActiveLock(key)) {
        OpenFile l;
        l.Key = key;
        l.Access = lock->Kind == LockKind::Image ? kReadData : FILE_READ_DATA;
        l.Share = lock->Kind == LockKind::Image ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ;
        opens.push_back(l);
    }
    return opens;
}

// Whether a new open of the file with this access and share mode clashes with
// the opens it has, as the I/O manager checks: only opens that read, write or
// delete take part, and each side must share what the other does.
bool SharingConflict(const std::wstring &key, DWORD access, DWORD share) {
    access = MapGeneric(access);
    if (!(access & (kReadData | kWriteData | DELETE)))
        return false;
    DWORD shared = kAllSharing;
    DWORD used = 0;
    for (const OpenFile &o : OpensOf(key)) {
        if (!(o.Access & (kReadData | kWriteData | DELETE)))
            continue;
        shared &= o.Share;
        used |= o.Access;
    }
    return ((access & kReadData) && !(shared & FILE_SHARE_READ)) ||
           ((access & kWriteData) && !(shared & FILE_SHARE_WRITE)) ||
           ((access & DELETE) && !(shared & FILE_SHARE_DELETE)) || ((used & kReadData) && !(share & FILE_SHARE_READ)) ||
           ((used & kWriteData) && !(share & FILE_SHARE_WRITE)) || ((used & DELETE) && !(share & FILE_SHARE_DELETE));
}

bool HasHandles(const std::wstring &key) {
    for (auto &h : openFiles)
        if (h.second.Key == key)
            return true;
    return false;
}

// Whether a view of the file is mapped: the file can then be neither deleted
// nor cut short.
bool IsMapped(const Node &n) {
    for (const View &v : views)
        if (v.Id == n.Id && v.Drive == static_cast<wchar_t>(towupper(n.Path[0])))
            return true;
    return false;
}

// What DeleteFileW meets: 0, or the error it fails with (a read-only file
// cannot be deleted, nor one with a mapped view).
DWORD DeleteError(const Resolved &r) {
    if (r.Error != 0)
        return r.Error;
    if (r.Target == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (r.Target->Folder || r.Target->DeletePending)
        return ERROR_ACCESS_DENIED;
    if (const FileLock *lock = ActiveLock(r.Key))
        if (lock->Kind == LockKind::Image)
            return ERROR_ACCESS_DENIED;
    // DeleteFileW opens the file for deletion, sharing everything.
    if (SharingConflict(r.Key, DELETE, kAllSharing))
        return ERROR_SHARING_VIOLATION;
    if ((r.Target->Attributes & FILE_ATTRIBUTE_READONLY) || IsMapped(*r.Target))
        return ERROR_ACCESS_DENIED;
    return 0;
}

// Deletes a file, or marks it to go when its last handle closes.
void DeleteNode(const std::wstring &key) {
    if (HasHandles(key)) {
        nodes[key].DeletePending = true;
        return;
    }
    nodes.erase(key);
    locks.erase(key);
}

void CloseFile(std::map<HANDLE, OpenFile>::iterator it) {
    OpenFile o = it->second;
    openFiles.erase(it);
    Node *n = Find(o.Key);
    if (n == nullptr)
        return;
    if (o.DeleteOnClose)
        n->DeletePending = true;
    if (n->DeletePending && !HasHandles(o.Key)) {
        nodes.erase(o.Key);
        locks.erase(o.Key);
    }
}

simk::Registrar registrar([] {
    simk::OnReset(ResetFiles);
    simk::OnMachineChange(MatchArchitecture);
    ResetFiles();
    // A process's handles close when it ends.
    simk::OnProcessExit([](DWORD pid) {
        for (auto it = searches.begin(); it != searches.end();)
            it = it->second.Process == pid ? searches.erase(it) : std::next(it);
        for (auto it = openFiles.begin(); it != openFiles.end();) {
            auto next = std::next(it);
            if (it->second.Process == pid)
                CloseFile(it);
            it = next;
        }
    });
});

// Copies a text into a caller's buffer with the size protocol of the
// Get*Directory calls: the length without the terminator when it fits,
// otherwise the size needed including the terminator.
DWORD CopyOut(const std::wstring &text, LPWSTR buffer, DWORD capacity) {
    if (buffer == NULL || capacity < text.size() + 1)
        return (DWORD)text.size() + 1;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return (DWORD)text.size();
}

}  // namespace

// --- kernel32 -----------------------------------------------------------------

// Synchronous writes only. A handle with FILE_APPEND_DATA and without
// FILE_WRITE_DATA writes at the end of the file, whatever was written
// through other handles meanwhile; otherwise at the handle's position.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    SIM_ENTER("WriteFile", FALSE);
    auto it = openFiles.find(hFile);
    Node *file = it != openFiles.end() ? Find(it->second.Key) : nullptr;
    DWORD error = 0;
    if (file == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (!(it->second.Access & kWriteData))
        error = ERROR_ACCESS_DENIED;
    else if (lpOverlapped != NULL || lpNumberOfBytesWritten == NULL || (lpBuffer == NULL && nNumberOfBytesToWrite))
        error = ERROR_INVALID_USER_BUFFER;
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    OpenFile &open = it->second;
    const char *bytes = static_cast<const char *>(lpBuffer);
    size_t at = (open.Access & FILE_WRITE_DATA) ? open.Position : static_cast<size_t>(SizeOf(*file));
    // Past a sparse file's stored bytes the zeros before the write are stored.
    if (file->Content.size() < at + nNumberOfBytesToWrite)
        file->Content.resize(at + nNumberOfBytesToWrite);
    std::copy(bytes, bytes + nNumberOfBytesToWrite, file->Content.begin() + at);
    file->Attributes |= FILE_ATTRIBUTE_ARCHIVE;
    open.Position = at + nNumberOfBytesToWrite;
    *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

// Synchronous reads from the handle's position, which reads and writes share;
// a sparse file reads as zeros past its stored bytes.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    SIM_ENTER("ReadFile", FALSE);
    auto it = openFiles.find(hFile);
    Node *file = it != openFiles.end() ? Find(it->second.Key) : nullptr;
    DWORD error = 0;
    if (file == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (!(it->second.Access & FILE_READ_DATA))
        error = ERROR_ACCESS_DENIED;
    else if (lpOverlapped != NULL || lpNumberOfBytesRead == NULL || (lpBuffer == NULL && nNumberOfBytesToRead))
        error = ERROR_INVALID_USER_BUFFER;
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    OpenFile &open = it->second;
    uint64_t size = SizeOf(*file);
    uint64_t at = std::min<uint64_t>(open.Position, size);
    size_t n = static_cast<size_t>(std::min<uint64_t>(nNumberOfBytesToRead, size - at));
    char *out = static_cast<char *>(lpBuffer);
    size_t stored = at < file->Content.size() ? std::min(n, file->Content.size() - static_cast<size_t>(at)) : 0;
    std::copy(file->Content.begin() + static_cast<std::ptrdiff_t>(at),
              file->Content.begin() + static_cast<std::ptrdiff_t>(at + stored), out);
    std::fill(out + stored, out + n, 0);
    open.Position = static_cast<size_t>(at + n);
    *lpNumberOfBytesRead = static_cast<DWORD>(n);
    return TRUE;
}

// Moves the position that reads and writes share; a position before the
// start is refused (ERROR_NEGATIVE_SEEK), one past the end is kept.
BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
    SIM_ENTER("SetFilePointerEx", FALSE);
    auto it = openFiles.find(hFile);
    Node *file = it != openFiles.end() ? Find(it->second.Key) : nullptr;
    if (file == nullptr || dwMoveMethod > FILE_END) {
        simk::SetError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    long long base = dwMoveMethod == FILE_BEGIN     ? 0
                     : dwMoveMethod == FILE_CURRENT ? static_cast<long long>(it->second.Position)
                                                    : static_cast<long long>(SizeOf(*file));
    long long position = base + liDistanceToMove.QuadPart;
    if (position < 0) {
        simk::SetError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    it->second.Position = static_cast<size_t>(position);
    if (lpNewFilePointer != NULL)
        lpNewFilePointer->QuadPart = position;
    return TRUE;
}

// The file a handle from CreateFileW is open on; null for any other handle.
Node *FileOf(HANDLE handle) {
    auto it = openFiles.find(handle);
    return it != openFiles.end() ? Find(it->second.Key) : nullptr;
}

// The volume's serial number, the file index on that volume (the same under
// every name the file is moved to), its names, size and attributes.
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    SIM_ENTER("GetFileInformationByHandle", FALSE);
    Node *file = FileOf(hFile);
    if (file == nullptr || lpFileInformation == NULL) {
        simk::SetError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memset(lpFileInformation, 0, sizeof(*lpFileInformation));
    lpFileInformation->dwFileAttributes = AttributesOf(*file);
    lpFileInformation->dwVolumeSerialNumber = VolumeSerialOf(file->Path);
    lpFileInformation->nFileSizeHigh = static_cast<DWORD>(SizeOf(*file) >> 32);
    lpFileInformation->nFileSizeLow = static_cast<DWORD>(SizeOf(*file));
    lpFileInformation->nNumberOfLinks = file->Links;
    lpFileInformation->nFileIndexHigh = static_cast<DWORD>(file->Id >> 32);
    lpFileInformation->nFileIndexLow = static_cast<DWORD>(file->Id);
    return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    SIM_ENTER("GetFileSizeEx", FALSE);
    Node *file = FileOf(hFile);
    if (file == nullptr || lpFileSize == NULL) {
        simk::SetError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOACCESS);
        return FALSE;
    }
    lpFileSize->QuadPart = static_cast<LONGLONG>(SizeOf(*file));
    return TRUE;
}

// The low part, the high part through lpFileSizeHigh. Without it a size of
// 4 GB or more cannot be told; INVALID_FILE_SIZE is a size too when the last
// error is NO_ERROR.
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    SIM_ENTER("GetFileSize", INVALID_FILE_SIZE);
    Node *file = FileOf(hFile);
    if (file == nullptr) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    if (lpFileSizeHigh != NULL)
        *lpFileSizeHigh = static_cast<DWORD>(SizeOf(*file) >> 32);
    simk::SetError(NO_ERROR);
    return static_cast<DWORD>(SizeOf(*file));
}

// The owner and the DACL of an open file, or of a kernel object (a named
// mutex), in one LocalAlloc block that is also the descriptor
// (simk::SecurityInfoBlock). A file's need READ_CONTROL.
DWORD WINAPI GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                             PSID *ppsidOwner, PSID *ppsidGroup, PACL *ppDacl, PACL *ppSacl,
                             PSECURITY_DESCRIPTOR *ppSecurityDescriptor) {
    SIM_ENTER("GetSecurityInfo", ERROR_GEN_FAILURE);
    auto it = openFiles.find(handle);
    Node *file = it != openFiles.end() ? Find(it->second.Key) : nullptr;
    std::wstring sddl;
    if (file == nullptr && !simk::KernelObjectSddl(handle, &sddl))
        return ERROR_INVALID_HANDLE;
    const DWORD known = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (ObjectType != (file != nullptr ? SE_FILE_OBJECT : SE_KERNEL_OBJECT) || SecurityInfo == 0 ||
        (SecurityInfo & ~known) != 0 || ((SecurityInfo & OWNER_SECURITY_INFORMATION) != 0) != (ppsidOwner != NULL) ||
        ((SecurityInfo & DACL_SECURITY_INFORMATION) != 0) != (ppDacl != NULL) || ppsidGroup != NULL ||
        ppSacl != NULL || ppSecurityDescriptor == NULL)
        return ERROR_INVALID_PARAMETER;
    if (file != nullptr) {
        if (!(it->second.Access & READ_CONTROL))
            return ERROR_ACCESS_DENIED;
        sddl = file->Sddl;
    }
    *ppSecurityDescriptor = simk::SecurityInfoBlock(sddl, SecurityInfo, ppsidOwner, ppDacl);
    return ERROR_SUCCESS;
}

// The full path of a path, made as Windows makes it, without looking at the
// disk: either separator becomes a backslash; a relative path is taken from
// the calling process's current folder, one from the root ("\\x") from its
// drive's root, "X:name" from the current folder when that is on X: and from
// X:'s root otherwise; "." and ".." parts go (".." never above the root) and
// so do doubled separators; the last name loses its trailing dots and blanks
// unless a separator follows it. "\\?\" paths come back as they are. The
// result's length, or the size needed with its terminator when the buffer is
// too small.
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR *lpFilePart) {
    SIM_ENTER("GetFullPathNameW", 0);
    if (lpFileName == NULL || lpFileName[0] == 0) {
        simk::SetError(lpFileName == NULL ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME);
        return 0;
    }
    std::wstring path = lpFileName;
    std::wstring root, rest;
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        root = path;
    } else {
        for (auto &c : path)
            if (c == L'/')
                c = L'\\';
        std::wstring current = simk::CurrentDirectory();
        if (path.rfind(L"\\\\", 0) == 0) {
            // "\\server\share" is the root of what follows it.
            size_t server = path.find(L'\\', 2);
            size_t share = server == std::wstring::npos ? std::wstring::npos : path.find(L'\\', server + 1);
            root = path.substr(0, share);
            rest = share == std::wstring::npos ? L"" : path.substr(share);
        } else if (path.size() >= 2 && path[1] == L':') {
            root = path.substr(0, 2);
            rest = path.substr(2);
            if (rest.empty() || rest[0] != L'\\')
                rest = (towupper(current[0]) == towupper(path[0]) ? current.substr(2) + L"\\" : L"\\") + rest;
        } else {
            root = current.substr(0, 2);
            rest = path[0] == L'\\' ? path : current.substr(2) + L"\\" + path;
        }
        std::vector<std::wstring> names;
        SplitNames(rest, 0, false, &names);
        bool trailing = !rest.empty() && rest.back() == L'\\';
        if (!trailing && !names.empty()) {
            std::wstring &last = names.back();
            while (!last.empty() && (last.back() == L'.' || last.back() == L' '))
                last.pop_back();
            if (last.empty())
                names.pop_back();
        }
        for (const std::wstring &name : names)
            root += L"\\" + name;
        if (names.empty() || trailing)
            root += L"\\";
    }
    if (root.size() + 1 > nBufferLength || lpBuffer == NULL)
        return static_cast<DWORD>(root.size() + 1);
    wcscpy(lpBuffer, root.c_str());
    if (lpFilePart != NULL) {
        size_t last = root.find_last_of(L'\\');
        *lpFilePart = last == std::wstring::npos || last + 1 == root.size() ? NULL : lpBuffer + last + 1;
    }
    return static_cast<DWORD>(root.size());
}

// Succeeds with last error 0; the copy has the source's attributes, and
// FILE_ATTRIBUTE_ARCHIVE as every new file has. Refuses a
// target locked by another program (ERROR_SHARING_VIOLATION), an existing
// target with bFailIfExists (ERROR_FILE_EXISTS), a folder on either side and a
// read-only or hidden target (ERROR_ACCESS_DENIED), a target with a mapped
// view (ERROR_USER_MAPPED_FILE) and a copy of a file onto itself
// (ERROR_SHARING_VIOLATION).
BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    SIM_ENTER("CopyFileW", FALSE);
    Resolved src = ResolveForCaller(lpExistingFileName);
    if (src.Error == 0 && src.Target == nullptr)
        src.Error = ERROR_FILE_NOT_FOUND;
    if (src.Error == 0 && (src.Target->Folder || src.Target->DeletePending))
        src.Error = ERROR_ACCESS_DENIED;
    // The source is read sharing reading and deletion, the target written
    // sharing nothing.
    if (src.Error == 0 && SharingConflict(src.Key, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE))
        src.Error = ERROR_SHARING_VIOLATION;
    if (src.Error != 0) {
        simk::SetError(src.Error);
        return FALSE;
    }
    Resolved dst = ResolveForCaller(lpNewFileName);
    DWORD error = dst.Error;
    if (error == 0 && dst.Name.empty())
        error = ERROR_ACCESS_DENIED;  // a drive root
    else if (error == 0 && dst.Target != nullptr) {
        if (bFailIfExists)
            error = ERROR_FILE_EXISTS;
        else if (dst.Target->Folder || dst.Target->DeletePending ||
                 (dst.Target->Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)))
            error = ERROR_ACCESS_DENIED;
        else if (dst.Key == src.Key || SharingConflict(dst.Key, GENERIC_WRITE, 0))
            error = ERROR_SHARING_VIOLATION;
        else if (IsMapped(*dst.Target))
            error = ERROR_USER_MAPPED_FILE;
    }
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    Node source = *src.Target;
    if (dst.Target == nullptr)
        dst.Target = &MakeNode(StoredParentPath(dst), dst.Name, false);
    dst.Target->Content = source.Content;
    dst.Target->SparseSize = source.SparseSize;
    dst.Target->Attributes = source.Attributes | FILE_ATTRIBUTE_ARCHIVE;
    simk::SetError(NO_ERROR);
    return TRUE;
}

// On success the last error is left as it was, as Windows does. A file held
// open by another program fails with ERROR_SHARING_VIOLATION, a loaded
// image (a DLL in use), a read-only file, a file with a mapped view and a
// folder with ERROR_ACCESS_DENIED. A symbolic link goes itself, not its target.
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    SIM_ENTER("DeleteFileW", FALSE);
    Resolved r = ResolveForCaller(lpFileName, false);
    if (DWORD error = DeleteError(r)) {
        simk::SetError(error);
        return FALSE;
    }
    DeleteNode(r.Key);
    return TRUE;
}

// What removing a folder meets: 0 or the error. A junction is removed itself,
// whatever its target holds; any other folder must be empty.
DWORD RemoveFolderError(const Resolved &r) {
    DWORD error = r.Error;
    if (error == 0 && r.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && !r.Target->Folder)
        error = ERROR_DIRECTORY;
    if (error == 0 && r.Name.empty())
        error = ERROR_ACCESS_DENIED;
    // The folder is opened for deletion, sharing everything.
    if (error == 0 && SharingConflict(r.Key, DELETE, kAllSharing))
        error = ERROR_SHARING_VIOLATION;
    if (error == 0 && !KeysAtAndBelow(nodes, r.Key, false).empty())
        error = ERROR_DIR_NOT_EMPTY;
    return error;
}

// Removes an empty folder, or a junction (the link, not its target). A path
// that is not there fails with ERROR_FILE_NOT_FOUND, a file with
// ERROR_DIRECTORY, a folder held open without delete sharing with
// ERROR_SHARING_VIOLATION, a folder that holds anything (a file deleted while
// open included) with ERROR_DIR_NOT_EMPTY, a drive root with
// ERROR_ACCESS_DENIED.
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
    SIM_ENTER("RemoveDirectoryW", FALSE);
    Resolved r = ResolveForCaller(lpPathName, false);
    DWORD error = RemoveFolderError(r);
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    nodes.erase(r.Key);
    locks.erase(r.Key);
    return TRUE;
}

// With MOVEFILE_DELAY_UNTIL_REBOOT the move is only recorded (a missing or
// locked source is no obstacle: it may be there at restart); otherwise
// files and folders are renamed at once, on their volume (another drive:
// ERROR_NOT_SAME_DEVICE, copying is not modelled), with their attributes. A
// link is renamed itself, not its target. A read-only target is not replaced
// (ERROR_ACCESS_DENIED).
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    SIM_ENTER("MoveFileExW", FALSE);
    if (lpExistingFileName == NULL) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        // Only an entry for Session Manager, which carries it out natively at
        // restart: the paths are recorded as given, not redirected (the
        // redirector acts where a file is opened).
        if (dwFlags & MOVEFILE_COPY_ALLOWED) {
            simk::SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::wstring from = sim::files::Canonical(lpExistingFileName);
        std::wstring to = lpNewFileName != NULL ? sim::files::Canonical(lpNewFileName) : std::wstring();
        if (from.empty() || (lpNewFileName != NULL && to.empty())) {
            simk::SetError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        sim::files::PendingRename pr;
        pr.From = from;
        pr.To = to;
        pr.Flags = dwFlags;
        pr.Time = simk::Now();
        pendingRenames.push_back(pr);
        return TRUE;
    }
    Resolved src = ResolveForCaller(lpExistingFileName, false);
    DWORD error = src.Error;
    if (error == 0 && src.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && src.Target->DeletePending)
        error = ERROR_ACCESS_DENIED;
    // A rename opens the source for deletion, sharing everything.
    if (error == 0 && (ActiveLock(src.Key) != nullptr || SharingConflict(src.Key, DELETE, kAllSharing)))
        error = ERROR_SHARING_VIOLATION;
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    if (lpNewFileName == NULL) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved dst = ResolveForCaller(lpNewFileName, false);
    error = dst.Error;
    if (error == 0 && dst.Name.empty())
        error = ERROR_ACCESS_DENIED;
    else if (error == 0 && dst.Key[0] != src.Key[0])
        error = ERROR_NOT_SAME_DEVICE;
    else if (error == 0 && dst.Target != nullptr && dst.Key != src.Key) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING))
            error = ERROR_ALREADY_EXISTS;
        else if (dst.Target->Folder || src.Target->Folder || ActiveLock(dst.Key) != nullptr || HasHandles(dst.Key) ||
                 (dst.Target->Attributes & FILE_ATTRIBUTE_READONLY) || IsMapped(*dst.Target))
            error = ERROR_ACCESS_DENIED;
    }
    if (error == 0 && src.Target->Folder && UnderOrAt(dst.Key, src.Key) && dst.Key != src.Key)
        error = ERROR_SHARING_VIOLATION;  // into itself
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    if (dst.Target != nullptr && dst.Key != src.Key)
        nodes.erase(dst.Key);
    sim::files::Move(src.Target->Path, StoredParentPath(dst) + L"\\" + dst.Name);
    return TRUE;
}

// Creates or opens a file (a folder with FILE_FLAG_BACKUP_SEMANTICS). The
// handle's access and share mode are checked against the file's other opens
// (ERROR_SHARING_VIOLATION); a file deleted while open cannot be opened again
// (ERROR_ACCESS_DENIED). The creating process is an administrator's: access is
// not checked against the descriptors, but a read-only file is neither
// written, cut short nor deleted on close, and CREATE_ALWAYS does not replace
// a hidden or system file without those attributes given (ERROR_ACCESS_DENIED);
// a file with a mapped view is not cut short (ERROR_USER_MAPPED_FILE). A new
// or replaced file has the attributes given and FILE_ATTRIBUTE_ARCHIVE.
// Succeeds with last error 0, or ERROR_ALREADY_EXISTS when CREATE_ALWAYS or
// OPEN_ALWAYS found the file.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    SIM_ENTER("CreateFileW", INVALID_HANDLE_VALUE);
    (void)hTemplateFile;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwShareMode & ~kAllSharing) != 0) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring given;
    if (lpSecurityAttributes != NULL && lpSecurityAttributes->lpSecurityDescriptor != NULL) {
        given = simk::SddlOfDescriptor(lpSecurityAttributes->lpSecurityDescriptor);
        if (given.empty()) {
            simk::SetError(ERROR_INVALID_SECURITY_DESCR);
            return INVALID_HANDLE_VALUE;
        }
    }
    DWORD access = MapGeneric(dwDesiredAccess);
    bool deleteOnClose = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    if (deleteOnClose)
        access |= DELETE;
    Resolved r = ResolveForCaller(lpFileName, (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) == 0);
    DWORD error = r.Error;
    DWORD givenAttributes = (dwFlagsAndAttributes & kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    // A drive root opens only as a folder does, with backup semantics.
    if (error == 0 && r.Name.empty() &&
        (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || dwCreationDisposition != OPEN_EXISTING))
        error = ERROR_ACCESS_DENIED;
    bool existed = error == 0 && r.Target != nullptr;
    if (existed) {
        bool overwrite = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
        DWORD hiddenOrSystem = r.Target->Attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        if (r.Target->DeletePending)
            error = ERROR_ACCESS_DENIED;
        else if (dwCreationDisposition == CREATE_NEW)
            error = ERROR_FILE_EXISTS;
        else if (r.Target->Folder && (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || overwrite))
            error = ERROR_ACCESS_DENIED;
        else if (!r.Target->Folder && (r.Target->Attributes & FILE_ATTRIBUTE_READONLY) &&
                 ((access & kWriteData) || overwrite || deleteOnClose))
            error = ERROR_ACCESS_DENIED;
        else if (dwCreationDisposition == CREATE_ALWAYS && (givenAttributes & hiddenOrSystem) != hiddenOrSystem)
            error = ERROR_ACCESS_DENIED;
        else if (SharingConflict(r.Key, overwrite ? access | FILE_WRITE_DATA : access, dwShareMode))
            error = ERROR_SHARING_VIOLATION;
        else if (overwrite && IsMapped(*r.Target))
            error = ERROR_USER_MAPPED_FILE;
        else if (overwrite) {
            r.Target->Content.clear();
            r.Target->SparseSize = 0;
            if (dwCreationDisposition == CREATE_ALWAYS)
                r.Target->Attributes = givenAttributes;
        }
    } else if (error == 0 && (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (error == 0) {
        MakeNode(StoredParentPath(r), r.Name, false, given).Attributes = givenAttributes;
    }
    if (error != 0) {
        simk::SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = simk::NewHandleValue();
    OpenFile &o = openFiles[handle];
    o.Key = r.Key;
    o.Access = access;
    o.Share = dwShareMode;
    o.Process = simk::CurrentProcessId();
    o.DeleteOnClose = deleteOnClose;
    bool reported = existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    simk::SetError(reported ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return handle;
}

// Creates one folder (its parent must exist). The folder's descriptor is the
// one given in lpSecurityAttributes, with what it inherits from its parent
// unless the given DACL is protected ("D:P"); without one, only the inherited
// entries. An existing path fails with ERROR_ALREADY_EXISTS.
BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    SIM_ENTER("CreateDirectoryW", FALSE);
    std::wstring given;
    if (lpSecurityAttributes != NULL && lpSecurityAttributes->lpSecurityDescriptor != NULL) {
        given = simk::SddlOfDescriptor(lpSecurityAttributes->lpSecurityDescriptor);
        if (given.empty()) {
            simk::SetError(ERROR_INVALID_SECURITY_DESCR);
            return FALSE;
        }
    }
    Resolved r = ResolveForCaller(lpPathName);
    DWORD error = r.Error;
    if (error == 0 && (r.Target != nullptr || r.Name.empty()))
        error = ERROR_ALREADY_EXISTS;
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    MakeNode(StoredParentPath(r), r.Name, true, given);
    return TRUE;
}

// What a call that reads or writes the attributes of a path meets: 0, or the
// error (a file deleted while open is not there for it).
DWORD AttributesError(const Resolved &r) {
    if (r.Error != 0)
        return r.Error;
    if (r.Target == nullptr)
        return ERROR_FILE_NOT_FOUND;
    return r.Target->DeletePending ? ERROR_ACCESS_DENIED : 0;
}

// The attributes of the file or folder the path names; of a link itself, not
// of its target.
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    SIM_ENTER("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
    Resolved r = ResolveForCaller(lpFileName, false);
    if (DWORD error = AttributesError(r)) {
        simk::SetError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(*r.Target);
}

// Sets FILE_ATTRIBUTE_READONLY, _HIDDEN, _SYSTEM and _ARCHIVE as given and
// clears the others of them (FILE_ATTRIBUTE_NORMAL alone clears all); other
// bits are ignored. Share modes do not stand in the way: only the attributes
// are written.
BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    SIM_ENTER("SetFileAttributesW", FALSE);
    Resolved r = ResolveForCaller(lpFileName);
    if (DWORD error = AttributesError(r)) {
        simk::SetError(error);
        return FALSE;
    }
    r.Target->Attributes = dwFileAttributes & kSettableAttributes;
    return TRUE;
}

namespace {

// The FILETIME of a virtual time: the reset machine's clock starts at
// sim::kLocalTimeAtReset, and its time zone is UTC.
FILETIME FileTimeAt(uint64_t timeMs) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    const SYSTEMTIME &start = sim::kLocalTimeAtReset;
    uint64_t days = start.wDay - 1;
    for (int y = 1601; y < start.wYear; ++y)
        days += leap(y) ? 366 : 365;
    for (int m = 1; m < start.wMonth; ++m)
        days += kDays[m - 1] + (m == 2 && leap(start.wYear) ? 1 : 0);
    uint64_t ms = days * 86400000ULL + 1000ULL * (start.wSecond + 60ULL * (start.wMinute + 60ULL * start.wHour)) +
                  start.wMilliseconds + timeMs;
    uint64_t ticks = ms * 10000ULL;
    FILETIME time;
    time.dwLowDateTime = (DWORD)ticks;
    time.dwHighDateTime = (DWORD)(ticks >> 32);
    return time;
}

// Whether name matches a pattern of "*" (any run) and "?" (any one
// character), without regard to case.
bool Matches(const std::wstring &pattern, size_t p, const std::wstring &name, size_t n) {
    for (; p < pattern.size(); ++p, ++n) {
        if (pattern[p] == L'*') {
            for (size_t k = n; k <= name.size(); ++k)
                if (Matches(pattern, p + 1, name, k))
                    return true;
            return false;
        }
        if (n >= name.size() || (pattern[p] != L'?' && towupper(pattern[p]) != towupper(name[n])))
            return false;
    }
    return n == name.size();
}

void FillFindData(const Node &node, LPWIN32_FIND_DATAW data) {
    memset(data, 0, sizeof(*data));
    data->dwFileAttributes = AttributesOf(node);
    if (!node.ReparseTarget.empty()) {
        data->dwReserved0 = node.Folder ? 0xA0000003 /* IO_REPARSE_TAG_MOUNT_POINT */
                                        : 0xA000000C /* IO_REPARSE_TAG_SYMLINK */;
    }
    data->ftCreationTime = FileTimeAt(node.Created);
    data->ftLastAccessTime = data->ftCreationTime;
    data->ftLastWriteTime = data->ftCreationTime;
    data->nFileSizeHigh = node.Folder ? 0 : (DWORD)(SizeOf(node) >> 32);
    data->nFileSizeLow = node.Folder ? 0 : (DWORD)SizeOf(node);
    std::wstring name = node.Path.substr(node.Path.rfind(L'\\') + 1);
    wcsncpy(data->cFileName, name.c_str(), MAX_PATH - 1);
}

}  // namespace

// The entries of one folder whose names match the last part of the path
// ("*" and "?"; "." and ".." are not listed here), in the file system's
// order of names. A folder that is a junction lists its target's entries;
// an entry that is a link is reported as the link (FILE_ATTRIBUTE_REPARSE_POINT
// and its tag). ERROR_PATH_NOT_FOUND without the folder, ERROR_FILE_NOT_FOUND
// when nothing matches.
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    SIM_ENTER("FindFirstFileW", INVALID_HANDLE_VALUE);
    std::wstring path = lpFileName != NULL ? lpFileName : L"";
    size_t slash = path.find_last_of(L"\\/");
    if (lpFindFileData == NULL || slash == std::wstring::npos || slash + 1 == path.size()) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring pattern = path.substr(slash + 1);
    Resolved folder = ResolveForCaller((path.substr(0, slash) + L"\\.").c_str());
    DWORD error = folder.Error;
    if (error == 0 && (folder.Target == nullptr || !folder.Target->Folder))
        error = ERROR_PATH_NOT_FOUND;
    if (error != 0) {
        simk::SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    Search search;
    search.Process = simk::CurrentProcessId();
    for (const std::wstring &key : KeysAtAndBelow(nodes, folder.Key, false)) {
        const Node &node = nodes.at(key);
        std::wstring name = node.Path.substr(node.Path.rfind(L'\\') + 1);
        if (key.find(L'\\', folder.Key.size() + 1) == std::wstring::npos && Matches(pattern, 0, name, 0))
            search.Keys.push_back(key);
    }
    if (search.Keys.empty()) {
        simk::SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FillFindData(nodes.at(search.Keys[0]), lpFindFileData);
    search.Next = 1;
    HANDLE handle = simk::NewHandleValue();
    searches[handle] = search;
    return handle;
}

// The next entry; ERROR_NO_MORE_FILES after the last. An entry deleted since
// the search began is passed over.
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    SIM_ENTER("FindNextFileW", FALSE);
    auto it = searches.find(hFindFile);
    if (it == searches.end() || lpFindFileData == NULL) {
        simk::SetError(it == searches.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Search &search = it->second;
    while (search.Next < search.Keys.size() && Find(search.Keys[search.Next]) == nullptr)
        search.Next++;
    if (search.Next >= search.Keys.size()) {
        simk::SetError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    FillFindData(*Find(search.Keys[search.Next++]), lpFindFileData);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    SIM_ENTER("FindClose", FALSE);
    if (searches.erase(hFindFile) == 0) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    simk::Enter("GetSystemTimeAsFileTime");
    *lpSystemTimeAsFileTime = FileTimeAt(simk::Now());
}

// The same for a WOW64 process: its file calls on this path are redirected.
UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_ENTER("GetSystemDirectoryW", 0);
    return CopyOut(sim::files::kSystemDirectory, lpBuffer, uSize);
}

// 32-bit Windows has no such directory: the call fails there with
// ERROR_CALL_NOT_IMPLEMENTED.
UINT WINAPI GetSystemWow64DirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_ENTER("GetSystemWow64DirectoryW", 0);
    if (!simk::Is64BitWindows()) {
        simk::SetError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    return CopyOut(sim::files::kSystemWow64Directory, lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_ENTER("GetWindowsDirectoryW", 0);
    return CopyOut(sim::files::kWindowsDirectory, lpBuffer, uSize);
}

UINT WINAPI GetSystemWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_ENTER("GetSystemWindowsDirectoryW", 0);
    return CopyOut(sim::files::kWindowsDirectory, lpBuffer, uSize);
}

// Per thread. *OldValue receives the thread's state before (null: the
// redirector was on), which Wow64RevertWow64FsRedirection restores. A
// process that does not run under WOW64 (a native one, and any on 32-bit
// Windows, whose kernel32 exports them all the same) has no redirector: they
// fail with ERROR_INVALID_FUNCTION there, as Wine's do (no page says).
BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID *OldValue) {
    SIM_ENTER("Wow64DisableWow64FsRedirection", FALSE);
    if (!simk::IsWow64()) {
        simk::SetError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (OldValue == NULL) {
        simk::SetError(ERROR_NOACCESS);
        return FALSE;
    }
    *OldValue = redirectionOff.insert(simk::CurrentThreadId()).second ? NULL : (PVOID)1;
    return TRUE;
}

BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID OlValue) {
    SIM_ENTER("Wow64RevertWow64FsRedirection", FALSE);
    if (!simk::IsWow64()) {
        simk::SetError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (OlValue == NULL)
        redirectionOff.erase(simk::CurrentThreadId());
    else
        redirectionOff.insert(simk::CurrentThreadId());
    return TRUE;
}

DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    SIM_ENTER("GetTempPathW", 0);
    return CopyOut(sim::files::kTempDirectory, lpBuffer, nBufferLength);
}

// "<path>\<up to 3 prefix chars><hex>.tmp". With uUnique 0 the number starts
// from the clock and the first free name is created (empty); otherwise the
// name is only made up.
UINT WINAPI GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique, LPWSTR lpTempFileName) {
    SIM_ENTER("GetTempFileNameW", 0);
    if (lpPathName == NULL || lpTempFileName == NULL) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring base = lpPathName;
    if (base.empty() || (base.back() != L'\\' && base.back() != L'/'))
        base += L'\\';
    if (lpPrefixString != NULL)
        base += std::wstring(lpPrefixString).substr(0, 3);
    auto nameFor = [&](UINT n) {
        wchar_t hex[16];
        swprintf(hex, 16, L"%X", n & 0xFFFF);
        return base + hex + L".tmp";
    };
    if (uUnique != 0) {
        std::wstring name = nameFor(uUnique);
        if (name.size() >= MAX_PATH) {
            simk::SetError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        std::copy(name.begin(), name.end(), lpTempFileName);
        lpTempFileName[name.size()] = 0;
        return uUnique & 0xFFFF;
    }
    Resolved folder = ResolveForCaller(lpPathName);
    if (folder.Error != 0 || folder.Target == nullptr || !folder.Target->Folder) {
        simk::SetError(ERROR_DIRECTORY);
        return 0;
    }
    UINT start = (UINT)(simk::Now() & 0xFFFF);
    if (start == 0)
        start = 1;
    UINT n = start;
    do {
        std::wstring name = nameFor(n);
        if (name.size() >= MAX_PATH) {
            simk::SetError(ERROR_BUFFER_OVERFLOW);
            return 0;
        }
        Resolved r = ResolveForCaller(name.c_str());
        if (r.Error == 0 && r.Target == nullptr) {
            MakeNode(folder.Target->Path, r.Name, false);
            std::copy(name.begin(), name.end(), lpTempFileName);
            lpTempFileName[name.size()] = 0;
            simk::SetError(NO_ERROR);
            return n;
        }
        n = n == 0xFFFF ? 1 : n + 1;
    } while (n != start);
    simk::SetError(ERROR_FILE_EXISTS);
    return 0;
}

bool simk::CloseFileHandle(HANDLE handle) {
    auto it = openFiles.find(handle);
    if (it == openFiles.end())
        return false;
    CloseFile(it);
    return true;
}

bool simk::FileContentOfHandle(HANDLE handle, std::string *content) {
    auto it = openFiles.find(handle);
    if (it == openFiles.end())
        return false;
    Node *n = Find(it->second.Key);
    if (n == nullptr)
        return false;
    *content = n->Content;
    return true;
}

// --- for the other subsystems ---------------------------------------------------

std::wstring simk::RedirectedPath(const std::wstring &path) {
    ParsedPath p = Parse(path);
    if (!p.Ok)
        return path;
    ParsedPath redirected = p;
    Redirect(redirected);
    return redirected.Names == p.Names ? path : Join(redirected, redirected.Names.size());
}

// --- test API -------------------------------------------------------------------

namespace sim {
namespace files {

void WriteFile(const std::wstring &path, const std::string &content) {
    ParsedPath p = Parse(path);
    if (!p.Ok || p.Names.empty())
        return;
    std::wstring parent = EnsureFolders(p, false);
    Node *n = Find(Upper(parent + L"\\" + p.Names.back()));
    if (n == nullptr)
        n = &MakeNode(parent, p.Names.back(), false);
    n->Folder = false;
    n->Content = content;
}

void CreateFolder(const std::wstring &path) {
    ParsedPath p = Parse(path);
    if (p.Ok)
        EnsureFolders(p, true);
}

bool Exists(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    return r.Error == 0 && r.Target != nullptr;
}

bool IsFile(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    return r.Error == 0 && r.Target != nullptr && !r.Target->Folder;
}

bool IsFolder(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    return r.Error == 0 && r.Target != nullptr && r.Target->Folder;
}

std::string ReadFile(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr || r.Target->Folder)
        return std::string();
    return r.Target->Content;
}

std::wstring Canonical(const std::wstring &path) {
    ParsedPath p = Parse(path);
    if (!p.Ok || p.BadName)
        return std::wstring();
    // The longest existing part in its stored case, the rest as given.
    std::wstring result = p.Drive;
    size_t i = 0;
    Node *drive = Find(Upper(p.Drive));
    if (drive != nullptr) {
        result = drive->Path;
        for (; i < p.Names.size(); ++i) {
            Node *n = Find(Upper(result + L"\\" + p.Names[i]));
            if (n == nullptr)
                break;
            result = n->Path;
        }
    }
    for (; i < p.Names.size(); ++i)
        result += L"\\" + p.Names[i];
    if (p.Names.empty())
        result += L"\\";
    return result;
}

std::vector<std::wstring> ListFolder(const std::wstring &path) {
    std::vector<std::wstring> names;
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr || !r.Target->Folder)
        return names;
    size_t prefixSize = r.Key.size() + 1;
    for (const std::wstring &key : KeysAtAndBelow(nodes, r.Key, false)) {
        std::wstring rest = key.substr(prefixSize);
        const std::wstring &stored = nodes[key].Path;
        if (rest.find(L'\\') == std::wstring::npos)
            names.push_back(stored.substr(stored.size() - rest.size()));
    }
    std::sort(names.begin(), names.end(),
              [](const std::wstring &a, const std::wstring &b) { return Upper(a) < Upper(b); });
    return names;
}

std::vector<std::wstring> ListTree(const std::wstring &path) {
    std::vector<std::wstring> paths;
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr || !r.Target->Folder)
        return paths;
    for (const std::wstring &key : KeysAtAndBelow(nodes, r.Key, false))
        paths.push_back(nodes[key].Path);
    return paths;
}

std::vector<TreeEntry> ReadTree(const std::wstring &path) {
    std::vector<TreeEntry> entries;
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr || !r.Target->Folder)
        return entries;
    for (const std::wstring &key : KeysAtAndBelow(nodes, r.Key, false)) {
        const Node &n = nodes[key];
        entries.push_back({n.Path, n.Folder, n.Folder ? std::string() : n.Content});
    }
    return entries;
}

bool Remove(const std::wstring &path) {
    Resolved r = ResolveName(path);
    if (r.Error != 0 || r.Target == nullptr)
        return false;
    std::wstring key = r.Key;
    for (const std::wstring &k : KeysAtAndBelow(nodes, key, true))
        nodes.erase(k);
    for (const std::wstring &k : KeysAtAndBelow(locks, key, true))
        locks.erase(k);
    return true;
}

bool Move(const std::wstring &from, const std::wstring &to) {
    Resolved src = ResolveName(from);
    Resolved dst = ResolveName(to);
    if (src.Error != 0 || src.Target == nullptr || src.Name.empty())
        return false;
    if (dst.Error != 0 || dst.Name.empty() || (dst.Target != nullptr && dst.Key != src.Key))
        return false;
    if (dst.Key != src.Key && UnderOrAt(dst.Key, src.Key))
        return false;
    std::wstring newPath = StoredParentPath(dst) + L"\\" + dst.Name;
    std::wstring oldPath = src.Target->Path;
    std::wstring oldKey = src.Key;
    std::vector<Node> moved;
    std::vector<std::pair<std::wstring, FileLock>> movedLocks;
    bool otherVolume = towupper(newPath[0]) != towupper(oldPath[0]);
    for (const std::wstring &k : KeysAtAndBelow(nodes, oldKey, true)) {
        Node n = nodes[k];
        n.Path = newPath + n.Path.substr(oldPath.size());
        if (otherVolume)
            n.Id = ++nextNodeIds[static_cast<wchar_t>(towupper(newPath[0]))];
        moved.push_back(n);
        nodes.erase(k);
    }
    for (const std::wstring &k : KeysAtAndBelow(locks, oldKey, true)) {
        movedLocks.emplace_back(Upper(newPath) + k.substr(oldKey.size()), locks[k]);
        locks.erase(k);
    }
    for (const Node &n : moved)
        nodes[Upper(n.Path)] = n;
    for (const auto &l : movedLocks)
        locks[l.first] = l.second;
    // Running programs' images and open handles follow their files.
    simk::ImageMoved(oldPath, newPath);
    for (auto &h : openFiles)
        if (UnderOrAt(h.second.Key, oldKey))
            h.second.Key = Upper(newPath) + h.second.Key.substr(oldKey.size());
    return true;
}

void Lock(const std::wstring &path, LockKind kind) {
    std::wstring c = Canonical(path);
    if (c.empty())
        return;
    FileLock l;
    l.Kind = kind;
    locks[Upper(c)] = l;
}

void LockWhileServiceRuns(const std::wstring &path, const std::wstring &service) {
    std::wstring c = Canonical(path);
    if (c.empty())
        return;
    FileLock l;
    l.Kind = LockKind::Image;
    l.Service = service;
    locks[Upper(c)] = l;
}

void Unlock(const std::wstring &path) { locks.erase(Upper(Canonical(path))); }

bool IsLocked(const std::wstring &path) {
    std::wstring key = Upper(Canonical(path));
    return ActiveLock(key) != nullptr || SharingConflict(key, DELETE, kAllSharing);
}

std::vector<OpenHandle> OpenHandles(const std::wstring &path) {
    std::vector<OpenHandle> out;
    std::wstring key = Upper(Canonical(path));
    for (auto &h : openFiles)
        if (h.second.Key == key)
            out.push_back({h.first, h.second.Process, h.second.Access, h.second.Share});
    return out;
}

DWORD TryOpen(const std::wstring &path, DWORD access, DWORD share) {
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0)
        return r.Error;
    if (r.Target == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (r.Target->DeletePending)
        return ERROR_ACCESS_DENIED;
    return SharingConflict(r.Key, access, share) ? ERROR_SHARING_VIOLATION : 0;
}

DWORD TryDelete(const std::wstring &path) { return DeleteError(Resolve(path.c_str())); }

std::wstring Security(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    return r.Error == 0 && r.Target != nullptr ? r.Target->Sddl : std::wstring();
}

bool MakeLink(const std::wstring &path, const std::wstring &target, bool folder) {
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target != nullptr || r.Name.empty())
        return false;
    Node &n = MakeNode(StoredParentPath(r), r.Name, folder, L"O:" + std::wstring(kUserSid) + L"D:(A;;FA;;;WD)");
    n.ReparseTarget = target;
    return true;
}

bool MakeHardLink(const std::wstring &path, const std::wstring &existing) {
    Resolved r = Resolve(path.c_str());
    Resolved e = Resolve(existing.c_str());
    if (r.Error != 0 || r.Target != nullptr || r.Name.empty() || e.Target == nullptr || e.Target->Folder)
        return false;
    Node copy = *e.Target;
    copy.Path = StoredParentPath(r) + L"\\" + r.Name;
    copy.Links = ++e.Target->Links;
    nodes[Upper(copy.Path)] = copy;
    return true;
}

DWORD Attributes(const std::wstring &path) {
    Resolved r = ResolveName(path);
    return r.Error == 0 && r.Target != nullptr ? AttributesOf(*r.Target) : INVALID_FILE_ATTRIBUTES;
}

bool SetAttributes(const std::wstring &path, DWORD attributes) {
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr)
        return false;
    r.Target->Attributes = attributes & kSettableAttributes;
    return true;
}

FileId IdOf(const std::wstring &path) {
    FileId id;
    Resolved r = Resolve(path.c_str());
    if (r.Error == 0 && r.Target != nullptr) {
        id.VolumeSerial = VolumeSerialOf(r.Target->Path);
        id.Index = r.Target->Id;
    }
    return id;
}

bool SetSecurity(const std::wstring &path, const std::wstring &sddl) {
    Resolved r = Resolve(path.c_str());
    std::wstring canonical;
    if (r.Error != 0 || r.Target == nullptr || !simk::CanonicalSddl(sddl, &canonical, nullptr))
        return false;
    r.Target->Sddl = canonical;
    return true;
}

bool UserCanWrite(const std::wstring &path) {
    // A right the user has, or could give itself by rewriting the DACL.
    auto may = [](const std::wstring &sddl, DWORD right) {
        return simk::UserGranted(sddl, right) || simk::UserGranted(sddl, WRITE_DAC) ||
               simk::UserGranted(sddl, WRITE_OWNER);
    };
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0)
        return false;
    Node *parent = r.ParentKey.empty() ? nullptr : Find(r.ParentKey);
    if (r.Target == nullptr)
        return parent != nullptr && may(parent->Sddl, FILE_ADD_FILE);
    if (r.Target->Folder)
        return may(r.Target->Sddl, FILE_ADD_FILE);
    if (may(r.Target->Sddl, FILE_WRITE_DATA))
        return true;
    // Replaced: deleted (its own right or the folder's) and created anew.
    return parent != nullptr && may(parent->Sddl, FILE_ADD_FILE) &&
           (may(r.Target->Sddl, DELETE) || may(parent->Sddl, FILE_DELETE_CHILD));
}

bool UserCanRename(const std::wstring &path) {
    auto may = [](const std::wstring &sddl, DWORD right) {
        return simk::UserGranted(sddl, right) || simk::UserGranted(sddl, WRITE_DAC) ||
               simk::UserGranted(sddl, WRITE_OWNER);
    };
    Resolved r = ResolveName(path);
    if (r.Error != 0 || r.Target == nullptr)
        return false;
    Node *parent = r.ParentKey.empty() ? nullptr : Find(r.ParentKey);
    return parent != nullptr && (may(r.Target->Sddl, DELETE) || may(parent->Sddl, FILE_DELETE_CHILD));
}

namespace user {
namespace {
std::wstring OwnedByUser() { return L"O:" + std::wstring(kUserSid); }

// A right on the file the user has, or could give itself.
bool UserMay(const Node &n, DWORD right) {
    return simk::UserGranted(n.Sddl, right) || simk::UserGranted(n.Sddl, WRITE_DAC) ||
           simk::UserGranted(n.Sddl, WRITE_OWNER);
}

// Where a new entry may go: its folder exists and the user may add a file,
// or a folder, to it.
DWORD CanCreate(const Resolved &r, const std::wstring &path, bool folder = false) {
    if (r.Error != 0)
        return r.Error;
    if (r.Target != nullptr)
        return ERROR_ALREADY_EXISTS;
    Node *parent = r.Name.empty() ? nullptr : Find(r.ParentKey);
    if (parent == nullptr)
        return ERROR_PATH_NOT_FOUND;
    if (folder)
        return UserMay(*parent, FILE_ADD_SUBDIRECTORY) ? 0 : ERROR_ACCESS_DENIED;
    return UserCanWrite(path) ? 0 : ERROR_ACCESS_DENIED;
}
}  // namespace

DWORD WriteFile(const std::wstring &path, const std::string &content) {
    return WriteSparseFile(path, content, 0);
}

DWORD WriteSparseFile(const std::wstring &path, const std::string &content, uint64_t size) {
    Resolved r = Resolve(path.c_str());
    Node *n = r.Target;
    if (r.Error == 0 && n != nullptr) {
        if (n->Folder || !UserCanWrite(path) || (n->Attributes & FILE_ATTRIBUTE_READONLY))
            return ERROR_ACCESS_DENIED;
        if (ActiveLock(r.Key) != nullptr || SharingConflict(r.Key, FILE_WRITE_DATA, kAllSharing))
            return ERROR_SHARING_VIOLATION;
        if (IsMapped(*n))
            return ERROR_USER_MAPPED_FILE;
    } else if (DWORD error = CanCreate(r, path)) {
        return error;
    } else {
        n = &MakeNode(StoredParentPath(r), r.Name, false, OwnedByUser());
    }
    n->Content = content;
    n->SparseSize = size;
    n->Attributes |= FILE_ATTRIBUTE_ARCHIVE;
    return 0;
}

DWORD CreateFolder(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    if (DWORD error = CanCreate(r, path, true))
        return error;
    MakeNode(StoredParentPath(r), r.Name, true, OwnedByUser());
    return 0;
}

DWORD Move(const std::wstring &from, const std::wstring &to) {
    Resolved src = ResolveName(from);
    if (src.Error != 0 || src.Target == nullptr)
        return src.Error != 0 ? src.Error : ERROR_FILE_NOT_FOUND;
    if (!UserCanRename(from))
        return ERROR_ACCESS_DENIED;
    if (DWORD error = CanCreate(ResolveName(to), to))
        return error;
    // A running program's file may be renamed; one held open may not.
    const FileLock *lock = ActiveLock(src.Key);
    if ((lock != nullptr && lock->Kind == LockKind::Open) || SharingConflict(src.Key, DELETE, kAllSharing))
        return ERROR_SHARING_VIOLATION;
    // A folder with a file open below it keeps its name.
    for (auto &h : openFiles)
        if (h.second.Key != src.Key && UnderOrAt(h.second.Key, src.Key))
            return ERROR_ACCESS_DENIED;
    return sim::files::Move(from, to) ? 0 : ERROR_ACCESS_DENIED;
}

DWORD RemoveFolder(const std::wstring &path) {
    Resolved r = ResolveName(path);
    if (r.Error == 0 && r.Target != nullptr && r.Target->Folder && !r.Name.empty() && !UserCanRename(path))
        return ERROR_ACCESS_DENIED;
    if (DWORD error = RemoveFolderError(r))
        return error;
    nodes.erase(r.Key);
    locks.erase(r.Key);
    return 0;
}

DWORD SetAttributes(const std::wstring &path, DWORD attributes) {
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr)
        return r.Error != 0 ? r.Error : ERROR_FILE_NOT_FOUND;
    if (!UserMay(*r.Target, FILE_WRITE_ATTRIBUTES))
        return ERROR_ACCESS_DENIED;
    r.Target->Attributes = attributes & kSettableAttributes;
    return 0;
}

DWORD MapView(const std::wstring &path, int *view) {
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr)
        return r.Error != 0 ? r.Error : ERROR_FILE_NOT_FOUND;
    // The handle it maps through: read and write access, sharing everything.
    const Node &n = *r.Target;
    if (n.Folder || n.DeletePending || !UserMay(n, FILE_READ_DATA | FILE_WRITE_DATA) ||
        (n.Attributes & FILE_ATTRIBUTE_READONLY))
        return ERROR_ACCESS_DENIED;
    if (SharingConflict(r.Key, GENERIC_READ | GENERIC_WRITE, kAllSharing))
        return ERROR_SHARING_VIOLATION;
    // An empty file has nothing to map.
    if (SizeOf(n) == 0)
        return ERROR_FILE_INVALID;
    View v;
    v.Drive = static_cast<wchar_t>(towupper(n.Path[0]));
    v.Id = n.Id;
    v.Size = SizeOf(n);
    views.push_back(v);
    if (view != nullptr)
        *view = static_cast<int>(views.size() - 1);
    return 0;
}

DWORD WriteView(int view, uint64_t offset, const std::string &bytes) {
    if (view < 0 || static_cast<size_t>(view) >= views.size())
        return ERROR_INVALID_HANDLE;
    const View &v = views[static_cast<size_t>(view)];
    if (offset > v.Size || bytes.size() > v.Size - offset)
        return ERROR_INVALID_PARAMETER;
    // Every name of the file (a hard link is a copy here).
    bool found = false;
    for (auto &entry : nodes) {
        Node &n = entry.second;
        if (n.Id != v.Id || static_cast<wchar_t>(towupper(n.Path[0])) != v.Drive || n.Folder)
            continue;
        if (n.Content.size() < offset + bytes.size())
            n.Content.resize(static_cast<size_t>(offset + bytes.size()));
        std::copy(bytes.begin(), bytes.end(), n.Content.begin() + static_cast<std::ptrdiff_t>(offset));
        found = true;
    }
    return found ? 0 : ERROR_FILE_NOT_FOUND;
}

DWORD MakeLink(const std::wstring &path, const std::wstring &target, bool folder) {
    if (!folder)
        return ERROR_PRIVILEGE_NOT_HELD;
    Resolved r = ResolveName(path);
    if (DWORD error = CanCreate(r, path, true))
        return error;
    MakeNode(StoredParentPath(r), r.Name, true, OwnedByUser()).ReparseTarget = target;
    return 0;
}

DWORD MakeHardLink(const std::wstring &path, const std::wstring &existing) {
    Resolved r = Resolve(path.c_str());
    Resolved e = Resolve(existing.c_str());
    if (e.Error != 0 || e.Target == nullptr || e.Target->Folder)
        return e.Error != 0 ? e.Error : ERROR_ACCESS_DENIED;
    if (DWORD error = CanCreate(r, path))
        return error;
    if (towupper(r.Key[0]) != towupper(e.Key[0]))
        return ERROR_NOT_SAME_DEVICE;
    return sim::files::MakeHardLink(path, existing) ? 0 : ERROR_ACCESS_DENIED;
}
}  // namespace user

const std::vector<PendingRename> &PendingRenames() { return pendingRenames; }

void Restart() {
    openFiles.clear();
    for (auto it = nodes.begin(); it != nodes.end();)
        it = it->second.DeletePending ? nodes.erase(it) : std::next(it);
    for (auto it = locks.begin(); it != locks.end();) {
        if (it->second.Service.empty())
            it = locks.erase(it);
        else
            ++it;
    }
    std::vector<PendingRename> renames;
    renames.swap(pendingRenames);
    for (const PendingRename &rename : renames) {
        Resolved src = ResolveName(rename.From);
        if (src.Error != 0 || src.Target == nullptr || src.Name.empty())
            continue;
        if (rename.To.empty()) {
            if (!src.Target->Folder || KeysAtAndBelow(nodes, src.Key, false).empty())
                Remove(rename.From);
            continue;
        }
        Resolved dst = ResolveName(rename.To);
        if (dst.Error != 0 || dst.Name.empty() || Upper(rename.From.substr(0, 2)) != Upper(rename.To.substr(0, 2)))
            continue;
        if (dst.Target != nullptr && dst.Key != src.Key) {
            if (!(rename.Flags & MOVEFILE_REPLACE_EXISTING) || dst.Target->Folder)
                continue;
            // The node goes; a service's lock on the path stays for the new file.
            nodes.erase(dst.Key);
        }
        Move(rename.From, rename.To);
    }
}

int OpenFileHandles() { return (int)(openFiles.size() + searches.size()); }

void LayOutInstallFolder(const std::wstring &folder) {
    std::wstring base = folder;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    auto put = [&](const std::wstring &rel) {
        WriteFile(base + rel, std::string(rel.begin(), rel.end()));
    };
    WriteFile(base + L"crvnv6.inf", sim::inf::PrinterInfText());
    put(L"crvnv6.cat");
    put(L"unins000.exe");
    put(L"dat\\crvndrv6.dat");
    for (const wchar_t *arch : {L"i386", L"arm", L"amd64", L"arm64"})
        for (const wchar_t *file : {L"crvndrv6.dll", L"crvndrv6ui.dll", L"crvnmon.dll"})
            put(std::wstring(arch) + L"\\" + file);
    WriteFile(base + L"amd64\\crvnpnp.exe", sim::kProgramImage64);
    WriteFile(base + L"arm64\\crvnpnp.exe", sim::kProgramImageArm64);
}

}  // namespace files
}  // namespace sim
