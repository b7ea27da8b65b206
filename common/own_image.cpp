#include "common/own_image.h"

#include <windows.h>
#include <psapi.h>

#define OWN_PATH_CCH 260
#define NT_PATH_CCH 1024

HANDLE HoldOwnImage(void) {
    WCHAR path[OWN_PATH_CCH];
    WCHAR held[NT_PATH_CCH];
    WCHAR mapped[NT_PATH_CCH];
    DWORD length = GetModuleFileNameW(NULL, path, OWN_PATH_CCH);
    DWORD heldLength;
    DWORD mappedLength;
    HANDLE file;

    if (length == 0 || length >= OWN_PATH_CCH)
        return INVALID_HANDLE_VALUE;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    // Both names are the object manager's (\Device\...), as they are now.
    heldLength = GetFinalPathNameByHandleW(file, held, NT_PATH_CCH, VOLUME_NAME_NT);
    mappedLength = K32GetMappedFileNameW(GetCurrentProcess(), (LPVOID)GetModuleHandleW(NULL), mapped, NT_PATH_CCH);
    if (heldLength == 0 || heldLength >= NT_PATH_CCH || mappedLength == 0 || mappedLength >= NT_PATH_CCH - 1 ||
        lstrcmpiW(held, mapped) != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}
