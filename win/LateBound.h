// Functions the program does not import. Two kinds, each looked up once:
// - functions later than Windows XP, on which the program runs
//   (cmake/XpImports.txt lists what it imports); null where the system
//   lacks one;
// - the functions of comctl32.dll and version.dll, which are not among the
//   system's known DLLs: a static import of either is resolved before any
//   of the program's code runs, from the program's own folder first, where
//   a download folder may hold a planted copy. They are loaded by name only
//   after app::HardenDllSearch has taken that folder out of the search.
#pragma once

#include <windows.h>
#include <commctrl.h>

namespace win::late {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);                    // Windows 10 1607
using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR); // Windows Vista
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);         // Windows Vista
using GetTickCount64Fn = ULONGLONG(WINAPI*)();                    // Windows Vista
// The last argument is a CHANGEFILTERSTRUCT*, which the XP headers lack.
using ChangeWindowMessageFilterExFn = BOOL(WINAPI*)(HWND, UINT, DWORD, void*); // Windows 7
// Windows 8; Vista and 7 with KB2533623.
using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

GetDpiForWindowFn GetDpiForWindow();
ShutdownBlockReasonCreateFn ShutdownBlockReasonCreate();
ShutdownBlockReasonDestroyFn ShutdownBlockReasonDestroy();
GetTickCount64Fn GetTickCount64();
ChangeWindowMessageFilterExFn ChangeWindowMessageFilterEx();
SetDefaultDllDirectoriesFn SetDefaultDllDirectories();

// The common controls (version 6, as the manifest asks: the load by name
// happens under the program's activation context) and the version
// resource reader. Each answers as its namesake does, and fails as it would
// where the DLL or the function cannot be had.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls);
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow);
int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask);
BOOL ImageList_Destroy(HIMAGELIST list);
DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle);
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* value, PUINT length);

// Stand-ins tests put in place of the system's functions, where Wine lacks
// them or cannot show what they did; a null member: the system's.
struct Fakes {
    ShutdownBlockReasonCreateFn shutdownBlockReasonCreate = nullptr;
    ShutdownBlockReasonDestroyFn shutdownBlockReasonDestroy = nullptr;
    ChangeWindowMessageFilterExFn changeWindowMessageFilterEx = nullptr;
    // Stands in for a system without it: HardenDllSearch's other road.
    bool noSetDefaultDllDirectories = false;
};
void SetFakesForTesting(const Fakes& fakes);

} // namespace win::late
