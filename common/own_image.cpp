#include "common/own_image.h"

#include <windows.h>
#include <psapi.h>
#include <strsafe.h>
#include <wchar.h>

#define OWN_PATH_CCH 260
#define NT_PATH_CCH 1024

// Opens, for its identity only, the file that the object manager names
// (\Device\HarddiskVolumeN\... on Windows, \??\C:\... under Wine), by that
// name itself: a link or junction of that name is opened, not followed.
static HANDLE OpenByObjectName(const WCHAR *name) {
    WCHAR path[NT_PATH_CCH + 16];
    HRESULT formatted;

    if (wcsncmp(name, L"\\??\\", 4) == 0)
        formatted = StringCchPrintfW(path, NT_PATH_CCH + 16, L"\\\\?\\%ws", name + 4);
    else
        formatted = StringCchPrintfW(path, NT_PATH_CCH + 16, L"\\\\?\\GLOBALROOT%ws", name);
    if (FAILED(formatted))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// The same file, which has one name: the same volume and the same file
// index, the held file with no second name (a hard link made to it while it
// was not held yet could stand for it), and the image's name no link.
static BOOL SameFile(HANDLE held, HANDLE image) {
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;

    return GetFileInformationByHandle(held, &first) && GetFileInformationByHandle(image, &second) &&
           first.nNumberOfLinks == 1 && (second.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

HANDLE HoldOwnImage(void) {
    WCHAR path[OWN_PATH_CCH];
    WCHAR mapped[NT_PATH_CCH];
    DWORD length = GetModuleFileNameW(NULL, path, OWN_PATH_CCH);
    HANDLE file;
    HANDLE image = INVALID_HANDLE_VALUE;
    BOOL same = FALSE;

    if (length == 0 || length >= OWN_PATH_CCH)
        return INVALID_HANDLE_VALUE;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    // The running image's file, by the name it has now, whatever it was renamed to.
    length = K32GetMappedFileNameW(GetCurrentProcess(), (LPVOID)GetModuleHandleW(NULL), mapped, NT_PATH_CCH);
    if (length != 0 && length < NT_PATH_CCH - 1)
        image = OpenByObjectName(mapped);
    if (image != INVALID_HANDLE_VALUE) {
        same = SameFile(file, image);
        CloseHandle(image);
    }
    if (!same) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}
