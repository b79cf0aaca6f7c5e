#include "win/Dialogs.h"

#include "win/RunLog.h"

#include <exception>
#include <new>

namespace win {
namespace {

HWND g_mainWindow = nullptr;
void (*g_beepObserver)(UINT) = nullptr;

// Owned by the main window whichever window is active: with another
// program in front, the active window is null, and an unowned box could
// open behind other windows while the main window still took clicks.
int Box(const std::string& text, const std::string& caption, UINT icon) {
    runlog::Guarded([&] { runlog::Line("Message: " + runlog::Utf8FromAnsi(text)); });
    return MessageBoxA(MainWindow(), text.c_str(), caption.c_str(), MB_OK | icon);
}

} // namespace

std::string ApplicationTitle() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string title(path, n < MAX_PATH ? n : 0);
    const size_t slash = title.find_last_of("\\/");
    if (slash != std::string::npos) {
        title.erase(0, slash + 1);
    }
    const size_t dot = title.rfind('.');
    if (dot != std::string::npos) {
        title.erase(dot);
    }
    return title;
}

void ShowMessage(const std::string& text) {
    Box(text, ApplicationTitle(), 0);
}

void ShowInformation(const std::string& text, const std::string& caption) {
    Box(text, caption, MB_ICONINFORMATION);
}

void ShowErrorMessage(const std::string& text) {
    Box(text, ApplicationTitle(), MB_ICONSTOP);
}

namespace {
std::string WithFullStop(const std::string& text) {
    return !text.empty() && text.back() == '.' ? text : text + ".";
}
} // namespace

void ShowException(const std::string& text) {
    ShowErrorMessage(WithFullStop(text));
}

std::string CurrentExceptionText() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return WithFullStop("Out of memory");
    } catch (const std::exception& e) {
        return WithFullStop(e.what());
    } catch (...) {
        return WithFullStop("Unexpected error");
    }
}

void ShowCurrentException() {
    ShowErrorMessage(CurrentExceptionText());
}

void Beep(UINT type) {
    if (g_beepObserver != nullptr) {
        g_beepObserver(type);
    }
    MessageBeep(type);
}

void SetBeepObserverForTesting(void (*observer)(UINT type)) {
    g_beepObserver = observer;
}

void SetMainWindow(HWND window) {
    g_mainWindow = window;
}

HWND MainWindow() {
    return g_mainWindow != nullptr && IsWindow(g_mainWindow) ? g_mainWindow : nullptr;
}

void DispatchOne(MSG& msg) {
    const HWND main = MainWindow();
    if (main != nullptr && IsDialogMessageA(main, &msg)) {
        return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        DispatchOne(msg);
    }
}

} // namespace win
