#include "win/TaskbarProgress.h"

#include "win/LateBound.h"
#include "win/ScopedWin.h"

#include <objbase.h>
#include <shobjidl.h>

#include <utility>

namespace win {
namespace {

void (*g_flashObserver)(HWND) = nullptr;
HWND (*g_foreground)() = nullptr; // null: the system's

TBPFLAG FlagOf(ProgressState state) {
    switch (state) {
    case ProgressState::Indeterminate:
        return TBPF_INDETERMINATE;
    case ProgressState::Normal:
        return TBPF_NORMAL;
    case ProgressState::Error:
        return TBPF_ERROR;
    case ProgressState::None:
        break;
    }
    return TBPF_NOPROGRESS;
}

class TaskbarButton : public ProgressDisplay {
  public:
    TaskbarButton(HWND window, ScopedCom<ITaskbarList3> list)
        : window_(window), list_(std::move(list)) {}

    void SetState(ProgressState state) override { list_->SetProgressState(window_, FlagOf(state)); }
    void SetValue(ULONGLONG done, ULONGLONG total) override {
        list_->SetProgressValue(window_, done, total);
    }

  private:
    HWND window_;
    ScopedCom<ITaskbarList3> list_;
};

} // namespace

void CurrentButton::Replace(std::unique_ptr<ProgressDisplay> button) {
    if (calling_) {
        next_ = std::move(button);
        return;
    }
    button_ = std::move(button);
    ShowAgain();
}

void CurrentButton::SetState(ProgressState state) {
    state_ = state;
    // A share belongs to the normal and error states only.
    hasValue_ = hasValue_ && (state == ProgressState::Normal || state == ProgressState::Error);
    Forward([&](ProgressDisplay& button) { button.SetState(state); });
}

void CurrentButton::SetValue(ULONGLONG done, ULONGLONG total) {
    // A share shown ends the busy state, as the taskbar itself does.
    if (state_ == ProgressState::None || state_ == ProgressState::Indeterminate) {
        state_ = ProgressState::Normal;
    }
    hasValue_ = true;
    done_ = done;
    total_ = total;
    Forward([&](ProgressDisplay& button) { button.SetValue(done, total); });
}

template <typename Call> void CurrentButton::Forward(Call call) {
    if (!button_) {
        return;
    }
    calling_ = true;
    call(*button_);
    calling_ = false;
    if (next_) {
        button_ = std::move(next_);
        ShowAgain();
    }
}

void CurrentButton::ShowAgain() {
    if (!button_ || (state_ == ProgressState::None && !hasValue_)) {
        return;
    }
    const ProgressState state = state_;
    const bool hasValue = hasValue_;
    SetState(state);
    if (hasValue) {
        SetValue(done_, total_);
    }
}

UINT TaskbarButtonCreatedMessage() {
    static const UINT message = RegisterWindowMessageA("TaskbarButtonCreated");
    return message;
}

void AllowTaskbarButtonCreated(HWND window) {
    constexpr DWORD kMessageFilterAllow = 1; // MSGFLT_ALLOW, not in the XP headers
    // Windows XP and Vista have no such filter per window; a failure leaves
    // only the taskbar progress out.
    if (const auto allow = late::ChangeWindowMessageFilterEx(); allow != nullptr && window) {
        allow(window, TaskbarButtonCreatedMessage(), kMessageFilterAllow, nullptr);
    }
}

std::unique_ptr<ProgressDisplay> TaskbarButtonOf(HWND window) {
    if (window == nullptr) {
        return nullptr;
    }
    // Windows XP and Vista have no ITaskbarList3: the request fails there.
    ScopedCom<ITaskbarList3> list =
        CreateInProcess<ITaskbarList3>(CLSID_TaskbarList, IID_ITaskbarList3);
    if (!list || FAILED(list->HrInit())) {
        return nullptr;
    }
    return std::make_unique<TaskbarButton>(window, std::move(list));
}

void FlashUntilActive(HWND window) {
    const HWND front = g_foreground != nullptr ? g_foreground() : GetForegroundWindow();
    if (window == nullptr || front == window) {
        return;
    }
    if (g_flashObserver != nullptr) {
        g_flashObserver(window);
    }
    FLASHWINFO flash{sizeof flash, window, FLASHW_ALL | FLASHW_TIMERNOFG, 0, 0};
    FlashWindowEx(&flash);
}

void SetFlashObserverForTesting(void (*observer)(HWND window), HWND (*foreground)()) {
    g_flashObserver = observer;
    g_foreground = foreground;
}

ComApartment::ComApartment()
    : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComApartment::~ComApartment() {
    if (initialised_) {
        CoUninitialize();
    }
}

} // namespace win
