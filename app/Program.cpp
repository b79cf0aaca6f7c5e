// Program start: the window and its message loop.
#include "app/Program.h"

#include "app/Unit1.h"
#include "win/Dialogs.h"
#include "win/LateBound.h"
#include "win/ScopedWin.h"
#include "win/SystemDirectory.h"

#include <string>

namespace app {

namespace {

// What the program and the system's own components load by name, and what
// the common controls load by name in turn (the theme library; the desktop
// window manager's from Vista on). Loaded by full path where the safe
// search cannot be set: a module already loaded answers every later
// request for its name.
constexpr const wchar_t* kLoadedByName[] = {L"uxtheme.dll", L"version.dll", L"dwmapi.dll"};

void LoadFromSystemDirectory() {
    for (const wchar_t* name : kLoadedByName) {
        // Kept loaded for the life of the process; dwmapi.dll is missing on
        // XP.
        win::LoadFromSystemDirectory(name);
    }
}

// A DLL directory takes the current directory's place in the search order,
// and comes second, after the folder of the program (or of the DLL loaded
// by full path, whose imports are being looked for). The system directory
// adds no folder that a download can write to. The empty string would do
// on Windows, but Wine reads it as "no directory" and keeps the current one.
void TakeOutTheCurrentDirectory() {
    const std::wstring system = win::SystemDirectory();
    SetDllDirectoryW(system.empty() ? L"" : system.c_str());
}

} // namespace

void HardenDllSearch() {
    const auto setDefault = win::late::SetDefaultDllDirectories();
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    TakeOutTheCurrentDirectory();
    LoadFromSystemDirectory();
}

namespace {

// One copy per user session: two would share the scratch files and could
// write one item's bytes under another's name on the device. The system
// releases the mutex if the first copy dies.
constexpr const wchar_t* kInstanceMutex = L"Local\\Vesko.Navigator.Upgrade.VK7";

// Brings the running copy's window (or the box it shows) to the front.
void ShowRunningCopy() {
    // The other copy may not have made its window yet.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const HWND form = FindWindowA(kFormClass, kFormCaption);
        if (form != nullptr) {
            if (IsIconic(form)) {
                ShowWindow(form, SW_RESTORE);
            }
            SetForegroundWindow(GetLastActivePopup(form));
            return;
        }
        Sleep(100);
    }
}

} // namespace

int RunProgram(HINSTANCE instance, int show) {
    // Before anything loads a DLL by name.
    HardenDllSearch();
    SetLastError(ERROR_SUCCESS);
    const win::ScopedHandle instanceMutex(CreateMutexW(nullptr, FALSE, kInstanceMutex));
    const DWORD mutexError = GetLastError();
    if (mutexError == ERROR_ALREADY_EXISTS || mutexError == ERROR_ACCESS_DENIED) {
        ShowRunningCopy();
        return 0;
    }
    const win::ComApartment com; // for the taskbar button's progress
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    win::late::InitCommonControlsEx(&controls);
    TForm1 form;
    if (!form.Create(instance, show)) {
        win::ShowErrorMessage("Cannot create the main window.");
        return 1;
    }
    MSG msg{};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        win::DispatchOne(msg);
    }
    return static_cast<int>(msg.wParam);
}

} // namespace app
