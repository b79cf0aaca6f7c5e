// The device connection and identification against the simulated device.
#include "app/Identify.h"
#include "app/Unit1.h"
#include "pda/Pda.h"
#include "rapi/rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;
using pda::PdaConnected;

namespace {

class Connection : public ::testing::Test {
  protected:
    void SetUp() override { rapi::ResetForTesting(rapi::ProductionLoader()); }
    void TearDown() override {
        pda::PdaDisconnect();
        rapi::ResetForTesting(rapi::ProductionLoader());
        EXPECT_EQ(SimOpenHandles(), 0);
    }
    // Connects and returns the milliseconds it took.
    ULONGLONG TimedConnect() {
        const ULONGLONG start = GetTickCount64();
        pda::PdaConnect();
        return GetTickCount64() - start;
    }
    SimDevice device;
};

TEST_F(Connection, FlagIsFalseAtStartAndAfterADisconnectWithoutConnect) {
    EXPECT_FALSE(PdaConnected);
    pda::PdaDisconnect();
    EXPECT_FALSE(PdaConnected);
}

TEST_F(Connection, DeviceThatAnswersAtOnce) {
    EXPECT_LT(TimedConnect(), 1000u);
    EXPECT_TRUE(PdaConnected);
    pda::PdaDisconnect();
    EXPECT_FALSE(PdaConnected);
}

// The limit from both sides: a link up during the fiftieth wait counts, one
// up 0.7 s after the last does not (a sixtieth wait would see it). No upper
// bound on the time is asserted here: a loaded machine may take longer.
TEST_F(Connection, SignalledDuringTheFiftiethWait) {
    const struct {
        const char* delayMs;
        bool connected;
    } rows[] = {{"4950", true}, {"5700", false}, {"7000", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.delayMs);
        ScopedEnv delay("VK7SIM_CONNECT_DELAY_MS", row.delayMs);
        EXPECT_GE(TimedConnect(), 4800u);
        EXPECT_EQ(PdaConnected, row.connected);
        pda::PdaDisconnect();
    }
}

TEST_F(Connection, NeverSignalledGivesUpAfterFiftyWaits) {
    device.set("VK7SIM_CONNECT_DELAY_MS", "never");
    const ULONGLONG took = TimedConnect();
    EXPECT_FALSE(PdaConnected);
    EXPECT_EQ(pda::PdaConnectError, 0); // no answer, no error
    EXPECT_GE(took, 4800u);             // fifty waits of 100 ms, give or take the clock's tick
    EXPECT_LT(took, 5800u);             // and not a few more
}

TEST_F(Connection, NonZeroInitResultIsNoConnection) {
    device.set("VK7SIM_INIT_RESULT", "0x80004005");
    pda::PdaConnect();
    EXPECT_FALSE(PdaConnected);
    EXPECT_EQ(pda::PdaConnectError, static_cast<HRESULT>(0x80004005));
    // A failed attempt leaves the closing to the caller.
    EXPECT_TRUE(Calls(device.log(), "CeRapiUninit").empty());
}

// The waits block the window's thread: a message waiting before the
// connection is still waiting after it.
TEST_F(Connection, WaitsProcessNoWindowMessages) {
    device.set("VK7SIM_CONNECT_DELAY_MS", "300");
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // this thread has a queue
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 7, 0, 0));
    pda::PdaConnect();
    EXPECT_TRUE(PdaConnected);
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE));
}

TEST_F(Connection, SecondConnectFailingClearsTheFlag) {
    device.set("VK7SIM_LATER_INIT_RESULT", "0x80004005");
    pda::PdaConnect();
    EXPECT_TRUE(PdaConnected);
    pda::PdaConnect();
    EXPECT_FALSE(PdaConnected);
}

// Providers differ on a second initialisation without an uninitialisation
// between: one accepts it, the other refuses it as already initialised.
TEST_F(Connection, SecondConnectOnAnOpenConnectionWithEitherKindOfProvider) {
    const struct {
        const char* provider;
        const char* refuse;
        long long secondResult;
    } rows[] = {{"accepts", "0", 0}, {"refuses", "1", rapi::CERAPI_E_ALREADYINITIALIZED}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.provider);
        ScopedEnv refuse("VK7SIM_REFUSE_REINIT", row.refuse);
        const ScratchDir logs("log");
        ScopedEnv log("VK7SIM_LOG", (logs.path() / "calls.log").string());
        pda::PdaConnect();
        ASSERT_TRUE(PdaConnected);
        EXPECT_LT(TimedConnect(), 1000u);
        EXPECT_TRUE(PdaConnected);
        // The connection is usable: the device answers a query.
        EXPECT_EQ(rapi::CeGetDesktopDeviceCaps(rapi::kVertRes), 480);
        pda::PdaDisconnect();
        EXPECT_FALSE(PdaConnected);
        // Once closed, the provider initialises again.
        pda::PdaConnect();
        EXPECT_TRUE(PdaConnected);
        pda::PdaDisconnect();
        const auto inits = Calls(ReadCallLog(logs.path() / "calls.log"), "CeRapiInitEx");
        ASSERT_EQ(inits.size(), 3u);
        EXPECT_EQ(inits[1].result, row.secondResult);
        EXPECT_EQ(inits[2].result, 0);
    }
}

TEST_F(Connection, RefusedSecondConnectAfterAFailedOneStaysUnconnected) {
    device.set("VK7SIM_REFUSE_REINIT", "1");
    device.set("VK7SIM_INIT_RESULT", "0x80004005");
    pda::PdaConnect();
    EXPECT_FALSE(PdaConnected);
    EXPECT_LT(TimedConnect(), 1000u); // refused: no event to wait for
    EXPECT_FALSE(PdaConnected);
}

TEST_F(Connection, NoLibraryFailsWithoutTheFiveSecondWait) {
    rapi::ResetForTesting(rapi::Loader{NoLibrary, LookUp});
    EXPECT_LT(TimedConnect(), 1000u);
    EXPECT_FALSE(PdaConnected);
    pda::PdaDisconnect();
    EXPECT_FALSE(PdaConnected);
}

TEST_F(Connection, RepeatedConnectsLeakNoHandle) {
    pda::PdaConnect();
    pda::PdaDisconnect();
    const auto before = ProbeHandleValue();
    const auto handles = HandleCount();
    for (int i = 0; i < 50; ++i) {
        pda::PdaConnect();
        pda::PdaConnect();
        pda::PdaDisconnect();
    }
    EXPECT_LE(ProbeHandleValue(), before);
    EXPECT_LE(HandleCount(), handles); // 0 = 0 under Wine
}

class Identification : public Connection {};

// What identification answers, and why: the connection's failure, what
// the device reported, or a link lost while it was asked.
TEST_F(Identification, TableOfDevices) {
    using Why = app::NotIdentified;
    const struct {
        const char* what;
        std::vector<std::pair<const char*, const char*>> settings;
        int expected;
        Why::Cause cause;
        HRESULT error;
        bool connected; // identification leaves the connection open when it connected
    } rows[] = {
        {"the VK7", {}, 6, Why::None, 0, true},
        {"a 61 mm screen", {{"VK7SIM_SCREEN_MM", "61"}}, 0, Why::OtherDevice, 0, true},
        {"Windows CE 5", {{"VK7SIM_OS_MAJOR", "5"}}, 0, Why::OtherDevice, 0, true},
        {"480 x 800 portrait",
         {{"VK7SIM_SCREEN_PX", "800"}, {"VK7SIM_SCREEN_WIDTH_PX", "480"}},
         0,
         Why::OtherDevice,
         0,
         true},
        {"the provider's error with the link event",
         {{"VK7SIM_INIT_RESULT", "1"}},
         0,
         Why::ConnectionRefused,
         1,
         false},
        {"CeRapiInitEx fails",
         {{"VK7SIM_FAIL_CALL_N", "1"}},
         0,
         Why::ConnectionRefused,
         E_FAIL,
         false},
        {"the version query refused",
         {{"VK7SIM_FAIL_CALL_N", "2"}},
         0,
         Why::DeviceError,
         ERROR_GEN_FAILURE,
         true},
        {"unplugged at the version query",
         {{"VK7SIM_UNPLUG_AT_CALL_N", "2"}},
         0,
         Why::LinkLost,
         0,
         true},
        {"unplugged at the first screen query",
         {{"VK7SIM_UNPLUG_AT_CALL_N", "3"}},
         0,
         Why::LinkLost,
         0,
         true},
        // A screen query that fails over a link that held is the device's answer.
        {"a screen query refused", {{"VK7SIM_FAIL_CALL_N", "4"}}, 0, Why::OtherDevice, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.settings) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
        SimReset();
        Why why;
        EXPECT_EQ(app::IdentifyDevice(&why), row.expected);
        EXPECT_EQ(why.cause, row.cause);
        EXPECT_EQ(why.error, row.error);
        EXPECT_EQ(PdaConnected, row.connected);
        pda::PdaDisconnect();
    }
}

// What another device reported reaches the user as it gave it.
TEST_F(Identification, AnotherDeviceIsDescribedAsItAnswered) {
    device.set("VK7SIM_OS_MAJOR", "5");
    device.set("VK7SIM_SCREEN_MM", "61");
    device.set("VK7SIM_SCREEN_PX", "-3");
    app::NotIdentified why;
    EXPECT_EQ(app::IdentifyDevice(&why), 0);
    EXPECT_EQ(why.osMajor, 5u);
    EXPECT_EQ(why.screenMm, 61);
    EXPECT_EQ(why.screenPx, -3);
}

TEST_F(Identification, NoDeviceMakesNoDeviceQuery) {
    device.set("VK7SIM_DIR", "");
    EXPECT_EQ(app::IdentifyDevice(), 0);
    const auto log = device.log();
    EXPECT_TRUE(Calls(log, "CeGetVersionEx").empty());
    EXPECT_TRUE(Calls(log, "CeGetDesktopDeviceCaps").empty());
    EXPECT_EQ(Calls(log, "CeRapiInitEx").size(), 1u);
}

TEST_F(Identification, QueriesTheVersionAndBothScreenValues) {
    EXPECT_EQ(app::IdentifyDevice(), 6);
    const auto caps = Calls(device.log(), "CeGetDesktopDeviceCaps");
    ASSERT_EQ(caps.size(), 2u);
    EXPECT_EQ(caps[0].subject, "6");
    EXPECT_EQ(caps[1].subject, "10");
    EXPECT_TRUE(PdaConnected);
}

TEST_F(Identification, VersionQueryRefusedStillAsksBothScreenValues) {
    device.set("VK7SIM_FAIL_CALL_N", "2");
    EXPECT_EQ(app::IdentifyDevice(), 0);
    EXPECT_TRUE(PdaConnected);
    const auto caps = Calls(device.log(), "CeGetDesktopDeviceCaps");
    ASSERT_EQ(caps.size(), 2u);
    EXPECT_EQ(caps[0].subject, "6");
    EXPECT_EQ(caps[1].subject, "10");
}

FARPROC WithoutVersionOrCreate(HMODULE module, const char* name) {
    const std::string hidden = name;
    return hidden == "CeGetVersionEx" || hidden == "CeCreateFile" ? nullptr : LookUp(module, name);
}

// A library that cannot serve a run is named before any connection: the
// simulated device logs no call at all.
TEST_F(Identification, LibraryLackingWhatARunCallsIsRefusedBeforeConnecting) {
    rapi::ResetForTesting(rapi::Loader{rapi::ProductionLoader().load, WithoutVersionOrCreate});
    app::NotIdentified why;
    EXPECT_EQ(app::IdentifyDevice(&why), 0);
    EXPECT_EQ(why.cause, app::NotIdentified::MissingEntryPoints);
    EXPECT_EQ(why.missing, "CeGetVersionEx, CeCreateFile");
    EXPECT_FALSE(PdaConnected);
    EXPECT_TRUE(device.log().empty());
}

TEST_F(Identification, NoLibraryGivesZero) {
    rapi::ResetForTesting(rapi::Loader{NoLibrary, LookUp});
    app::NotIdentified why;
    EXPECT_EQ(app::IdentifyDevice(&why), 0);
    EXPECT_EQ(why.cause, app::NotIdentified::NoLibrary);
    EXPECT_FALSE(PdaConnected);
}

} // namespace
