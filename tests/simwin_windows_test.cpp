// The simulated windowing where a mistake would hide a fault of the program:
// the modal loop with a worker thread posting to it, clicks on controls that
// cannot be clicked, the edit control's selection, the tree view, and the
// common-control classes that must be registered before a dialog is built.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "common/resource_ids.h"
#include "sim/windows.h"
#include "tests/test_support.h"

namespace {

class SimwinWindowsTest : public SimTest {};

struct Seen {
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    DWORD Thread;
    uint64_t Time;
};

// What the test dialog procedure saw, and what it does.
std::vector<Seen> seen;
HWND dialogSeen;
bool endOnCancel;
LPTHREAD_START_ROUTINE workerOnInit;

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG || message == WM_COMMAND || message == WM_CLOSE || message == WM_USER + 1 ||
        message == WM_SETTEXT)
        seen.push_back({message, wParam, lParam, GetCurrentThreadId(), sim::Now()});
    if (message == WM_INITDIALOG) {
        dialogSeen = dialog;
        if (workerOnInit)
            CloseHandle(CreateThread(NULL, 0, workerOnInit, dialog, 0, NULL));
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL && endOnCancel)
        EndDialog(dialog, 7);
    return FALSE;
}

void RegisterCommonControls(DWORD classes) {
    INITCOMMONCONTROLSEX icc = {sizeof(icc), classes};
    ASSERT_TRUE(InitCommonControlsEx(&icc));
}

void ResetProc() {
    seen.clear();
    dialogSeen = NULL;
    endOnCancel = true;
    workerOnInit = NULL;
}

std::vector<UINT> Commands() {
    std::vector<UINT> ids;
    for (const Seen &s : seen)
        if (s.Message == WM_COMMAND)
            ids.push_back(LOWORD(s.WParam));
    return ids;
}

DWORD WINAPI PostingWorker(LPVOID parameter) {
    HWND dialog = (HWND)parameter;
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    PostMessageW(bar, PBM_SETPOS, 30, 0);
    Sleep(100);
    PostMessageW(bar, PBM_SETPOS, 160, 0);  // beyond the range: the bar stops at 100
    SetWindowTextW(dialog, L"Renamed");     // sent to the dialog's own thread
    Sleep(100);
    PostMessageW(dialog, WM_USER + 1, 0, 0);
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    return 0;
}

TEST_F(SimwinWindowsTest, ModalLoopHandlesAWorkersPostsOnTheDialogThread) {
    ResetProc();
    workerOnInit = PostingWorker;
    INT_PTR result = 0;
    DWORD dialogThread = 0;
    int positionAt50 = -1, positionAt150 = -1;
    sim::At(50, [&] { positionAt50 = sim::ProgressPosition(sim::FindDialog(IDD_INSTALL), IDC_PROGRESS); });
    sim::At(150, [&] { positionAt150 = sim::ProgressPosition(sim::FindDialog(IDD_INSTALL), IDC_PROGRESS); });
    sim::RunInProcess([&] {
        RegisterCommonControls(ICC_PROGRESS_CLASS | ICC_TREEVIEW_CLASSES);
        dialogThread = GetCurrentThreadId();
        result = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_INSTALL), NULL, RecordingProc, 42);
    });
    EXPECT_EQ(7, result);
    EXPECT_EQ(200u, sim::Now());
    EXPECT_EQ(30, positionAt50);
    EXPECT_EQ(100, positionAt150);
    HWND dialog = sim::FindDialog(IDD_INSTALL);
    EXPECT_EQ(dialogSeen, dialog);
    EXPECT_EQ((std::vector<int>{30, 160}), sim::PostedPositions(dialog, IDC_PROGRESS));
    EXPECT_EQ(L"Renamed", sim::ControlText(dialog, 0));
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ((UINT)WM_INITDIALOG, seen[0].Message);
    EXPECT_EQ(42, seen[0].LParam);
    EXPECT_EQ((UINT)WM_SETTEXT, seen[1].Message);
    EXPECT_EQ((UINT)(WM_USER + 1), seen[2].Message);
    EXPECT_EQ((UINT)WM_COMMAND, seen[3].Message);
    for (const Seen &s : seen)
        EXPECT_EQ(dialogThread, s.Thread);
    // The dialog is gone: its handles are invalid to the program now.
    EXPECT_FALSE(sim::IsDialogOpen(dialog));
    SetLastError(0);
    EXPECT_FALSE(SetWindowTextW(GetDlgItem(dialog, IDC_STATUS), L"late"));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    EXPECT_EQ(0, SendMessageW(NULL, PBM_SETPOS, 1, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST_F(SimwinWindowsTest, ClicksReachOnlyVisibleEnabledButtonsAndCloseNeedsAnEnabledCancel) {
    ResetProc();
    endOnCancel = false;  // the procedure leaves IDCANCEL alone at first
    std::vector<bool> clicks;
    sim::At(10, [&] {
        HWND d = sim::FindDialog(IDD_INSTALL);
        clicks.push_back(sim::Click(d, IDC_WIZARD));  // hidden in the template
        ShowWindow(GetDlgItem(d, IDC_WIZARD), SW_SHOW);
        EnableWindow(GetDlgItem(d, IDC_WIZARD), FALSE);
        clicks.push_back(sim::Click(d, IDC_WIZARD));  // disabled
        EnableWindow(GetDlgItem(d, IDC_WIZARD), TRUE);
        clicks.push_back(sim::Click(d, IDC_WIZARD));
        EnableWindow(GetDlgItem(d, IDCANCEL), FALSE);
        sim::CloseDialog(d);  // the close box does nothing while Cancel is disabled
    });
    sim::At(20, [&] {
        HWND d = sim::FindDialog(IDD_INSTALL);
        EnableWindow(GetDlgItem(d, IDCANCEL), TRUE);
        sim::CloseDialog(d);  // IDCANCEL, which the procedure ignores: the dialog stays
    });
    sim::At(30, [&] {
        endOnCancel = true;
        clicks.push_back(sim::Click(sim::FindDialog(IDD_INSTALL), IDCANCEL));
    });
    INT_PTR result = 0;
    sim::RunInProcess([&] {
        RegisterCommonControls(ICC_PROGRESS_CLASS);
        result = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_INSTALL), NULL, RecordingProc, 0);
    });
    EXPECT_EQ(7, result);
    EXPECT_EQ(30u, sim::Now());
    EXPECT_EQ((std::vector<bool>{false, false, true, true}), clicks);
    EXPECT_EQ((std::vector<UINT>{IDC_WIZARD, IDCANCEL, IDCANCEL}), Commands());
    HWND d = sim::FindDialog(IDD_INSTALL);
    const Seen &wizard = seen[1];
    EXPECT_EQ((UINT)BN_CLICKED, HIWORD(wizard.WParam));
    EXPECT_EQ((LPARAM)sim::GetControl(d, IDC_WIZARD).Window, wizard.LParam);
    int closes = 0;
    for (const Seen &s : seen)
        closes += s.Message == WM_CLOSE;
    EXPECT_EQ(2, closes);  // both reached the procedure; only the second became IDCANCEL
}

TEST_F(SimwinWindowsTest, CommonControlClassesMustBeRegisteredInTheProcess) {
    ResetProc();
    INT_PTR without = 0, progressOnly106 = 0, progressOnly105 = 0;
    DWORD error = 0, error105 = 0;
    sim::RunInProcess([&] {
        without = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_INSTALL), NULL, RecordingProc, 0);
        error = GetLastError();
        RegisterCommonControls(ICC_PROGRESS_CLASS);
        progressOnly105 = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_UNINSTALL), NULL, RecordingProc, 0);
        error105 = GetLastError();
        sim::At(sim::Now() + 5, [] { sim::CloseDialog(sim::FindDialog(IDD_INSTALL)); });
        progressOnly106 = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_INSTALL), NULL, RecordingProc, 0);
    });
    EXPECT_EQ(-1, without);
    EXPECT_EQ((DWORD)ERROR_CANNOT_FIND_WND_CLASS, error);
    EXPECT_EQ(-1, progressOnly105);  // the tree view of dialog 105 is still missing
    EXPECT_EQ((DWORD)ERROR_CANNOT_FIND_WND_CLASS, error105);
    EXPECT_EQ(7, progressOnly106);

    // A new process starts without the registration of the last one.
    INT_PTR again = 0;
    sim::RunInProcess([&] { again = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_INSTALL), NULL, RecordingProc, 0); });
    EXPECT_EQ(-1, again);

    // Without a display nothing is created at all.
    sim::SetNoDisplay(true);
    sim::RunInProcess([&] {
        RegisterCommonControls(ICC_WIN95_CLASSES);
        again = DialogBoxParamW(NULL, MAKEINTRESOURCEW(IDD_INSTALL), NULL, RecordingProc, 0);
        error = GetLastError();
    });
    EXPECT_EQ(-1, again);
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, error);
}

// Runs body on a simulated thread while dialog 106 or 105 is open, then closes it.
void WithDialog(int templateId, const std::function<void(HWND)> &body) {
    ResetProc();
    sim::At(1, [&] {
        HWND d = sim::FindDialog(templateId);
        body(d);
        sim::CloseDialog(d);
    });
    sim::RunInProcess([&] {
        RegisterCommonControls(ICC_PROGRESS_CLASS | ICC_TREEVIEW_CLASSES);
        DialogBoxParamW(NULL, MAKEINTRESOURCEW(templateId), NULL, RecordingProc, 0);
    });
}

TEST_F(SimwinWindowsTest, EditSelectionAndReplacementInsertAtTheCaret) {
    std::vector<std::wstring> texts;
    WithDialog(IDD_INSTALL, [&](HWND d) {
        HWND edit = GetDlgItem(d, IDC_LOG);
        // Appending as a log does: caret to the end, then replace the empty selection.
        for (const WCHAR *line : {L"first\r\n", L"second"}) {
            int n = GetWindowTextLengthW(edit);
            SendMessageW(edit, EM_SETSEL, n, n);
            SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)line);
        }
        texts.push_back(sim::ControlText(d, IDC_LOG));
        SendMessageW(edit, EM_SETSEL, 5, 2);  // reversed: the range between them
        SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)L"-");
        texts.push_back(sim::ControlText(d, IDC_LOG));
        SendMessageW(edit, EM_SETSEL, 0, -1);  // everything
        SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)L"all");
        texts.push_back(sim::ControlText(d, IDC_LOG));
        SendMessageW(edit, EM_SETSEL, 50, 70);  // past the end: clamped
        SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)L"!");
        SetWindowTextW(edit, L"");  // emptying resets the caret too
        SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)L"new");
        texts.push_back(sim::ControlText(d, IDC_LOG));

        HWND bar = GetDlgItem(d, IDC_PROGRESS);
        texts.push_back(std::to_wstring(SendMessageW(bar, PBM_SETPOS, 40, 0)));
        texts.push_back(std::to_wstring(SendMessageW(bar, PBM_SETPOS, -5, 0)));
        texts.push_back(std::to_wstring(SendMessageW(bar, PBM_GETPOS, 0, 0)));
    });
    EXPECT_EQ((std::vector<std::wstring>{L"first\r\nsecond", L"fi-\r\nsecond", L"all", L"new", L"0", L"40", L"0"}),
              texts);
}

TEST_F(SimwinWindowsTest, TreeViewKeepsItsItemsAsATree) {
    std::vector<sim::TreeItem> before, after;
    std::vector<LRESULT> results;
    WithDialog(IDD_UNINSTALL, [&](HWND d) {
        HWND tree = GetDlgItem(d, IDC_COMPONENT_TREE);
        auto insert = [tree](HTREEITEM parent, HTREEITEM after, const WCHAR *text) {
            TVINSERTSTRUCTW tvi = {};
            tvi.hParent = parent;
            tvi.hInsertAfter = after;
            tvi.item.mask = TVIF_TEXT;
            tvi.item.pszText = (LPWSTR)text;
            return (HTREEITEM)SendMessageW(tree, TVM_INSERTITEMW, 0, (LPARAM)&tvi);
        };
        HTREEITEM folder = insert(TVI_ROOT, TVI_LAST, L"folder");
        HTREEITEM package = insert(TVI_ROOT, TVI_LAST, L"package");
        HTREEITEM driver = insert(package, TVI_LAST, L"driver");
        insert(driver, TVI_LAST, L"queue 2");
        insert(driver, TVI_FIRST, L"queue 1");
        insert(TVI_ROOT, folder, L"between");
        results.push_back(SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)driver));
        results.push_back(SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)package));
        results.push_back(SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)folder));  // no children
        results.push_back((LRESULT)insert((HTREEITEM)(ULONG_PTR)0x1234, TVI_LAST, L"orphan"));
        before = sim::Tree(d, IDC_COMPONENT_TREE);
        results.push_back(SendMessageW(tree, TVM_DELETEITEM, 0, (LPARAM)driver));
        results.push_back(SendMessageW(tree, TVM_DELETEITEM, 0, (LPARAM)driver));  // gone already
        results.push_back(SendMessageW(tree, TVM_GETCOUNT, 0, 0));
        results.push_back(SendMessageW(tree, TVM_DELETEITEM, 0, (LPARAM)TVI_ROOT));
        after = sim::Tree(d, IDC_COMPONENT_TREE);
    });
    EXPECT_EQ((std::vector<LRESULT>{TRUE, TRUE, FALSE, 0, TRUE, FALSE, 3, TRUE}), results);
    ASSERT_EQ(3u, before.size());
    EXPECT_EQ(L"folder", before[0].Text);
    EXPECT_FALSE(before[0].Expanded);
    EXPECT_EQ(L"between", before[1].Text);
    EXPECT_EQ(L"package", before[2].Text);
    EXPECT_TRUE(before[2].Expanded);
    ASSERT_EQ(1u, before[2].Children.size());
    const sim::TreeItem &driver = before[2].Children[0];
    EXPECT_TRUE(driver.Expanded);
    ASSERT_EQ(2u, driver.Children.size());
    EXPECT_EQ(L"queue 1", driver.Children[0].Text);
    EXPECT_EQ(L"queue 2", driver.Children[1].Text);
    EXPECT_TRUE(after.empty());
}

TEST_F(SimwinWindowsTest, MessageBoxesAndOtherProcessesWindows) {
    std::vector<int> answers;
    std::vector<DWORD> found;
    sim::OnMessageBox([](const sim::MessageBoxCall &box) { return box.Type == MB_YESNO ? IDNO : IDOK; });
    sim::RunInProcess([&] {
        answers.push_back(MessageBoxW(NULL, L"Done?", NULL, MB_YESNO));
        answers.push_back(MessageBoxW(NULL, L"Info", L"Message", MB_OK | MB_ICONINFORMATION));
        answers.push_back(MessageBoxW((HWND)(ULONG_PTR)0x99, L"bad owner", NULL, MB_OK));
        HWND older = sim::CreateTopLevelWindow(500, L"first");
        HWND newer = sim::CreateTopLevelWindow(500, L"second");
        EnumWindows(
            [](HWND window, LPARAM param) -> BOOL {
                DWORD pid = 0;
                GetWindowThreadProcessId(window, &pid);
                ((std::vector<DWORD> *)param)->push_back(pid);
                if (pid == 500) {
                    SetForegroundWindow(window);
                    return FALSE;
                }
                return TRUE;
            },
            (LPARAM)&found);
        EXPECT_EQ(newer, sim::ForegroundWindow());
        EXPECT_NE(older, newer);
    });
    EXPECT_EQ((std::vector<int>{IDNO, IDOK, 0}), answers);
    ASSERT_EQ(2u, sim::MessageBoxes().size());
    EXPECT_EQ(L"Error", sim::MessageBoxes()[0].Caption);
    EXPECT_EQ(L"Message", sim::MessageBoxes()[1].Caption);
    EXPECT_EQ((std::vector<DWORD>{500}), found);  // topmost first, stopped at the first match
}

}  // namespace
