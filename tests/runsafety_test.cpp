// A run is never silently cut short: closing the window, the end of the
// session and another active window leave the run and its outcome intact,
// and the button has the focus again afterwards.
#include "support/FormFixture.h"
#include "win/Dialogs.h"
#include "win/LateBound.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

// The reason Windows shows beside the program when a log-off waits for it:
// Wine shows none, so stand-ins record it.
struct BlockReason {
    HWND window = nullptr;
    std::wstring text;
    bool shown = false;
} g_reason;
BOOL WINAPI RecordReason(HWND window, LPCWSTR text) {
    g_reason = {window, text, true};
    return TRUE;
}
BOOL WINAPI WithdrawReason(HWND window) {
    g_reason.shown = g_reason.shown && window != g_reason.window;
    return TRUE;
}

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
    win::late::SetFakesForTesting(
        {.shutdownBlockReasonCreate = RecordReason, .shutdownBlockReasonDestroy = WithdrawReason});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ScopedEnv setting(row.setting, row.value);
        ScopedEnv tempToo("TEMP", std::string(row.setting) == "TMP" ? row.value : temp.str());
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        g_reason = {};
        LRESULT answerDuringRun = -1;
        EXECUTION_STATE stateDuringRun = 0;
        BlockReason reasonDuringRun;
        boxes.onBox = [&](const Box& box) {
            if (!row.box.empty() && box.text == row.box) {
                answerDuringRun = QueryEndSession();
                stateDuringRun = SwapExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
                reasonDuringRun = g_reason;
            }
        };
        Click();
        boxes.onBox = nullptr;
        if (!row.box.empty()) {
            EXPECT_EQ(answerDuringRun, FALSE);
            EXPECT_EQ(stateDuringRun,
                      static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
            EXPECT_TRUE(reasonDuringRun.shown);
            EXPECT_EQ(reasonDuringRun.window, form.Handle());
            EXPECT_EQ(reasonDuringRun.text, L"Upgrading the Vesko Navigator. Please wait until "
                                            L"the upgrade has finished.");
        }
        EXPECT_FALSE(g_reason.shown) << "the reason outlived the run";
        EXPECT_NE(QueryEndSession(), FALSE);
        EXPECT_EQ(SwapExecutionState(ES_CONTINUOUS), static_cast<EXECUTION_STATE>(ES_CONTINUOUS));
        EXPECT_TRUE(Enabled());
        EXPECT_EQ(FocusOnceActive(), form.BitBtn1());
        EXPECT_FALSE(SimSessionOpen()); // closed whatever ended the run
    }
    win::late::SetFakesForTesting({});
}

TEST_F(RunSafety, SessionMayEndWhenNoRunIsInProgress) {
    EXPECT_NE(QueryEndSession(), FALSE);
    Click();
    ASSERT_EQ(Status(), "Upgrade Complete");
    EXPECT_NE(QueryEndSession(), FALSE);
    EXPECT_EQ(FocusOnceActive(), form.BitBtn1());
}

// Closed during a run: the run goes on, every box it shows waits with the
// window still there to own it, and the window closes by itself at the
// end. A run that completes says so in a box, since the window will not.
TEST_F(RunSafety, ClosingDuringARunShowsEveryBoxThenCloses) {
    const std::string offered = TextOf(form.Label3()); // "... to version 2.51c"
    const std::string completed =
        "The upgrade is complete: KestrovaCE on the Vesko Navigator is now version " +
        offered.substr(offered.rfind(' ') + 1) + ".";
    const std::string missing = (temp.path() / "gone").string();
    const struct {
        const char* end;
        std::vector<std::pair<const char*, std::string>> settings;
        std::vector<std::string> boxes; // texts; "" stands for the error's stop box
        std::string status;
        std::size_t installed;
    } rows[] = {
        {"completed", {}, {completed}, "Upgrade Complete", 9},
        {"a copy failed",
         {{"VK7SIM_WRITE_FAULT", "Vesko-Plinto-4-UTM.par1:3"}},
         {kWriteFailed, kCopyError},
         "Error Copying Files",
         8},
        {"an error ended it", {{"TMP", missing}, {"TEMP", missing}}, {""}, "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.end);
        SimDevice fresh;
        fresh.installApplication();
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.settings) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
        app::TForm1 closed;
        ASSERT_TRUE(closed.Create(GetModuleHandleA(nullptr), SW_SHOW));
        BoxCatcher caught;
        std::vector<bool> ownedByTheWindow;
        caught.onBox = [&](const Box& box) {
            ownedByTheWindow.push_back(IsWindow(closed.Handle()) && box.owner == closed.Handle());
        };
        PostMessageA(closed.Handle(), WM_CLOSE, 0, 0);
        SendMessageA(closed.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                     reinterpret_cast<LPARAM>(closed.BitBtn1()));
        std::vector<std::string> texts;
        for (const Box& box : caught.boxes()) {
            texts.push_back(box.icon == "stop" ? "" : box.text);
        }
        EXPECT_EQ(texts, row.boxes);
        EXPECT_EQ(ownedByTheWindow, std::vector<bool>(row.boxes.size(), true));
        EXPECT_EQ(TextOf(closed.Label1()), row.status);
        std::size_t installed = 0;
        for (const char* name : kDeviceNames) {
            installed +=
                ReadFileBytes(fresh.appFolder() / name) == ReadFileBytes(PayloadFile(name));
        }
        EXPECT_EQ(installed, row.installed);
        EXPECT_TRUE(PumpUntil([&] { return closed.Handle() == nullptr; }, 3000));
        EXPECT_FALSE(SimSessionOpen()); // closed whatever ended the run
        MSG quit;                       // the closed window's, which would end the next row's boxes
        while (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
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
