#include "win/LateBound.h"

namespace win::late {
namespace {

Fakes g_fakes;

// `name` from `module`, a system DLL the program imports from anyway, so it
// is loaded already.
template <typename Fn> Fn LookUp(const char* module, const char* name) {
    const HMODULE loaded = GetModuleHandleA(module);
    return loaded != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(loaded, name)))
               : nullptr;
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

void SetFakesForTesting(const Fakes& fakes) {
    g_fakes = fakes;
}

} // namespace win::late
