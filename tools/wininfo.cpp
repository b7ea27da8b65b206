// wininfo: reads and drives the installer's windows from outside the
// program, for scripted runs under Wine (or on Windows).
//
//   wininfo.exe list [WHICH]             every visible dialog with its controls
//   wininfo.exe wait WHICH [MS]          waits until such a window is visible
//   wininfo.exe waitgone WHICH [MS]      waits until no such window is visible
//   wininfo.exe waittext WHICH ID TEXT [MS]   waits until control ID's text contains TEXT
//   wininfo.exe waitvisible WHICH ID [MS]     waits until control ID is visible
//   wininfo.exe waitchange WHICH ID [MS [FROM]]
//                                             waits until control ID's text changes (from FROM,
//                                             when given: a change before the wait began counts)
//   wininfo.exe click WHICH ID           presses button ID (refused when disabled or hidden)
//   wininfo.exe close WHICH              closes the window as its title-bar button would
//
// WHICH picks a dialog by its controls, whatever the interface language:
//   install     a dialog with the install window's picture (id 1007)
//   uninstall   a dialog with the uninstall window's tree (id 1001)
//   message     a message box (a dialog with the static id 0xFFFF)
//   any         any dialog
// A list prints, for each dialog and control, one line:
//   dialog HWND pid N image "PROGRAM PATH" title "TEXT"
//   control ID class "CLASS" visible 1 enabled 1 text "TEXT" [pos N]
//   tree LEVEL "TEXT"      (the items of a tree view, depth first)
// Exit code 0 on success, 1 when the window or control was not found in time.
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>

#include "tool_output.h"

#define MESSAGE_TEXT_ID 0xFFFF

typedef struct Search {
    const WCHAR *Which;
    HWND Found[32];
    int Count;
} Search;

static BOOL IsDialog(HWND window)
{
    WCHAR cls[64];
    return GetClassNameW(window, cls, ARRAYSIZE(cls)) > 0 && lstrcmpW(cls, L"#32770") == 0;
}

static BOOL Matches(HWND window, const WCHAR *which)
{
    if (!IsWindowVisible(window) || !IsDialog(window))
        return FALSE;
    if (lstrcmpW(which, L"any") == 0)
        return TRUE;
    if (lstrcmpW(which, L"install") == 0)
        return GetDlgItem(window, 1007) != NULL && GetDlgItem(window, 1005) != NULL;
    if (lstrcmpW(which, L"uninstall") == 0)
        return GetDlgItem(window, 1001) != NULL && GetDlgItem(window, 1002) != NULL;
    if (lstrcmpW(which, L"message") == 0)
        return GetDlgItem(window, MESSAGE_TEXT_ID) != NULL;
    return FALSE;
}

static BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    Search *s = (Search *)param;
    if (s->Count < (int)ARRAYSIZE(s->Found) && Matches(window, s->Which))
        s->Found[s->Count++] = window;
    return TRUE;
}

static int FindWindows(const WCHAR *which, Search *s)
{
    ZeroMemory(s, sizeof(*s));
    s->Which = which;
    EnumWindows(CollectWindow, (LPARAM)s);
    return s->Count;
}

static void GetText(HWND window, WCHAR *text, int cch)
{
    text[0] = 0;
    DWORD_PTR result = 0;
    // WM_GETTEXT crosses processes; a hung window must not hang the tool.
    SendMessageTimeoutW(window, WM_GETTEXT, (WPARAM)cch, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &result);
    text[cch - 1] = 0;
}

// Writes a text between quotes, its line breaks as \r and \n so that each
// control stays on one line (quotes and backslashes inside stay as they are).
static void PrintQuoted(const WCHAR *text)
{
    static WCHAR out[16384];
    int n = 0;
    for (const WCHAR *p = text; *p && n < (int)ARRAYSIZE(out) - 3; p++) {
        if (*p == L'\r') {
            out[n++] = L'\\';
            out[n++] = L'r';
        } else if (*p == L'\n') {
            out[n++] = L'\\';
            out[n++] = L'n';
        } else {
            out[n++] = *p;
        }
    }
    out[n] = 0;
    WriteWide(STD_OUTPUT_HANDLE, L"\"", 1);
    WriteWide(STD_OUTPUT_HANDLE, out, n);
    WriteWide(STD_OUTPUT_HANDLE, L"\"", 1);
}

// A tree view's items live in the program's own memory: the item record and
// its text buffer are placed there for each TVM_GETITEMW, in the layout of
// the program's own bitness (a 32-bit program under WOW64 reads a TVITEMW
// with 32-bit pointers).
typedef struct TVITEMW32 {
    UINT mask;
    DWORD hItem;
    UINT state;
    UINT stateMask;
    DWORD pszText;
    int cchTextMax;
    int iImage;
    int iSelectedImage;
    int cChildren;
    DWORD lParam;
} TVITEMW32;

#define TREE_TEXT_CHARS 2048
#define TREE_RECORD_BYTES (sizeof(TVITEMW) > sizeof(TVITEMW32) ? sizeof(TVITEMW) : sizeof(TVITEMW32))

typedef struct RemoteTree {
    HANDLE Process;
    BYTE *Remote;
    BOOL Narrow; // the program is 32-bit and this tool is not
} RemoteTree;

static void PrintTreeItems(HWND tree, RemoteTree *rt, HTREEITEM item, int level)
{
    while (item != NULL) {
        BYTE *remoteText = rt->Remote + TREE_RECORD_BYTES;
        TVITEMW tv;
        ZeroMemory(&tv, sizeof(tv));
        tv.mask = TVIF_TEXT | TVIF_HANDLE;
        tv.hItem = item;
        tv.pszText = (LPWSTR)remoteText;
        tv.cchTextMax = TREE_TEXT_CHARS;
        TVITEMW32 tv32;
        ZeroMemory(&tv32, sizeof(tv32));
        tv32.mask = tv.mask;
        tv32.hItem = (DWORD)(ULONG_PTR)item;
        tv32.pszText = (DWORD)(ULONG_PTR)remoteText;
        tv32.cchTextMax = TREE_TEXT_CHARS;
        const void *record = rt->Narrow ? (const void *)&tv32 : (const void *)&tv;
        SIZE_T size = rt->Narrow ? sizeof(tv32) : sizeof(tv);
        WCHAR text[TREE_TEXT_CHARS];
        text[0] = 0;
        SIZE_T done = 0;
        if (WriteProcessMemory(rt->Process, rt->Remote, record, size, &done) &&
            SendMessageW(tree, TVM_GETITEMW, 0, (LPARAM)rt->Remote)) {
            ReadProcessMemory(rt->Process, remoteText, text, sizeof(text), &done);
            text[ARRAYSIZE(text) - 1] = 0;
        }
        Out(L"  tree %d ", level);
        PrintQuoted(text);
        Out(L"\n");
        HTREEITEM child = (HTREEITEM)SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)item);
        if (child)
            PrintTreeItems(tree, rt, child, level + 1);
        item = (HTREEITEM)SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)item);
    }
}

static void PrintTree(HWND tree)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(tree, &pid);
    RemoteTree rt;
    const DWORD access = PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_LIMITED_INFORMATION;
    rt.Process = OpenProcess(access, FALSE, pid);
    if (rt.Process == NULL)
        return;
    BOOL programWow64 = FALSE;
    BOOL selfWow64 = FALSE;
    rt.Narrow = sizeof(void *) == 8 && IsWow64Process(rt.Process, &programWow64) && programWow64 &&
                IsWow64Process(GetCurrentProcess(), &selfWow64) && !selfWow64;
    rt.Remote = (BYTE *)VirtualAllocEx(rt.Process, NULL, TREE_RECORD_BYTES + TREE_TEXT_CHARS * sizeof(WCHAR),
                                       MEM_COMMIT, PAGE_READWRITE);
    if (rt.Remote != NULL) {
        HTREEITEM root = (HTREEITEM)SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0);
        PrintTreeItems(tree, &rt, root, 0);
        VirtualFreeEx(rt.Process, rt.Remote, 0, MEM_RELEASE);
    }
    CloseHandle(rt.Process);
}

static BOOL CALLBACK PrintControl(HWND control, LPARAM param)
{
    (void)param;
    WCHAR cls[64];
    static WCHAR text[8192];
    GetClassNameW(control, cls, ARRAYSIZE(cls));
    GetText(control, text, ARRAYSIZE(text));
    int id = GetDlgCtrlID(control);
    Out(L"  control %d class \"%ls\" visible %d enabled %d text ", id, cls, IsWindowVisible(control) ? 1 : 0,
        IsWindowEnabled(control) ? 1 : 0);
    PrintQuoted(text);
    if (lstrcmpiW(cls, PROGRESS_CLASSW) == 0)
        Out(L" pos %d", (int)SendMessageW(control, PBM_GETPOS, 0, 0));
    if (lstrcmpiW(cls, L"Static") == 0 && (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
        Out(L" bitmap %d", SendMessageW(control, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0 ? 1 : 0);
    Out(L"\n");
    if (lstrcmpiW(cls, WC_TREEVIEWW) == 0)
        PrintTree(control);
    return TRUE;
}

static void PrintDialog(HWND dialog)
{
    DWORD pid = 0;
    static WCHAR title[1024];
    static WCHAR image[MAX_PATH];
    GetWindowThreadProcessId(dialog, &pid);
    GetText(dialog, title, ARRAYSIZE(title));
    image[0] = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process != NULL) {
        DWORD cch = ARRAYSIZE(image);
        if (!QueryFullProcessImageNameW(process, 0, image, &cch))
            image[0] = 0;
        CloseHandle(process);
    }
    Out(L"dialog %p pid %lu image \"%ls\" title ", (void *)dialog, pid, image);
    PrintQuoted(title);
    Out(L"\n");
    EnumChildWindows(dialog, PrintControl, 0);
}

static HWND WaitFor(const WCHAR *which, DWORD ms)
{
    ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        Search s;
        if (FindWindows(which, &s) > 0)
            return s.Found[0];
        if (GetTickCount64() >= end)
            return NULL;
        Sleep(100);
    }
}

static DWORD Milliseconds(int argc, WCHAR **argv, int index, DWORD fallback)
{
    return argc > index ? (DWORD)wcstoul(argv[index], NULL, 10) : fallback;
}

int wmain(int argc, WCHAR **argv)
{
    if (argc < 2) {
        Err(L"usage: wininfo.exe list|wait|waitgone|waittext|click|close [WHICH] ...\n");
        return 2;
    }
    const WCHAR *verb = argv[1];
    const WCHAR *which = argc > 2 ? argv[2] : L"any";
    if (lstrcmpW(verb, L"list") == 0) {
        Search s;
        FindWindows(which, &s);
        for (int i = 0; i < s.Count; i++)
            PrintDialog(s.Found[i]);
        return s.Count > 0 ? 0 : 1;
    }
    if (lstrcmpW(verb, L"wait") == 0) {
        HWND w = WaitFor(which, Milliseconds(argc, argv, 3, 20000));
        if (w == NULL) {
            Err(L"wininfo: no %ls window\n", which);
            return 1;
        }
        return 0;
    }
    if (lstrcmpW(verb, L"waitgone") == 0) {
        ULONGLONG end = GetTickCount64() + Milliseconds(argc, argv, 3, 20000);
        for (;;) {
            Search s;
            if (FindWindows(which, &s) == 0)
                return 0;
            if (GetTickCount64() >= end) {
                Err(L"wininfo: the %ls window is still there\n", which);
                return 1;
            }
            Sleep(100);
        }
    }
    if ((lstrcmpW(verb, L"waittext") == 0 && argc >= 5) || (lstrcmpW(verb, L"waitvisible") == 0 && argc >= 4) ||
        (lstrcmpW(verb, L"waitchange") == 0 && argc >= 4)) {
        int id = _wtoi(argv[3]);
        BOOL wantText = lstrcmpW(verb, L"waittext") == 0;
        BOOL wantVisible = lstrcmpW(verb, L"waitvisible") == 0;
        ULONGLONG end = GetTickCount64() + Milliseconds(argc, argv, wantText ? 5 : 4, 30000);
        static WCHAR text[8192];
        static WCHAR first[8192];
        BOOL haveFirst = FALSE;
        if (!wantText && !wantVisible && argc >= 6) {
            StringCchCopyW(first, ARRAYSIZE(first), argv[5]);
            haveFirst = TRUE;
        }
        for (;;) {
            Search s;
            FindWindows(which, &s);
            for (int i = 0; i < s.Count; i++) {
                HWND control = GetDlgItem(s.Found[i], id);
                if (control == NULL)
                    continue;
                if (wantVisible) {
                    if (IsWindowVisible(control))
                        return 0;
                    continue;
                }
                GetText(control, text, ARRAYSIZE(text));
                if (wantText && wcsstr(text, argv[4]) != NULL)
                    return 0;
                if (!wantText) {
                    if (!haveFirst) {
                        StringCchCopyW(first, ARRAYSIZE(first), text);
                        haveFirst = TRUE;
                    } else if (lstrcmpW(first, text) != 0) {
                        return 0;
                    }
                }
            }
            if (GetTickCount64() >= end) {
                Err(L"wininfo: control %d of the %ls window: %ls did not happen in time\n", id, which, verb);
                return 1;
            }
            Sleep(100);
        }
    }
    if ((lstrcmpW(verb, L"click") == 0 && argc >= 4) || lstrcmpW(verb, L"close") == 0) {
        HWND dialog = WaitFor(which, 5000);
        if (dialog == NULL) {
            Err(L"wininfo: no %ls window\n", which);
            return 1;
        }
        if (lstrcmpW(verb, L"close") == 0) {
            PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            return 0;
        }
        int id = _wtoi(argv[3]);
        HWND button = GetDlgItem(dialog, id);
        if (button == NULL || !IsWindowVisible(button) || !IsWindowEnabled(button)) {
            Err(L"wininfo: button %d of the %ls window is %ls\n", id, which,
                button == NULL ? L"missing" : L"hidden or disabled");
            return 1;
        }
        // What a click on the button sends its dialog.
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
        return 0;
    }
    Err(L"wininfo: unknown command %ls\n", verb);
    return 2;
}
