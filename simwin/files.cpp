// The simulated file system: drives, folders and files in memory, and the
// kernel's file calls that the product makes.
#include <windows.h>
#include <winsvc.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/services.h"

// Error codes of these calls that the product itself never names.
#ifndef ERROR_BUFFER_OVERFLOW
#define ERROR_BUFFER_OVERFLOW 111L
#endif
#ifndef ERROR_DIRECTORY
#define ERROR_DIRECTORY 267L
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784L
#endif

// CreateFileW's access rights and creation dispositions beyond the product's.
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define GENERIC_WRITE 0x40000000
#define GENERIC_READ 0x80000000
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define TRUNCATE_EXISTING 5

namespace sim {
namespace files {
const wchar_t *const kSystemDirectory = L"C:\\Windows\\system32";
const wchar_t *const kTempDirectory = L"C:\\Users\\Setup\\AppData\\Local\\Temp\\";
}  // namespace files
}  // namespace sim

namespace {

using sim::files::LockKind;

struct Node {
    std::wstring Path;  // full path in stored case, e.g. "C:\Windows\system32"
    bool Folder = false;
    std::string Content;
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

// A handle from CreateFileW. Access holds FILE_READ_DATA, FILE_WRITE_DATA and
// FILE_APPEND_DATA, the generic rights mapped onto them.
struct OpenFile {
    std::wstring Key;
    DWORD Access = 0;
    DWORD Share = 0;
    size_t Position = 0;
    DWORD Pid = 0;
};
std::map<HANDLE, OpenFile> openFiles;

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

Resolved Resolve(const wchar_t *path) {
    Resolved r;
    if (path == nullptr) {
        r.Error = ERROR_INVALID_PARAMETER;
        return r;
    }
    ParsedPath p = Parse(path);
    if (!p.Ok) {
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
        // Every folder on the way must exist and be a folder.
        for (size_t i = 0; i < p.Names.size(); ++i) {
            Node *n = Find(Upper(Join(p, i)));
            if (n == nullptr || !n->Folder) {
                r.Error = ERROR_PATH_NOT_FOUND;
                return r;
            }
        }
    } else if (Find(r.Key) == nullptr) {
        r.Error = ERROR_PATH_NOT_FOUND;  // no such drive
        return r;
    }
    r.Target = Find(r.Key);
    return r;
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

Node &MakeNode(const std::wstring &parentPath, const std::wstring &name, bool folder) {
    std::wstring path = parentPath + L"\\" + name;
    Node &n = nodes[Upper(path)];
    n.Path = path;
    n.Folder = folder;
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

void ResetFiles() {
    nodes.clear();
    locks.clear();
    pendingRenames.clear();
    openFiles.clear();
    sim::files::CreateFolder(sim::files::kSystemDirectory);
    sim::files::WriteFile(std::wstring(sim::files::kSystemDirectory) + L"\\rundll32.exe", "system program");
    for (const wchar_t *env : {L"W32X86", L"x64", L"ARM64", L"ARM"})
        sim::files::CreateFolder(std::wstring(sim::files::kSystemDirectory) + L"\\spool\\drivers\\" + env);
    sim::files::CreateFolder(sim::files::kTempDirectory);
    sim::files::CreateFolder(L"C:\\Program Files");
}

simk::Registrar registrar([] {
    simk::OnReset(ResetFiles);
    // A process's file handles close when it ends.
    simk::OnProcessExit([](DWORD pid) {
        for (auto it = openFiles.begin(); it != openFiles.end();) {
            if (it->second.Pid == pid)
                it = openFiles.erase(it);
            else
                ++it;
        }
    });
    simk::OnCloseHandle([](HANDLE h) { return openFiles.erase(h) != 0; });
    ResetFiles();
});

const DWORD kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

// Whether an open with this access and sharing may join the handles already
// open on the key and the lock held on it by another program.
bool SharingAllows(const std::wstring &key, DWORD access, DWORD share) {
    if ((access & kWriteAccess) && ActiveLock(key) != nullptr)
        return false;
    for (auto &open : openFiles) {
        const OpenFile &o = open.second;
        if (o.Key != key)
            continue;
        if (((access & FILE_READ_DATA) && !(o.Share & FILE_SHARE_READ)) ||
            ((access & kWriteAccess) && !(o.Share & FILE_SHARE_WRITE)) ||
            ((o.Access & FILE_READ_DATA) && !(share & FILE_SHARE_READ)) ||
            ((o.Access & kWriteAccess) && !(share & FILE_SHARE_WRITE)))
            return false;
    }
    return true;
}

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

// Files only (no devices, pipes or folders), without overlapped I/O or a
// template. The sharing of every handle open on the file and of a lock held
// by another program is checked as Windows does; OPEN_ALWAYS and
// CREATE_ALWAYS set ERROR_ALREADY_EXISTS when the file existed, 0 otherwise.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    SIM_ENTER("CreateFileW", INVALID_HANDLE_VALUE);
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    DWORD access = dwDesiredAccess & (FILE_READ_DATA | kWriteAccess);
    if (dwDesiredAccess & GENERIC_READ)
        access |= FILE_READ_DATA;
    if (dwDesiredAccess & GENERIC_WRITE)
        access |= kWriteAccess;
    Resolved r = Resolve(lpFileName);
    DWORD error = r.Error;
    if (error == 0 && (hTemplateFile != NULL || dwCreationDisposition < CREATE_NEW ||
                       dwCreationDisposition > TRUNCATE_EXISTING))
        error = ERROR_INVALID_PARAMETER;
    else if (error == 0 && (r.Name.empty() || (r.Target != nullptr && r.Target->Folder)))
        error = ERROR_ACCESS_DENIED;
    else if (error == 0 && r.Target == nullptr &&
             (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING))
        error = ERROR_FILE_NOT_FOUND;
    else if (error == 0 && r.Target != nullptr && dwCreationDisposition == CREATE_NEW)
        error = ERROR_FILE_EXISTS;
    else if (error == 0 && r.Target != nullptr && !SharingAllows(r.Key, access, dwShareMode))
        error = ERROR_SHARING_VIOLATION;
    if (error != 0) {
        simk::SetError(error);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = r.Target != nullptr;
    if (!existed)
        r.Target = &MakeNode(StoredParentPath(r), r.Name, false);
    else if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)
        r.Target->Content.clear();
    OpenFile open;
    open.Key = r.Key;
    open.Access = access;
    open.Share = dwShareMode;
    open.Pid = simk::CurrentProcessId();
    HANDLE h = simk::NewHandleValue();
    openFiles[h] = open;
    bool reportsExisting = dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS;
    simk::SetError(existed && reportsExisting ? ERROR_ALREADY_EXISTS : NO_ERROR);
    return h;
}

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
    else if (!(it->second.Access & kWriteAccess))
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

// Succeeds with last error 0. Refuses a target locked by another program
// (ERROR_SHARING_VIOLATION), an existing target with bFailIfExists
// (ERROR_FILE_EXISTS), a folder on either side (ERROR_ACCESS_DENIED) and a
// copy of a file onto itself (ERROR_SHARING_VIOLATION).
BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    SIM_ENTER("CopyFileW", FALSE);
    Resolved src = Resolve(lpExistingFileName);
    if (src.Error == 0 && src.Target == nullptr)
        src.Error = ERROR_FILE_NOT_FOUND;
    if (src.Error == 0 && src.Target->Folder)
        src.Error = ERROR_ACCESS_DENIED;
    if (src.Error != 0) {
        simk::SetError(src.Error);
        return FALSE;
    }
    Resolved dst = Resolve(lpNewFileName);
    DWORD error = dst.Error;
    if (error == 0 && dst.Name.empty())
        error = ERROR_ACCESS_DENIED;  // a drive root
    else if (error == 0 && dst.Target != nullptr) {
        if (bFailIfExists)
            error = ERROR_FILE_EXISTS;
        else if (dst.Target->Folder)
            error = ERROR_ACCESS_DENIED;
        else if (dst.Key == src.Key || ActiveLock(dst.Key) != nullptr)
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
    Resolved r = Resolve(lpFileName);
    DWORD error = r.Error;
    if (error == 0 && r.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && r.Target->Folder)
        error = ERROR_ACCESS_DENIED;
    if (error == 0) {
        if (const FileLock *lock = ActiveLock(r.Key))
            error = lock->Kind == LockKind::Image ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
    }
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
    Resolved src = Resolve(lpExistingFileName);
    DWORD error = src.Error;
    if (error == 0 && src.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error == 0 && ActiveLock(src.Key) != nullptr)
        error = ERROR_SHARING_VIOLATION;
    if (error != 0) {
        simk::SetError(error);
        return FALSE;
    }
    if (lpNewFileName == NULL) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Resolved dst = Resolve(lpNewFileName);
    error = dst.Error;
    if (error == 0 && dst.Name.empty())
        error = ERROR_ACCESS_DENIED;
    else if (error == 0 && dst.Target != nullptr && dst.Key != src.Key) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING))
            error = ERROR_ALREADY_EXISTS;
        else if (dst.Target->Folder || src.Target->Folder || ActiveLock(dst.Key) != nullptr)
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

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    SIM_ENTER("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
    Resolved r = Resolve(lpFileName);
    DWORD error = r.Error;
    if (error == 0 && r.Target == nullptr)
        error = ERROR_FILE_NOT_FOUND;
    if (error != 0) {
        simk::SetError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return r.Target->Folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    SIM_ENTER("GetSystemDirectoryW", 0);
    return CopyOut(sim::files::kSystemDirectory, lpBuffer, uSize);
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
    Resolved folder = Resolve(lpPathName);
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
        Resolved r = Resolve(name.c_str());
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

bool IsLocked(const std::wstring &path) { return ActiveLock(Upper(Canonical(path))) != nullptr; }

const std::vector<PendingRename> &PendingRenames() { return pendingRenames; }

int OpenFileHandles() { return (int)openFiles.size(); }

void LayOutInstallFolder(const std::wstring &folder) {
    std::wstring base = folder;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    auto put = [&](const std::wstring &rel) {
        WriteFile(base + rel, std::string(rel.begin(), rel.end()));
    };
    put(L"crvnv6.inf");
    put(L"unins000.exe");
    put(L"dat\\crvndrv6.dat");
    for (const wchar_t *arch : {L"i386", L"arm", L"amd64", L"arm64"})
        for (const wchar_t *file : {L"crvndrv6.dll", L"crvndrv6ui.dll", L"crvnmon.dll"})
            put(std::wstring(arch) + L"\\" + file);
}

}  // namespace files
}  // namespace sim
