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
// The last argument is a CHANGEFILTERSTRUCT*, which the XP headers lack.
using ChangeWindowMessageFilterExFn = BOOL(WINAPI*)(HWND, UINT, DWORD, void*); // Windows 7

GetDpiForWindowFn GetDpiForWindow();
ShutdownBlockReasonCreateFn ShutdownBlockReasonCreate();
ShutdownBlockReasonDestroyFn ShutdownBlockReasonDestroy();
GetTickCount64Fn GetTickCount64();
ChangeWindowMessageFilterExFn ChangeWindowMessageFilterEx();

// Stand-ins tests put in place of the system's functions, where Wine lacks
// them or cannot show what they did; a null member: the system's.
struct Fakes {
    ShutdownBlockReasonCreateFn shutdownBlockReasonCreate = nullptr;
    ShutdownBlockReasonDestroyFn shutdownBlockReasonDestroy = nullptr;
    ChangeWindowMessageFilterExFn changeWindowMessageFilterEx = nullptr;
};
void SetFakesForTesting(const Fakes& fakes);

} // namespace win::late
