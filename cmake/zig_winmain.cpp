// The entry point of the ARM64 build (cmake/zig-arm64.cmake), compiled by
// that build only. Zig 0.11 links MinGW-w64's runtime without its Unicode
// start-up, which would call wWinMain: this WinMain calls it as that start-up
// does, with the command line after the program's name (which ends at the
// first blank outside quotes) and the blanks after it.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ansiCommandLine, int showCommand) {
    LPWSTR line = GetCommandLineW();
    BOOL quoted = FALSE;

    (void)ansiCommandLine;
    for (; *line > L' ' || (*line != 0 && quoted); line++)
        if (*line == L'"')
            quoted = !quoted;
    while (*line != 0 && *line <= L' ')
        line++;
    return wWinMain(instance, previous, line, showCommand);
}
