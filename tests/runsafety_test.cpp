// A run is never silently cut short: closing the window, the end of the
// session and another active window leave the run and its outcome intact,
// and the button has the focus again afterwards.
#include "support/FormFixture.h"
#include "win/Dialogs.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class RunSafety : public FormFixture {
  protected:
    void Click() {
        SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                     reinterpret_cast<LPARAM>(form.BitBtn1()));
    }
    LRESULT QueryEndSession() const {
        return SendMessageA(form.Handle(), WM_QUERYENDSESSION, 0, 0);
    }
    // Where the keys go when the user brings the window up (other test
    // programs may hold the foreground meanwhile).
    HWND FocusOnceActive() const {
        SetActiveWindow(form.Handle());
        return GetFocus();
    }
    // Sets the thread's execution state to `state` and returns the one it had.
    static EXECUTION_STATE SwapExecutionState(EXECUTION_STATE state) {
        return SetThreadExecutionState(state);
    }
};

// Each way a run ends: while its box is up the session may not end and the
// computer stays awake; afterwards both are as before and the focus is back
// on the button.
TEST_F(RunSafety, EveryEndOfARunGivesTheSessionBackAndTheFocusToTheButton) {
    const struct {
        const char* path;
        const char* setting;
        const char* value;
        std::string box; // one box shown during the run
    } rows[] = {
        {"early return", "VK7SIM_SCREEN_MM", "61", NotFound(OtherDevice(6, 480, 61))},
        {"copy failure", "VK7SIM_WRITE_FAULT", "Kestrova1.def:1", kWriteFailed},
        {"escaped error", "TMP", "Z:\\no\\such\\folder", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ScopedEnv setting(row.setting, row.value);
        ScopedEnv tempToo("TEMP", std::string(row.setting) == "TMP" ? row.value : temp.str());
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        LRESULT answerDuringRun = -1;
        EXECUTION_STATE stateDuringRun = 0;
        boxes.onBox = [&](const Box& box) {
            if (!row.box.empty() && box.text == row.box) {
                answerDuringRun = QueryEndSession();
                stateDuringRun = SwapExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
            }
        };
        Click();
        boxes.onBox = nullptr;
        if (!row.box.empty()) {
            EXPECT_EQ(answerDuringRun, FALSE);
            EXPECT_EQ(stateDuringRun,
                      static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
        }
        EXPECT_NE(QueryEndSession(), FALSE);
        EXPECT_EQ(SwapExecutionState(ES_CONTINUOUS), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
        EXPECT_TRUE(Enabled());
        EXPECT_EQ(FocusOnceActive(), form.BitBtn1());
        pda::PdaDisconnect();
    }
}

TEST_F(RunSafety, SessionMayEndWhenNoRunIsInProgress) {
    EXPECT_NE(QueryEndSession(), FALSE);
    Click();
    ASSERT_EQ(Status(), "Upgrade Complete");
    EXPECT_NE(QueryEndSession(), FALSE);
    EXPECT_EQ(FocusOnceActive(), form.BitBtn1());
}

// Closed during a run: the run goes on, every box it shows waits with the
// window still there to own it, and the window closes by itself at the end.
TEST_F(RunSafety, ClosingDuringARunShowsEveryBoxThenCloses) {
    device.set("VK7SIM_WRITE_FAULT", "Vesko-Plinto-4-UTM.par1:3");
    std::vector<bool> ownedByTheWindow;
    boxes.onBox = [&](const Box& box) {
        ownedByTheWindow.push_back(box.owner != nullptr && box.owner == form.Handle());
    };
    PostMessageA(form.Handle(), WM_CLOSE, 0, 0);
    Click();
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{kWriteFailed, kCopyError}));
    EXPECT_EQ(ownedByTheWindow, (std::vector<bool>{true, true}));
    EXPECT_EQ(Status(), "Error Copying Files");
    for (const char* name : kDeviceNames) {
        if (std::string(name) != "Vesko-Plinto-4-UTM.par1") {
            EXPECT_EQ(ReadFileBytes(device.appFolder() / name), ReadFileBytes(PayloadFile(name)))
                << name;
        }
    }
    EXPECT_TRUE(PumpUntil([&] { return form.Handle() == nullptr; }, 3000));
}

TEST_F(RunSafety, AnErrorThatEndsARunClosedMidwayIsShownBeforeTheWindowCloses) {
    const std::string missing = (temp.path() / "gone").string();
    ScopedEnv tmp("TMP", missing), tempEnv("TEMP", missing);
    bool windowThere = false;
    boxes.onBox = [&](const Box&) { windowThere = IsWindow(form.Handle()) != FALSE; };
    PostMessageA(form.Handle(), WM_CLOSE, 0, 0);
    Click();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].icon, "stop");
    EXPECT_TRUE(windowThere);
    EXPECT_TRUE(PumpUntil([&] { return form.Handle() == nullptr; }, 3000));
}

// With another window active, the main window's own active window is null:
// the boxes must still be owned by it.
TEST_F(RunSafety, BoxesAreOwnedByTheMainWindowWhateverIsActive) {
    HWND other =
        CreateWindowExA(0, "Static", "another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                        100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    SetActiveWindow(other);
    ASSERT_NE(GetActiveWindow(), form.Handle());
    device.set("VK7SIM_WRITE_FAULT", "FontSizes2.def:1");
    Click();
    ASSERT_EQ(boxes.boxes().size(), 2u);
    for (const Box& box : boxes.boxes()) {
        EXPECT_EQ(box.owner, form.Handle()) << box.text;
    }
    DestroyWindow(other);
}

} // namespace
