// The main window: a picture, three labels and the one button that runs the
// upgrade and, once it has run, closes the program.
#pragma once

#include "win/LateBound.h"
#include "win/ScopedWin.h"
#include "win/TaskbarProgress.h"

#include <windows.h>
#include <commctrl.h>

#include <exception>
#include <memory>
#include <string>

namespace app {

// Positions at 96 DPI, relative to the client area.
struct ControlLayout {
    int left, top, width, height;
    int fontHeight; // character height in pixels
    bool bold;
};

enum ControlId { kLabel1 = 1001, kLabel2, kLabel3, kBitBtn1 = IDOK };

inline constexpr int kFormWidth = 412;
inline constexpr int kFormHeight = 217;
inline constexpr const char* kFormCaption = "Vesko Navigator Upgrade";
inline constexpr const char* kFormClass = "TForm1";

inline void DestroyImageList(HIMAGELIST list) {
    win::late::ImageList_Destroy(list);
}
using ScopedImageList = win::Scoped<HIMAGELIST, win::NullTraits<HIMAGELIST, DestroyImageList>>;

// What the window asks of the system, in one place where tests put their
// own answers: Wine cannot give the window's monitor another DPI or work
// area (the screen less its taskbars), switch high contrast on, or show that
// a beep sounded or a taskbar button flashed. A null member: the platform's.
struct WindowEnvironment {
    UINT (*dpi)(HWND window) = nullptr;
    RECT (*workArea)(HWND window) = nullptr;
    bool (*highContrast)() = nullptr;
    void (*beeped)(UINT type) = nullptr;    // hears of each beep, which still sounds
    void (*flashed)(HWND window) = nullptr; // hears of each flash
    HWND (*foreground)() = nullptr;         // the window in front
    // The button the taskbar announces (TaskbarButtonCreated).
    std::unique_ptr<win::ProgressDisplay> (*taskbarButton)(HWND window) = nullptr;
};
// Puts `environment` in place; {} gives the platform's back.
void SetWindowEnvironmentForTesting(const WindowEnvironment& environment);

class TForm1 {
  public:
    TForm1() = default;
    ~TForm1();
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Creates and shows the window; false when the platform refuses.
    bool Create(HINSTANCE instance, int show);

    void FormCreate();
    void BitBtn1Click();

    HWND Handle() const { return form_; }
    HWND Label1() const { return label1_; }
    HWND Label2() const { return label2_; }
    HWND Label3() const { return label3_; }
    HWND BitBtn1() const { return bitBtn1_; }
    UINT Dpi() const { return dpi_; }

    // Tests record the taskbar progress here; the program takes the taskbar
    // button once the taskbar announces it.
    void SetProgressDisplay(std::unique_ptr<win::ProgressDisplay> display) {
        progress_.Replace(std::move(display));
    }

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnCreate();
    LRESULT OnEraseBackground(HDC dc);
    LRESULT OnCtlColorStatic(HDC dc);
    LRESULT OnColoursChanged(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT OnCommand(WPARAM wParam);
    LRESULT OnDpiChanged(WPARAM wParam, LPARAM lParam);
    LRESULT OnClose();
    LRESULT OnQueryEndSession() const;
    LRESULT OnSetFocus();
    LRESULT OnDestroy();
    void ShowProgress(win::ProgressState state);

    HWND CreateControl(const char* className, DWORD style, int id, const char* text);
    void PlaceOnItsMonitor();
    void LayOut();
    void SetArrow();
    void SetStatus(const std::string& text);
    void SetButtonCaption(const std::string& text);
    void EnableButton(bool enabled);
    std::string ButtonCaption() const;
    void Close();
    void RunUpgrade();
    void Abandon(const std::string& message, bool information = false);
    void ShowEscapedError(const std::exception_ptr& escaped);

    HWND form_ = nullptr;
    HWND label1_ = nullptr;
    HWND label2_ = nullptr;
    HWND label3_ = nullptr;
    HWND bitBtn1_ = nullptr;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    win::ScopedBitmap background_;
    win::ScopedFont fonts_[4];
    ScopedImageList arrowImages_;
    win::CurrentButton progress_; // kept until the taskbar announces a button
    bool running_ = false;        // an upgrade is changing the device
    bool deviceChanged_ = false;  // the run has changed the device
    bool completed_ = false;      // the last run upgraded the device
    bool liveRegion_ = false;     // Label1 is annotated as one
    bool closeAfterRun_ = false;  // the window was closed during the run
};

// The module's main window, while it exists.
extern TForm1* Form1;

} // namespace app
