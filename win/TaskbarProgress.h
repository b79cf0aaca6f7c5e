// Progress on the program's taskbar button (Windows 7 on), and attention at
// the end of a run: the window itself stays as it is drawn. All optional:
// where COM, the interface or the taskbar is missing, nothing is shown.
#pragma once

#include <windows.h>

#include <memory>

namespace win {

enum class ProgressState { None, Indeterminate, Normal, Error };

// Where progress goes; the taskbar button in the program, a recorder in tests.
class ProgressDisplay {
  public:
    virtual ~ProgressDisplay() = default;
    virtual void SetState(ProgressState state) = 0;
    virtual void SetValue(ULONGLONG done, ULONGLONG total) = 0;
};

// The taskbar's button of the moment, and what it last showed. A taskbar
// started anew (Explorer restarted) announces a new button, which starts
// blank: the state and the share are shown on it again, so that a failed
// run's red and the search's busy state survive the restart. A button
// announced during one of the old button's calls (an outgoing COM call can
// dispatch the message) takes over once that call has returned, so the old
// one is never released under its own call. The state and the share are
// kept while there is no button (before Explorer has made it, at log-on
// or after a restart), and shown on the first one announced.
class CurrentButton : public ProgressDisplay {
  public:
    void Replace(std::unique_ptr<ProgressDisplay> button);

    void SetState(ProgressState state) override;
    void SetValue(ULONGLONG done, ULONGLONG total) override;

  private:
    template <typename Call> void Forward(Call call);
    void ShowAgain();

    std::unique_ptr<ProgressDisplay> button_;
    std::unique_ptr<ProgressDisplay> next_; // announced during a call
    bool calling_ = false;
    ProgressState state_ = ProgressState::None;
    bool hasValue_ = false;
    ULONGLONG done_ = 0, total_ = 0;
};

// The message the taskbar sends a window once its button exists, and again
// when the taskbar is started anew.
UINT TaskbarButtonCreatedMessage();

// Lets the taskbar's TaskbarButtonCreated reach `window` when the program
// runs elevated: Windows 7 and later filter that message from Explorer,
// which runs at a lower integrity level, out of an elevated program's queue.
void AllowTaskbarButtonCreated(HWND window);

// The taskbar button of `window`, or null where it cannot be had. COM must
// be initialised on this thread (see ComApartment).
std::unique_ptr<ProgressDisplay> TaskbarButtonOf(HWND window);

// Flashes the taskbar button of `window` until the user brings it up, when
// it is not in the foreground. Tests observe it through the observer, and
// may say which window is in front (null `foreground`: the system's).
void FlashUntilActive(HWND window);
void SetFlashObserverForTesting(void (*observer)(HWND window), HWND (*foreground)() = nullptr);

// COM on this thread for the life of the object, when it can be had.
class ComApartment {
  public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    bool initialised_;
};

} // namespace win
