// The main window: its controls, layout, painting and message dispatch.
#include "app/Unit1.h"

#include "app/resource.h"
#include "win/Dialogs.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

namespace app {

TForm1* Form1 = nullptr;

namespace {

// The window description, in creation order of the controls.
constexpr ControlLayout kLabel1Layout{50, 154, 31, 13, 11, false};
constexpr ControlLayout kLabel2Layout{49, 8, 222, 25, 21, true};
constexpr ControlLayout kLabel3Layout{49, 39, 294, 16, 13, true};
constexpr ControlLayout kBitBtn1Layout{136, 84, 133, 36, 11, false};
constexpr int kArrowSize = 17;
constexpr COLORREF kArrowGround = RGB(255, 0, 255);

DpiSource g_dpiSource = nullptr;

UINT DpiOf(HWND window) {
    if (g_dpiSource != nullptr) {
        return g_dpiSource(window);
    }
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (window != nullptr && getDpi != nullptr) {
        return getDpi(window);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

int Scale(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), 96);
}

win::ScopedFont MakeFont(const ControlLayout& layout, UINT dpi) {
    return win::ScopedFont(CreateFontA(-Scale(layout.fontHeight, dpi), 0, 0, 0,
                                       layout.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                       DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma"));
}

std::string WindowText(HWND window) {
    if (window == nullptr) {
        return {};
    }
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Width of `text` in the control's font, and the font's line height.
SIZE TextExtent(HWND control, HFONT font, const std::string& text) {
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE extent{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    extent.cy = metrics.tmHeight;
    return extent;
}

// The arrow picture at `dpi`, its magenta ground masked out. Nearest-pixel
// stretching keeps the ground pure magenta for the mask.
ScopedImageList MakeArrowImages(UINT dpi) {
    const int size = Scale(kArrowSize, dpi);
    win::ScopedBitmap arrow(
        static_cast<HBITMAP>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDB_ARROW),
                                        IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    ScopedImageList images(ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, 1, 0));
    if (!arrow || !images) {
        return {};
    }
    HDC screen = GetDC(nullptr);
    win::ScopedBitmap scaled(CreateCompatibleBitmap(screen, size, size));
    HDC from = CreateCompatibleDC(screen);
    HDC to = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HGDIOBJ oldFrom = SelectObject(from, arrow.get());
    HGDIOBJ oldTo = SelectObject(to, scaled.get());
    SetStretchBltMode(to, COLORONCOLOR);
    StretchBlt(to, 0, 0, size, size, from, 0, 0, kArrowSize, kArrowSize, SRCCOPY);
    SelectObject(from, oldFrom);
    SelectObject(to, oldTo);
    DeleteDC(from);
    DeleteDC(to);
    if (!scaled || ImageList_AddMasked(images.get(), scaled.get(), kArrowGround) < 0) {
        return {};
    }
    return images;
}

} // namespace

void SetDpiSourceForTesting(DpiSource source) {
    g_dpiSource = source;
}

void ShowException(const std::string& text) {
    win::ShowErrorMessage(!text.empty() && text.back() == '.' ? text : text + ".");
}

void ShowCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        ShowException("Out of memory");
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("Unexpected error");
    }
}

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
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
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
    // Sized by the window's own DPI, as its controls are: the monitor it
    // opens on may differ from the one the system DPI was taken from.
    const int width = Scale(kFormWidth, dpi_);
    const int height = Scale(kFormHeight, dpi_);
    SetWindowPos(form_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
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
        ShowCurrentException();
    }
    return 0;
}

// `hwnd` rather than form_ for the default handling: form_ is cleared at
// WM_DESTROY, and WM_NCDESTROY still follows.
LRESULT TForm1::HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == win::TaskbarButtonCreatedMessage()) {
        // Sent again when the taskbar restarts: the old button is gone.
        if (auto button = win::TaskbarButtonOf(hwnd)) {
            progress_ = std::move(button);
        }
        return 0;
    }
    switch (msg) {
    case WM_CREATE:
        return OnCreate();
    case WM_SIZE:
        return OnSize();
    case WM_ERASEBKGND:
        return OnEraseBackground(reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(reinterpret_cast<HDC>(wParam));
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
    LayOut();
    FormCreate();
    return 0;
}

void TForm1::FormCreate() {
    SetStatus("");
}

// Places the controls from the window description at the window's DPI. A
// caption wider in the platform's font than its design width widens its
// label rather than wrap out of sight.
void TForm1::LayOut() {
    struct Placement {
        HWND window;
        const ControlLayout& layout;
    };
    const Placement placements[] = {{label1_, kLabel1Layout},
                                    {label2_, kLabel2Layout},
                                    {label3_, kLabel3Layout},
                                    {bitBtn1_, kBitBtn1Layout}};
    int i = 0;
    for (const auto& p : placements) {
        fonts_[i] = MakeFont(p.layout, dpi_);
        SendMessageA(p.window, WM_SETFONT, reinterpret_cast<WPARAM>(fonts_[i].get()), FALSE);
        int width = Scale(p.layout.width, dpi_);
        if (p.window == label2_ || p.window == label3_) {
            width = std::max<int>(width,
                                  TextExtent(p.window, fonts_[i].get(), WindowText(p.window)).cx);
        }
        SetWindowPos(p.window, nullptr, Scale(p.layout.left, dpi_), Scale(p.layout.top, dpi_),
                     width, Scale(p.layout.height, dpi_), SWP_NOZORDER | SWP_NOACTIVATE);
        ++i;
    }
    SetArrow();
    SetStatus(WindowText(label1_));
    InvalidateRect(form_, nullptr, TRUE);
}

// The button draws the arrow left of its caption, at the window's DPI. The
// button does not own its image list: the old one goes once it has the new.
void TForm1::SetArrow() {
    ScopedImageList images = MakeArrowImages(dpi_);
    if (!images) {
        return;
    }
    BUTTON_IMAGELIST list{images.get(), {2, 0, 2, 0}, BUTTON_IMAGELIST_ALIGN_LEFT};
    SendMessageA(bitBtn1_, BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&list));
    arrowImages_ = std::move(images);
}

LRESULT TForm1::OnSize() {
    GetClientRect(form_, &image1Bounds_);
    return 0;
}

LRESULT TForm1::OnEraseBackground(HDC dc) {
    RECT client;
    GetClientRect(form_, &client);
    BITMAP info{};
    if (!background_ || GetObjectA(background_.get(), sizeof info, &info) == 0) {
        FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(source, background_.get());
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, 0, 0, client.right, client.bottom, source, 0, 0, info.bmWidth, info.bmHeight,
               SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
    return 1;
}

LRESULT TForm1::OnCtlColorStatic(HDC dc) {
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
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

LRESULT TForm1::OnDpiChanged(WPARAM wParam, LPARAM lParam) {
    dpi_ = HIWORD(wParam);
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(form_, nullptr, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    LayOut();
    return 0;
}

void TForm1::ShowProgress(win::ProgressState state) {
    if (progress_) {
        progress_->SetState(state);
    }
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
    // A run in progress goes on after the window is gone; it must find no
    // controls to touch.
    form_ = label1_ = label2_ = label3_ = bitBtn1_ = nullptr;
    win::SetMainWindow(nullptr);
    PostQuitMessage(0);
    return 0;
}

// Label1 is sized to its text; the picture under the old and the new text is
// redrawn, since a transparent label does not paint its own background.
void TForm1::SetStatus(const std::string& text) {
    if (label1_ == nullptr) {
        return;
    }
    RECT before;
    GetWindowRect(label1_, &before);
    MapWindowPoints(nullptr, form_, reinterpret_cast<POINT*>(&before), 2);
    SetWindowTextA(label1_, text.c_str());
    const SIZE extent = TextExtent(label1_, fonts_[0].get(), text);
    SetWindowPos(label1_, nullptr, 0, 0, extent.cx, extent.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT after;
    GetWindowRect(label1_, &after);
    MapWindowPoints(nullptr, form_, reinterpret_cast<POINT*>(&after), 2);
    RECT dirty;
    UnionRect(&dirty, &before, &after);
    RedrawWindow(form_, &dirty, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
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
