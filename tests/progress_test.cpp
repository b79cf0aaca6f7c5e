// Progress on the taskbar button, recorded through the window's progress
// display: indeterminate while identifying and connecting, the share of
// payload bytes written during the copy, the error state after a failed
// copy, cleared at the end of every run; and a flash when the run ends
// while the window is in the background.
#include "support/FormFixture.h"
#include "win/TaskbarProgress.h"

#include <gtest/gtest.h>

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
    const ScopedWindowEnvironment environment{
        {.flashed = [](HWND window) { Flashes().push_back(window); }}};
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
        pda::PdaDisconnect();
    }
}

TEST_F(Progress, TheEndOfARunInTheBackgroundFlashesTheButton) {
    HWND other =
        CreateWindowExA(0, "Static", "another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                        100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetForegroundWindow(other);
    ASSERT_NE(GetForegroundWindow(), form.Handle());
    Click();
    EXPECT_EQ(Flashes(), std::vector<HWND>{form.Handle()});
    DestroyWindow(other);
}

} // namespace
