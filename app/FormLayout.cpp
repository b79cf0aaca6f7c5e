// The main window's look: the window description laid out at the window's
// DPI, the picture, the arrow and the status line.
#include "app/FormLayout.h"

#include "app/resource.h"
#include "win/Accessibility.h"
#include "win/Dialogs.h"
#include "win/LateBound.h"
#include "win/TaskbarProgress.h"

#include <algorithm>
#include <utility>

namespace app {
namespace {

// The window description at 96 DPI, in creation order of the controls
// (their tab order); LayOut scales it to the window's DPI.
constexpr ControlLayout kLabel1Layout{50, 154, 31, 13, 11, false};
constexpr ControlLayout kLabel2Layout{49, 8, 222, 25, 21, true};
constexpr ControlLayout kLabel3Layout{49, 39, 294, 16, 13, true};
constexpr ControlLayout kBitBtn1Layout{136, 84, 133, 36, 11, false};
constexpr int kArrowSize = 17;
constexpr COLORREF kArrowGround = RGB(255, 0, 255);

WindowEnvironment g_environment;

win::ScopedFont MakeFont(const ControlLayout& layout, UINT dpi) {
    return win::ScopedFont(CreateFontA(-Scale(layout.fontHeight, dpi), 0, 0, 0,
                                       layout.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                       DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma"));
}

RECT WorkAreaOf(HWND window) {
    if (g_environment.workArea != nullptr) {
        return g_environment.workArea(window);
    }
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
        return monitor.rcWork;
    }
    return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
}

// Width of `text` in the control's font, and the font's line height:
// measured, since the platform's font may be wider than the design's.
SIZE TextExtent(HWND control, HFONT font, const std::string& text) {
    const win::ScopedWindowDC dc(control);
    const win::ScopedSelection selected(dc.get(), font);
    SIZE extent{};
    GetTextExtentPoint32A(dc.get(), text.c_str(), static_cast<int>(text.size()), &extent);
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc.get(), &metrics);
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
    ScopedImageList images(win::late::ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, 1, 0));
    if (!arrow || !images) {
        return {};
    }
    win::ScopedBitmap scaled;
    {
        const win::ScopedWindowDC screen(nullptr);
        scaled.reset(CreateCompatibleBitmap(screen.get(), size, size));
        const win::ScopedMemoryDC from(CreateCompatibleDC(screen.get()));
        const win::ScopedMemoryDC to(CreateCompatibleDC(screen.get()));
        if (!scaled || !from || !to) {
            return {};
        }
        // Both bitmaps are selected out again before the image list takes one.
        const win::ScopedSelection source(from.get(), arrow.get());
        const win::ScopedSelection target(to.get(), scaled.get());
        SetStretchBltMode(to.get(), COLORONCOLOR);
        StretchBlt(to.get(), 0, 0, size, size, from.get(), 0, 0, kArrowSize, kArrowSize, SRCCOPY);
    }
    if (win::late::ImageList_AddMasked(images.get(), scaled.get(), kArrowGround) < 0) {
        return {};
    }
    return images;
}

} // namespace

UINT DpiOf(HWND window) {
    if (g_environment.dpi != nullptr) {
        return g_environment.dpi(window);
    }
    const auto getDpi = win::late::GetDpiForWindow();
    if (window != nullptr && getDpi != nullptr) {
        return getDpi(window);
    }
    const win::ScopedWindowDC screen(nullptr);
    const int dpi = GetDeviceCaps(screen.get(), LOGPIXELSY);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

bool HighContrastOn() {
    if (g_environment.highContrast != nullptr) {
        return g_environment.highContrast();
    }
    HIGHCONTRASTA contrast{};
    contrast.cbSize = sizeof contrast;
    return SystemParametersInfoA(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

std::unique_ptr<win::ProgressDisplay> TaskbarButtonFor(HWND window) {
    return g_environment.taskbarButton != nullptr ? g_environment.taskbarButton(window)
                                                  : win::TaskbarButtonOf(window);
}

int Scale(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), 96);
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

void SetWindowEnvironmentForTesting(const WindowEnvironment& environment) {
    g_environment = environment;
    win::SetBeepObserverForTesting(environment.beeped);
    win::SetFlashObserverForTesting(environment.flashed, environment.foreground);
}

// Centred on the work area of the monitor the window opens on, so that no
// taskbar covers part of it, and sized by the window's own DPI, as its
// controls are: that monitor's DPI may differ from the system's.
void TForm1::PlaceOnItsMonitor() {
    const int width = Scale(kFormWidth, dpi_);
    const int height = Scale(kFormHeight, dpi_);
    const RECT work = WorkAreaOf(form_);
    // A window larger than the work area keeps its title bar on it.
    const int left = work.left + std::max(0, static_cast<int>(work.right - work.left) - width) / 2;
    const int top = work.top + std::max(0, static_cast<int>(work.bottom - work.top) - height) / 2;
    SetWindowPos(form_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
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
        // The control holds its font until it has the new one.
        win::ScopedFont font = MakeFont(p.layout, dpi_);
        SendMessageA(p.window, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
        fonts_[i] = std::move(font);
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

// Under high contrast the picture would stand behind the user's colours.
LRESULT TForm1::OnEraseBackground(HDC dc) {
    RECT client;
    GetClientRect(form_, &client);
    if (HighContrastOn()) {
        FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
        return 1;
    }
    BITMAP info{};
    const bool hasPicture = background_ && GetObjectA(background_.get(), sizeof info, &info) != 0;
    const win::ScopedMemoryDC source(hasPicture ? CreateCompatibleDC(dc) : nullptr);
    if (!source) {
        FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    const win::ScopedSelection picture(source.get(), background_.get());
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, 0, 0, client.right, client.bottom, source.get(), 0, 0, info.bmWidth,
               info.bmHeight, SRCCOPY);
    return 1;
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

// Label1 is sized to its text; the picture under the old and the new text is
// redrawn, since a transparent label does not paint its own background.
void TForm1::SetStatus(const std::string& text) {
    if (label1_ == nullptr) {
        return;
    }
    RECT before;
    GetWindowRect(label1_, &before);
    MapWindowPoints(nullptr, form_, reinterpret_cast<POINT*>(&before), 2);
    const bool changed = WindowText(label1_) != text;
    SetWindowTextA(label1_, text.c_str());
    // A screen reader hears each new status, read out without the focus.
    if (changed) {
        win::AnnounceTextChange(label1_);
    }
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

} // namespace app
