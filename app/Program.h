// Program start: one copy per session, a safe library search, the window
// and its message loop.
#pragma once

#include <windows.h>

namespace app {

// Takes the current directory out of the DLL search order, so that a planted
// RAPI.DLL there is never loaded in place of the installed one.
void HardenDllSearch();

// Returns the exit code: 0 also where another copy was running, since the
// user's request was served by bringing that copy to the front.
int RunProgram(HINSTANCE instance, int show);

} // namespace app
