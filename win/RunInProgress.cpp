#include "win/RunInProgress.h"

namespace win {
namespace {

// Windows XP lacks both: looked up at run time.
using CreateReasonFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using DestroyReasonFn = BOOL(WINAPI*)(HWND);

template <typename Fn> Fn User32Function(const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), name)));
}

} // namespace

RunInProgress::RunInProgress(HWND window) : window_(window) {
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    static const auto create = User32Function<CreateReasonFn>("ShutdownBlockReasonCreate");
    if (window_ != nullptr && create != nullptr) {
        reasonShown_ = create(window_, kShutdownBlockReason) != FALSE;
    }
}

RunInProgress::~RunInProgress() {
    static const auto destroy = User32Function<DestroyReasonFn>("ShutdownBlockReasonDestroy");
    if (reasonShown_ && destroy != nullptr && IsWindow(window_)) {
        destroy(window_);
    }
    // Nothing else in the program holds a state: clear the one set above.
    SetThreadExecutionState(ES_CONTINUOUS);
}

} // namespace win
