#include "win/LateBound.h"

namespace win::late {
namespace {

// `name` from `module`, a system DLL the program imports from anyway, so it
// is loaded already.
template <typename Fn> Fn LookUp(const char* module, const char* name) {
    const HMODULE loaded = GetModuleHandleA(module);
    return loaded != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(loaded, name)))
               : nullptr;
}

} // namespace

GetDpiForWindowFn GetDpiForWindow() {
    static const auto f = LookUp<GetDpiForWindowFn>("user32.dll", "GetDpiForWindow");
    return f;
}

ShutdownBlockReasonCreateFn ShutdownBlockReasonCreate() {
    static const auto f =
        LookUp<ShutdownBlockReasonCreateFn>("user32.dll", "ShutdownBlockReasonCreate");
    return f;
}

ShutdownBlockReasonDestroyFn ShutdownBlockReasonDestroy() {
    static const auto f =
        LookUp<ShutdownBlockReasonDestroyFn>("user32.dll", "ShutdownBlockReasonDestroy");
    return f;
}

GetTickCount64Fn GetTickCount64() {
    static const auto f = LookUp<GetTickCount64Fn>("kernel32.dll", "GetTickCount64");
    return f;
}

} // namespace win::late
