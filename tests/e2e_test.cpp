// The real VeskoUpgrade.exe, run under Wine against the simulated VK7 and
// worked from outside by the automation driver.
#include "support/TestSupport.h"
#include "uidriver/Driver.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

using namespace testing_support;
using uidriver::Event;

namespace {

struct Scenario {
    const char* name;
    std::vector<std::pair<std::string, std::string>> settings;
    bool applicationInstalled;
    std::vector<std::pair<std::string, std::string>> boxes; // caption, text
    std::string status;
    std::string caption;
    std::size_t installed;
};

class EndToEnd : public ::testing::TestWithParam<Scenario> {};

// What a screen reader hears of the status line: the events the program
// raises for it, seen by an out-of-context hook for all processes (under
// Wine a hook for one process hears nothing), each with the text the line
// had when the hook was called.
class StatusAnnouncements {
  public:
    struct Heard {
        DWORD event;
        std::string text;
    };

    StatusAnnouncements() {
        g_self = this;
        for (const DWORD event : {kNameChange, kLiveRegionChanged}) {
            hooks_.push_back(
                SetWinEventHook(event, event, nullptr, OnEvent, 0, 0, WINEVENT_OUTOFCONTEXT));
        }
    }
    ~StatusAnnouncements() {
        for (const HWINEVENTHOOK hook : hooks_) {
            if (hook != nullptr) {
                UnhookWinEvent(hook);
            }
        }
        g_self = nullptr;
    }
    StatusAnnouncements(const StatusAnnouncements&) = delete;
    StatusAnnouncements& operator=(const StatusAnnouncements&) = delete;

    void Watch(HWND label) { label_ = label; }
    const std::vector<Heard>& heard() const { return heard_; }

    static constexpr DWORD kNameChange = EVENT_OBJECT_NAMECHANGE;
    static constexpr DWORD kLiveRegionChanged = 0x8019;

  private:
    static void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child,
                                 DWORD, DWORD) {
        if (g_self != nullptr && window == g_self->label_ && object == OBJID_CLIENT &&
            child == CHILDID_SELF) {
            char text[256] = {};
            GetWindowTextA(window, text, sizeof text);
            g_self->heard_.push_back({event, text});
        }
    }

    static inline StatusAnnouncements* g_self = nullptr;
    std::vector<HWINEVENTHOOK> hooks_;
    HWND label_ = nullptr;
    std::vector<Heard> heard_;
};

// Every status of a full upgrade is heard, in order, as a name change and a
// live-region change of the status line. The hook reads the line when it is
// called, by which time a short item may have given way to the next: the
// texts heard follow the order of the statuses and end with the last.
void ExpectEveryStatusAnnounced(const StatusAnnouncements& announcements) {
    std::vector<std::string> statuses{"Please wait - Looking for the Vesko Navigator"};
    for (const char* name : kDeviceNames) {
        statuses.push_back(std::string("Please wait - Copying ") + name);
    }
    statuses.push_back("Upgrade Complete");
    const auto& heard = announcements.heard();
    ASSERT_EQ(heard.size(), 2 * statuses.size());
    std::size_t at = 0;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].event, i % 2 == 0 ? StatusAnnouncements::kNameChange
                                             : StatusAnnouncements::kLiveRegionChanged);
        const auto found = std::find(statuses.begin() + at, statuses.end(), heard[i].text);
        EXPECT_NE(found, statuses.end()) << "heard out of order: " << heard[i].text;
        at = found != statuses.end() ? found - statuses.begin() : at;
    }
    EXPECT_EQ(heard.back().text, "Upgrade Complete");
}

TEST_P(EndToEnd, RealProgramAgainstTheSimulatedVk7) {
    const Scenario& s = GetParam();
    ScratchDir device("e2e-dev"), temp("e2e-tmp");
    const fs::path app = device.path() / "ResidentFlash" / "VKNAV";
    fs::create_directories(app);
    if (s.applicationInstalled) {
        WriteFileBytes(app / "KestrovaCE.exe", "KestrovaCE 2.40");
    }
    std::vector<std::pair<std::string, std::string>> env = {
        {"VK7SIM_DIR", device.str()}, {"TMP", temp.str()},        {"TEMP", temp.str()},
        {"VK7SIM_SCREEN_MM", ""},     {"VK7SIM_WRITE_FAULT", ""}, {"VK7SIM_LOG", ""},
        {"VK7SIM_LINK_BPS", ""}};
    for (const auto& setting : s.settings) {
        env.push_back(setting);
    }

    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch(ProductExe(), env)) << driver.error();
    EXPECT_EQ(driver.Status(), "");
    EXPECT_EQ(driver.ButtonCaption(), "Press to Upgrade");
    StatusAnnouncements announcements;
    announcements.Watch(GetDlgItem(driver.Window(), 1001)); // Label1
    const std::vector<Event> events = driver.Run();
    const bool fullUpgrade = std::string(s.name) == "FullUpgrade";
    if (fullUpgrade) {
        // The last events may still be on their way to this thread's hook.
        PumpUntil([&] { return announcements.heard().size() >= 22; }, 5000);
        ExpectEveryStatusAnnounced(announcements);
    }

    std::vector<std::pair<std::string, std::string>> boxes;
    for (const auto& e : events) {
        if (e.kind == Event::Box) {
            boxes.emplace_back(e.caption, e.text);
        }
    }
    EXPECT_EQ(boxes, s.boxes);
    EXPECT_EQ(driver.Status(), s.status);
    EXPECT_EQ(driver.ButtonCaption(), s.caption);
    EXPECT_TRUE(driver.ButtonEnabled());
    std::size_t installed = 0;
    for (const char* name : kDeviceNames) {
        installed += ReadFileBytes(app / name) == ReadFileBytes(PayloadFile(name));
    }
    EXPECT_EQ(installed, s.installed);
    EXPECT_TRUE(fs::is_empty(temp.path())) << "scratch files left";

    if (s.caption == "Press to Exit") {
        driver.Press(); // the second press ends the program
    } else {
        PostMessageA(driver.Window(), WM_CLOSE, 0, 0);
    }
    EXPECT_EQ(driver.WaitForExit(), 0);
}

const std::string kTitle = "VeskoUpgrade";

INSTANTIATE_TEST_SUITE_P(
    Scenarios, EndToEnd,
    ::testing::Values(Scenario{"FullUpgrade", {}, true, {}, "Upgrade Complete", "Press to Exit", 9},
                      Scenario{"NoDevice",
                               {{"VK7SIM_DIR", ""}},
                               true,
                               {{"Information", NotFound(kNoAnswer)}},
                               "",
                               "Press to Upgrade",
                               0},
                      Scenario{"WrongModel",
                               {{"VK7SIM_SCREEN_MM", "61"}},
                               true,
                               {{"Information", NotFound(OtherDevice(6, 480, 61))}},
                               "",
                               "Press to Upgrade",
                               0},
                      Scenario{"ApplicationMissing",
                               {},
                               false,
                               {{kTitle, "Cannot find KestrovaCE on the Vesko Navigator"}},
                               "",
                               "Press to Upgrade",
                               0},
                      Scenario{
                          "WriteFaultMidPayload",
                          {{"VK7SIM_WRITE_FAULT", "Vesko-Plinto-4-HighContrast.par1:3"}},
                          true,
                          {{kTitle, "Cannot write to Destination file"},
                           {kTitle, "There is an Error copying files - make sure KestrovaCE is not "
                                    "running on the Vesko Navigator."}},
                          "Error Copying Files",
                          "Press to Exit",
                          8}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

} // namespace

namespace {

// What real users do to a running upgrade, done to the real program.
class RunSafetyEndToEnd : public ::testing::Test {
  protected:
    RunSafetyEndToEnd() {
        fs::create_directories(app);
        WriteFileBytes(app / "KestrovaCE.exe", "KestrovaCE 2.40");
    }
    // The settings of a healthy VK7 on a link slow enough to act mid-run.
    std::vector<std::pair<std::string, std::string>> Settings(bool setTemp = true) const {
        std::vector<std::pair<std::string, std::string>> env = {{"VK7SIM_DIR", device.str()},
                                                                {"VK7SIM_LINK_BPS", "1500000"},
                                                                {"VK7SIM_SCREEN_MM", ""},
                                                                {"VK7SIM_WRITE_FAULT", ""},
                                                                {"VK7SIM_LOG", log.string()}};
        if (setTemp) {
            env.push_back({"TMP", temp.str()});
            env.push_back({"TEMP", temp.str()});
        }
        return env;
    }
    static std::string Exe() { return ProductExe(); }
    std::size_t Installed() const {
        std::size_t n = 0;
        for (const char* name : kDeviceNames) {
            n += ReadFileBytes(app / name) == ReadFileBytes(PayloadFile(name));
        }
        return n;
    }
    static std::vector<Event> Boxes(const std::vector<Event>& events) {
        std::vector<Event> boxes;
        for (const auto& e : events) {
            if (e.kind == Event::Box) {
                boxes.push_back(e);
            }
        }
        return boxes;
    }

    ScratchDir device{"rs-dev"}, temp{"rs-tmp"}, logs{"rs-log"};
    fs::path app = device.path() / "ResidentFlash" / "VKNAV";
    fs::path log = logs.path() / "first.log";
};

constexpr const char* kCopyingApplication = "Please wait - Copying KestrovaCE.exe";

TEST_F(RunSafetyEndToEnd, SecondCopyEndsAtOnceWithoutTouchingTheDevice) {
    uidriver::Driver first;
    ASSERT_TRUE(first.Launch(Exe(), Settings())) << first.error();
    const fs::path secondLog = logs.path() / "second.log";
    long secondExit = -2;
    std::string secondError;
    const auto events = first.Run([&](const Event& e) {
        if (e.kind == Event::Status && e.text == kCopyingApplication) {
            uidriver::Driver second;
            auto env = Settings();
            env.back() = {"VK7SIM_LOG", secondLog.string()};
            // A few seconds, with room for a loaded machine's slow start.
            EXPECT_FALSE(second.Launch(Exe(), env, 15000));
            secondError = second.error();
            secondExit = second.WaitForExit(15000);
        }
    });
    EXPECT_EQ(secondError, "the program ended before its window appeared");
    EXPECT_EQ(secondExit, 0);
    EXPECT_FALSE(fs::exists(secondLog)); // no Remote API call at all
    EXPECT_TRUE(Boxes(events).empty());
    EXPECT_EQ(first.Status(), "Upgrade Complete");
    EXPECT_EQ(Installed(), std::size(kDeviceNames));
    EXPECT_TRUE(fs::is_empty(temp.path()));
    first.Press();
    EXPECT_EQ(first.WaitForExit(), 0);
}

// The taskbar announces the button; the program then shows its progress
// there through ITaskbarList3 (under Wine the calls succeed and show
// nothing) and the run goes as before.
TEST_F(RunSafetyEndToEnd, ProgressOnTheTaskbarButtonLeavesTheRunAsBefore) {
    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch(Exe(), Settings())) << driver.error();
    SendMessageA(driver.Window(), RegisterWindowMessageA("TaskbarButtonCreated"), 0, 0);
    const auto events = driver.Run();
    EXPECT_TRUE(Boxes(events).empty());
    EXPECT_EQ(driver.Status(), "Upgrade Complete");
    EXPECT_EQ(Installed(), std::size(kDeviceNames));
    driver.Press();
    EXPECT_EQ(driver.WaitForExit(), 0);
}

TEST_F(RunSafetyEndToEnd, SessionCannotEndDuringACopy) {
    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch(Exe(), Settings())) << driver.error();
    const auto ask = [&] {
        DWORD_PTR answer = 99;
        const bool answered = SendMessageTimeoutA(driver.Window(), WM_QUERYENDSESSION, 0,
                                                  ENDSESSION_LOGOFF, SMTO_BLOCK, 10000, &answer);
        return answered ? static_cast<long long>(answer) : -1;
    };
    long long duringCopy = -2;
    driver.Run([&](const Event& e) {
        if (e.kind == Event::Status && e.text == kCopyingApplication) {
            duringCopy = ask();
        }
    });
    EXPECT_EQ(duringCopy, FALSE);
    EXPECT_EQ(driver.Status(), "Upgrade Complete");
    EXPECT_EQ(ask(), TRUE); // a program that hung answers -1
    EXPECT_EQ(Installed(), std::size(kDeviceNames));
}

// Ended from Task Manager while the second item is copied: the run log
// keeps every line written up to then.
TEST_F(RunSafetyEndToEnd, KilledMidCopyTheRunLogKeepsEveryLineUpToThen) {
    wchar_t localAppData[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(
        SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, localAppData)));
    const fs::path runLog = fs::path(localAppData) / "Vesko" / "VeskoUpgrade.log";
    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch(Exe(), Settings())) << driver.error();
    driver.Run([&](const Event& e) {
        if (e.kind == Event::Status && e.text == "Please wait - Copying Vesko-Plinto-4.par1") {
            driver.Kill();
        }
    });
    EXPECT_EQ(driver.WaitForExit(), 1);
    const std::string logged = LastRunIn(runLog);
    EXPECT_NE(logged.find("\r\nCheck: every file can be replaced\r\nCopied KestrovaCE.exe: " +
                          std::to_string(fs::file_size(PayloadFile("KestrovaCE.exe"))) +
                          " bytes in "),
              std::string::npos)
        << logged;
    // Killed before the run could go much further, or end.
    EXPECT_EQ(logged.find("Copied VeskoPointer.mmp"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("Status:"), std::string::npos) << logged;
}

// Closed mid-run while the user works in another program: the rest of the
// run goes on, each box waits for the user, owned by the program's window,
// and the program ends by itself afterwards.
TEST_F(RunSafetyEndToEnd, ClosingMidRunShowsEveryBoxThenEndsByItself) {
    auto env = Settings();
    env.push_back({"VK7SIM_WRITE_FAULT", "Kestrova1.def:1"});
    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch(Exe(), env)) << driver.error();
    HWND elsewhere = CreateWindowExA(0, "Static", "another program", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                     100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    const auto events = driver.Run([&](const Event& e) {
        if (e.kind == Event::Status && e.text == kCopyingApplication) {
            ShowWindow(elsewhere, SW_SHOW);
            SetForegroundWindow(elsewhere);
            PostMessageA(driver.Window(), WM_CLOSE, 0, 0);
        }
    });
    const auto boxes = Boxes(events);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Cannot write to Destination file");
    EXPECT_EQ(boxes[1].text, "There is an Error copying files - make sure KestrovaCE is not "
                             "running on the Vesko Navigator.");
    for (const auto& box : boxes) {
        EXPECT_EQ(box.owner, driver.Window()) << box.text;
        EXPECT_FALSE(box.formEnabled) << box.text;
    }
    EXPECT_EQ(driver.WaitForExit(), 0); // no press needed
    EXPECT_EQ(Installed(), std::size(kDeviceNames) - 1);
    EXPECT_TRUE(fs::is_empty(temp.path()));
    DestroyWindow(elsewhere);
}

TEST_F(RunSafetyEndToEnd, SpacePressesTheButtonAgainAfterARunAndAfterAnEarlyReturn) {
    for (const bool early : {true, false}) {
        SCOPED_TRACE(early ? "early return" : "whole run");
        auto env = Settings();
        env.push_back({"VK7SIM_SCREEN_MM", early ? "61" : ""});
        uidriver::Driver driver;
        ASSERT_TRUE(driver.Launch(Exe(), env)) << driver.error();
        driver.Run();
        // Where the keys go once the user brings the window up.
        SetForegroundWindow(driver.Window());
        const ULONGLONG end = GetTickCount64() + 5000;
        while (driver.Focus() != driver.Button() && GetTickCount64() < end) {
            Sleep(20);
        }
        EXPECT_EQ(driver.Focus(), driver.Button());
        PostMessageA(driver.Window(), WM_CLOSE, 0, 0);
        EXPECT_EQ(driver.WaitForExit(), 0);
    }
}

// Temporary folders whose names the classic code page cannot hold, set as
// a user's would be, through the wide environment.
TEST_F(RunSafetyEndToEnd, TemporaryFolderOutsideTheCodePage) {
    fs::create_directories(temp.path() / "Lukasz"); // the best-fit form of the second
    for (const std::wstring name : {L"\u4E2D\u6587", L"\u0141ukasz"}) {
        const fs::path folder = temp.path() / name;
        fs::create_directories(folder);
        SetEnvironmentVariableW(L"TMP", folder.wstring().c_str());
        SetEnvironmentVariableW(L"TEMP", folder.wstring().c_str());
        uidriver::Driver driver;
        ASSERT_TRUE(driver.Launch(Exe(), Settings(false))) << driver.error();
        bool scratchInTheRealFolder = false;
        const auto events = driver.Run([&](const Event& e) {
            if (e.kind == Event::Status && e.text == kCopyingApplication) {
                scratchInTheRealFolder = fs::exists(folder / "8194b.tmp");
            }
        });
        EXPECT_TRUE(Boxes(events).empty());
        EXPECT_EQ(driver.Status(), "Upgrade Complete");
        EXPECT_TRUE(scratchInTheRealFolder);
        EXPECT_EQ(Installed(), std::size(kDeviceNames));
        EXPECT_TRUE(fs::is_empty(folder));
        EXPECT_TRUE(fs::is_empty(temp.path() / "Lukasz"));
        driver.Press();
        EXPECT_EQ(driver.WaitForExit(), 0);
        fs::remove_all(app);
        fs::create_directories(app);
        WriteFileBytes(app / "KestrovaCE.exe", "KestrovaCE 2.40");
    }
    SetEnvironmentVariableW(L"TMP", temp.path().wstring().c_str());
    SetEnvironmentVariableW(L"TEMP", temp.path().wstring().c_str());
}

} // namespace
