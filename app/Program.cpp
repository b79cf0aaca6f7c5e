// Program start: the window and its message loop.
#include "app/Unit1.h"

#include "win/Dialogs.h"

#include <cwchar>

namespace app {

void HardenDllSearch() {
    // A DLL directory takes the current directory's place in the search
    // order. The empty string does that on Windows, but Wine reads it as "no
    // directory" and keeps the current one; the program's own folder, which
    // the order searches first anyway, has the same effect on both.
    wchar_t folder[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    wchar_t* slash = n > 0 && n < MAX_PATH ? wcsrchr(folder, L'\\') : nullptr;
    if (slash != nullptr) {
        *slash = L'\0';
        SetDllDirectoryW(folder);
    } else {
        SetDllDirectoryW(L"");
    }
}

int RunProgram(HINSTANCE instance, int show) {
    HardenDllSearch();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
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
