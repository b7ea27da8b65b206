// The test-facing side of the simulated windowing: dialogs built from the
// compiled templates, their controls, the message boxes the program shows,
// the top-level windows of other processes and the foreground window.
//
// Windows stay readable here after they are destroyed (the program sees them
// as invalid handles), so a test can look at a dialog's last state after the
// run.
#pragma once

#include <windef.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// No window station (like Wine without a display): DialogBoxParamW fails at
// once with -1 and last error 1400, MessageBoxW with 0.
void SetNoDisplay(bool noDisplay);
// A window station that is not interactive (a service's, in session 0):
// GetUserObjectInformationW's UOI_FLAGS lack WSF_VISIBLE. Windows open there
// as anywhere, but nobody sees them. A reset machine's is interactive.
void SetWindowStationInteractive(bool interactive);

// --- Dialogs and controls ------------------------------------------------------

struct TreeItem {
    std::wstring Text;
    bool Expanded = false;
    std::vector<TreeItem> Children;
};

// A snapshot of one control (or of the dialog itself, Id 0).
struct Control {
    HWND Window = nullptr;  // null: no such control
    int Id = 0;
    std::wstring Class;
    std::wstring Text;
    DWORD Style = 0;        // as in the template, WS_VISIBLE and WS_DISABLED kept current
    bool Visible = false;   // own WS_VISIBLE (the dialog's visibility is not included)
    bool Enabled = false;   // !WS_DISABLED
    bool Alive = false;     // not destroyed yet
    WORD ImageId = 0;       // static controls whose template text is a resource ordinal
    // Progress bars:
    int Position = 0;
    int RangeMin = 0;
    int RangeMax = 100;
    // Edit controls: the selection.
    int SelStart = 0;
    int SelEnd = 0;
};

// The newest dialog built from this template (open or already ended), or null.
HWND FindDialog(int templateId);
// Every dialog built from this template, oldest first.
std::vector<HWND> Dialogs(int templateId);
bool IsDialogOpen(HWND dialog);
// The value that EndDialog gave (meaningful once the dialog has ended).
INT_PTR DialogResult(HWND dialog);
DWORD WindowProcess(HWND window);

// The dialog's controls in template order; Control(dialog, 0) is the dialog.
std::vector<Control> Controls(HWND dialog);
Control GetControl(HWND dialog, int id);
// Shorthands for GetControl(dialog, id).Text and friends.
std::wstring ControlText(HWND dialog, int id);
bool ControlVisible(HWND dialog, int id);
bool ControlEnabled(HWND dialog, int id);
int ProgressPosition(HWND dialog, int id);
// Every PBM_SETPOS position posted to the control, in order of posting
// (whether the dialog thread has handled the message yet or not).
std::vector<int> PostedPositions(HWND dialog, int id);
// Every text the control was given (SetWindowTextW, WM_SETTEXT), in order.
std::vector<std::wstring> TextHistory(HWND dialog, int id);
// The items of a tree view, top level first, children in order.
std::vector<TreeItem> Tree(HWND dialog, int id);

// A user's click on a control: the dialog manager posts WM_COMMAND
// (BN_CLICKED) to the dialog only when the control and the dialog are visible
// and enabled. Returns whether the click was delivered.
bool Click(HWND dialog, int id);
// The close box (or the Esc key): the dialog gets WM_CLOSE, whose default
// handling posts WM_COMMAND IDCANCEL unless an IDCANCEL button is disabled.
// Returns false when the dialog is not open.
bool CloseDialog(HWND dialog);

// --- The log of window changes -------------------------------------------------

enum class WindowEventKind {
    Created,    // a dialog or top-level window was created (Text: its caption)
    Shown,      // WS_VISIBLE set
    Hidden,     // WS_VISIBLE cleared
    Enabled,
    Disabled,
    Text,       // Text: the new text
    Position,   // a progress bar moved (Value: the new position)
    Posted,     // PBM_SETPOS was posted (Value: the position)
    TreeChanged,
    Foreground,
    Ended,      // EndDialog (Value: the result)
    Destroyed,
};

struct WindowEvent {
    uint64_t Time = 0;
    HWND Dialog = nullptr;  // the top-level window
    int Id = 0;             // control id, 0 for the top-level window itself
    WindowEventKind Kind = WindowEventKind::Created;
    std::wstring Text;
    int Value = 0;
};
const std::vector<WindowEvent> &WindowEvents();

// --- Message boxes -------------------------------------------------------------

struct MessageBoxCall {
    uint64_t Time = 0;
    DWORD ProcessId = 0;
    HWND Owner = nullptr;
    std::wstring Text;
    std::wstring Caption;  // "Error" when the program passed none
    UINT Type = 0;
    int Answer = 0;
};
const std::vector<MessageBoxCall> &MessageBoxes();
// Answers every later message box (default: IDOK). The handler runs on the
// simulated thread that called MessageBoxW.
void OnMessageBox(std::function<int(const MessageBoxCall &)> handler);

// --- Other processes' windows and the foreground -------------------------------

// A visible top-level window of process pid, placed on top of the z-order.
HWND CreateTopLevelWindow(DWORD processId, const std::wstring &title);
// Open top-level windows in z-order, topmost first (what EnumWindows lists).
std::vector<HWND> TopLevelWindows();
HWND ForegroundWindow();
// Every successful SetForegroundWindow, in order.
std::vector<HWND> ForegroundHistory();

}  // namespace sim
