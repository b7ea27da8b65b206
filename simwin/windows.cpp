// Windows, dialogs, controls and message boxes of the simulated machine.
//
// A dialog is built from the compiled template (simres::ParseDialog): one
// window for the dialog and one per control, each with its class, id, text and
// style. Controls are plain state: a message sent to a control is carried out
// on the calling thread. Messages posted to a window go to the queue of the
// thread that created it; DialogBoxParamW runs the modal loop that empties
// that queue, blocking (simk::Block) while it is empty. A message sent to a
// dialog from another thread is queued too, and the sender waits until the
// dialog's thread has handled it.
//
// Destroyed windows stay in the table (flagged) so that tests can read their
// last state; to the program they are invalid handles.
#include "sim/windows.h"

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <deque>
#include <map>

#include "kernel.h"
#include "sim/resources.h"

namespace {

// Error codes only the windowing reports.
constexpr DWORD kErrorControlIdNotFound = 1421;  // ERROR_CONTROL_ID_NOT_FOUND
constexpr DWORD kErrorMessageSyncOnly = 1159;    // ERROR_MESSAGE_SYNC_ONLY

struct TreeNode {
    std::wstring Text;
    HTREEITEM Parent = nullptr;  // null: top level
    std::vector<HTREEITEM> Children;
    bool Expanded = false;
    LPARAM Param = 0;
};

struct Window {
    HWND Handle = nullptr;
    HWND Parent = nullptr;  // a control's dialog; a top-level window's owner
    bool Child = false;
    bool IsDialog = false;
    bool Destroyed = false;
    DWORD ProcessId = 0;
    DWORD ThreadId = 0;
    std::wstring Class;
    std::wstring Text;
    DWORD Style = 0;
    int Id = 0;
    WORD ImageId = 0;
    std::vector<std::wstring> Texts;
    // Dialogs
    int TemplateId = 0;
    DLGPROC Proc = nullptr;
    bool Ended = false;
    INT_PTR Result = 0;
    std::vector<HWND> Children;
    // Edit controls
    int SelStart = 0;
    int SelEnd = 0;
    // Progress bars
    int Position = 0;
    int RangeMin = 0;
    int RangeMax = 100;
    std::vector<int> Posted;
    // Tree views
    std::vector<HTREEITEM> Roots;
    std::map<HTREEITEM, TreeNode> Items;
};

struct QueuedMessage {
    HWND Window;
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    uint64_t SendId;  // 0 for a posted message
};

struct ThreadQueue {
    std::deque<QueuedMessage> Sent;    // handled before any posted message
    std::deque<QueuedMessage> Posted;
};

struct Reply {
    bool Done = false;
    LRESULT Result = 0;
};

struct State {
    bool NoDisplay = false;
    bool StationHidden = false;  // the window station is not interactive
    std::map<HWND, Window> Windows;
    std::vector<HWND> Created;  // every window, in order of creation
    std::vector<HWND> ZOrder;   // live top-level windows, topmost first
    std::map<DWORD, ThreadQueue> Queues;
    std::map<uint64_t, Reply> Replies;
    uint64_t NextSendId = 1;
    std::map<DWORD, DWORD> CommonControls;  // process id -> ICC_* bits registered
    std::vector<sim::WindowEvent> Events;
    std::vector<sim::MessageBoxCall> Boxes;
    std::function<int(const sim::MessageBoxCall &)> BoxHandler;
    HWND Foreground = nullptr;
    std::vector<HWND> ForegroundHistory;
    DWORD NextOutsideThread = 0x70000000;
};

State &S() {
    static State state;
    return state;
}

void DestroyWindowTree(HWND handle);

simk::Registrar registrar([] {
    simk::OnReset([] { S() = State(); });
    simk::OnProcessExit([](DWORD pid) {
        auto &s = S();
        std::vector<HWND> doomed;
        for (auto &entry : s.Windows)
            if (!entry.second.Destroyed && !entry.second.Child && entry.second.ProcessId == pid)
                doomed.push_back(entry.first);
        for (HWND h : doomed)
            DestroyWindowTree(h);
        s.CommonControls.erase(pid);
    });
});

std::wstring Lower(const std::wstring &text) {
    std::wstring r = text;
    for (auto &c : r)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return r;
}

bool IsClass(const Window &w, const wchar_t *lowerName) { return Lower(w.Class) == lowerName; }

Window *Any(HWND h) {
    auto it = S().Windows.find(h);
    return it == S().Windows.end() ? nullptr : &it->second;
}

Window *Live(HWND h) {
    Window *w = h ? Any(h) : nullptr;
    return w && !w->Destroyed ? w : nullptr;
}

// The live window, or null with ERROR_INVALID_WINDOW_HANDLE.
Window *Valid(HWND h) {
    Window *w = Live(h);
    if (!w)
        simk::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

HWND TopOf(const Window &w) { return w.Child ? w.Parent : w.Handle; }

void Record(const Window &w, sim::WindowEventKind kind, const std::wstring &text = std::wstring(), int value = 0) {
    sim::WindowEvent e;
    e.Time = simk::Now();
    e.Dialog = TopOf(w);
    e.Id = w.Child ? w.Id : 0;
    e.Kind = kind;
    e.Text = text;
    e.Value = value;
    S().Events.push_back(e);
}

Window &NewWindow() {
    HWND h = static_cast<HWND>(simk::NewHandleValue());
    Window &w = S().Windows[h];
    w.Handle = h;
    w.ProcessId = simk::CurrentProcessId();
    w.ThreadId = simk::CurrentThreadId();
    S().Created.push_back(h);
    return w;
}

void BringToTop(HWND h) {
    auto &z = S().ZOrder;
    z.erase(std::remove(z.begin(), z.end(), h), z.end());
    z.insert(z.begin(), h);
}

void DestroyWindowTree(HWND handle) {
    Window *w = Live(handle);
    if (!w)
        return;
    auto &s = S();
    for (HWND c : w->Children)
        if (Window *child = Live(c))
            child->Destroyed = true;
    w->Destroyed = true;
    s.ZOrder.erase(std::remove(s.ZOrder.begin(), s.ZOrder.end(), handle), s.ZOrder.end());
    if (s.Foreground == handle)
        s.Foreground = nullptr;
    Record(*w, sim::WindowEventKind::Destroyed);
}

void SetStyleBit(Window &w, DWORD bit, bool on) {
    bool was = (w.Style & bit) != 0;
    if (was == on)
        return;
    if (on)
        w.Style |= bit;
    else
        w.Style &= ~bit;
    if (bit == WS_VISIBLE)
        Record(w, on ? sim::WindowEventKind::Shown : sim::WindowEventKind::Hidden);
    else
        Record(w, on ? sim::WindowEventKind::Disabled : sim::WindowEventKind::Enabled);
}

void SetText(Window &w, const WCHAR *text) {
    w.Text = text ? text : L"";
    w.SelStart = w.SelEnd = 0;
    w.Texts.push_back(w.Text);
    Record(w, sim::WindowEventKind::Text, w.Text);
}

LRESULT CopyText(const Window &w, WPARAM max, LPARAM buffer) {
    WCHAR *out = reinterpret_cast<WCHAR *>(buffer);
    if (!out || max == 0)
        return 0;
    size_t n = std::min(w.Text.size(), static_cast<size_t>(max) - 1);
    wmemcpy(out, w.Text.data(), n);
    out[n] = 0;
    return static_cast<LRESULT>(n);
}

// --- Control behaviour ------------------------------------------------------------

LRESULT EditMessage(Window &w, UINT message, WPARAM wParam, LPARAM lParam) {
    int length = static_cast<int>(w.Text.size());
    switch (message) {
    case EM_GETSEL:
        if (wParam)
            *reinterpret_cast<DWORD *>(wParam) = static_cast<DWORD>(std::min(w.SelStart, w.SelEnd));
        if (lParam)
            *reinterpret_cast<DWORD *>(lParam) = static_cast<DWORD>(std::max(w.SelStart, w.SelEnd));
        return MAKELONG(std::min(w.SelStart, w.SelEnd), std::max(w.SelStart, w.SelEnd));
    case EM_SETSEL: {
        int start = static_cast<int>(static_cast<INT_PTR>(wParam));
        int end = static_cast<int>(lParam);
        if (start == -1) {  // deselect: the caret stays where the selection ended
            w.SelStart = w.SelEnd;
            return 0;
        }
        if (end == -1)
            end = length;
        w.SelStart = std::clamp(start, 0, length);
        w.SelEnd = std::clamp(end, 0, length);
        return 0;
    }
    case EM_REPLACESEL: {
        const WCHAR *text = reinterpret_cast<const WCHAR *>(lParam);
        std::wstring insert = text ? text : L"";
        int from = std::min(w.SelStart, w.SelEnd);
        int to = std::max(w.SelStart, w.SelEnd);
        w.Text.replace(static_cast<size_t>(from), static_cast<size_t>(to - from), insert);
        w.SelStart = w.SelEnd = from + static_cast<int>(insert.size());
        Record(w, sim::WindowEventKind::Text, w.Text);
        return 0;
    }
    default:
        return 0;
    }
}

LRESULT ProgressMessage(Window &w, UINT message, WPARAM wParam, LPARAM lParam) {
    int previous = w.Position;
    auto move = [&w](int position) {
        w.Position = std::clamp(position, w.RangeMin, std::max(w.RangeMin, w.RangeMax));
        Record(w, sim::WindowEventKind::Position, std::wstring(), w.Position);
    };
    switch (message) {
    case PBM_SETPOS:
        move(static_cast<int>(static_cast<INT_PTR>(wParam)));
        return previous;
    case PBM_DELTAPOS:
        move(w.Position + static_cast<int>(static_cast<INT_PTR>(wParam)));
        return previous;
    case PBM_GETPOS:
        return w.Position;
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
        LRESULT old = MAKELONG(w.RangeMin, w.RangeMax);
        if (message == PBM_SETRANGE) {
            w.RangeMin = LOWORD(lParam);
            w.RangeMax = HIWORD(lParam);
        } else {
            w.RangeMin = static_cast<int>(static_cast<INT_PTR>(wParam));
            w.RangeMax = static_cast<int>(lParam);
        }
        if (w.Position < w.RangeMin || w.Position > w.RangeMax)
            move(w.Position);
        return old;
    }
    case PBM_GETRANGE:
        if (lParam) {
            reinterpret_cast<PBRANGE *>(lParam)->iLow = w.RangeMin;
            reinterpret_cast<PBRANGE *>(lParam)->iHigh = w.RangeMax;
        }
        return wParam ? w.RangeMin : w.RangeMax;
    default:
        return 0;
    }
}

void DeleteTreeItem(Window &w, HTREEITEM item) {
    auto it = w.Items.find(item);
    if (it == w.Items.end())
        return;
    std::vector<HTREEITEM> children = it->second.Children;
    for (HTREEITEM c : children)
        DeleteTreeItem(w, c);
    HTREEITEM parent = it->second.Parent;
    std::vector<HTREEITEM> &siblings = parent ? w.Items[parent].Children : w.Roots;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), item), siblings.end());
    w.Items.erase(item);
}

LRESULT TreeMessage(Window &w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case TVM_INSERTITEMW: {
        const TVINSERTSTRUCTW *insert = reinterpret_cast<const TVINSERTSTRUCTW *>(lParam);
        if (!insert)
            return 0;
        HTREEITEM parent = insert->hParent == TVI_ROOT ? nullptr : insert->hParent;
        if (parent && !w.Items.count(parent))
            return 0;
        std::vector<HTREEITEM> &siblings = parent ? w.Items[parent].Children : w.Roots;
        TreeNode node;
        node.Parent = parent;
        const TVITEMW &item = insert->item;
        if ((item.mask & TVIF_TEXT) && item.pszText && item.pszText != LPSTR_TEXTCALLBACKW)
            node.Text = item.pszText;
        if (item.mask & TVIF_PARAM)
            node.Param = item.lParam;
        if ((item.mask & TVIF_STATE) && (item.stateMask & TVIS_EXPANDED))
            node.Expanded = (item.state & TVIS_EXPANDED) != 0;
        HTREEITEM handle = static_cast<HTREEITEM>(simk::NewHandleValue());
        size_t at = siblings.size();
        if (insert->hInsertAfter == TVI_FIRST) {
            at = 0;
        } else if (insert->hInsertAfter == TVI_SORT) {
            at = 0;
            while (at < siblings.size() && w.Items[siblings[at]].Text <= node.Text)
                at++;
        } else if (insert->hInsertAfter != TVI_LAST) {
            auto pos = std::find(siblings.begin(), siblings.end(), insert->hInsertAfter);
            if (pos != siblings.end())
                at = static_cast<size_t>(pos - siblings.begin()) + 1;
        }
        siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(at), handle);
        w.Items[handle] = node;
        Record(w, sim::WindowEventKind::TreeChanged, node.Text);
        return reinterpret_cast<LRESULT>(handle);
    }
    case TVM_DELETEITEM: {
        HTREEITEM item = reinterpret_cast<HTREEITEM>(lParam);
        if (!item || item == TVI_ROOT) {
            w.Roots.clear();
            w.Items.clear();
        } else if (w.Items.count(item)) {
            DeleteTreeItem(w, item);
        } else {
            return FALSE;
        }
        Record(w, sim::WindowEventKind::TreeChanged);
        return TRUE;
    }
    case TVM_EXPAND: {
        auto it = w.Items.find(reinterpret_cast<HTREEITEM>(lParam));
        if (it == w.Items.end() || it->second.Children.empty())
            return FALSE;  // as the tree view does: only an item with children expands
        UINT action = static_cast<UINT>(wParam) & 0x3;
        bool expanded = it->second.Expanded;
        if (action == TVE_EXPAND)
            expanded = true;
        else if (action == TVE_COLLAPSE)
            expanded = false;
        else if (action == TVE_TOGGLE)
            expanded = !expanded;
        else
            return FALSE;
        it->second.Expanded = expanded;
        Record(w, sim::WindowEventKind::TreeChanged, it->second.Text, expanded ? 1 : 0);
        return TRUE;
    }
    case TVM_GETCOUNT:
        return static_cast<LRESULT>(w.Items.size());
    default:
        return 0;
    }
}

LRESULT ControlMessage(Window &w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT:
        SetText(w, reinterpret_cast<const WCHAR *>(lParam));
        return TRUE;
    case WM_GETTEXT:
        return CopyText(w, wParam, lParam);
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w.Text.size());
    default:
        break;
    }
    if (IsClass(w, L"edit"))
        return EditMessage(w, message, wParam, lParam);
    if (IsClass(w, L"msctls_progress32"))
        return ProgressMessage(w, message, wParam, lParam);
    if (IsClass(w, L"systreeview32"))
        return TreeMessage(w, message, wParam, lParam);
    return 0;
}

// --- Dialogs and messages ---------------------------------------------------------

HWND FindChild(const Window &dialog, int id) {
    for (HWND c : dialog.Children) {
        Window *child = Live(c);
        if (child && child->Id == id)
            return c;
    }
    return nullptr;
}

void Post(const Window &target, UINT message, WPARAM wParam, LPARAM lParam) {
    S().Queues[target.ThreadId].Posted.push_back({target.Handle, message, wParam, lParam, 0});
}

// What DefDlgProc does with a message the dialog procedure left alone.
LRESULT DefaultDialogMessage(Window &w, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE: {
        // The dialog manager turns the close box into IDCANCEL, unless the
        // dialog has an IDCANCEL button that is disabled.
        Window *cancel = Live(FindChild(w, IDCANCEL));
        if (cancel && (cancel->Style & WS_DISABLED))
            return 0;
        Post(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel ? cancel->Handle : nullptr));
        return 0;
    }
    case WM_SETTEXT:
        SetText(w, reinterpret_cast<const WCHAR *>(lParam));
        return TRUE;
    case WM_GETTEXT:
        return CopyText(w, wParam, lParam);
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w.Text.size());
    default:
        return 0;
    }
}

// Runs a message through the window's procedure on the calling thread.
LRESULT Deliver(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
    Window *w = Live(h);
    if (!w)
        return 0;
    if (w->Child)
        return ControlMessage(*w, message, wParam, lParam);
    if (w->Proc) {
        INT_PTR handled = w->Proc(h, message, wParam, lParam);
        if (handled)
            return message == WM_INITDIALOG ? handled : 0;
        w = Live(h);
        if (!w)
            return 0;
    }
    return DefaultDialogMessage(*w, message, wParam, lParam);
}

// Sends a message as Windows does: a top-level window owned by another
// simulated thread handles it on its own thread while the sender waits;
// everything else is handled at once on the calling thread.
LRESULT Send(HWND h, UINT message, WPARAM wParam, LPARAM lParam) {
    Window *w = Live(h);
    if (!w)
        return 0;
    if (w->Child || !w->IsDialog || w->ThreadId == simk::CurrentThreadId())
        return Deliver(h, message, wParam, lParam);
    auto &s = S();
    uint64_t id = s.NextSendId++;
    s.Replies[id] = Reply();
    s.Queues[w->ThreadId].Sent.push_back({h, message, wParam, lParam, id});
    simk::Block([id, h] { return S().Replies[id].Done || !Live(h); }, simk::kForever);
    LRESULT result = S().Replies[id].Result;
    S().Replies.erase(id);
    return result;
}

bool HasMessage(DWORD threadId) {
    auto &queues = S().Queues;
    auto it = queues.find(threadId);
    return it != queues.end() && (!it->second.Sent.empty() || !it->second.Posted.empty());
}

// Takes the next message of the thread's queue and dispatches it.
void DispatchNext(DWORD threadId) {
    ThreadQueue &q = S().Queues[threadId];
    QueuedMessage m;
    if (!q.Sent.empty()) {
        m = q.Sent.front();
        q.Sent.pop_front();
    } else {
        m = q.Posted.front();
        q.Posted.pop_front();
    }
    LRESULT result = m.Window ? Deliver(m.Window, m.Message, m.WParam, m.LParam) : 0;
    if (m.SendId) {
        auto it = S().Replies.find(m.SendId);
        if (it != S().Replies.end()) {
            it->second.Done = true;
            it->second.Result = result;
        }
    }
}

bool ClassAvailable(const std::wstring &className, DWORD processId) {
    std::wstring name = Lower(className);
    static const wchar_t *const kSystemClasses[] = {L"button", L"edit", L"static", L"listbox", L"scrollbar",
                                                    L"combobox"};
    for (const wchar_t *c : kSystemClasses)
        if (name == c)
            return true;
    DWORD registered = 0;
    auto it = S().CommonControls.find(processId);
    if (it != S().CommonControls.end())
        registered = it->second;
    if (name == L"systreeview32")
        return (registered & ICC_TREEVIEW_CLASSES) != 0;
    if (name == L"msctls_progress32")
        return (registered & ICC_PROGRESS_CLASS) != 0;
    return false;
}

sim::Control Snapshot(const Window &w) {
    sim::Control c;
    c.Window = w.Handle;
    c.Id = w.Child ? w.Id : 0;
    c.Class = w.Class;
    c.Text = w.Text;
    c.Style = w.Style;
    c.Visible = (w.Style & WS_VISIBLE) != 0;
    c.Enabled = (w.Style & WS_DISABLED) == 0;
    c.Alive = !w.Destroyed;
    c.ImageId = w.ImageId;
    c.Position = w.Position;
    c.RangeMin = w.RangeMin;
    c.RangeMax = w.RangeMax;
    c.SelStart = std::min(w.SelStart, w.SelEnd);
    c.SelEnd = std::max(w.SelStart, w.SelEnd);
    return c;
}

const Window *ControlOf(HWND dialog, int id) {
    const Window *d = Any(dialog);
    if (!d)
        return nullptr;
    if (id == 0)
        return d;
    for (HWND c : d->Children) {
        const Window *child = Any(c);
        if (child && child->Id == id)
            return child;
    }
    return nullptr;
}

sim::TreeItem TreeOf(const Window &w, HTREEITEM handle) {
    const TreeNode &node = w.Items.at(handle);
    sim::TreeItem item;
    item.Text = node.Text;
    item.Expanded = node.Expanded;
    for (HTREEITEM c : node.Children)
        item.Children.push_back(TreeOf(w, c));
    return item;
}

}  // namespace

// ============================================================================
// The program's calls
// ============================================================================

INT_PTR WINAPI DialogBoxParamW(HINSTANCE, LPCWSTR templateName, HWND owner, DLGPROC dialogProc, LPARAM initParam) {
    SIM_ENTER("DialogBoxParamW", -1);
    if (S().NoDisplay) {
        simk::SetError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    if (owner && !Valid(owner))
        return -1;
    const std::vector<uint8_t> *data =
        IS_INTRESOURCE(templateName) ? simres::Find(simres::kTypeDialog, LOWORD(templateName)) : nullptr;
    if (!data) {
        simk::SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }
    simres::DialogTemplate parsed;
    if (!simres::ParseDialog(*data, &parsed)) {
        simk::SetError(ERROR_INVALID_DATA);
        return -1;
    }
    DWORD pid = simk::CurrentProcessId();
    for (const auto &item : parsed.items)
        if (!ClassAvailable(item.className, pid)) {
            simk::SetError(ERROR_CANNOT_FIND_WND_CLASS);
            return -1;
        }

    Window &dialog = NewWindow();
    HWND h = dialog.Handle;
    dialog.IsDialog = true;
    dialog.Parent = owner;
    dialog.Class = L"#32770";
    dialog.Text = parsed.caption;
    dialog.Style = parsed.style & ~WS_VISIBLE;
    dialog.TemplateId = LOWORD(templateName);
    dialog.Proc = dialogProc;
    BringToTop(h);
    Record(dialog, sim::WindowEventKind::Created, dialog.Text);
    HWND focus = nullptr;
    for (const auto &item : parsed.items) {
        Window &control = NewWindow();
        control.Child = true;
        control.Parent = h;
        control.Class = item.className;
        control.Text = item.text;
        control.ImageId = item.textOrdinal;
        control.Style = item.style | WS_CHILD;
        control.Id = static_cast<int>(item.id);
        Any(h)->Children.push_back(control.Handle);
        if (!focus && (item.style & WS_TABSTOP) && (item.style & WS_VISIBLE) && !(item.style & WS_DISABLED))
            focus = control.Handle;
    }

    // The owner is disabled while the modal dialog runs.
    bool reenableOwner = false;
    if (Window *o = Live(owner))
        if (!(o->Style & WS_DISABLED)) {
            SetStyleBit(*o, WS_DISABLED, true);
            reenableOwner = true;
        }

    Deliver(h, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), initParam);
    if (Window *d = Live(h))
        if (!d->Ended)
            SetStyleBit(*d, WS_VISIBLE, true);

    DWORD thread = simk::CurrentThreadId();
    for (;;) {
        Window *d = Live(h);
        if (!d || d->Ended)
            break;
        if (!HasMessage(thread)) {
            simk::Block(
                [h, thread] {
                    Window *w = Live(h);
                    return !w || w->Ended || HasMessage(thread);
                },
                simk::kForever);
            continue;
        }
        DispatchNext(thread);
    }

    INT_PTR result = Any(h)->Result;
    if (Live(h)) {
        if (dialogProc)
            dialogProc(h, WM_DESTROY, 0, 0);
        DestroyWindowTree(h);
    }
    if (reenableOwner)
        if (Window *o = Live(owner))
            SetStyleBit(*o, WS_DISABLED, false);
    return result;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    SIM_ENTER("EndDialog", FALSE);
    Window *w = Valid(dialog);
    if (!w)
        return FALSE;
    if (!w->Ended) {
        w->Ended = true;
        w->Result = result;
        Record(*w, sim::WindowEventKind::Ended, std::wstring(), static_cast<int>(result));
    }
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    SIM_ENTER("GetDlgItem", nullptr);
    Window *w = Valid(dialog);
    if (!w)
        return nullptr;
    HWND child = FindChild(*w, id);
    if (!child)
        simk::SetError(kErrorControlIdNotFound);
    return child;
}

int WINAPI GetDlgCtrlID(HWND window) {
    SIM_ENTER("GetDlgCtrlID", 0);
    Window *w = Valid(window);
    return w && w->Child ? w->Id : 0;
}

BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text) {
    SIM_ENTER("SetWindowTextW", FALSE);
    if (!Valid(window))
        return FALSE;
    Send(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return TRUE;
}

BOOL WINAPI SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
    SIM_ENTER("SetDlgItemTextW", FALSE);
    Window *w = Valid(dialog);
    if (!w)
        return FALSE;
    HWND child = FindChild(*w, id);
    if (!child) {
        simk::SetError(kErrorControlIdNotFound);
        return FALSE;
    }
    Send(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return TRUE;
}

int WINAPI GetWindowTextW(HWND window, LPWSTR buffer, int bufferMax) {
    SIM_ENTER("GetWindowTextW", 0);
    Window *w = Valid(window);
    if (!w || bufferMax <= 0)
        return 0;
    return static_cast<int>(CopyText(*w, static_cast<WPARAM>(bufferMax), reinterpret_cast<LPARAM>(buffer)));
}

int WINAPI GetWindowTextLengthW(HWND window) {
    SIM_ENTER("GetWindowTextLengthW", 0);
    Window *w = Valid(window);
    return w ? static_cast<int>(w->Text.size()) : 0;
}

BOOL WINAPI ShowWindow(HWND window, int command) {
    SIM_ENTER("ShowWindow", FALSE);
    Window *w = Valid(window);
    if (!w)
        return FALSE;
    BOOL wasVisible = (w->Style & WS_VISIBLE) ? TRUE : FALSE;
    SetStyleBit(*w, WS_VISIBLE, command != SW_HIDE);
    return wasVisible;
}

BOOL WINAPI EnableWindow(HWND window, BOOL enable) {
    SIM_ENTER("EnableWindow", FALSE);
    Window *w = Valid(window);
    if (!w)
        return FALSE;
    BOOL wasDisabled = (w->Style & WS_DISABLED) ? TRUE : FALSE;
    SetStyleBit(*w, WS_DISABLED, !enable);
    return wasDisabled;
}

BOOL WINAPI IsWindow(HWND window) {
    SIM_ENTER("IsWindow", FALSE);
    return Live(window) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND window) {
    SIM_ENTER("IsWindowVisible", FALSE);
    for (Window *w = Live(window); w; w = w->Child ? Live(w->Parent) : nullptr) {
        if (!(w->Style & WS_VISIBLE))
            return FALSE;
        if (!w->Child)
            return TRUE;
    }
    return FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND window) {
    SIM_ENTER("IsWindowEnabled", FALSE);
    Window *w = Live(window);
    return w && !(w->Style & WS_DISABLED) ? TRUE : FALSE;
}

HWND WINAPI GetParent(HWND window) {
    SIM_ENTER("GetParent", nullptr);
    Window *w = Valid(window);
    return w ? w->Parent : nullptr;
}

LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_ENTER("SendMessageW", 0);
    if (!Valid(window))
        return 0;
    return Send(window, message, wParam, lParam);
}

LRESULT WINAPI SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_ENTER("SendDlgItemMessageW", 0);
    Window *w = Valid(dialog);
    if (!w)
        return 0;
    HWND child = FindChild(*w, id);
    if (!child) {
        simk::SetError(kErrorControlIdNotFound);
        return 0;
    }
    return Send(child, message, wParam, lParam);
}

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    SIM_ENTER("PostMessageW", FALSE);
    // System messages that carry pointers cannot be posted.
    if (message == WM_SETTEXT || message == WM_GETTEXT || message == EM_REPLACESEL) {
        simk::SetError(kErrorMessageSyncOnly);
        return FALSE;
    }
    if (!window) {
        // A thread message: it reaches the queue, and no window handles it.
        S().Queues[simk::CurrentThreadId()].Posted.push_back({nullptr, message, wParam, lParam, 0});
        return TRUE;
    }
    Window *w = Valid(window);
    if (!w)
        return FALSE;
    if (message == PBM_SETPOS && w->Child && IsClass(*w, L"msctls_progress32")) {
        int position = static_cast<int>(static_cast<INT_PTR>(wParam));
        w->Posted.push_back(position);
        Record(*w, sim::WindowEventKind::Posted, std::wstring(), position);
    }
    Post(*w, message, wParam, lParam);
    return TRUE;
}

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    SIM_ENTER("MessageBoxW", 0);
    auto &s = S();
    if (s.NoDisplay) {
        simk::SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (owner && !Valid(owner))
        return 0;
    sim::MessageBoxCall call;
    call.Time = simk::Now();
    call.ProcessId = simk::CurrentProcessId();
    call.Owner = owner;
    call.Text = text ? text : L"";
    call.Caption = caption ? caption : L"Error";
    call.Type = type;
    auto handler = s.BoxHandler;
    call.Answer = handler ? handler(call) : IDOK;
    S().Boxes.push_back(call);
    return call.Answer;
}

BOOL WINAPI EnumWindows(WNDENUMPROC enumProc, LPARAM lParam) {
    SIM_ENTER("EnumWindows", FALSE);
    if (!enumProc) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> windows = S().ZOrder;
    for (HWND h : windows)
        if (Live(h) && !enumProc(h, lParam))
            return FALSE;
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    SIM_ENTER("GetWindowThreadProcessId", 0);
    Window *w = Valid(window);
    if (!w)
        return 0;
    if (processId)
        *processId = w->ProcessId;
    return w->ThreadId;
}

BOOL WINAPI SetForegroundWindow(HWND window) {
    SIM_ENTER("SetForegroundWindow", FALSE);
    Window *w = Valid(window);
    if (!w)
        return FALSE;
    HWND top = TopOf(*w);
    auto &s = S();
    s.Foreground = top;
    s.ForegroundHistory.push_back(top);
    BringToTop(top);
    Record(*Any(top), sim::WindowEventKind::Foreground);
    return TRUE;
}

HWND WINAPI GetForegroundWindow(void) {
    SIM_ENTER("GetForegroundWindow", nullptr);
    return Live(S().Foreground) ? S().Foreground : nullptr;
}

// The process's window station: one per machine here, interactive unless the
// test says otherwise (a service's in session 0, where windows open but
// nobody sees them).
static const HWINSTA kWindowStation = reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x5A7A));

HWINSTA WINAPI GetProcessWindowStation(void) {
    SIM_ENTER("GetProcessWindowStation", nullptr);
    return kWindowStation;
}

// Only UOI_FLAGS, the one index the program reads.
BOOL WINAPI GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length, LPDWORD needed) {
    SIM_ENTER("GetUserObjectInformationW", FALSE);
    if (object != static_cast<HANDLE>(kWindowStation)) {
        simk::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (index != UOI_FLAGS) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (needed)
        *needed = sizeof(USEROBJECTFLAGS);
    if (!info || length < sizeof(USEROBJECTFLAGS)) {
        simk::SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    USEROBJECTFLAGS flags = {FALSE, FALSE, S().StationHidden ? 0u : static_cast<DWORD>(WSF_VISIBLE)};
    *static_cast<USEROBJECTFLAGS *>(info) = flags;
    return TRUE;
}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX *initControls) {
    SIM_ENTER("InitCommonControlsEx", FALSE);
    if (!initControls || initControls->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        simk::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    S().CommonControls[simk::CurrentProcessId()] |= initControls->dwICC;
    return TRUE;
}

// ============================================================================
// Test-facing API
// ============================================================================

namespace sim {

void SetNoDisplay(bool noDisplay) { S().NoDisplay = noDisplay; }
void SetWindowStationInteractive(bool interactive) { S().StationHidden = !interactive; }

HWND FindDialog(int templateId) {
    std::vector<HWND> all = Dialogs(templateId);
    return all.empty() ? nullptr : all.back();
}

std::vector<HWND> Dialogs(int templateId) {
    std::vector<HWND> found;
    for (HWND h : S().Created) {
        const Window *w = Any(h);
        if (w && w->IsDialog && w->TemplateId == templateId)
            found.push_back(h);
    }
    return found;
}

bool IsDialogOpen(HWND dialog) {
    const Window *w = Live(dialog);
    return w && w->IsDialog && !w->Ended;
}

INT_PTR DialogResult(HWND dialog) {
    const Window *w = Any(dialog);
    return w ? w->Result : 0;
}

DWORD WindowProcess(HWND window) {
    const Window *w = Any(window);
    return w ? w->ProcessId : 0;
}

std::vector<Control> Controls(HWND dialog) {
    std::vector<Control> all;
    if (const Window *d = Any(dialog))
        for (HWND c : d->Children)
            all.push_back(Snapshot(*Any(c)));
    return all;
}

Control GetControl(HWND dialog, int id) {
    const Window *w = ControlOf(dialog, id);
    return w ? Snapshot(*w) : Control();
}

std::wstring ControlText(HWND dialog, int id) { return GetControl(dialog, id).Text; }
bool ControlVisible(HWND dialog, int id) { return GetControl(dialog, id).Visible; }
bool ControlEnabled(HWND dialog, int id) { return GetControl(dialog, id).Enabled; }
int ProgressPosition(HWND dialog, int id) { return GetControl(dialog, id).Position; }

std::vector<int> PostedPositions(HWND dialog, int id) {
    const Window *w = ControlOf(dialog, id);
    return w ? w->Posted : std::vector<int>();
}

std::vector<std::wstring> TextHistory(HWND dialog, int id) {
    const Window *w = ControlOf(dialog, id);
    return w ? w->Texts : std::vector<std::wstring>();
}

std::vector<TreeItem> Tree(HWND dialog, int id) {
    std::vector<TreeItem> items;
    if (const Window *w = ControlOf(dialog, id))
        for (HTREEITEM root : w->Roots)
            items.push_back(TreeOf(*w, root));
    return items;
}

bool Click(HWND dialog, int id) {
    Window *d = Live(dialog);
    if (!d || !d->IsDialog || d->Ended)
        return false;
    Window *control = Live(FindChild(*d, id));
    if (!control)
        return false;
    for (const Window *w : {static_cast<const Window *>(d), static_cast<const Window *>(control)})
        if (!(w->Style & WS_VISIBLE) || (w->Style & WS_DISABLED))
            return false;
    Post(*d, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control->Handle));
    return true;
}

bool CloseDialog(HWND dialog) {
    Window *d = Live(dialog);
    if (!d || !d->IsDialog || d->Ended || (d->Style & WS_DISABLED))
        return false;
    Post(*d, WM_CLOSE, 0, 0);
    return true;
}

const std::vector<WindowEvent> &WindowEvents() { return S().Events; }

const std::vector<MessageBoxCall> &MessageBoxes() { return S().Boxes; }

void OnMessageBox(std::function<int(const MessageBoxCall &)> handler) { S().BoxHandler = std::move(handler); }

HWND CreateTopLevelWindow(DWORD processId, const std::wstring &title) {
    Window &w = NewWindow();
    w.ProcessId = processId;
    w.ThreadId = S().NextOutsideThread++;
    w.Class = L"SimWindow";
    w.Text = title;
    w.Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
    BringToTop(w.Handle);
    Record(w, WindowEventKind::Created, title);
    return w.Handle;
}

std::vector<HWND> TopLevelWindows() { return S().ZOrder; }

HWND ForegroundWindow() { return Live(S().Foreground) ? S().Foreground : nullptr; }

std::vector<HWND> ForegroundHistory() { return S().ForegroundHistory; }

}  // namespace sim
