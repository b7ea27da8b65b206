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
    uint64_t Id = 0;             // the file index: the same file under any name it is moved to
    std::wstring ReparseTarget;  // a junction's or symbolic link's target: paths through it lead there
    DWORD Links = 1;             // the names of the file (hard links)
};
// Set while CreateFileW opens with FILE_FLAG_OPEN_REPARSE_POINT: a path's last
// name is then the link itself.
thread_local bool tOpenReparsePoint = false;
uint64_t nextNodeId = 0;

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
    while (pos <= s.size()) {
        size_t end = s.find(L'\\', pos);
        if (end == std::wstring::npos)
            end = s.size();
        std::wstring name = s.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == L".")
            continue;
        if (name == L"..") {
            if (!p.Names.empty())
                p.Names.pop_back();
            continue;
        }
        while (!name.empty() && (name.back() == L'.' || name.back() == L' '))
            name.pop_back();
        if (name.empty())
            continue;
        for (wchar_t c : name)
            if (c < 32 || wcschr(L"<>:\"|?*", c) != nullptr)
                p.BadName = true;
        p.Names.push_back(name);
    }
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

Resolved ResolveParsed(const ParsedPath &p, int depth = 0) {
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
                return ResolveParsed(q, depth + 1);
            }
        }
    } else if (Find(r.Key) == nullptr) {
        r.Error = ERROR_PATH_NOT_FOUND;  // no such drive
        return r;
    }
    r.Target = Find(r.Key);
    if (r.Target != nullptr && !r.Target->ReparseTarget.empty() && !tOpenReparsePoint)
        return ResolveParsed(Parse(r.Target->ReparseTarget), depth + 1);
    return r;
}

// A path as it stands, for the test-facing calls and the system's own
// services (the spooler): no redirection.
Resolved Resolve(const wchar_t *path) {
    if (path == nullptr) {
        Resolved r;
        r.Error = ERROR_INVALID_PARAMETER;
        return r;
    }
    return ResolveParsed(Parse(path));
}

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
Resolved ResolveForCaller(const wchar_t *path) {
    if (path == nullptr)
        return Resolve(path);
    ParsedPath p = Parse(path);
    Redirect(p);
    return ResolveParsed(p);
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
    n.Folder = folder;
    if (n.Id == 0)
        n.Id = ++nextNodeId;
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
    locks.clear();
    pendingRenames.clear();
    openFiles.clear();
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

// What DeleteFileW meets: 0, or the error it fails with.
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
    size_t at = (open.Access & FILE_WRITE_DATA) ? open.Position : file->Content.size();
    if (file->Content.size() < at + nNumberOfBytesToWrite)
        file->Content.resize(at + nNumberOfBytesToWrite);
    std::copy(bytes, bytes + nNumberOfBytesToWrite, file->Content.begin() + at);
    open.Position = at + nNumberOfBytesToWrite;
    *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    return TRUE;
}

// Synchronous reads from the handle's position, which reads and writes share.
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
    size_t at = std::min(open.Position, file->Content.size());
    size_t n = std::min(static_cast<size_t>(nNumberOfBytesToRead), file->Content.size() - at);
    std::copy(file->Content.begin() + at, file->Content.begin() + at + n, static_cast<char *>(lpBuffer));
    open.Position = at + n;
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
                                                    : static_cast<long long>(file->Content.size());
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

// The volume's serial number, the file index (the same under every name the
// file is moved to), one link, and the attributes.
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    SIM_ENTER("GetFileInformationByHandle", FALSE);
    auto it = openFiles.find(hFile);
    Node *file = it != openFiles.end() ? Find(it->second.Key) : nullptr;
    if (file == nullptr || lpFileInformation == NULL) {
        simk::SetError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    memset(lpFileInformation, 0, sizeof(*lpFileInformation));
    lpFileInformation->dwFileAttributes = file->Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (!file->ReparseTarget.empty())
        lpFileInformation->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    lpFileInformation->dwVolumeSerialNumber = 0x5EC0A2D3;
    lpFileInformation->nFileSizeLow = static_cast<DWORD>(file->Content.size());
    lpFileInformation->nNumberOfLinks = file->Links;
    lpFileInformation->nFileIndexHigh = static_cast<DWORD>(file->Id >> 32);
    lpFileInformation->nFileIndexLow = static_cast<DWORD>(file->Id);
    return TRUE;
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
        size_t pos = 0;
        while (pos <= rest.size()) {
            size_t end = rest.find(L'\\', pos);
            if (end == std::wstring::npos)
                end = rest.size();
            std::wstring name = rest.substr(pos, end - pos);
            pos = end + 1;
            if (name.empty() || name == L".")
                continue;
            if (name == L"..") {
                if (!names.empty())
                    names.pop_back();
                continue;
            }
            names.push_back(name);
        }
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

// Succeeds with last error 0. Refuses a target locked by another program
// (ERROR_SHARING_VIOLATION), an existing target with bFailIfExists
// (ERROR_FILE_EXISTS), a folder on either side (ERROR_ACCESS_DENIED) and a
// copy of a file onto itself (ERROR_SHARING_VIOLATION).
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
        else if (dst.Target->Folder || dst.Target->DeletePending)
            error = ERROR_ACCESS_DENIED;
        else if (dst.Key == src.Key || SharingConflict(dst.Key, GENERIC_WRITE, 0))
            error = ERROR_SHARING_VIOLATION;
    }
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    std::string content = src.Target->Content;
    if (dst.Target == nullptr)
        dst.Target = &MakeNode(StoredParentPath(dst), dst.Name, false);
    dst.Target->Content = content;
    simk::SetError(NO_ERROR);
    return TRUE;
}

// On success the last error is left as it was, as Windows does. A file held
// open by another program fails with ERROR_SHARING_VIOLATION, a loaded
// image (a DLL in use) with ERROR_ACCESS_DENIED, a folder with
// ERROR_ACCESS_DENIED.
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    SIM_ENTER("DeleteFileW", FALSE);
    Resolved r = ResolveForCaller(lpFileName);
    if (DWORD error = DeleteError(r)) {
        simk::SetError(error);
        return FALSE;
    }
    DeleteNode(r.Key);
    return TRUE;
}

// Removes an empty folder. A path that is not there fails with
// ERROR_FILE_NOT_FOUND, a file with ERROR_DIRECTORY, a folder that holds
// anything (a file deleted while open included) with ERROR_DIR_NOT_EMPTY,
// a drive root with ERROR_ACCESS_DENIED.
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
    SIM_ENTER("RemoveDirectoryW", FALSE);
    Resolved r = ResolveForCaller(lpPathName);
    DWORD error = r.Error;
    if (error == 0 && r.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && !r.Target->Folder)
        error = ERROR_DIRECTORY;
    if (error == 0 && r.Name.empty())
        error = ERROR_ACCESS_DENIED;
    if (error == 0 && !KeysAtAndBelow(nodes, r.Key, false).empty())
        error = ERROR_DIR_NOT_EMPTY;
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
// files and folders are renamed at once.
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
    Resolved src = ResolveForCaller(lpExistingFileName);
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
    Resolved dst = ResolveForCaller(lpNewFileName);
    error = dst.Error;
    if (error == 0 && dst.Name.empty())
        error = ERROR_ACCESS_DENIED;
    else if (error == 0 && dst.Target != nullptr && dst.Key != src.Key) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING))
            error = ERROR_ALREADY_EXISTS;
        else if (dst.Target->Folder || src.Target->Folder || ActiveLock(dst.Key) != nullptr || HasHandles(dst.Key))
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
// not checked against the descriptors. Succeeds with last error 0, or
// ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS found the file.
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
    tOpenReparsePoint = (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    Resolved r = ResolveForCaller(lpFileName);
    tOpenReparsePoint = false;
    DWORD error = r.Error;
    // A drive root opens only as a folder does, with backup semantics.
    if (error == 0 && r.Name.empty() &&
        (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || dwCreationDisposition != OPEN_EXISTING))
        error = ERROR_ACCESS_DENIED;
    bool existed = error == 0 && r.Target != nullptr;
    if (existed) {
        bool overwrite = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
        if (r.Target->DeletePending)
            error = ERROR_ACCESS_DENIED;
        else if (dwCreationDisposition == CREATE_NEW)
            error = ERROR_FILE_EXISTS;
        else if (r.Target->Folder && (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) || overwrite))
            error = ERROR_ACCESS_DENIED;
        else if (SharingConflict(r.Key, overwrite ? access | FILE_WRITE_DATA : access, dwShareMode))
            error = ERROR_SHARING_VIOLATION;
        else if (overwrite)
            r.Target->Content.clear();
    } else if (error == 0 && (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING)) {
        error = ERROR_FILE_NOT_FOUND;
    } else if (error == 0) {
        MakeNode(StoredParentPath(r), r.Name, false, given);
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

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    SIM_ENTER("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
    Resolved r = ResolveForCaller(lpFileName);
    DWORD error = r.Error;
    if (error == 0 && r.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && r.Target->DeletePending)
        error = ERROR_ACCESS_DENIED;
    if (error != 0) {
        simk::SetError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return r.Target->Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
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
// native process may call them too; they change nothing for it. On 32-bit
// Windows, whose kernel32 exports them all the same, they fail with
// ERROR_INVALID_FUNCTION.
BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID *OldValue) {
    SIM_ENTER("Wow64DisableWow64FsRedirection", FALSE);
    if (!simk::Is64BitWindows()) {
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
    if (!simk::Is64BitWindows()) {
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

bool Remove(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
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
    Resolved src = Resolve(from.c_str());
    Resolved dst = Resolve(to.c_str());
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
    for (const std::wstring &k : KeysAtAndBelow(nodes, oldKey, true)) {
        Node n = nodes[k];
        n.Path = newPath + n.Path.substr(oldPath.size());
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
    Resolved r = Resolve(path.c_str());
    if (r.Error != 0 || r.Target == nullptr)
        return false;
    Node *parent = r.ParentKey.empty() ? nullptr : Find(r.ParentKey);
    return parent != nullptr && (may(r.Target->Sddl, DELETE) || may(parent->Sddl, FILE_DELETE_CHILD));
}

namespace user {
namespace {
std::wstring OwnedByUser() { return L"O:" + std::wstring(kUserSid); }

// Where a new entry may go: its folder exists and the user may add to it.
DWORD CanCreate(const Resolved &r, const std::wstring &path) {
    if (r.Error != 0)
        return r.Error;
    if (r.Target != nullptr)
        return ERROR_ALREADY_EXISTS;
    if (r.Name.empty() || Find(r.ParentKey) == nullptr)
        return ERROR_PATH_NOT_FOUND;
    return UserCanWrite(path) ? 0 : ERROR_ACCESS_DENIED;
}
}  // namespace

DWORD WriteFile(const std::wstring &path, const std::string &content) {
    Resolved r = Resolve(path.c_str());
    if (r.Error == 0 && r.Target != nullptr) {
        if (r.Target->Folder || !UserCanWrite(path))
            return ERROR_ACCESS_DENIED;
        if (ActiveLock(r.Key) != nullptr || SharingConflict(r.Key, FILE_WRITE_DATA, kAllSharing))
            return ERROR_SHARING_VIOLATION;
        r.Target->Content = content;
        return 0;
    }
    if (DWORD error = CanCreate(r, path))
        return error;
    MakeNode(StoredParentPath(r), r.Name, false, OwnedByUser()).Content = content;
    return 0;
}

DWORD CreateFolder(const std::wstring &path) {
    Resolved r = Resolve(path.c_str());
    if (DWORD error = CanCreate(r, path))
        return error;
    MakeNode(StoredParentPath(r), r.Name, true, OwnedByUser());
    return 0;
}

DWORD Move(const std::wstring &from, const std::wstring &to) {
    Resolved src = Resolve(from.c_str());
    if (src.Error != 0 || src.Target == nullptr)
        return src.Error != 0 ? src.Error : ERROR_FILE_NOT_FOUND;
    if (!UserCanRename(from))
        return ERROR_ACCESS_DENIED;
    if (DWORD error = CanCreate(Resolve(to.c_str()), to))
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

DWORD MakeLink(const std::wstring &path, const std::wstring &target, bool folder) {
    if (!folder)
        return ERROR_PRIVILEGE_NOT_HELD;
    Resolved r = Resolve(path.c_str());
    if (DWORD error = CanCreate(r, path))
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
        Resolved src = Resolve(rename.From.c_str());
        if (src.Error != 0 || src.Target == nullptr || src.Name.empty())
            continue;
        if (rename.To.empty()) {
            if (!src.Target->Folder || KeysAtAndBelow(nodes, src.Key, false).empty())
                Remove(rename.From);
            continue;
        }
        Resolved dst = Resolve(rename.To.c_str());
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

int OpenFileHandles() { return (int)openFiles.size(); }

void LayOutInstallFolder(const std::wstring &folder) {
    std::wstring base = folder;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    auto put = [&](const std::wstring &rel) {
        WriteFile(base + rel, std::string(rel.begin(), rel.end()));
    };
    WriteFile(base + L"crvnv6.inf", sim::inf::PrinterInfText());
    put(L"unins000.exe");
    put(L"dat\\crvndrv6.dat");
    for (const wchar_t *arch : {L"i386", L"arm", L"amd64", L"arm64"})
        for (const wchar_t *file : {L"crvndrv6.dll", L"crvndrv6ui.dll", L"crvnmon.dll"})
            put(std::wstring(arch) + L"\\" + file);
    WriteFile(base + L"amd64\\crvnpnp.exe", sim::kProgramImage64);
}

}  // namespace files
}  // namespace sim
