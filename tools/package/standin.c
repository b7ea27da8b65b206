/* A stand-in for one of the printer maker's driver DLLs. The real driver,
 * configuration and language-monitor DLLs are supplied by the printer maker
 * and are not part of the installer; the package that the build lays out
 * carries this small, real but empty DLL under their names so that every
 * file the installer copies, registers and removes exists. It exports
 * nothing and does nothing. Its version resource says what it is. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
