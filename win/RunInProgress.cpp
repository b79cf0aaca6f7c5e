#include "win/RunInProgress.h"

#include "win/LateBound.h"

namespace win {

RunInProgress::RunInProgress(HWND window) : window_(window) {
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    // Windows XP has no reason to show: it asks no program before a shutdown.
    const auto create = late::ShutdownBlockReasonCreate();
    if (window_ != nullptr && create != nullptr) {
        reasonShown_ = create(window_, kShutdownBlockReason) != FALSE;
    }
}

RunInProgress::~RunInProgress() {
    const auto destroy = late::ShutdownBlockReasonDestroy();
    if (reasonShown_ && destroy != nullptr && IsWindow(window_)) {
        destroy(window_);
    }
    // Nothing else in the program holds a state: clear the one set above.
    SetThreadExecutionState(ES_CONTINUOUS);
}

} // namespace win
