// infcheck: reads a driver package INF through the setup API, the way the
// system would, and prints what it understood:
//   version class "Printer" guid "{...}" provider "Corvane" driverver "07/16/2025,2025.7.16.1"
//   manufacturer "Corvane" section "Corvane" decorations "NTx86,NTamd64,..."
//   model SECTION "DESCRIPTION" install "SECTION" hardware-id "ID"
//   install SECTION driver "FILE" config "FILE" data "FILE"
//
//   infcheck.exe PATH.inf
// Exit code 0, or 1 when the INF cannot be opened or lacks a section.
#include <windows.h>
#include <setupapi.h>

#include "tool_output.h"

static HINF Inf;

static void Field(INFCONTEXT *line, DWORD index, WCHAR *out, DWORD cch)
{
    out[0] = 0;
    if (!SetupGetStringFieldW(line, index, out, cch, NULL))
        out[0] = 0;
}

// The value of KEY in SECTION (after string substitution), or "".
static void Value(const WCHAR *section, const WCHAR *key, WCHAR *out, DWORD cch)
{
    INFCONTEXT line;
    out[0] = 0;
    if (SetupFindFirstLineW(Inf, section, key, &line))
        Field(&line, 1, out, cch);
}

static int ListModels(const WCHAR *section)
{
    INFCONTEXT line;
    if (!SetupFindFirstLineW(Inf, section, NULL, &line)) {
        Err(L"infcheck: no section [%ls]\n", section);
        return 1;
    }
    do {
        WCHAR description[256], install[256], id[256];
        Field(&line, 0, description, ARRAYSIZE(description));
        Field(&line, 1, install, ARRAYSIZE(install));
        Field(&line, 2, id, ARRAYSIZE(id));
        Out(L"model %ls \"%ls\" install \"%ls\" hardware-id \"%ls\"\n", section, description, install, id);
    } while (SetupFindNextLine(&line, &line));
    return 0;
}

int wmain(int argc, WCHAR **argv)
{
    if (argc != 2) {
        Err(L"usage: infcheck.exe PATH.inf\n");
        return 2;
    }
    UINT errorLine = 0;
    Inf = SetupOpenInfFileW(argv[1], NULL, INF_STYLE_WIN4, &errorLine);
    if (Inf == INVALID_HANDLE_VALUE) {
        Err(L"infcheck: cannot open %ls (error %lu, line %u)\n", argv[1], GetLastError(), errorLine);
        return 1;
    }
    WCHAR cls[128], guid[128], provider[128], driverVer[128];
    Value(L"Version", L"Class", cls, ARRAYSIZE(cls));
    Value(L"Version", L"ClassGUID", guid, ARRAYSIZE(guid));
    Value(L"Version", L"Provider", provider, ARRAYSIZE(provider));
    // DriverVer has two fields, date and version.
    INFCONTEXT line;
    driverVer[0] = 0;
    if (SetupFindFirstLineW(Inf, L"Version", L"DriverVer", &line)) {
        WCHAR date[64], version[64];
        Field(&line, 1, date, ARRAYSIZE(date));
        Field(&line, 2, version, ARRAYSIZE(version));
        StringCchPrintfW(driverVer, ARRAYSIZE(driverVer), L"%ls,%ls", date, version);
    }
    Out(L"version class \"%ls\" guid \"%ls\" provider \"%ls\" driverver \"%ls\"\n", cls, guid, provider, driverVer);

    int rc = 0;
    if (!SetupFindFirstLineW(Inf, L"Manufacturer", NULL, &line)) {
        Err(L"infcheck: no [Manufacturer] section\n");
        rc = 1;
    } else {
        do {
            WCHAR name[128], section[128], decorations[256] = L"";
            Field(&line, 0, name, ARRAYSIZE(name));
            Field(&line, 1, section, ARRAYSIZE(section));
            DWORD fields = SetupGetFieldCount(&line);
            for (DWORD i = 2; i <= fields; i++) {
                WCHAR decoration[64];
                Field(&line, i, decoration, ARRAYSIZE(decoration));
                if (i > 2)
                    StringCchCatW(decorations, ARRAYSIZE(decorations), L",");
                StringCchCatW(decorations, ARRAYSIZE(decorations), decoration);
                WCHAR models[200];
                StringCchPrintfW(models, ARRAYSIZE(models), L"%ls.%ls", section, decoration);
                rc |= ListModels(models);
            }
            Out(L"manufacturer \"%ls\" section \"%ls\" decorations \"%ls\"\n", name, section, decorations);
        } while (SetupFindNextLine(&line, &line));
    }

    WCHAR driver[128], config[128], data[128];
    Value(L"CRVNV6", L"DriverFile", driver, ARRAYSIZE(driver));
    Value(L"CRVNV6", L"ConfigFile", config, ARRAYSIZE(config));
    Value(L"CRVNV6", L"DataFile", data, ARRAYSIZE(data));
    Out(L"install CRVNV6 driver \"%ls\" config \"%ls\" data \"%ls\"\n", driver, config, data);
    SetupCloseInfFile(Inf);
    return rc;
}
