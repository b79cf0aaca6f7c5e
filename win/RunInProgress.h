// While a run changes the device, the session must not end under it: the
// computer is kept awake, and Windows is given a reason to show when the
// user logs off or shuts down (the window refuses WM_QUERYENDSESSION
// meanwhile). Both are withdrawn when the object goes, on every path.
#pragma once

#include <windows.h>

namespace win {

// Shown by Windows (Vista on) beside the program when the session is asked to end.
inline constexpr const wchar_t* kShutdownBlockReason =
    L"Upgrading the Vesko Navigator. Please wait until the upgrade has finished.";

class RunInProgress {
  public:
    explicit RunInProgress(HWND window);
    ~RunInProgress();
    RunInProgress(const RunInProgress&) = delete;
    RunInProgress& operator=(const RunInProgress&) = delete;

  private:
    HWND window_;
    bool reasonShown_ = false;
};

} // namespace win
