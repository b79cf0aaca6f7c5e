// The main window: its controls, its state and its message dispatch.
#include "app/Unit1.h"

#include "app/FormLayout.h"
#include "app/resource.h"
#include "win/Accessibility.h"
#include "win/Dialogs.h"

#include <utility>

namespace app {

TForm1* Form1 = nullptr;

TForm1::~TForm1() {
    if (form_ != nullptr) {
        DestroyWindow(form_);
    }
    if (Form1 == this) {
        Form1 = nullptr;
    }
}

bool TForm1::Create(HINSTANCE instance, int show) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAINICON));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFormClass;
    RegisterClassExA(&wc); // fails harmlessly when already registered

    Form1 = this;
    if (CreateWindowExA(0, kFormClass, kFormCaption, WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS,
                        CW_USEDEFAULT, CW_USEDEFAULT, kFormWidth, kFormHeight, nullptr, nullptr,
                        instance, this) == nullptr) {
        Form1 = nullptr;
        return false;
    }
    PlaceOnItsMonitor();
    win::SetMainWindow(form_);
    ShowWindow(form_, show);
    UpdateWindow(form_);
    SetFocus(bitBtn1_);
    return true;
}

LRESULT CALLBACK TForm1::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->form_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TForm1*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    // No exception may cross into the platform: an error that escapes a
    // handler is shown as the toolkit shows it, and the program goes on.
    try {
        return self->HandleMessage(hwnd, msg, wParam, lParam);
    } catch (...) {
        win::ShowCurrentException();
    }
    return 0;
}

// `hwnd` rather than form_ for the default handling: form_ is cleared at
// WM_DESTROY, and WM_NCDESTROY still follows.
LRESULT TForm1::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == win::TaskbarButtonCreatedMessage()) {
        // Sent again when the taskbar restarts: the old button is gone. A
        // copy under way asks for the button at each chunk, so it moves on
        // to this one.
        if (auto button = TaskbarButtonFor(hwnd)) {
            progress_.Replace(std::move(button));
        }
        return 0;
    }
    switch (msg) {
    case WM_CREATE:
        return OnCreate();
    case WM_ERASEBKGND:
        return OnEraseBackground(reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(reinterpret_cast<HDC>(wParam));
    case WM_SETTINGCHANGE:
        if (wParam == SPI_SETHIGHCONTRAST) {
            return OnColoursChanged(msg, wParam, lParam);
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_SYSCOLORCHANGE:
        return OnColoursChanged(msg, wParam, lParam);
    case WM_COMMAND:
        return OnCommand(wParam);
    case WM_DPICHANGED:
        return OnDpiChanged(wParam, lParam);
    case WM_CLOSE:
        return OnClose();
    case WM_QUERYENDSESSION:
        return OnQueryEndSession();
    case WM_SETFOCUS:
        return OnSetFocus();
    case WM_DESTROY:
        return OnDestroy();
    default:
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
}

HWND TForm1::CreateControl(const char* className, DWORD style, int id, const char* text) {
    return CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, form_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleA(nullptr), nullptr);
}

LRESULT TForm1::OnCreate() {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    background_.reset(static_cast<HBITMAP>(LoadImageA(instance, MAKEINTRESOURCEA(IDB_BACKGROUND),
                                                      IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    dpi_ = DpiOf(form_);
    constexpr DWORD kLabelStyle = SS_LEFT | SS_NOPREFIX;
    label1_ = CreateControl("Static", kLabelStyle, kLabel1, "Label1");
    label2_ = CreateControl("Static", kLabelStyle, kLabel2, "Vesko Navigator VK7");
    label3_ = CreateControl("Static", kLabelStyle, kLabel3,
                            "Upgrade Vesko KestrovaCE to version " VESKO_VERSION_TEXT);
    bitBtn1_ = CreateControl("Button", WS_TABSTOP | BS_DEFPUSHBUTTON, kBitBtn1, "Press to Upgrade");
    if (label1_ == nullptr || label2_ == nullptr || label3_ == nullptr || bitBtn1_ == nullptr) {
        return -1;
    }
    liveRegion_ = win::MakePoliteLiveRegion(label1_); // where the system has live regions
    win::AllowTaskbarButtonCreated(form_);
    LayOut();
    FormCreate();
    return 0;
}

void TForm1::FormCreate() {
    SetStatus("");
}

// White over the picture; the user's own text colour under high contrast.
LRESULT TForm1::OnCtlColorStatic(HDC dc) {
    SetTextColor(dc, HighContrastOn() ? GetSysColor(COLOR_WINDOWTEXT) : RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
}

// High contrast switched, or the system's colours changed: repaint at once.
// Only top-level windows get WM_SYSCOLORCHANGE, and common controls (the
// button) keep their old colours unless it is passed on to them.
LRESULT TForm1::OnColoursChanged(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SYSCOLORCHANGE) {
        for (HWND child = GetWindow(form_, GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            SendMessageA(child, WM_SYSCOLORCHANGE, wParam, lParam);
        }
    }
    RedrawWindow(form_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

LRESULT TForm1::OnCommand(WPARAM wParam) {
    // Enter reaches here through the dialog keys even while a run keeps the
    // button disabled: a disabled button starts nothing.
    if (LOWORD(wParam) == kBitBtn1 && HIWORD(wParam) == BN_CLICKED && bitBtn1_ != nullptr &&
        IsWindowEnabled(bitBtn1_)) {
        BitBtn1Click();
    }
    return 0;
}

void TForm1::ShowProgress(win::ProgressState state) {
    progress_.SetState(state);
}

// Closing during a run does not stop it: the window stays, showing the
// progress and every box of the rest of the run, and closes by itself when
// the run ends.
LRESULT TForm1::OnClose() {
    if (running_) {
        closeAfterRun_ = true;
        return 0;
    }
    DestroyWindow(form_);
    return 0;
}

// A session that ended mid-copy would leave a truncated file on the device.
LRESULT TForm1::OnQueryEndSession() const {
    return running_ ? FALSE : TRUE;
}

// The window itself takes no keys: the focus belongs on the button.
LRESULT TForm1::OnSetFocus() {
    if (bitBtn1_ != nullptr && IsWindowEnabled(bitBtn1_)) {
        SetFocus(bitBtn1_);
    }
    return 0;
}

LRESULT TForm1::OnDestroy() {
    if (std::exchange(liveRegion_, false)) {
        win::ClearLiveRegion(label1_);
    }
    // A run in progress goes on after the window is gone; it must find no
    // controls to touch.
    form_ = label1_ = label2_ = label3_ = bitBtn1_ = nullptr;
    win::SetMainWindow(nullptr);
    PostQuitMessage(0);
    return 0;
}

void TForm1::SetButtonCaption(const std::string& text) {
    if (bitBtn1_ != nullptr) {
        SetWindowTextA(bitBtn1_, text.c_str());
    }
}

void TForm1::EnableButton(bool enabled) {
    if (bitBtn1_ == nullptr) {
        return;
    }
    EnableWindow(bitBtn1_, enabled);
    // Disabling the button took the focus away; Space must press it again.
    if (enabled && GetActiveWindow() == form_) {
        SetFocus(bitBtn1_);
    }
}

std::string TForm1::ButtonCaption() const {
    return WindowText(bitBtn1_);
}

void TForm1::Close() {
    if (form_ != nullptr) {
        PostMessageA(form_, WM_CLOSE, 0, 0);
    }
}

} // namespace app
