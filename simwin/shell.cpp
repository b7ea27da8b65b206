// The simulated shell: change notifications, and deleting with
// SHFileOperationW, to the Recycle Bin of the simulated file system when undo
// is allowed.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim/files.h"
#include "sim/shell.h"

#ifndef ERROR_CANCELLED
#define ERROR_CANCELLED 1223L
#endif

namespace {

struct Shell {
    std::vector<sim::shell::ChangeNotification> Notifications;
    std::vector<sim::shell::FileOperation> Operations;
    std::vector<sim::shell::Confirmation> Confirmations;
    std::function<bool(const sim::shell::Confirmation &)> ConfirmationHandler;
    std::vector<sim::shell::RecycledItem> Bin;
    unsigned NextBinNumber = 0;
};

Shell &S() {
    static Shell shell;
    return shell;
}

simk::Registrar registrar([] { simk::OnReset([] { S() = Shell(); }); });

std::wstring PathItem(UINT flags, LPCVOID item) {
    if ((flags & SHCNF_TYPE) != SHCNF_PATHW || !item)
        return std::wstring();
    return static_cast<const WCHAR *>(item);
}

std::wstring NameOf(const std::wstring &path) { return path.substr(path.find_last_of(L'\\') + 1); }

bool IsDriveRoot(const std::wstring &canonical) { return canonical.size() <= 3; }

bool HasWildcard(const std::wstring &path) { return path.find_first_of(L"*?") != std::wstring::npos; }

// Anything at or below the path that another program holds open.
bool InUse(const std::wstring &canonical) {
    if (sim::files::IsLocked(canonical))
        return true;
    for (auto &p : sim::files::ListTree(canonical))
        if (sim::files::IsLocked(p))
            return true;
    return false;
}

// The shell's question before a deletion, as Windows words it.
sim::shell::Confirmation Ask(HWND owner, const std::vector<std::wstring> &items, bool recycle) {
    sim::shell::Confirmation c;
    c.Owner = owner;
    c.Items = items;
    c.Time = simk::Now();
    const wchar_t *where = recycle ? L"move %s to the Recycle Bin?" : L"permanently delete %s?";
    std::wstring what;
    if (items.size() == 1) {
        bool folder = sim::files::IsFolder(items[0]);
        c.Caption = folder ? L"Delete Folder" : L"Delete File";
        what = (folder ? L"this folder" : L"this file") + std::wstring(L"\n") + NameOf(items[0]) + L"\n";
    } else {
        c.Caption = L"Delete Multiple Items";
        what = L"these " + std::to_wstring(items.size()) + L" items";
    }
    std::wstring text = L"Are you sure you want to ";
    std::wstring tail = where;
    size_t at = tail.find(L"%s");
    text += tail.substr(0, at) + what + tail.substr(at + 2);
    c.Text = text;
    auto handler = S().ConfirmationHandler;
    c.Answer = handler ? handler(c) : true;
    S().Confirmations.push_back(c);
    return c;
}

// Moves an item to the Recycle Bin of its drive.
bool Recycle(const std::wstring &canonical) {
    std::wstring bin = canonical.substr(0, 2) + L"\\$Recycle.Bin";
    sim::files::CreateFolder(bin);
    wchar_t name[16];
    swprintf(name, 16, L"$R%06u", ++S().NextBinNumber);
    std::wstring target = bin + L"\\" + name;
    if (!sim::files::Move(canonical, target))
        return false;
    S().Bin.push_back({canonical, target, simk::Now()});
    return true;
}

int Delete(LPSHFILEOPSTRUCTW op, const std::vector<std::wstring> &from) {
    std::vector<std::wstring> items;
    for (auto &raw : from) {
        if (HasWildcard(raw))
            return sim::shell::kDeInvalidFiles;  // wildcards are not modelled
        std::wstring canonical = sim::files::Canonical(raw);
        if (canonical.empty())
            return sim::shell::kDeInvalidFiles;
        if (IsDriveRoot(canonical))
            return sim::shell::kDeRootDir;
        if (!sim::files::Exists(canonical))
            return ERROR_FILE_NOT_FOUND;
        items.push_back(canonical);
    }
    if (items.empty())
        return 0;
    bool recycle = (op->fFlags & FOF_ALLOWUNDO) != 0;
    if (!(op->fFlags & FOF_NOCONFIRMATION) && !Ask(op->hwnd, items, recycle).Answer) {
        op->fAnyOperationsAborted = TRUE;
        return ERROR_CANCELLED;
    }
    for (auto &item : items)
        if (InUse(item))
            return ERROR_SHARING_VIOLATION;
    for (auto &item : items) {
        if (recycle) {
            if (!Recycle(item))
                return ERROR_ACCESS_DENIED;
        } else {
            sim::files::Remove(item);
        }
    }
    return 0;
}

}  // namespace

namespace sim {
namespace shell {

const std::vector<ChangeNotification> &ChangeNotifications() { return S().Notifications; }
const std::vector<FileOperation> &FileOperations() { return S().Operations; }
const std::vector<Confirmation> &Confirmations() { return S().Confirmations; }
void OnConfirmation(std::function<bool(const Confirmation &)> handler) { S().ConfirmationHandler = std::move(handler); }
const std::vector<RecycledItem> &RecycleBin() { return S().Bin; }

}  // namespace shell
}  // namespace sim

void WINAPI SHChangeNotify(LONG wEventId, UINT uFlags, LPCVOID dwItem1, LPCVOID dwItem2) {
    simk::Enter("SHChangeNotify");
    sim::shell::ChangeNotification n;
    n.EventId = wEventId;
    n.Flags = uFlags;
    n.Item1 = PathItem(uFlags, dwItem1);
    n.Item2 = PathItem(uFlags, dwItem2);
    n.Time = simk::Now();
    S().Notifications.push_back(n);
}

int WINAPI SHFileOperationW(LPSHFILEOPSTRUCTW lpFileOp) {
    if (DWORD e = simk::Enter("SHFileOperationW"))
        return static_cast<int>(e);
    if (!lpFileOp)
        return ERROR_INVALID_PARAMETER;
    sim::shell::FileOperation record;
    record.Window = lpFileOp->hwnd;
    record.Function = lpFileOp->wFunc;
    record.Flags = lpFileOp->fFlags;
    record.Time = simk::Now();
    lpFileOp->fAnyOperationsAborted = FALSE;
    // pFrom is a list of strings ended by an empty one: read it as the shell
    // does, up to the double terminator.
    if (lpFileOp->pFrom)
        for (const WCHAR *p = lpFileOp->pFrom; *p; p += wcslen(p) + 1)
            record.From.push_back(p);
    int result;
    if (!lpFileOp->pFrom)
        result = ERROR_INVALID_PARAMETER;
    else if (lpFileOp->wFunc != FO_DELETE)
        result = ERROR_CALL_NOT_IMPLEMENTED;  // only deletion is modelled
    else
        result = Delete(lpFileOp, record.From);
    record.Result = result;
    record.Aborted = lpFileOp->fAnyOperationsAborted != FALSE;
    S().Operations.push_back(record);
    return result;
}
