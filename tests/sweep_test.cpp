// A fault at every interruption point of an upgrade, one kind at a time:
// for each N, one run with the N-th operation of that kind failing, then a
// run without the fault. After each the invariants below must hold:
// success is shown only for a whole device, any damage is reported, nothing
// is left open or behind, and the second run repairs the device.
//
// VK7_SWEEP=all tries every N (scripts/sweep); otherwise a fixed sample.
#include "support/FormFixture.h"
#include "win/Dialogs.h"
#include "win/FaultInjection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

using namespace testing_support;

namespace {

enum class Counted { DeviceWrites, DeviceCreates, ScratchReads, ScratchWrites };

struct Kind {
    const char* name;
    const char* setting; // the simulated device's; null for a desktop fault point
    win::FaultPoint point;
    Counted counted;
};

void PrintTo(const Kind& kind, std::ostream* os) {
    *os << kind.name;
}

const Kind kKinds[] = {
    {"FailedWrite", "VK7SIM_FAIL_WRITE_N", {}, Counted::DeviceWrites},
    {"ShortWrite", "VK7SIM_SHORT_WRITE_N", {}, Counted::DeviceWrites},
    {"Unplugged", "VK7SIM_UNPLUG_AT_WRITE_N", {}, Counted::DeviceWrites},
    {"FileInUse", "VK7SIM_FAIL_CREATE_N", {}, Counted::DeviceCreates},
    {"FailedScratchRead", nullptr, win::FaultPoint::ScratchRead, Counted::ScratchReads},
    {"DiskFullWhileUnpacking", nullptr, win::FaultPoint::ScratchWrite, Counted::ScratchWrites},
};

unsigned SimCount(const char* name) {
    const auto count = reinterpret_cast<unsigned(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("RAPI.DLL"), name)));
    return count != nullptr ? count() : 0;
}

const std::string kOtherFile = "Maps.dat"; // on the device, outside the payload

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
    }

    void Run() {
        // As after a restart: a completed run leaves the button closing the program.
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        form.FormCreate();
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
        case Counted::ScratchReads:
            return win::FaultPointPasses(win::FaultPoint::ScratchRead);
        case Counted::ScratchWrites:
            return win::FaultPointPasses(win::FaultPoint::ScratchWrite);
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

    // The invariants after one run; empty when all hold, else what broke.
    std::string Broken(bool repairing) const {
        std::string broken;
        const auto fault = [&](const char* what) { broken += std::string(what) + "; "; };
        const bool whole = DeviceWhole();
        const bool complete = Status() == "Upgrade Complete";
        bool reported = false, escaped = false;
        for (const Box& box : captured_->boxes()) {
            reported = reported || box.text == kCopyError || box.icon == "stop";
            escaped = escaped || box.icon == "stop";
        }
        if (complete && !whole) {
            fault("Upgrade Complete with a device that differs from the payload");
        }
        if (!whole && (!reported || complete)) {
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
        if (pda::PdaConnected && !escaped) {
            fault("the connection left open");
        }
        if (repairing && (!complete || !whole)) {
            fault("the second run did not repair the device");
        }
        return broken;
    }

    std::unique_ptr<BoxCatcher> captured_;
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

    const char* mode = std::getenv("VK7_SWEEP");
    const bool all = mode != nullptr && std::string(mode) == "all";
    unsigned tried = 0, broken = 0;
    for (unsigned n = 1; n <= total; ++n) {
        if (!all && !(n <= 2 || n + 1 >= total || n % 17 == 0)) {
            continue;
        }
        ++tried;
        FreshDevice();
        std::string faults;
        {
            std::unique_ptr<ScopedEnv> setting;
            if (kind.setting != nullptr) {
                setting = std::make_unique<ScopedEnv>(kind.setting, std::to_string(n));
            } else {
                win::ArmFaultForTesting(kind.point, n);
            }
            Run();
            win::ArmFaultForTesting(kind.point, 0);
            faults = Broken(false);
        }
        SimReset();
        Run();
        faults += Broken(true);
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

INSTANTIATE_TEST_SUITE_P(Kinds, Sweep, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
