// Progress on the taskbar button, recorded through the window's progress
// display: indeterminate while identifying and connecting, the share of
// payload bytes written during the copy, the error state after a failed
// copy, cleared at the end of every run; and a flash when the run ends
// while the window is in the background.
#include "support/FormFixture.h"
#include "win/TaskbarProgress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace testing_support;
using win::ProgressState;

namespace {

struct Call {
    bool isState;
    ProgressState state;
    ULONGLONG done, total;
};

class Recorder : public win::ProgressDisplay {
  public:
    explicit Recorder(std::vector<Call>& calls) : calls_(calls) {}
    void SetState(ProgressState state) override { calls_.push_back({true, state, 0, 0}); }
    void SetValue(ULONGLONG done, ULONGLONG total) override {
        calls_.push_back({false, ProgressState::None, done, total});
    }

  private:
    std::vector<Call>& calls_;
};

HWND g_front = nullptr;

std::vector<HWND>& Flashes() {
    static std::vector<HWND> flashes;
    return flashes;
}

class Progress : public FormFixture {
  protected:
    void SetUp() override {
        FormFixture::SetUp();
        form.SetProgressDisplay(std::make_unique<Recorder>(calls));
        Flashes().clear();
    }
    // Which window is in front is the test's to say: under Wine another
    // test program's window can take the foreground at any moment.
    const ScopedWindowEnvironment environment{
        {.flashed = [](HWND window) { Flashes().push_back(window); },
         .foreground = [] { return g_front; }}};
    void Click() {
        SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                     reinterpret_cast<LPARAM>(form.BitBtn1()));
    }
    std::vector<ProgressState> States() const {
        std::vector<ProgressState> states;
        for (const Call& c : calls) {
            if (c.isState) {
                states.push_back(c.state);
            }
        }
        return states;
    }
    std::vector<Call> Values() const {
        std::vector<Call> values;
        for (const Call& c : calls) {
            if (!c.isState) {
                values.push_back(c);
            }
        }
        return values;
    }
    static ULONGLONG PayloadTotal() {
        ULONGLONG total = 0;
        for (const char* name : kDeviceNames) {
            total += fs::file_size(PayloadFile(name));
        }
        return total;
    }

    std::vector<Call> calls;
};

TEST_F(Progress, AFullRunShowsTheShareWrittenUpToTheWhole) {
    Click();
    ASSERT_EQ(Status(), "Upgrade Complete");
    EXPECT_EQ(States(), (std::vector<ProgressState>{ProgressState::Indeterminate,
                                                    ProgressState::Normal, ProgressState::None}));
    const auto values = Values();
    std::size_t chunks = 0;
    for (const char* name : kDeviceNames) {
        chunks += (fs::file_size(PayloadFile(name)) + 31999) / 32000;
    }
    ASSERT_EQ(values.size(), 1 + chunks); // the start, then one a chunk
    EXPECT_EQ(values.front().done, 0u);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(values[i].total, PayloadTotal());
        if (i > 0) {
            EXPECT_GT(values[i].done, values[i - 1].done) << i;
        }
    }
    EXPECT_EQ(values.back().done, PayloadTotal());
}

TEST_F(Progress, AFailedCopyTurnsTheBarToErrorUntilTheRunEnds) {
    device.set("VK7SIM_WRITE_FAULT", "Vesko-Plinto-4.par1:2");
    Click();
    ASSERT_EQ(Status(), "Error Copying Files");
    EXPECT_EQ(States(),
              (std::vector<ProgressState>{ProgressState::Indeterminate, ProgressState::Normal,
                                          ProgressState::Error, ProgressState::None}));
    // The later items still count, short of the whole by the failed one.
    const auto values = Values();
    ASSERT_FALSE(values.empty());
    EXPECT_LT(values.back().done, PayloadTotal());
    EXPECT_GT(values.back().done,
              PayloadTotal() - fs::file_size(PayloadFile("Vesko-Plinto-4.par1")));
}

// Whatever ends a run, the bar is cleared at its end.
TEST_F(Progress, EveryRunEndsWithTheBarCleared) {
    const struct {
        const char* path;
        const char* setting;
        const char* value;
        bool closeMidRun;
    } rows[] = {
        {"not a VK7", "VK7SIM_SCREEN_MM", "61", false},
        {"second connection fails", "VK7SIM_LATER_INIT_RESULT", "0x80004005", false},
        {"escaped error", "TMP", "Z:\\no\\such\\folder", false},
        {"closed mid-run", "VK7SIM_SCREEN_MM", "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        calls.clear();
        ScopedEnv setting(row.setting, row.value);
        ScopedEnv tempToo("TEMP", std::string(row.setting) == "TMP" ? row.value : temp.str());
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        if (row.closeMidRun) {
            PostMessageA(form.Handle(), WM_CLOSE, 0, 0);
        }
        Click();
        const auto states = States();
        ASSERT_FALSE(states.empty());
        EXPECT_EQ(states.front(), ProgressState::Indeterminate);
        EXPECT_EQ(states.back(), ProgressState::None);
        EXPECT_FALSE(SimSessionOpen()); // closed whatever ended the run
    }
}

// Only a run that ends while another program is in front flashes.
TEST_F(Progress, TheEndOfARunInTheBackgroundFlashesTheButton) {
    HWND other =
        CreateWindowExA(0, "Static", "another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                        100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    for (const bool inFront : {false, true}) {
        SCOPED_TRACE(inFront ? "the window in front" : "another program in front");
        Flashes().clear();
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        g_front = inFront ? form.Handle() : other;
        Click();
        EXPECT_EQ(Flashes(), inFront ? std::vector<HWND>{} : std::vector<HWND>{form.Handle()});
    }
    g_front = nullptr;
    DestroyWindow(other);
}

// Explorer restarted mid-copy: the taskbar announces a new button, which
// replaces the old one. The old one is never called again; the new one
// takes the rest of the progress.
struct Replaced {
    bool gone = false;
    int callsAfter = 0;
} g_replaced;

class ReplacedRecorder : public Recorder {
  public:
    using Recorder::Recorder;
    ~ReplacedRecorder() override { g_replaced.gone = true; }
    void SetState(ProgressState state) override {
        g_replaced.gone ? void(++g_replaced.callsAfter) : Recorder::SetState(state);
    }
    void SetValue(ULONGLONG done, ULONGLONG total) override {
        g_replaced.gone ? void(++g_replaced.callsAfter) : Recorder::SetValue(done, total);
    }
};

std::vector<Call>* g_newButton = nullptr;
WNDPROC g_labelProc = nullptr;
LRESULT CALLBACK RestartTaskbarAtTheSecondItem(HWND window, UINT msg, WPARAM wParam,
                                               LPARAM lParam) {
    if (msg == WM_SETTEXT && std::string(reinterpret_cast<const char*>(lParam)) ==
                                 "Please wait - Copying Vesko-Plinto-4.par1") {
        PostMessageA(GetParent(window), win::TaskbarButtonCreatedMessage(), 0, 0);
    }
    return CallWindowProcA(g_labelProc, window, msg, wParam, lParam);
}

// The same where the run started before Explorer had made the button (at
// log-on, or restarted before the press): the button announced mid-copy
// is shown what the run has shown so far.
TEST_F(Progress, ATaskbarRestartedMidCopyGetsTheRestOfTheProgress) {
    for (const bool hadAButton : {true, false}) {
        SCOPED_TRACE(hadAButton ? "a button before" : "no button before");
        g_replaced = {};
        calls.clear();
        std::vector<Call> newButton;
        g_newButton = &newButton;
        form.SetProgressDisplay(hadAButton ? std::make_unique<ReplacedRecorder>(calls) : nullptr);
        const ScopedWindowEnvironment restarted{
            {.taskbarButton = [](HWND) -> std::unique_ptr<win::ProgressDisplay> {
                return std::make_unique<Recorder>(*g_newButton);
            }}};
        g_labelProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(form.Label1(), GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(RestartTaskbarAtTheSecondItem)));
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        Click();
        SetWindowLongPtrA(form.Label1(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_labelProc));
        EXPECT_EQ(Status(), "Upgrade Complete");
        EXPECT_EQ(g_replaced.gone, hadAButton);
        EXPECT_EQ(g_replaced.callsAfter, 0);
        EXPECT_EQ(calls.empty(), !hadAButton);
        ASSERT_GE(newButton.size(), 2u);
        // The new button starts blank: it is shown the state and the share
        // shown last, then the rest.
        EXPECT_TRUE(newButton[0].isState);
        EXPECT_EQ(newButton[0].state, ProgressState::Normal);
        EXPECT_FALSE(newButton[1].isState);
        EXPECT_GT(newButton[1].done, 0u);
        EXPECT_LT(newButton[1].done, PayloadTotal());
        if (hadAButton) {
            EXPECT_EQ(newButton[1].done, Values().back().done);
        }
        std::vector<Call> values;
        for (const Call& c : newButton) {
            if (!c.isState) {
                values.push_back(c);
            }
        }
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back().done, PayloadTotal());
        EXPECT_TRUE(newButton.back().isState);
        EXPECT_EQ(newButton.back().state, ProgressState::None);
    }
    form.SetProgressDisplay(std::make_unique<Recorder>(calls));
    g_newButton = nullptr;
}

// A taskbar restarted while the program shows progress: the search's busy
// state, a failed copy's red while its box is up, a share mid-copy. The
// restart may come inside one of the old button's calls (an outgoing COM
// call dispatches messages): the old button is released only once that
// call has returned.
struct Restart {
    HWND form = nullptr;
    std::function<bool(const Call&)> at; // the old button's call that restarts the taskbar
    bool insideTheCall = false;          // sent from within it rather than posted
    bool done = false;
    bool releasedInsideACall = false;
} g_restart;

class RestartingRecorder : public Recorder {
  public:
    using Recorder::Recorder;
    ~RestartingRecorder() override { g_restart.releasedInsideACall |= inCall_; }
    void SetState(ProgressState state) override { Record({true, state, 0, 0}); }
    void SetValue(ULONGLONG done, ULONGLONG total) override {
        Record({false, ProgressState::None, done, total});
    }

  private:
    void Record(const Call& call) {
        call.isState ? Recorder::SetState(call.state) : Recorder::SetValue(call.done, call.total);
        if (g_restart.done || !g_restart.at(call)) {
            return;
        }
        g_restart.done = true;
        if (g_restart.insideTheCall) {
            inCall_ = true;
            SendMessageA(g_restart.form, win::TaskbarButtonCreatedMessage(), 0, 0);
            inCall_ = false;
        } else {
            PostMessageA(g_restart.form, win::TaskbarButtonCreatedMessage(), 0, 0);
        }
    }
    bool inCall_ = false;
};

TEST_F(Progress, ARestartedTaskbarShowsWhatTheOldButtonLastShowed) {
    const struct {
        const char* what;
        std::function<bool(const Call&)> at;
        bool insideTheCall;
        const char* writeFault;
        Call first; // the new button's first call
    } rows[] = {
        {"during the search",
         [](const Call& c) { return c.isState; },
         false,
         "",
         {true, ProgressState::Indeterminate, 0, 0}},
        {"while a failed copy's box is up",
         [](const Call& c) { return c.isState && c.state == ProgressState::Error; },
         false,
         "Vesko-Plinto-4.par1:2",
         {true, ProgressState::Error, 0, 0}},
        {"inside the old button's call mid-copy",
         [](const Call& c) { return !c.isState; },
         true,
         "",
         {true, ProgressState::Normal, 0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<Call> oldButton, newButton;
        g_restart = {form.Handle(), row.at, row.insideTheCall};
        g_newButton = &newButton;
        form.SetProgressDisplay(std::make_unique<RestartingRecorder>(oldButton));
        const ScopedWindowEnvironment restarted{
            {.taskbarButton = [](HWND) -> std::unique_ptr<win::ProgressDisplay> {
                return std::make_unique<Recorder>(*g_newButton);
            }}};
        const ScopedEnv fault("VK7SIM_WRITE_FAULT", row.writeFault);
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        Click();
        EXPECT_TRUE(g_restart.done);
        EXPECT_FALSE(g_restart.releasedInsideACall);
        ASSERT_FALSE(newButton.empty());
        EXPECT_EQ(newButton.front().isState, row.first.isState);
        EXPECT_EQ(newButton.front().state, row.first.state);
        // A share shown before the restart is shown again at once.
        const auto lastValue = std::find_if(oldButton.rbegin(), oldButton.rend(),
                                            [](const Call& c) { return !c.isState; });
        if (row.first.state != ProgressState::Indeterminate && lastValue != oldButton.rend()) {
            ASSERT_GE(newButton.size(), 2u);
            EXPECT_FALSE(newButton[1].isState);
            EXPECT_EQ(newButton[1].done, lastValue->done);
        }
        form.SetProgressDisplay(std::make_unique<Recorder>(calls));
    }
    g_newButton = nullptr;
}

} // namespace
