// The test-facing side of the simulated loader: the DLLs each simulated
// process loads, from where and how.
//
// Each process has a module list and its own DLL search settings
// (SetDefaultDllDirectories, SetDllDirectoryW, AddDllDirectory). A DLL is
// found where a file of its name is: a test plants one with
// sim::files::WriteFile. The system directory of a reset machine holds the
// system's DLLs (SystemDlls()).
//
// A plain name is looked for as Windows does: a loaded module of that name is
// used again; a known DLL always comes from the system directory; otherwise,
// without LOAD_LIBRARY_SEARCH_* flags or SetDefaultDllDirectories, the safe
// search order: the program's folder, the SetDllDirectoryW folder (when one
// is set), the system directory, the 16-bit system folder, the Windows folder,
// then the current folder (C:\, unless SetDllDirectoryW was called). With those
// flags: the program's folder, the user folders (AddDllDirectory and
// SetDllDirectoryW), the system directory, each only when asked for. PATH is
// not searched. A path loads that file. Windows 7 without KB2533623
// (sim::WindowsVersion::Windows7) knows no LOAD_LIBRARY_SEARCH_* flags.
//
// Every process the simulation runs (StartProgram, RunProgram, RunInProcess)
// loads the program's static imports before the program's code starts. The
// DLLs the program loads at run time (RuntimeImports) it must load itself and
// reach through GetProcAddress: a process that runs the program
// (StartProgram) and calls one of their functions that it has not looked up
// in that process ends as crashed with STATUS_ACCESS_VIOLATION (0xC0000005),
// as a call through an empty pointer would. A test may also model delay
// loading (SetImports): each delay-loaded DLL is then loaded, as the linker's
// helper does (LoadLibraryExA(name, NULL, 0), logged as a "LoadLibraryExA"
// call), at the first call of one of its functions. A static import or a
// delay-loaded DLL that cannot be found ends the process as crashed
// (sim::Process::Crashed): STATUS_DLL_NOT_FOUND (0xC0000135) for a static
// import, the helper's exception 0xC06D007E for a delay-loaded one. Direct
// calls from a test (the test process) load nothing by themselves.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace loader {

enum class How {
    StaticImport,  // mapped at process start
    DelayLoad,     // by the delay-load helper at the first call
    LoadLibrary,   // a LoadLibraryW / LoadLibraryExW call (Flags are its flags)
};

// One request to load a DLL.
struct Load {
    DWORD Process = 0;
    std::wstring Name;  // as asked for
    std::wstring File;  // the file loaded (canonical path); empty when it failed
    How Way = How::LoadLibrary;
    DWORD Flags = 0;
    uint64_t Time = 0;
    DWORD Error = 0;           // the failure's error code
    bool AlreadyLoaded = false;  // a module the process had loaded already
};

// Every load, in order.
const std::vector<Load> &Loads();

// A process's DLL search settings as its calls left them (also after it
// ended): SetDefaultDllDirectories' flags (0: never set), whether
// SetDllDirectoryW was given a string (an empty one too: that takes the
// current folder out of the search) and which, the AddDllDirectory folders.
struct SearchState {
    DWORD DefaultDirectories = 0;
    bool DllDirectorySet = false;
    std::wstring DllDirectory;
    std::vector<std::wstring> UserDirectories;
};
SearchState Search(DWORD process);
// The file from which a process has a module of this name (a file name such
// as "newdev.dll") loaded now; empty when it has none.
std::wstring LoadedFrom(DWORD process, const std::wstring &name);

// The program's imports. By default the static imports the build links with
// (PRODUCT_STATIC_DLLS in CMakeLists.txt) and no delay-loaded DLL; a test may
// set others for this machine, to model another way of linking.
const std::vector<std::wstring> &StaticImports();
const std::vector<std::wstring> &DelayImports();
void SetImports(const std::vector<std::wstring> &staticImports, const std::vector<std::wstring> &delayImports);
// The DLLs the program loads and looks up itself (PRODUCT_RUNTIME_DLLS).
const std::vector<std::wstring> &RuntimeImports();
// This machine's `dll` does not export `function` (an older release's): its
// GetProcAddress fails with ERROR_PROC_NOT_FOUND.
void RemoveExport(const std::wstring &dll, const std::string &function);

// The DLL that exports an API the simulation implements ("OpenPrinterW" ->
// "winspool.drv"); empty for an API it does not place.
std::wstring DllOf(const std::string &api);
// The function names that GetProcAddress was asked for (by any process,
// failed calls included), in the order of the calls.
const std::vector<std::string> &Lookups();
// APIs that simulated processes called and the table of DllOf does not place
// (each name once). A delay-loaded DLL's function missing there would be
// called without its DLL being loaded.
std::vector<std::string> UnplacedApis();

// The KnownDLLs list of the simulated Windows, and the DLLs a reset machine's
// system directory holds (the known DLLs and the others the program uses).
bool IsKnownDll(const std::wstring &name);
const std::vector<std::wstring> &SystemDlls();

}  // namespace loader
}  // namespace sim
