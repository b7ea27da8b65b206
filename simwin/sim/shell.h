// The test-facing side of the simulated shell: change notifications, file
// operations with the shell's confirmation (answered by the test) and the
// Recycle Bin.
//
// SHFileOperationW deletes (FO_DELETE) only: with FOF_ALLOWUNDO each item
// moves to the Recycle Bin of its drive, "X:\$Recycle.Bin\$R<n>", inside
// the simulated file system; without it the item is removed. Unless
// FOF_NOCONFIRMATION is given the shell first asks, once per call, with
// the texts of Windows' "Delete Folder"/"Delete File" confirmation; an
// answer of no aborts everything (ERROR_CANCELLED, fAnyOperationsAborted).
// A drive root is refused (DE_ROOTDIR), a missing item gives
// ERROR_FILE_NOT_FOUND, an item holding a file in use ERROR_SHARING_VIOLATION,
// and nothing is changed in any of these cases.
#pragma once

#include <windef.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {
namespace shell {

// The shell's error codes for bad paths.
constexpr int kDeRootDir = 0x74;
constexpr int kDeInvalidFiles = 0x7C;

// Every SHChangeNotify call.
struct ChangeNotification {
    LONG EventId = 0;
    UINT Flags = 0;
    std::wstring Item1;  // SHCNF_PATHW items as text; empty otherwise
    std::wstring Item2;
    uint64_t Time = 0;
};
const std::vector<ChangeNotification> &ChangeNotifications();

// Every SHFileOperationW call.
struct FileOperation {
    HWND Window = nullptr;
    UINT Function = 0;
    std::vector<std::wstring> From;  // pFrom's items, read up to the double terminator
    WORD Flags = 0;
    int Result = 0;
    bool Aborted = false;  // fAnyOperationsAborted as returned
    uint64_t Time = 0;
};
const std::vector<FileOperation> &FileOperations();

// The shell's confirmations; the handler answers (true: yes). Without a
// handler every confirmation is answered yes.
struct Confirmation {
    HWND Owner = nullptr;
    std::wstring Caption;
    std::wstring Text;
    std::vector<std::wstring> Items;  // canonical paths it asks about
    bool Answer = true;
    uint64_t Time = 0;
};
const std::vector<Confirmation> &Confirmations();
void OnConfirmation(std::function<bool(const Confirmation &)> handler);

// What the Recycle Bins hold, in order of arrival.
struct RecycledItem {
    std::wstring OriginalPath;  // canonical
    std::wstring BinPath;       // where it is now
    uint64_t Time = 0;
};
const std::vector<RecycledItem> &RecycleBin();

}  // namespace shell
}  // namespace sim
