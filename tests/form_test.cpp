// The main window: its layout, keyboard, DPI scaling and error handler.
#include "support/FormFixture.h"
#include "win/Accessibility.h"
#include "win/Dialogs.h"
#include "win/LateBound.h"
#include "win/TaskbarProgress.h"

#include <oleacc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

using namespace testing_support;

namespace {

RECT ClientRectOf(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LOGFONTA FontOf(HWND control) {
    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)), sizeof font,
               &font);
    return font;
}

int ArrowSize(HWND button) {
    BUTTON_IMAGELIST images{};
    SendMessageA(button, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images));
    int cx = 0, cy = 0;
    if (images.himl == nullptr || !ImageList_GetIconSize(images.himl, &cx, &cy) || cx != cy) {
        return -1;
    }
    return cx;
}

// The window's background as it paints it, into a 32-bit bitmap first
// filled with button face.
class PaintedBackground {
  public:
    explicit PaintedBackground(HWND form) {
        GetClientRect(form, &client_);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = client_.right;
        info.bmiHeader.biHeight = -client_.bottom; // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HDC screen = GetDC(form);
        bitmap_ = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC dc = CreateCompatibleDC(screen);
        ReleaseDC(form, screen);
        HGDIOBJ old = SelectObject(dc, bitmap_);
        FillRect(dc, &client_, GetSysColorBrush(COLOR_BTNFACE));
        SendMessageA(form, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        GdiFlush();
        SelectObject(dc, old);
        DeleteDC(dc);
        pixels_ = static_cast<const DWORD*>(bits);
    }
    ~PaintedBackground() { DeleteObject(bitmap_); }
    PaintedBackground(const PaintedBackground&) = delete;
    PaintedBackground& operator=(const PaintedBackground&) = delete;

    const RECT& client() const { return client_; }
    COLORREF At(LONG x, LONG y) const {
        const DWORD bgr = pixels_[y * client_.right + x];
        return RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF);
    }

  private:
    RECT client_{};
    HBITMAP bitmap_ = nullptr;
    const DWORD* pixels_ = nullptr;
};

// The colour at the background's four corners and its centre.
std::vector<COLORREF> PaintedPoints(HWND form) {
    const PaintedBackground painted(form);
    const RECT& client = painted.client();
    std::vector<COLORREF> points;
    for (const POINT p :
         {POINT{1, 1}, POINT{client.right - 2, 1}, POINT{1, client.bottom - 2},
          POINT{client.right - 2, client.bottom - 2}, POINT{client.right / 2, client.bottom / 2}}) {
        points.push_back(painted.At(p.x, p.y));
    }
    return points;
}

// WCAG's relative luminance of an sRGB colour.
double Luminance(COLORREF c) {
    const auto linear = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(GetRValue(c)) + 0.7152 * linear(GetGValue(c)) +
           0.0722 * linear(GetBValue(c));
}

// The lowest contrast of white text over any painted pixel inside `area`.
double WorstContrastOfWhite(const PaintedBackground& painted, RECT area) {
    IntersectRect(&area, &area, &painted.client());
    double lightest = 0;
    for (LONG y = area.top; y < area.bottom; ++y) {
        for (LONG x = area.left; x < area.right; ++x) {
            lightest = std::max(lightest, Luminance(painted.At(x, y)));
        }
    }
    return 1.05 / (lightest + 0.05);
}

// The picture is blue throughout; button face is grey.
bool AllBlue(const std::vector<COLORREF>& points) {
    return std::all_of(points.begin(), points.end(), [](COLORREF c) {
        return GetBValue(c) > GetRValue(c) + 32 && GetBValue(c) > GetGValue(c);
    });
}

void DpiChange(HWND window, UINT dpi) {
    RECT suggested{100, 100, 100 + MulDiv(412, static_cast<int>(dpi), 96),
                   100 + MulDiv(217, static_cast<int>(dpi), 96)};
    SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}

class Form : public FormFixture {};

TEST_F(Form, StartsCentredWithAnEmptyStatusAndTheUpgradeButton) {
    EXPECT_EQ(TextOf(form.Handle()), "Vesko Navigator Upgrade");
    char cls[32] = {};
    GetClassNameA(form.Handle(), cls, sizeof cls);
    EXPECT_STREQ(cls, "TForm1");
    RECT outer;
    GetWindowRect(form.Handle(), &outer);
    EXPECT_EQ(outer.right - outer.left, 412);
    EXPECT_EQ(outer.bottom - outer.top, 217);
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(Caption(), "Press to Upgrade");
    EXPECT_TRUE(Enabled());
    EXPECT_EQ(TextOf(form.Label2()), "Vesko Navigator VK7");
    EXPECT_EQ(TextOf(form.Label3()), "Upgrade Vesko KestrovaCE to version 2.51c");
    EXPECT_EQ(app::Form1, &form);
}

TEST_F(Form, ControlsStandWhereTheWindowDescriptionPutsThem) {
    ASSERT_EQ(form.Dpi(), 96u);
    const struct {
        const char* name;
        HWND control;
        RECT expected; // left, top, right, bottom
        LONG fontHeight;
        bool bold;
    } rows[] = {
        {"Label2", form.Label2(), {49, 8, 49 + 222, 8 + 25}, -21, true},
        {"Label3", form.Label3(), {49, 39, 49 + 294, 39 + 16}, -13, true},
        {"BitBtn1", form.BitBtn1(), {136, 84, 136 + 133, 84 + 36}, -11, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const RECT r = ClientRectOf(row.control);
        EXPECT_EQ(r.left, row.expected.left);
        EXPECT_EQ(r.top, row.expected.top);
        EXPECT_EQ(r.bottom, row.expected.bottom);
        // A label widens only when its caption needs more room in this font.
        EXPECT_GE(r.right, row.expected.right);
        HDC dc = GetDC(row.control);
        HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(row.control, WM_GETFONT, 0, 0)));
        SIZE extent{};
        const std::string text = TextOf(row.control);
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        SelectObject(dc, old);
        ReleaseDC(row.control, dc);
        if (row.control == form.BitBtn1() || extent.cx <= row.expected.right - row.expected.left) {
            EXPECT_EQ(r.right, row.expected.right);
        } else {
            EXPECT_EQ(r.right - r.left, extent.cx);
        }
        const LOGFONTA font = FontOf(row.control);
        EXPECT_EQ(font.lfHeight, row.fontHeight);
        EXPECT_EQ(font.lfWeight, row.bold ? FW_BOLD : FW_NORMAL);
        EXPECT_STREQ(font.lfFaceName, "Tahoma");
    }
    const RECT status = ClientRectOf(form.Label1());
    EXPECT_EQ(status.left, 50);
    EXPECT_EQ(status.top, 154);
    EXPECT_EQ(FontOf(form.Label1()).lfHeight, -11);
    EXPECT_EQ(FontOf(form.Label1()).lfWeight, FW_NORMAL);
}

TEST_F(Form, LabelsAreWhiteAndTransparentOverThePicture) {
    HDC dc = GetDC(form.Label2());
    SetTextColor(dc, RGB(0, 0, 0));
    const auto brush = reinterpret_cast<HBRUSH>(
        SendMessageA(form.Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(form.Label2())));
    EXPECT_EQ(brush, GetStockObject(NULL_BRUSH));
    EXPECT_EQ(GetTextColor(dc), RGB(255, 255, 255));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    ReleaseDC(form.Label2(), dc);
}

// White labels stay legible over the picture at every DPI: WCAG's 4.5:1
// for text of this size, against the lightest pixel behind each label. The
// status line's width follows its text, so its area runs to the right edge.
TEST_F(Form, LabelsKeepTheirContrastOverThePictureAtEveryDpi) {
    for (const UINT dpi : {96u, 144u, 192u}) {
        SCOPED_TRACE(dpi);
        DpiChange(form.Handle(), dpi);
        const PaintedBackground painted(form.Handle());
        RECT status = ClientRectOf(form.Label1());
        status.right = painted.client().right;
        const struct {
            const char* label;
            RECT area;
        } rows[] = {{"Label1", status},
                    {"Label2", ClientRectOf(form.Label2())},
                    {"Label3", ClientRectOf(form.Label3())}};
        for (const auto& row : rows) {
            const double worst = WorstContrastOfWhite(painted, row.area);
            std::printf("contrast of white over the picture, %s at %u DPI: %.2f:1\n", row.label,
                        dpi, worst);
            EXPECT_GE(worst, 4.5) << row.label;
        }
    }
}

// Wine cannot switch high contrast on: the environment says it is.
bool g_highContrast = false;

bool NeedsPainting(HWND window) {
    RECT update;
    return GetUpdateRect(window, &update, FALSE) != FALSE;
}

// Which controls WM_SYSCOLORCHANGE reached.
std::map<HWND, WNDPROC> g_childProcs;
std::set<HWND> g_colourChangeReached;
LRESULT CALLBACK NoteColourChange(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SYSCOLORCHANGE) {
        g_colourChangeReached.insert(window);
    }
    return CallWindowProcA(g_childProcs[window], window, msg, wParam, lParam);
}

TEST_F(Form, HighContrastShowsNoPictureAndTheSystemsColours) {
    g_highContrast = true;
    const ScopedWindowEnvironment environment({.highContrast = [] { return g_highContrast; }});
    for (const COLORREF c : PaintedPoints(form.Handle())) {
        EXPECT_EQ(c, GetSysColor(COLOR_WINDOW));
    }
    HDC dc = GetDC(form.Label3());
    SendMessageA(form.Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(form.Label3()));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    ReleaseDC(form.Label3(), dc);

    // A switch while the program runs repaints the window and its labels.
    const struct {
        const char* what;
        UINT msg;
        WPARAM wParam;
        bool repaints;
    } rows[] = {{"high contrast switched", WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, true},
                {"system colours changed", WM_SYSCOLORCHANGE, 0, true},
                {"another setting changed", WM_SETTINGCHANGE, SPI_SETBEEP, false}};
    const std::set<HWND> children{form.Label1(), form.Label2(), form.Label3(), form.BitBtn1()};
    for (HWND child : children) {
        g_childProcs[child] = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(child, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(NoteColourChange)));
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        UpdateWindow(form.Handle());
        ASSERT_FALSE(NeedsPainting(form.Handle()));
        g_colourChangeReached.clear();
        SendMessageA(form.Handle(), row.msg, row.wParam, 0);
        EXPECT_EQ(NeedsPainting(form.Handle()), row.repaints);
        EXPECT_EQ(NeedsPainting(form.Label2()), row.repaints);
        // Only top-level windows get it from the system: the form passes it
        // on, so that the button takes the new colours.
        EXPECT_EQ(g_colourChangeReached,
                  row.msg == WM_SYSCOLORCHANGE ? children : std::set<HWND>{});
    }
    for (HWND child : children) {
        SetWindowLongPtrA(child, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_childProcs[child]));
    }
    g_highContrast = false;
    EXPECT_TRUE(AllBlue(PaintedPoints(form.Handle())));
}

// The status line's accessible name is its text, as a screen reader reads it.
TEST_F(Form, StatusLinesAccessibleNameIsItsText) {
    // MinGW's import library gives IID_IAccessible a wrong value.
    constexpr IID kIAccessible = {
        0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    for (const char* text : {"Please wait - Copying KestrovaCE.exe", "Upgrade Complete"}) {
        SCOPED_TRACE(text);
        SetWindowTextA(form.Label1(), text);
        IAccessible* accessible = nullptr;
        ASSERT_TRUE(SUCCEEDED(AccessibleObjectFromWindow(form.Label1(), OBJID_CLIENT, kIAccessible,
                                                         reinterpret_cast<void**>(&accessible))));
        VARIANT self{};
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR name = nullptr;
        EXPECT_EQ(accessible->get_accName(self, &name), S_OK);
        EXPECT_EQ(name != nullptr ? std::wstring(name) : L"",
                  std::wstring(text, text + std::strlen(text)));
        SysFreeString(name);
        accessible->Release();
    }
    CoUninitialize();
}

TEST_F(Form, ButtonIsFirstInTabOrderAndCarriesTheArrow) {
    EXPECT_EQ(GetNextDlgTabItem(form.Handle(), nullptr, FALSE), form.BitBtn1());
    BUTTON_IMAGELIST images{};
    ASSERT_TRUE(
        SendMessageA(form.BitBtn1(), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)));
    ASSERT_NE(images.himl, nullptr);
    int cx = 0, cy = 0;
    ImageList_GetIconSize(images.himl, &cx, &cy);
    EXPECT_EQ(cx, 17);
    EXPECT_EQ(cy, 17);
    EXPECT_EQ(images.uAlign, static_cast<UINT>(BUTTON_IMAGELIST_ALIGN_LEFT));
    // The magenta ground is masked out: its corner pixel is transparent.
    IMAGEINFO info{};
    ASSERT_TRUE(ImageList_GetImageInfo(images.himl, 0, &info));
    EXPECT_NE(info.hbmMask, nullptr);
}

TEST_F(Form, PictureFollowsTheWindowWhileLabelsAndButtonStay) {
    EXPECT_TRUE(AllBlue(PaintedPoints(form.Handle())));
    const RECT buttonBefore = ClientRectOf(form.BitBtn1());
    const RECT labelBefore = ClientRectOf(form.Label3());
    SetWindowPos(form.Handle(), nullptr, 0, 0, 700, 500, SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(form.Handle(), &client);
    EXPECT_GT(client.right, 600);
    EXPECT_TRUE(AllBlue(PaintedPoints(form.Handle())));
    const RECT buttonAfter = ClientRectOf(form.BitBtn1());
    const RECT labelAfter = ClientRectOf(form.Label3());
    EXPECT_TRUE(EqualRect(&buttonBefore, &buttonAfter));
    EXPECT_TRUE(EqualRect(&labelBefore, &labelAfter));
}

TEST_F(Form, ScalesEverythingByTheNewDpi) {
    RECT suggested{100, 100, 100 + 618, 100 + 326};
    SendMessageA(form.Handle(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
    const RECT button = ClientRectOf(form.BitBtn1());
    EXPECT_EQ(button.left, MulDiv(136, 144, 96));
    EXPECT_EQ(button.top, MulDiv(84, 144, 96));
    EXPECT_EQ(button.right - button.left, MulDiv(133, 144, 96));
    EXPECT_EQ(FontOf(form.Label2()).lfHeight, -MulDiv(21, 144, 96));
    EXPECT_EQ(ClientRectOf(form.Label1()).top, MulDiv(154, 144, 96));
    RECT outer;
    GetWindowRect(form.Handle(), &outer);
    EXPECT_EQ(outer.right - outer.left, 618);
    EXPECT_EQ(ArrowSize(form.BitBtn1()), MulDiv(17, 144, 96));
}

// A control is never left holding a deleted font: the old one goes only
// once the control has the new one.
HFONT g_heldAtChange = nullptr;
bool g_heldWasAFont = false;
WNDPROC g_controlProc = nullptr;
LRESULT CALLBACK NoteHeldFont(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SETFONT) {
        g_heldAtChange =
            reinterpret_cast<HFONT>(CallWindowProcA(g_controlProc, window, WM_GETFONT, 0, 0));
        g_heldWasAFont = GetObjectType(g_heldAtChange) == OBJ_FONT;
    }
    return CallWindowProcA(g_controlProc, window, msg, wParam, lParam);
}

TEST_F(Form, NewFontsReachTheControlsBeforeTheOldOnesGo) {
    for (HWND control : {form.Label1(), form.Label2(), form.Label3(), form.BitBtn1()}) {
        g_heldAtChange = nullptr;
        g_heldWasAFont = false;
        g_controlProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(NoteHeldFont)));
        DpiChange(form.Handle(), 144);
        SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_controlProc));
        EXPECT_NE(g_heldAtChange, nullptr) << TextOf(control);
        EXPECT_TRUE(g_heldWasAFont) << TextOf(control);
        DpiChange(form.Handle(), 96);
    }
}

// Centred on the work area of its monitor, not the whole screen: a taskbar
// covers no part of it. The platform's work area where no test sets one.
RECT g_workArea{};
TEST(FormPlacement, CentredOnTheWorkAreaOfItsMonitor) {
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const struct {
        const char* taskbar;
        std::optional<RECT> work; // nothing: the platform's
        UINT dpi;
    } rows[] = {
        {"the platform's", std::nullopt, 96},
        {"none", RECT{0, 0, screenWidth, screenHeight}, 96},
        {"at the bottom", RECT{0, 0, screenWidth, screenHeight - 60}, 96},
        {"at the top", RECT{0, 60, screenWidth, screenHeight}, 96},
        {"on the left, a second monitor at 144 DPI",
         RECT{screenWidth + 120, 0, 2 * screenWidth, screenHeight}, 144},
        {"a work area smaller than the window", RECT{10, 20, 210, 120}, 96},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.taskbar);
        g_workArea = row.work.value_or(RECT{});
        static UINT dpi;
        dpi = row.dpi;
        const auto fromTheRow = [](HWND) { return g_workArea; };
        const ScopedWindowEnvironment environment(
            {.dpi = [](HWND window) { return window != nullptr ? dpi : 96u; },
             .workArea = row.work ? +fromTheRow : nullptr});
        app::TForm1 form;
        ASSERT_TRUE(form.Create(GetModuleHandleA(nullptr), SW_SHOW));
        RECT work;
        if (row.work) {
            work = *row.work;
        } else {
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            GetMonitorInfoA(MonitorFromWindow(form.Handle(), MONITOR_DEFAULTTONEAREST), &monitor);
            work = monitor.rcWork;
        }
        const int width = MulDiv(412, static_cast<int>(row.dpi), 96);
        const int height = MulDiv(217, static_cast<int>(row.dpi), 96);
        RECT outer;
        GetWindowRect(form.Handle(), &outer);
        EXPECT_EQ(outer.right - outer.left, width);
        EXPECT_EQ(outer.left,
                  work.left + std::max(0, static_cast<int>(work.right - work.left) - width) / 2);
        EXPECT_EQ(outer.top,
                  work.top + std::max(0, static_cast<int>(work.bottom - work.top) - height) / 2);
    }
    MSG quit;
    while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

// Each change of DPI brings an arrow of its own size; the old pictures go.
TEST_F(Form, ArrowFollowsTheDpiWithoutLeakingPictures) {
    const struct {
        UINT dpi;
        int arrow;
    } rows[] = {{96, 17}, {120, 21}, {144, 26}, {192, 34}, {96, 17}};
    for (const auto& row : rows) {
        DpiChange(form.Handle(), row.dpi);
        EXPECT_EQ(ArrowSize(form.BitBtn1()), row.arrow) << row.dpi;
    }
    // What the window held before a change is deleted after it: the GUI
    // object count that would show a leak answers 0 under Wine.
    std::vector<HGDIOBJ> old;
    for (HWND control : {form.Label1(), form.Label2(), form.Label3(), form.BitBtn1()}) {
        old.push_back(reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
    }
    BUTTON_IMAGELIST images{};
    ASSERT_TRUE(
        SendMessageA(form.BitBtn1(), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)));
    IMAGEINFO arrow{};
    ASSERT_TRUE(ImageList_GetImageInfo(images.himl, 0, &arrow));
    old.push_back(arrow.hbmImage);
    old.push_back(arrow.hbmMask);
    DpiChange(form.Handle(), 144);
    for (std::size_t i = 0; i < old.size(); ++i) {
        EXPECT_EQ(GetObjectType(old[i]), 0u) << "object " << i << " of the old DPI";
    }

    const auto handle = ProbeHandleValue();
    const auto memory = PrivateCommittedBytes();
    for (int i = 0; i < 100; ++i) {
        DpiChange(form.Handle(), i % 2 == 0 ? 144 : 96);
    }
    EXPECT_LE(ProbeHandleValue(), handle);
    EXPECT_LT(PrivateCommittedBytes(), memory + 256 * 1024);
}

// A window that opens on a monitor whose DPI is not the system's is sized
// by the same DPI as its controls.
TEST(FormDpi, WindowAndControlsTakeTheWindowsDpi) {
    {
        const ScopedWindowEnvironment environment(
            {.dpi = [](HWND window) { return window != nullptr ? 144u : 96u; }});
        app::TForm1 form;
        ASSERT_TRUE(form.Create(GetModuleHandleA(nullptr), SW_SHOW));
        EXPECT_EQ(form.Dpi(), 144u);
        RECT outer;
        GetWindowRect(form.Handle(), &outer);
        EXPECT_EQ(outer.right - outer.left, MulDiv(412, 144, 96));
        EXPECT_EQ(outer.bottom - outer.top, MulDiv(217, 144, 96));
        EXPECT_EQ(ClientRectOf(form.BitBtn1()).left, MulDiv(136, 144, 96));
        EXPECT_EQ(ArrowSize(form.BitBtn1()), MulDiv(17, 144, 96));
    }
    MSG quit;
    while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

TEST_F(Form, EnterAndSpacePressTheButton) {
    const struct {
        const char* what;
        std::vector<MSG> keys;
    } rows[] = {
        {"Enter", {{form.BitBtn1(), WM_KEYDOWN, VK_RETURN, 0x001C0001, 0, {}}}},
        {"space",
         {{form.BitBtn1(), WM_KEYDOWN, VK_SPACE, 0x00390001, 0, {}},
          {form.BitBtn1(), WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001), 0, {}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        app::TForm1 other;
        ASSERT_TRUE(other.Create(GetModuleHandleA(nullptr), SW_SHOW));
        SetWindowTextA(other.BitBtn1(), "Press to Exit"); // a press then closes the window
        SetFocus(other.BitBtn1());
        for (MSG key : row.keys) {
            key.hwnd = other.BitBtn1();
            win::DispatchOne(key);
        }
        EXPECT_TRUE(PumpUntil([&] { return other.Handle() == nullptr; }, 3000));
        MSG quit;
        PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
}

TEST_F(Form, ClosingWhileIdleTouchesNeitherDeviceNorTemporaryDirectory) {
    SendMessageA(form.Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(form.Handle(), nullptr);
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_FALSE(fs::exists(device.logPath()));
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(ErrorHandler, ShowsTheTextWithAFullStopAndAStopIcon) {
    const struct {
        std::string text, shown;
    } rows[] = {
        {"Resource xx not found", "Resource xx not found."},
        {"Ends in a stop.", "Ends in a stop."},
        {"", "."},
    };
    for (const auto& row : rows) {
        BoxCatcher boxes;
        win::ShowException(row.text);
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].text, row.shown);
        EXPECT_EQ(boxes.boxes()[0].caption, ProgramName());
        EXPECT_EQ(boxes.boxes()[0].icon, "stop");
    }
}

// Elevated, the window still hears the taskbar announce its button.
std::vector<std::tuple<HWND, UINT, DWORD>> g_filterChanges;
BOOL WINAPI RecordFilterChange(HWND window, UINT message, DWORD action, void*) {
    g_filterChanges.emplace_back(window, message, action);
    return TRUE;
}

TEST(FormMessageFilter, LetsTheTaskbarsAnnouncementThrough) {
    g_filterChanges.clear();
    win::late::SetFakesForTesting({.changeWindowMessageFilterEx = RecordFilterChange});
    app::TForm1 form;
    const bool created = form.Create(GetModuleHandleA(nullptr), SW_SHOW);
    win::late::SetFakesForTesting({});
    ASSERT_TRUE(created);
    constexpr DWORD kAllow = 1; // MSGFLT_ALLOW
    const auto expected = std::vector<std::tuple<HWND, UINT, DWORD>>{
        {form.Handle(), RegisterWindowMessageA("TaskbarButtonCreated"), kAllow}};
    EXPECT_EQ(g_filterChanges, expected);
}

// The live-region annotation as the system's annotation service sees it:
// Wine's answers E_NOTIMPL, so a stand-in records the calls.
struct Annotation {
    HWND window;
    DWORD object, child;
    GUID property;
    VARTYPE type;
    LONG value;
};
class RecordingPropertyServices : public IAccPropServices {
  public:
    std::vector<Annotation> set, cleared;
    HRESULT WINAPI QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG WINAPI AddRef() override { return 2; }
    ULONG WINAPI Release() override { return 1; }
    HRESULT WINAPI SetHwndProp(HWND window, DWORD object, DWORD child, MSAAPROPID property,
                               VARIANT value) override {
        set.push_back({window, object, child, property, value.vt, value.lVal});
        return S_OK;
    }
    HRESULT WINAPI ClearHwndProps(HWND window, DWORD object, DWORD child,
                                  const MSAAPROPID* properties, int count) override {
        for (int i = 0; i < count; ++i) {
            cleared.push_back({window, object, child, properties[i], VT_EMPTY, 0});
        }
        return S_OK;
    }
    HRESULT WINAPI SetPropValue(const BYTE*, DWORD, MSAAPROPID, VARIANT) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI SetPropServer(const BYTE*, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                 AnnoScope) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI ClearProps(const BYTE*, DWORD, const MSAAPROPID*, int) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI SetHwndPropStr(HWND, DWORD, DWORD, MSAAPROPID, LPCWSTR) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI SetHwndPropServer(HWND, DWORD, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                     AnnoScope) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI ComposeHwndIdentityString(HWND, DWORD, DWORD, BYTE**, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI DecomposeHwndIdentityString(const BYTE*, DWORD, HWND*, DWORD*, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI SetHmenuProp(HMENU, DWORD, MSAAPROPID, VARIANT) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHmenuPropStr(HMENU, DWORD, MSAAPROPID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT WINAPI SetHmenuPropServer(HMENU, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                      AnnoScope) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI ClearHmenuProps(HMENU, DWORD, const MSAAPROPID*, int) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI ComposeHmenuIdentityString(HMENU, DWORD, BYTE**, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT WINAPI DecomposeHmenuIdentityString(const BYTE*, DWORD, HMENU*, DWORD*) override {
        return E_NOTIMPL;
    }
} g_propertyServices;

TEST(FormLiveRegion, StatusLineIsAPoliteLiveRegionUntilItGoes) {
    // LiveSetting_Property_GUID, and its value Polite.
    constexpr GUID kLiveSetting = {
        0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
    g_propertyServices.set.clear();
    g_propertyServices.cleared.clear();
    win::SetPropertyServicesForTesting([]() -> IAccPropServices* { return &g_propertyServices; });
    HWND label1 = nullptr;
    {
        app::TForm1 form;
        EXPECT_TRUE(form.Create(GetModuleHandleA(nullptr), SW_SHOW));
        label1 = form.Label1();
    }
    win::SetPropertyServicesForTesting(nullptr);
    MSG quit;
    while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    for (const auto* calls : {&g_propertyServices.set, &g_propertyServices.cleared}) {
        ASSERT_EQ(calls->size(), 1u);
        const Annotation& a = calls->front();
        EXPECT_EQ(a.window, label1);
        EXPECT_EQ(a.object, static_cast<DWORD>(OBJID_CLIENT));
        EXPECT_EQ(a.child, static_cast<DWORD>(CHILDID_SELF));
        EXPECT_TRUE(IsEqualGUID(a.property, kLiveSetting));
    }
    EXPECT_EQ(g_propertyServices.set.front().type, VT_I4);
    EXPECT_EQ(g_propertyServices.set.front().value, 1); // polite
}

TEST(FormLifetime, RepeatedWindowsLeakNothing) {
    auto createAndDestroy = [] {
        app::TForm1 form;
        ASSERT_TRUE(form.Create(GetModuleHandleA(nullptr), SW_SHOW));
        PumpUntil([] { return false; }, 0);
    };
    for (int i = 0; i < 3; ++i) {
        createAndDestroy();
    }
    const auto handle = ProbeHandleValue();
    const auto memory = PrivateCommittedBytes();
    const auto handles = HandleCount();
    const auto guiObjects = GuiObjectCount();
    for (int i = 0; i < 30; ++i) {
        createAndDestroy();
    }
    EXPECT_LE(ProbeHandleValue(), handle);
    EXPECT_LE(HandleCount(), handles);       // 0 = 0 under Wine
    EXPECT_LE(GuiObjectCount(), guiObjects); // fonts, bitmaps, the image list, windows
    EXPECT_LT(PrivateCommittedBytes(), memory + 256 * 1024);
    MSG quit;
    while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

} // namespace
