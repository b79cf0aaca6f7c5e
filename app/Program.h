// Program start: one copy per session, a safe library search, the window
// and its message loop.
#pragma once

#include <windows.h>

namespace app {

// Makes every DLL loaded by name come from the system directory: the
// program's own folder (a download folder) and the current directory are
// no longer searched. Where the system cannot restrict the search, the
// DLLs that the program and the system's components load by name are
// loaded from the system directory first. Called before anything loads a
// DLL by name.
void HardenDllSearch();

// Returns the exit code: 0 also where another copy was running, since the
// user's request was served by bringing that copy to the front.
int RunProgram(HINSTANCE instance, int show);

} // namespace app
