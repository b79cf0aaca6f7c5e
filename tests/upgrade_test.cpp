// The button's click handler against the simulated VK7, with the release
// payload script compiled in.
#include "support/FormFixture.h"
#include "win/Dialogs.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

constexpr const char* kAppFolder = "\\ResidentFlash\\VKNAV\\";

std::vector<UINT>& Beeps() {
    static std::vector<UINT> beeps;
    return beeps;
}

// Every text the status line is given, in order.
std::vector<std::string>& Captions() {
    static std::vector<std::string> captions;
    return captions;
}
WNDPROC g_labelProc = nullptr;
LRESULT CALLBACK RecordCaptions(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SETTEXT) {
        Captions().emplace_back(reinterpret_cast<const char*>(lParam));
    }
    return CallWindowProcA(g_labelProc, window, msg, wParam, lParam);
}

class Upgrade : public FormFixture {
  protected:
    void SetUp() override {
        FormFixture::SetUp();
        Beeps().clear();
        win::SetBeepObserverForTesting([](UINT type) { Beeps().push_back(type); });
    }
    void TearDown() override {
        win::SetBeepObserverForTesting(nullptr);
        FormFixture::TearDown();
    }
    void Press() { form.BitBtn1Click(); }
    bool Installed(const std::string& name) const {
        return ReadFileBytes(device.appFolder() / name) == ReadFileBytes(PayloadFile(name));
    }
    bool ConnectionClosed() const {
        const auto log = device.log();
        return !pda::PdaConnected && !log.empty() && log.back().function == "CeRapiUninit";
    }
};

TEST_F(Upgrade, FullRunInstallsTheNineItemsInManifestOrder) {
    Captions().clear();
    g_labelProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(form.Label1(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordCaptions)));
    Press();
    SetWindowLongPtrA(form.Label1(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_labelProc));
    std::vector<std::string> expected;
    for (const char* name : kDeviceNames) {
        expected.push_back(std::string("Please wait - Copying ") + name);
    }
    expected.push_back("Upgrade Complete");
    EXPECT_EQ(Captions(), expected);
    EXPECT_EQ(Beeps(), std::vector<UINT>{0x40});
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(Status(), "Upgrade Complete");
    EXPECT_EQ(Caption(), "Press to Exit");
    EXPECT_TRUE(Enabled());
    for (const char* name : kDeviceNames) {
        EXPECT_TRUE(Installed(name)) << name;
    }
    EXPECT_FALSE(ScratchLeft());
    EXPECT_EQ(app::TempDirectory, temp.str());
    EXPECT_TRUE(ConnectionClosed());

    const auto log = device.log();
    std::vector<LogEntry> created;
    for (const auto& call : Calls(log, "CeCreateFile")) {
        if (call.detail.find("disposition=2 ") != std::string::npos) { // CREATE_ALWAYS
            created.push_back(call);
        }
    }
    ASSERT_EQ(created.size(), std::size(kDeviceNames));
    for (std::size_t i = 0; i < created.size(); ++i) {
        EXPECT_EQ(created[i].subject, std::string(kAppFolder) + kDeviceNames[i]);
    }
    // Every item goes in 32000-byte chunks, a remainder, and a write of 0.
    for (const char* name : kDeviceNames) {
        std::vector<long long> sizes;
        for (const auto& w : Calls(log, "CeWriteFile")) {
            if (w.subject == std::string(kAppFolder) + name) {
                sizes.push_back(w.bytes);
            }
        }
        const auto total = static_cast<long long>(fs::file_size(PayloadFile(name)));
        ASSERT_GE(sizes.size(), 2u);
        EXPECT_EQ(sizes.back(), 0);
        for (std::size_t i = 0; i + 2 < sizes.size(); ++i) {
            EXPECT_EQ(sizes[i], 32000);
        }
        EXPECT_EQ(static_cast<long long>(sizes.size() - 2) * 32000 + sizes[sizes.size() - 2],
                  total);
    }
    EXPECT_EQ(Calls(log, "CeRapiInitEx").size(), 2u);
    // The application, then each item once for the check.
    EXPECT_EQ(Calls(log, "CeFindFirstFile").size(), 1u + std::size(kDeviceNames));
}

// Before the first byte: each target looked up in manifest order, the free
// space asked once, then each existing file made writable where it is
// read-only and opened for writing, unshared, and closed again.
TEST_F(Upgrade, CheckBeforeTheFirstByteAsksEachTargetOnce) {
    const std::string folder = std::string(kAppFolder);
    WriteFileBytes(device.appFolder() / "Kestrova1.def", "old settings");
    WriteFileBytes(device.appFolder() / "FontSizes2.def", "old sizes");
    SetFileAttributesW((device.appFolder() / "Kestrova1.def").wstring().c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    Press();
    ASSERT_EQ(Status(), "Upgrade Complete");
    const auto log = device.log();
    std::vector<std::string> expected, seen;
    for (const char* name : kDeviceNames) {
        expected.push_back("CeFindFirstFile " + folder + name);
        if (name == std::string("KestrovaCE.exe") || name == std::string("Kestrova1.def") ||
            name == std::string("FontSizes2.def")) {
            expected.push_back("CeFindClose");
        }
    }
    expected.push_back("CeGetDiskFreeSpaceEx \\ResidentFlash\\VKNAV");
    const std::string open = " access=40000000 share=0 disposition=3 flags=0";
    expected.push_back("CeCreateFile " + folder + "KestrovaCE.exe" + open);
    expected.push_back("CeCloseHandle");
    // Read-only cleared, the archive bit kept.
    expected.push_back("CeSetFileAttributes " + folder + "Kestrova1.def " +
                       std::to_string(FILE_ATTRIBUTE_ARCHIVE));
    expected.push_back("CeCreateFile " + folder + "Kestrova1.def" + open);
    expected.push_back("CeCloseHandle");
    expected.push_back("CeCreateFile " + folder + "FontSizes2.def" + open);
    expected.push_back("CeCloseHandle");
    // From the application's search on, up to the copy's first creation.
    std::size_t i = 0;
    while (i < log.size() && log[i].function != "CeFindClose") {
        ++i;
    }
    for (++i; i < log.size() && log[i].detail.find("disposition=2 ") == std::string::npos; ++i) {
        const LogEntry& call = log[i];
        std::string text = call.function;
        if (call.function == "CeFindFirstFile" || call.function == "CeGetDiskFreeSpaceEx") {
            text += " " + call.subject;
        } else if (call.function == "CeCreateFile") {
            text += " " + call.subject + " " + call.detail;
        } else if (call.function == "CeSetFileAttributes") {
            text += " " + call.subject + " " + std::to_string(call.bytes);
        }
        seen.push_back(text);
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(Upgrade, ProviderThatRefusesASecondInitialisationStillUpgrades) {
    device.set("VK7SIM_REFUSE_REINIT", "1");
    Press();
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(Status(), "Upgrade Complete");
    for (const char* name : kDeviceNames) {
        EXPECT_TRUE(Installed(name)) << name;
    }
    const auto log = device.log();
    const auto inits = Calls(log, "CeRapiInitEx");
    ASSERT_EQ(inits.size(), 2u);
    EXPECT_EQ(inits[1].result, rapi::CERAPI_E_ALREADYINITIALIZED);
    EXPECT_EQ(Calls(log, "CeRapiUninit").size(), 1u); // closed once, at the end
    EXPECT_TRUE(ConnectionClosed());
}

TEST_F(Upgrade, FailureTable) {
    const std::string title = win::ApplicationTitle();
    const struct {
        const char* situation;
        std::vector<std::pair<const char*, const char*>> settings;
        bool removeApplication;
        std::vector<Box> shown;
        std::string status, caption;
        std::size_t itemsInstalled;
        // At each box: how many times the connection had been closed, the
        // status line, and whether the button was still disabled.
        std::vector<std::size_t> closesAtBoxes;
        std::vector<std::string> statusAtBoxes;
        bool beeps; // once, 0x40, at the end of a completed run only
    } rows[] = {
        {"not a VK7",
         {{"VK7SIM_SCREEN_MM", "61"}},
         false,
         {{"Vesko Navigator not found.", "Information", "information"}},
         "",
         "Press to Upgrade",
         0,
         {0},
         {""},
         false},
        {"second connection fails",
         {{"VK7SIM_LATER_INIT_RESULT", "0x80004005"}},
         false,
         {{"Cannot connect to Vesko Navigator", title, "none"}},
         "",
         "Press to Upgrade",
         0,
         {0},
         {""},
         false},
        {"application missing",
         {},
         true,
         {{"Cannot find KestrovaCE on the Vesko Navigator", title, "none"}},
         "",
         "Press to Upgrade",
         0,
         {0},
         {""},
         false},
        {"the check refuses: a target is held open",
         {{"VK7SIM_BUSY", "KestrovaCE.exe"}},
         false,
         {{kRunning, title, "none"}},
         "",
         "Press to Upgrade",
         0,
         {0},
         {""},
         false},
        {"the device fills up and cannot tell its free space",
         {{"VK7SIM_CAPACITY", "1000000"}, {"VK7SIM_FREE_SPACE_FAILS", "1"}},
         false,
         {{"Cannot write to Destination file", title, "none"}, {kDeviceFull, title, "none"}},
         "Error Copying Files",
         "Press to Exit",
         0,
         {0, 1},
         {"Please wait - Copying KestrovaCE.exe", "Please wait - Copying KestrovaCE.exe"},
         true},
        {"first item fails, the rest succeed",
         {{"VK7SIM_WRITE_FAULT", "KestrovaCE.exe:1"}},
         false,
         {{"Cannot write to Destination file", title, "none"}, {kCopyError, title, "none"}},
         "Error Copying Files",
         "Press to Exit",
         8,
         {0, 1},
         {"Please wait - Copying KestrovaCE.exe", "Please wait - Copying FontSizes2.def"},
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.situation);
        SimDevice fresh;
        fresh.installApplication();
        if (row.removeApplication) {
            fs::remove(fresh.appFolder() / "KestrovaCE.exe");
        }
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.settings) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
        BoxCatcher caught;
        std::vector<std::size_t> closesAtBoxes;
        std::vector<std::string> statusAtBoxes;
        bool disabledAtEveryBox = true;
        caught.onBox = [&](const Box&) {
            closesAtBoxes.push_back(Calls(fresh.log(), "CeRapiUninit").size());
            statusAtBoxes.push_back(Status());
            disabledAtEveryBox = disabledAtEveryBox && !Enabled();
        };
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        Beeps().clear();
        Press();
        EXPECT_EQ(Beeps(), row.beeps ? std::vector<UINT>{0x40} : std::vector<UINT>{});
        EXPECT_EQ(closesAtBoxes, row.closesAtBoxes);
        EXPECT_EQ(statusAtBoxes, row.statusAtBoxes);
        EXPECT_TRUE(disabledAtEveryBox);
        ASSERT_EQ(caught.boxes().size(), row.shown.size());
        for (std::size_t i = 0; i < row.shown.size(); ++i) {
            EXPECT_EQ(caught.boxes()[i].text, row.shown[i].text);
            EXPECT_EQ(caught.boxes()[i].caption, row.shown[i].caption);
            EXPECT_EQ(caught.boxes()[i].icon, row.shown[i].icon);
        }
        EXPECT_EQ(Status(), row.status);
        EXPECT_EQ(Caption(), row.caption);
        EXPECT_TRUE(Enabled());
        std::size_t installed = 0;
        for (const char* name : kDeviceNames) {
            installed +=
                ReadFileBytes(fresh.appFolder() / name) == ReadFileBytes(PayloadFile(name));
        }
        EXPECT_EQ(installed, row.itemsInstalled);
        // Every early return and the end of a run close the connection.
        const auto log = fresh.log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().function, "CeRapiUninit");
        EXPECT_FALSE(pda::PdaConnected);
        EXPECT_FALSE(ScratchLeft());
        EXPECT_EQ(SimOpenHandles(), 0);
    }
}

TEST_F(Upgrade, NoDeviceIsNotFound) {
    device.set("VK7SIM_DIR", "");
    Press();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, "Vesko Navigator not found.");
    EXPECT_EQ(boxes.boxes()[0].caption, "Information");
    EXPECT_EQ(Caption(), "Press to Upgrade");
    EXPECT_TRUE(Enabled());
    EXPECT_TRUE(Calls(device.log(), "CeGetVersionEx").empty());
}

TEST_F(Upgrade, ScratchFileThatCannotBeCreatedEndsTheClickWithTheErrorBox) {
    const std::string missing = (temp.path() / "gone").string();
    ScopedEnv tmp("TMP", missing), tempEnv("TEMP", missing);
    // The error leaves the handler through the window procedure, as a click does.
    SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                 reinterpret_cast<LPARAM>(form.BitBtn1()));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const Box& box = boxes.boxes()[0];
    EXPECT_EQ(box.text.rfind("Cannot create file \"" + missing + "\\8194a.tmp\". ", 0), 0u)
        << box.text;
    EXPECT_EQ(box.text.back(), '.');
    EXPECT_EQ(box.icon, "stop");
    EXPECT_EQ(box.caption, win::ApplicationTitle());
    EXPECT_EQ(Caption(), "Press to Upgrade");
    EXPECT_TRUE(Enabled());
    EXPECT_TRUE(pda::PdaConnected); // the connection is left as it was
    EXPECT_TRUE(Beeps().empty());   // the run never completed
}

TEST_F(Upgrade, ExitModeClosesTheWindowWithoutTouchingTheDevice) {
    for (const char* caption : {"Press to Exit", "press to exit", "EXIT", "Exited"}) {
        SCOPED_TRACE(caption);
        app::TForm1 other;
        ASSERT_TRUE(other.Create(GetModuleHandleA(nullptr), SW_SHOW));
        SetWindowTextA(other.BitBtn1(), caption);
        other.BitBtn1Click();
        EXPECT_TRUE(PumpUntil([&] { return other.Handle() == nullptr; }, 3000));
    }
    EXPECT_FALSE(fs::exists(device.logPath()));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Upgrade, SecondPressAfterARunCloses) {
    Press();
    ASSERT_EQ(Caption(), "Press to Exit");
    const auto callsAfterRun = device.log().size();
    Press();
    EXPECT_TRUE(PumpUntil([&] { return form.Handle() == nullptr; }, 3000));
    EXPECT_EQ(device.log().size(), callsAfterRun);
}

TEST_F(Upgrade, PressesAndEnterDuringARunStartNoSecondRun) {
    SetFocus(form.BitBtn1());
    PostMessageA(form.BitBtn1(), BM_CLICK, 0, 0);
    PostMessageA(form.BitBtn1(), WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                 reinterpret_cast<LPARAM>(form.BitBtn1()));
    Press();
    EXPECT_EQ(Calls(device.log(), "CeRapiInitEx").size(), 2u);
    EXPECT_EQ(Status(), "Upgrade Complete");
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_TRUE(IsWindow(form.Handle()));
}

TEST_F(Upgrade, ClosingTheWindowDuringARunLetsTheRunFinish) {
    PostMessageA(form.Handle(), WM_CLOSE, 0, 0);
    Press();
    for (const char* name : kDeviceNames) {
        EXPECT_TRUE(Installed(name)) << name;
    }
    EXPECT_FALSE(ScratchLeft());
    // The program ends by itself once the run is over.
    EXPECT_TRUE(PumpUntil([&] { return form.Handle() == nullptr; }, 3000));
}

} // namespace
