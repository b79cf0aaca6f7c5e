// The real VeskoUpgrade.exe, run under Wine against the simulated VK7 and
// worked from outside by the automation driver.
#include "support/TestSupport.h"
#include "uidriver/Driver.h"

#include <gtest/gtest.h>

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
        {"VK7SIM_SCREEN_MM", ""},     {"VK7SIM_WRITE_FAULT", ""}, {"VK7SIM_LOG", ""}};
    for (const auto& setting : s.settings) {
        env.push_back(setting);
    }

    uidriver::Driver driver;
    ASSERT_TRUE(driver.Launch((ProgramFolder().parent_path() / "VeskoUpgrade.exe").string(), env))
        << driver.error();
    EXPECT_EQ(driver.Status(), "");
    EXPECT_EQ(driver.ButtonCaption(), "Press to Upgrade");
    const std::vector<Event> events = driver.Run();

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
                               {{"Information", "Vesko Navigator not found."}},
                               "",
                               "Press to Upgrade",
                               0},
                      Scenario{"WrongModel",
                               {{"VK7SIM_SCREEN_MM", "61"}},
                               true,
                               {{"Information", "Vesko Navigator not found."}},
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
