#include "win/LateBound.h"

namespace win::late {
namespace {

Fakes g_fakes;

template <typename Fn> Fn Address(HMODULE module, const char* name) {
    return module != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
               : nullptr;
}

// `name` from `module`, a known DLL the program imports from anyway, so it
// is loaded already.
template <typename Fn> Fn LookUp(const char* module, const char* name) {
    return Address<Fn>(GetModuleHandleA(module), name);
}

// The DLLs loaded by name: once the search is safe they come from the
// system directory (comctl32 from the side-by-side store the manifest
// names). Kept for the life of the process, as a static import would be.
HMODULE CommonControls() {
    static const HMODULE module = LoadLibraryW(L"comctl32.dll");
    return module;
}
HMODULE VersionLibrary() {
    static const HMODULE module = LoadLibraryW(L"version.dll");
    return module;
}

template <typename Fn> Fn FakeOr(Fn fake, Fn system) {
    return fake != nullptr ? fake : system;
}

} // namespace

GetDpiForWindowFn GetDpiForWindow() {
    static const auto f = LookUp<GetDpiForWindowFn>("user32.dll", "GetDpiForWindow");
    return f;
}

ShutdownBlockReasonCreateFn ShutdownBlockReasonCreate() {
    static const auto f =
        LookUp<ShutdownBlockReasonCreateFn>("user32.dll", "ShutdownBlockReasonCreate");
    return FakeOr(g_fakes.shutdownBlockReasonCreate, f);
}

ShutdownBlockReasonDestroyFn ShutdownBlockReasonDestroy() {
    static const auto f =
        LookUp<ShutdownBlockReasonDestroyFn>("user32.dll", "ShutdownBlockReasonDestroy");
    return FakeOr(g_fakes.shutdownBlockReasonDestroy, f);
}

GetTickCount64Fn GetTickCount64() {
    static const auto f = LookUp<GetTickCount64Fn>("kernel32.dll", "GetTickCount64");
    return f;
}

ChangeWindowMessageFilterExFn ChangeWindowMessageFilterEx() {
    static const auto f =
        LookUp<ChangeWindowMessageFilterExFn>("user32.dll", "ChangeWindowMessageFilterEx");
    return FakeOr(g_fakes.changeWindowMessageFilterEx, f);
}

SetDefaultDllDirectoriesFn SetDefaultDllDirectories() {
    static const auto f =
        LookUp<SetDefaultDllDirectoriesFn>("kernel32.dll", "SetDefaultDllDirectories");
    return g_fakes.noSetDefaultDllDirectories ? nullptr : f;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls) {
    using Fn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    static const auto f = Address<Fn>(CommonControls(), "InitCommonControlsEx");
    return f != nullptr && f(controls);
}

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow) {
    using Fn = HIMAGELIST(WINAPI*)(int, int, UINT, int, int);
    static const auto f = Address<Fn>(CommonControls(), "ImageList_Create");
    return f != nullptr ? f(cx, cy, flags, initial, grow) : nullptr;
}

int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask) {
    using Fn = int(WINAPI*)(HIMAGELIST, HBITMAP, COLORREF);
    static const auto f = Address<Fn>(CommonControls(), "ImageList_AddMasked");
    return f != nullptr ? f(list, image, mask) : -1;
}

BOOL ImageList_Destroy(HIMAGELIST list) {
    using Fn = BOOL(WINAPI*)(HIMAGELIST);
    static const auto f = Address<Fn>(CommonControls(), "ImageList_Destroy");
    return f != nullptr && f(list);
}

DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
    using Fn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    static const auto f = Address<Fn>(VersionLibrary(), "GetFileVersionInfoSizeW");
    return f != nullptr ? f(path, handle) : 0;
}

BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data) {
    using Fn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    static const auto f = Address<Fn>(VersionLibrary(), "GetFileVersionInfoW");
    return f != nullptr && f(path, handle, size, data);
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* value, PUINT length) {
    using Fn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    static const auto f = Address<Fn>(VersionLibrary(), "VerQueryValueW");
    return f != nullptr && f(block, subBlock, value, length);
}

void SetFakesForTesting(const Fakes& fakes) {
    g_fakes = fakes;
}

} // namespace win::late
