/* A stand-in for a DLL that an attacker plants beside a program: loaded, it
 * appends a line to C:\planted-dll.log naming itself and the program that
 * loaded it. It exports nothing, so a program that imports from it fails once
 * it has loaded it; the log line is written all the same. Used by the
 * end-to-end suite under the names of the system DLLs the installer uses. */
#include <windows.h>

static void AppendMarker(HINSTANCE self) {
    WCHAR dll[MAX_PATH];
    WCHAR program[MAX_PATH];
    char line[3 * MAX_PATH + 8];
    int length;
    DWORD written;
    HANDLE file;

    if (GetModuleFileNameW(self, dll, MAX_PATH) == 0 || GetModuleFileNameW(NULL, program, MAX_PATH) == 0)
        return;
    length = WideCharToMultiByte(CP_UTF8, 0, dll, -1, line, MAX_PATH * 3 / 2, NULL, NULL);
    if (length <= 0)
        return;
    line[length - 1] = ' ';
    length += WideCharToMultiByte(CP_UTF8, 0, program, -1, line + length, MAX_PATH * 3 / 2, NULL, NULL) - 1;
    line[length++] = '\r';
    line[length++] = '\n';
    file = CreateFileW(L"C:\\planted-dll.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteFile(file, line, (DWORD)length, &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        AppendMarker(instance);
    return TRUE;
}
