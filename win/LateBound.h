// Functions later than Windows XP. The program runs on XP, so it does not
// import them (cmake/XpImports.txt lists what it imports): this module looks
// them up at run time, each once. Null where the system lacks one.
#pragma once

#include <windows.h>

namespace win::late {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);                    // Windows 10 1607
using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR); // Windows Vista
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);         // Windows Vista
using GetTickCount64Fn = ULONGLONG(WINAPI*)();                    // Windows Vista

GetDpiForWindowFn GetDpiForWindow();
ShutdownBlockReasonCreateFn ShutdownBlockReasonCreate();
ShutdownBlockReasonDestroyFn ShutdownBlockReasonDestroy();
GetTickCount64Fn GetTickCount64();

} // namespace win::late
