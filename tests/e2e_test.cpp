// The real VeskoUpgrade.exe, run under Wine against the simulated VK7 and
// worked from outside by the automation driver.
#include "support/TestSupport.h"
#include "uidriver/Driver.h"
#include "win/SystemDirectory.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>

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

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A download folder as an attacker leaves it: the program beside DLLs named
// as those Windows would look for there first, each of which leaves a
// marker file when it is loaded.
constexpr const char* kPlantedNames[] = {"VERSION.dll", "UxTheme.dll", "dwmapi.dll", "RAPI.DLL"};

fs::path PlantedMarkerDll() {
    const char* chosen = std::getenv("VESKO_E2E_MARKER");
    return chosen != nullptr && *chosen != '\0'
               ? fs::path(chosen)
               : fs::path(ProductExe()).parent_path() / "tests" / "planted" / "marker.dll";
}

std::string PlantBesideACopy(const fs::path& downloads) {
    const fs::path exe = downloads / "VeskoUpgrade.exe";
    fs::copy_file(ProductExe(), exe);
    for (const char* name : kPlantedNames) {
        fs::copy_file(PlantedMarkerDll(), downloads / name);
    }
    return exe.string();
}

std::vector<std::string> MarkersIn(const fs::path& downloads) {
    std::vector<std::string> markers;
    for (const auto& entry : fs::directory_iterator(downloads)) {
        if (entry.path().extension() == ".loaded") {
            markers.push_back(entry.path().filename().string());
        }
    }
    return markers;
}

// Wine's own user32 imports version.dll, which Windows' user32, a known DLL
// whose imports come from the system directory, does not: under Wine a
// planted copy is mapped before any of the program's code runs, whatever
// the program does. The build refuses a static import of it
// (cmake/KnownDlls.txt), and the program loads it by name only once the
// search is safe (dllsearch_test shows both roads).
bool ImportedByWinesOwnUser32(const std::string& path) {
    return Lower(fs::path(path).filename().string()) == "version.dll";
}

// Every module but the program itself came from the system directory or
// the side-by-side store; the list is printed for the record.
void ExpectOnlySystemModules(const std::vector<std::string>& modules) {
    ASSERT_FALSE(modules.empty()) << "the program's modules could not be listed";
    const std::string windows = Lower(fs::path(win::SystemDirectory()).parent_path().string());
    for (std::size_t i = 0; i < modules.size(); ++i) {
        std::cout << "module: " << modules[i] << "\n";
        if (i == 0 || ImportedByWinesOwnUser32(modules[i])) {
            continue; // the program
        }
        const std::string folder = Lower(fs::path(modules[i]).parent_path().string());
        const bool system = folder == windows + "\\system32" || folder == windows + "\\syswow64" ||
                            folder.starts_with(windows + "\\winsxs\\");
        EXPECT_TRUE(system) << modules[i] << " is not from the system's folders";
    }
}

TEST_P(EndToEnd, RealProgramAgainstTheSimulatedVk7) {
    const Scenario& s = GetParam();
    const bool fullUpgrade = std::string(s.name) == "FullUpgrade";
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
    // The full upgrade runs from a download folder with planted DLLs, Wine
    // told to search for them as Windows does rather than take its own.
    ScratchDir downloads("e2e-downloads");
    std::string exe = ProductExe();
    static const std::string overrides =
        std::getenv("WINEDLLOVERRIDES") != nullptr ? std::getenv("WINEDLLOVERRIDES") : "";
    env.push_back({"WINEDLLOVERRIDES", overrides});
    if (fullUpgrade) {
        exe = PlantBesideACopy(downloads.path());
        env.push_back({"WINEDLLOVERRIDES", overrides + ";version,uxtheme,dwmapi=n,b"});
    }

    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch(exe, env)) << driver.error();
    EXPECT_EQ(driver.Status(), "");
    EXPECT_EQ(driver.ButtonCaption(), "Press to Upgrade");
    StatusAnnouncements announcements;
    announcements.Watch(GetDlgItem(driver.Window(), 1001)); // Label1
    const std::vector<Event> events = driver.Run();
    if (fullUpgrade) {
        // Wine lists no modules of a 32-bit program to a 64-bit driver: there
        // the markers alone decide.
        BOOL programIs32Bit = FALSE;
        IsWow64Process(driver.Process(), &programIs32Bit);
        if (sizeof(void*) == 4 || !programIs32Bit) {
            ExpectOnlySystemModules(driver.Modules());
        }
        EXPECT_EQ(MarkersIn(downloads.path()), std::vector<std::string>{})
            << "a DLL beside the program was loaded";
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

namespace {

// What stands in the system directory for a row, put back as the fixture
// had it (the simulated device's library) when the row ends. The
// directory is shared with every test of the prefix: these rows run after
// all others (ctest's e2e_system_library, a cleanup of that fixture).
class SystemLibrarySwap {
  public:
    explicit SystemLibrarySwap(const fs::path& replacement) {
        fs::remove(SimLibraryPath());
        if (!replacement.empty()) {
            fs::copy_file(replacement, SimLibraryPath());
        }
    }
    ~SystemLibrarySwap() {
        std::error_code ignored;
        fs::copy_file(BuildLibrary("RAPI.DLL"), SimLibraryPath(),
                      fs::copy_options::overwrite_existing, ignored);
    }
    SystemLibrarySwap(const SystemLibrarySwap&) = delete;
    SystemLibrarySwap& operator=(const SystemLibrarySwap&) = delete;

    static fs::path BuildLibrary(const char* relative) {
        return fs::path(ProductExe()).parent_path() / "devicesim" / relative;
    }
};

// The program takes RAPI.DLL from the system directory or not at all: a
// copy beside it, in the current directory or on PATH changes nothing.
TEST(SystemLibrary, OnlyTheSystemDirectoryIsLookedIn) {
    const struct {
        const char* situation;
        const char* installed; // in the system directory; null: none
        std::string box;
    } rows[] = {
        {"none", nullptr, NotFound(kNoSoftware)},
        {"the partial library", "partial/RAPI.DLL",
         NotFound(Incomplete("CeGetVersionEx, CeWriteFile"))},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.situation);
        ScratchDir device("sl-dev"), downloads("sl-downloads");
        fs::create_directories(device.path() / "ResidentFlash" / "VKNAV");
        WriteFileBytes(device.path() / "ResidentFlash" / "VKNAV" / "KestrovaCE.exe", "KestrovaCE");
        const fs::path exe = downloads.path() / "VeskoUpgrade.exe";
        fs::copy_file(ProductExe(), exe);
        fs::copy_file(SystemLibrarySwap::BuildLibrary("RAPI.DLL"), downloads.path() / "RAPI.DLL");
        const SystemLibrarySwap swap(
            row.installed != nullptr ? SystemLibrarySwap::BuildLibrary(row.installed) : fs::path());
        char previous[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, previous);
        SetCurrentDirectoryA(downloads.str().c_str());
        const ScopedEnv path("PATH", downloads.str()); // the program inherits both
        uidriver::Driver driver;
        const bool launched = driver.Launch(exe.string(), {{"VK7SIM_DIR", device.str()}});
        SetCurrentDirectoryA(previous);
        ASSERT_TRUE(launched) << driver.error();
        std::vector<std::string> boxes;
        for (const Event& e : driver.Run()) {
            if (e.kind == Event::Box) {
                boxes.push_back(e.text);
            }
        }
        EXPECT_EQ(boxes, std::vector<std::string>{row.box});
        PostMessageA(driver.Window(), WM_CLOSE, 0, 0);
        EXPECT_EQ(driver.WaitForExit(), 0);
    }
}

} // namespace
