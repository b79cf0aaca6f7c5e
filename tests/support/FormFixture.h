// A main window on a simulated VK7 with KestrovaCE installed, a temporary
// directory of its own and message boxes captured.
#pragma once

#include "app/CopyPhase.h"
#include "app/Unit1.h"
#include "pda/Pda.h"
#include "rapi/rapi.h"
#include "support/TestSupport.h"
#include "win/RunLog.h"

#include <gtest/gtest.h>

namespace testing_support {

// A window environment in place for the life of the object.
class ScopedWindowEnvironment {
  public:
    explicit ScopedWindowEnvironment(const app::WindowEnvironment& environment) {
        app::SetWindowEnvironmentForTesting(environment);
    }
    ~ScopedWindowEnvironment() { app::SetWindowEnvironmentForTesting({}); }
    ScopedWindowEnvironment(const ScopedWindowEnvironment&) = delete;
    ScopedWindowEnvironment& operator=(const ScopedWindowEnvironment&) = delete;
};

inline std::string TextOf(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

class FormFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        win::runlog::SetLocalAppDataForTesting(logs.path().wstring());
        rapi::ResetForTesting(rapi::ProductionLoader());
        device.installApplication();
        ASSERT_TRUE(form.Create(GetModuleHandleA(nullptr), SW_SHOW));
    }
    void TearDown() override {
        win::runlog::SetLocalAppDataForTesting(L"");
        pda::PdaDisconnect();
        EXPECT_EQ(SimOpenHandles(), 0);
        // Handle what is left (WM_PAINT stays queued until painted) and drop
        // any WM_QUIT, so the next test starts with an empty queue.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
    }
    std::string Status() const { return TextOf(form.Label1()); }
    std::string Caption() const { return TextOf(form.BitBtn1()); }
    bool Enabled() const { return IsWindowEnabled(form.BitBtn1()) != FALSE; }
    fs::path Scratch(const char* name) const { return temp.path() / name; }
    bool ScratchLeft() const {
        return fs::exists(Scratch("8194a.tmp")) || fs::exists(Scratch("8194b.tmp"));
    }
    fs::path RunLogFile() const { return logs.path() / "Vesko" / "VeskoUpgrade.log"; }
    std::string LastRunLogged() const { return LastRunIn(RunLogFile()); }

    ScratchDir logs{"log"}; // the local application data of the run log
    SimDevice device;
    ScratchDir temp{"tmp"};
    ScopedEnv tmp{"TMP", temp.str()};
    ScopedEnv tempEnv{"TEMP", temp.str()};
    BoxCatcher boxes;
    app::TForm1 form;
};

} // namespace testing_support
