// A fault at every interruption point of an upgrade, one kind at a time:
// for each N, one run with the N-th operation of that kind failing, then a
// run without the fault. After each the invariants below must hold:
// success is shown only for a whole device, any damage is reported, nothing
// is left open or behind, and the second run repairs the device. An unplug
// is told as a lost link (and, where the text says nothing was changed,
// nothing was); no other failure is.
//
// VK7_SWEEP=all tries every N (scripts/sweep); otherwise a fixed sample.
#include "support/FormFixture.h"
#include "win/Dialogs.h"
#include "win/FaultInjection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

using namespace testing_support;

namespace {

// Items: the N-th item's device file, by name.
enum class Counted { DeviceWrites, DeviceCreates, DeviceCalls, ScratchReads, ScratchWrites, Items };

struct Kind {
    const char* name;
    const char* setting; // the simulated device's; null for a desktop fault point
    win::FaultPoint point;
    Counted counted;
    bool unplugs = false;
    // Once unplugged, the device's last error stays what an earlier call
    // left: a missing file or a file in use, by turns.
    bool staleError = false;
};

void PrintTo(const Kind& kind, std::ostream* os) {
    *os << kind.name;
}

const Kind kKinds[] = {
    {"FailedWrite", "VK7SIM_FAIL_WRITE_N", {}, Counted::DeviceWrites},
    {"ShortWrite", "VK7SIM_SHORT_WRITE_N", {}, Counted::DeviceWrites},
    {"Unplugged", "VK7SIM_UNPLUG_AT_WRITE_N", {}, Counted::DeviceWrites, true},
    {"FileInUse", "VK7SIM_FAIL_CREATE_N", {}, Counted::DeviceCreates},
    // Any Remote API call: the check's before the first byte among them.
    {"FailedCall", "VK7SIM_FAIL_CALL_N", {}, Counted::DeviceCalls},
    {"UnpluggedAtCall", "VK7SIM_UNPLUG_AT_CALL_N", {}, Counted::DeviceCalls, true},
    {"UnpluggedStaleError", "VK7SIM_UNPLUG_AT_CALL_N", {}, Counted::DeviceCalls, true, true},
    // The close that commits a written file, with the link up or going down.
    {"CloseFails", "VK7SIM_CLOSE_FAULT", {}, Counted::Items},
    {"CloseUnplugs", "VK7SIM_CLOSE_UNPLUG", {}, Counted::Items, true},
    {"FailedScratchRead", nullptr, win::FaultPoint::ScratchRead, Counted::ScratchReads},
    {"DiskFullWhileUnpacking", nullptr, win::FaultPoint::ScratchWrite, Counted::ScratchWrites},
};

unsigned SimCount(const char* name) {
    const auto count = reinterpret_cast<unsigned(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("RAPI.DLL"), name)));
    return count != nullptr ? count() : 0;
}

const std::string kOtherFile = "Maps.dat"; // on the device, outside the payload

bool SpeaksOfALostLink(const std::string& text) {
    return text.find("connection to the Vesko Navigator was lost") != std::string::npos;
}

// The lost-link texts that say nothing on the device was changed.
bool SaysNothingChanged(const std::string& text) {
    return text == kLost || text == NotFound(kLost) || text == kCannotConnect;
}

// What the user may be told after an unplug: a lost link, or at the first
// connection, where no link was up yet to be lost, why it did not connect.
bool ToldOfTheUnplug(const std::string& text, bool atFirstConnection) {
    return SpeaksOfALostLink(text) ||
           (atFirstConnection &&
            (text.rfind(NotFound("The connection software reported error "), 0) == 0 ||
             text == NotFound(kNoAnswer)));
}

class Sweep : public FormFixture, public ::testing::WithParamInterface<Kind> {
  protected:
    void SetUp() override {
        FormFixture::SetUp();
        device.set("VK7SIM_LOG", ""); // a log line per write would dominate the time
    }

    void FreshDevice() {
        SimReset();
        std::error_code ignored;
        fs::remove_all(device.appFolder(), ignored);
        for (const char* name : kDeviceNames) {
            WriteFileBytes(device.appFolder() / name, std::string("KestrovaCE 2.40: ") + name);
        }
        WriteFileBytes(device.appFolder() / kOtherFile, "the user's maps");
        before_ = Snapshot(device.appFolder());
    }

    void Run() {
        // As after a restart: a completed run leaves the button closing the program.
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        form.FormCreate();
        captured_.reset(); // catchers nest: the old one goes first
        captured_ = std::make_unique<BoxCatcher>();
        SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(app::kBitBtn1, BN_CLICKED),
                     reinterpret_cast<LPARAM>(form.BitBtn1()));
    }

    unsigned Counts(Counted what) const {
        switch (what) {
        case Counted::DeviceWrites:
            return SimCount("SimWriteCalls");
        case Counted::DeviceCreates:
            return SimCount("SimCreateCalls");
        case Counted::DeviceCalls:
            return SimCount("SimCalls");
        case Counted::ScratchReads:
            return win::FaultPointPasses(win::FaultPoint::ScratchRead);
        case Counted::ScratchWrites:
            return win::FaultPointPasses(win::FaultPoint::ScratchWrite);
        case Counted::Items:
            return static_cast<unsigned>(std::size(kDeviceNames));
        }
        return 0;
    }

    bool DeviceWhole() const {
        for (const char* name : kDeviceNames) {
            if (ReadFileBytes(device.appFolder() / name) != ReadFileBytes(PayloadFile(name))) {
                return false;
            }
        }
        return true;
    }

    // The invariants after one run (with `fault` at the N-th operation, or
    // none for the repairing run); empty when all hold, else what broke.
    std::string Broken(const Kind* injected, unsigned n) const {
        const bool repairing = injected == nullptr;
        std::string broken;
        const auto fault = [&](const char* what) { broken += std::string(what) + "; "; };
        const bool whole = DeviceWhole();
        const bool complete = Status() == "Upgrade Complete";
        bool reported = false, escaped = false;
        for (const Box& box : captured_->boxes()) {
            reported = reported || box.text == kCopyError || box.text == kDeviceFull ||
                       SpeaksOfALostLink(box.text) ||
                       (box.icon == "stop" && box.text.find(kNotComplete) != std::string::npos);
            escaped = escaped || box.icon == "stop";
        }
        // A run that never began to copy (the check refused it, an early
        // return, or an error before the first item) says why in its one box
        // and leaves the device as it was.
        const bool copied = Status() != "";
        if (complete && !whole) {
            fault("Upgrade Complete with a device that differs from the payload");
        }
        if (!copied &&
            (captured_->boxes().size() != 1 || Snapshot(device.appFolder()) != before_)) {
            fault("a run refused before the copy touched the device or said nothing");
        }
        if (copied && !whole && (!reported || complete)) {
            fault("a damaged device not reported");
        }
        if (ReadFileBytes(device.appFolder() / kOtherFile) != "the user's maps") {
            fault("a file outside the payload changed");
        }
        if (SimOpenHandles() != 0) {
            fault("a device handle left open");
        }
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(temp.path())) {
            left.insert(entry.path().filename().string());
        }
        const std::set<std::string> scratch{"8194a.tmp", "8194b.tmp"};
        if (!left.empty() &&
            !(escaped && std::includes(scratch.begin(), scratch.end(), left.begin(), left.end()))) {
            fault("files left in the temporary folder");
        }
        if (SimSessionOpen()) {
            fault("the connection left open");
        }
        if (repairing && (!complete || !whole)) {
            fault("the second run did not repair the device");
        }
        if (!repairing) {
            broken += LinkLossBroken(*injected, n);
        }
        return broken;
    }

    std::string LinkLossBroken(const Kind& kind, unsigned n) const {
        const auto texts = captured_->texts();
        if (kind.unplugs) {
            const bool atFirstConnection = kind.counted == Counted::DeviceCalls && n == 1;
            if (!(Status() == "Upgrade Complete" && texts.empty()) &&
                !(texts.size() == 1 && ToldOfTheUnplug(texts[0], atFirstConnection))) {
                return "an unplug not told as a lost link in one box; ";
            }
            if (texts.size() == 1 && SaysNothingChanged(texts[0]) &&
                Snapshot(device.appFolder()) != before_) {
                return "a lost link said nothing changed, but the device did; ";
            }
            return {};
        }
        // Every failure of the second connection is told so: the link that
        // identification used is gone.
        for (const std::string& text : texts) {
            if (SpeaksOfALostLink(text) && text != kCannotConnect) {
                return "a failure that is no unplug told as a lost link; ";
            }
        }
        return {};
    }

    std::unique_ptr<BoxCatcher> captured_;
    std::map<std::string, std::string> before_;
};

TEST_P(Sweep, EveryInterruptionPointKeepsTheInvariants) {
    const Kind& kind = GetParam();
    const auto started = std::chrono::steady_clock::now();
    // A clean run counts the operations of this kind.
    FreshDevice();
    win::ArmFaultForTesting(kind.point, 0);
    Run();
    ASSERT_EQ(Status(), "Upgrade Complete");
    const unsigned total = Counts(kind.counted);
    ASSERT_GT(total, 0u);

    // Every call before the first write: identification and the check.
    const unsigned beforeCopy =
        kind.counted == Counted::DeviceCalls ? SimCount("SimFirstWriteCall") : 0;
    const char* mode = std::getenv("VK7_SWEEP");
    const bool all = mode != nullptr && std::string(mode) == "all";
    unsigned tried = 0, broken = 0;
    for (unsigned n = 1; n <= total; ++n) {
        if (!all && kind.counted != Counted::Items &&
            !(n <= 2 || n + 1 >= total || n % 17 == 0 || n < beforeCopy)) {
            continue;
        }
        ++tried;
        FreshDevice();
        std::string faults;
        {
            std::unique_ptr<ScopedEnv> setting, stale;
            if (kind.staleError) {
                stale = std::make_unique<ScopedEnv>("VK7SIM_STALE_ERROR", "1");
                SimSetLastError(n % 2 != 0 ? ERROR_FILE_NOT_FOUND : ERROR_SHARING_VIOLATION);
            }
            if (kind.setting != nullptr) {
                setting = std::make_unique<ScopedEnv>(kind.setting, kind.counted == Counted::Items
                                                                        ? kDeviceNames[n - 1]
                                                                        : std::to_string(n));
            } else {
                win::ArmFaultForTesting(kind.point, n);
            }
            Run();
            win::ArmFaultForTesting(kind.point, 0);
            faults = Broken(&kind, n);
        }
        SimReset();
        Run();
        faults += Broken(nullptr, 0);
        if (!faults.empty()) {
            ++broken;
            ADD_FAILURE() << kind.name << " at " << n << ": " << faults;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("sweep %-24s %3u of %3u points tried, %u broke an invariant, %.1f s\n", kind.name,
                tried, total, broken, seconds);
}

// Whole 4096-byte clusters, as the simulated storage counts a file.
unsigned long long Clusters(unsigned long long bytes) {
    return (bytes + 4095) / 4096 * 4096;
}

class CapacitySweep : public Sweep {};

// Every capacity from the installed size to the size after the upgrade, at
// each row's boundary and a cluster either side of it: the run is refused
// with the device untouched, or it completes whole. Where the device cannot
// tell its free space, a full device breaks at most the file being written,
// and the run after space is freed repairs it.
TEST_F(CapacitySweep, EveryCapacityRefusesUntouchedOrCompletes) {
    FreshDevice();
    unsigned long long used = 0;
    for (const auto& entry : fs::recursive_directory_iterator(device.appFolder())) {
        used += entry.is_directory() ? 0 : Clusters(entry.file_size());
    }
    const unsigned long long installed = used;
    std::vector<unsigned long long> capacities;
    // The room the check asks for: every item's growth, and a cluster each.
    unsigned long long asked = std::size(kDeviceNames) * 4096;
    for (const char* name : kDeviceNames) {
        for (const unsigned long long capacity : {used - 4096, used, used + 4096}) {
            if (capacity >= installed) {
                capacities.push_back(capacity);
            }
        }
        const auto now = fs::file_size(device.appFolder() / name);
        const auto next = fs::file_size(PayloadFile(name));
        used += Clusters(next) - Clusters(now);
        asked += next - now;
    }
    capacities.push_back(used);
    capacities.push_back(installed + asked);
    for (const bool freeSpaceAnswered : {true, false}) {
        unsigned completed = 0;
        for (const unsigned long long capacity : capacities) {
            SCOPED_TRACE((freeSpaceAnswered ? "free space told, capacity "
                                            : "free space untold, capacity ") +
                         std::to_string(capacity));
            FreshDevice();
            {
                ScopedEnv size("VK7SIM_CAPACITY", std::to_string(capacity));
                ScopedEnv untold("VK7SIM_FREE_SPACE_FAILS", freeSpaceAnswered ? "" : "1");
                Run();
            }
            const bool whole = DeviceWhole();
            const bool complete = Status() == "Upgrade Complete";
            completed += complete;
            EXPECT_EQ(complete, whole);
            if (freeSpaceAnswered) {
                if (!complete) {
                    ASSERT_EQ(captured_->texts().size(), 1u);
                    EXPECT_EQ(captured_->texts()[0].rfind("There is not enough free space", 0), 0u);
                    EXPECT_EQ(Snapshot(device.appFolder()), before_);
                }
                continue;
            }
            unsigned broken = 0;
            for (const char* name : kDeviceNames) {
                const std::string now = ReadFileBytes(device.appFolder() / name);
                broken += now != ReadFileBytes(PayloadFile(name)) &&
                          now != std::string("KestrovaCE 2.40: ") + name;
            }
            EXPECT_LE(broken, 1u);
            if (!complete) {
                EXPECT_EQ(captured_->texts().back(), kDeviceFull);
                SimReset();
                Run(); // space freed: no capacity set
                EXPECT_EQ(Status(), "Upgrade Complete");
                EXPECT_TRUE(DeviceWhole());
            }
        }
        EXPECT_GE(completed, 1u); // the room the check asks for is enough
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Sweep, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
