// Benchmarks of the copy phase against the simulated VK7. Every figure is
// the median of several runs and a ratio against a baseline measured side by
// side in the same process, since absolute times on shared machines mean
// little.
//
//   bench.exe [--runs N] [--payload DIR] [--scale-exe PATH]
//   bench_scale.exe --child      (one copy phase; prints seconds, bytes, growth)
#include "app/CopyPhase.h"
#include "app/Unit1.h"
#include "app/Vk7.h"
#include "payload/Payload.h"
#include "pda/Pda.h"
#include "rapi/rapi.h"
#include "support/Probes.h"
#include "win/Dialogs.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using testing_support::PrivateCommittedBytes;

namespace {

constexpr double kLinkSpeed = 1000000.0; // bytes per second
// A slow link with a round trip per call: 150 KB/s, 3 ms a call.
constexpr double kSlowLinkSpeed = 150.0 * 1024;
constexpr unsigned kCallDelayMs = 3;

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void SetEnv(const char* name, const std::string& value) {
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}

// A device and a temporary directory of the benchmark's own.
struct Workspace {
    fs::path root;
    fs::path device, app, temp, plain;
    Workspace() {
        char temp_[MAX_PATH];
        GetTempPathA(MAX_PATH, temp_);
        root = fs::path(temp_) / ("vk7-bench-" + std::to_string(GetCurrentProcessId()));
        device = root / "device";
        app = device / "ResidentFlash" / "VKNAV";
        temp = root / "tmp";
        plain = root / "plain";
        for (const auto& d : {app, temp, plain}) {
            fs::create_directories(d);
        }
        SetEnv("VK7SIM_DIR", device.string());
        SetEnv("VK7SIM_LOG", "");
        SetEnv("TMP", temp.string());
        SetEnv("TEMP", temp.string());
        if (std::FILE* f = std::fopen((app / "KestrovaCE.exe").string().c_str(), "wb")) {
            std::fclose(f);
        }
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

void Connect(unsigned long long linkSpeed, unsigned callDelayMs = 0) {
    SetEnv("VK7SIM_LINK_BPS", std::to_string(linkSpeed));
    SetEnv("VK7SIM_CALL_DELAY_MS", std::to_string(callDelayMs));
    pda::PdaConnect(); // the device reads its settings at every connection
    if (!pda::PdaConnected) {
        std::fprintf(stderr,
                     "bench: the simulated device is not reachable (RAPI.DLL in system32?)\n");
        std::exit(1);
    }
}

// The Remote API calls the simulated device has answered (CeGetLastError aside).
unsigned DeviceCalls() {
    const auto count = reinterpret_cast<unsigned(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("RAPI.DLL"), "SimCalls")));
    return count != nullptr ? count() : 0;
}

// The check before the first byte, which must let the run go on.
void Check(const std::vector<payload::ManifestItem>& items) {
    if (app::RefusalOf(app::kDeviceFolder, items)) {
        std::fprintf(stderr, "bench: the check refused the run\n");
        std::exit(1);
    }
}

// The check by itself: its seconds and its calls.
std::pair<double, unsigned> TimedCheck() {
    app::TempDirectory = payload::GetTempDirectory();
    const auto items = app::ManifestItems(app::TempDirectory);
    const unsigned calls = DeviceCalls();
    const double start = Now();
    Check(items);
    const double seconds = Now() - start;
    DeleteFileW((app::TempDirectory + payload::kManifestScratch).c_str());
    return {seconds, DeviceCalls() - calls};
}

// The bytes the manifest installs.
double PayloadBytes(const Workspace& w) {
    double bytes = 0;
    for (const auto& item : app::ManifestItems(w.temp.wstring())) {
        bytes += payload::PayloadItemSize(item.resourceName);
    }
    return bytes;
}

// The taskbar button's progress, as the program shows it, where it can be had.
// Declared in this order, the button goes before COM does.
const win::ComApartment g_com;
std::unique_ptr<win::ProgressDisplay> g_taskbar;

// The tool's copy phase, as a run does it, taskbar progress included (on
// `display` where given) and, with `check`, the check before it; returns
// its seconds.
double TimedCopyPhase(const std::function<void(const std::string&)>& progress, bool check = false,
                      win::ProgressDisplay* display = nullptr) {
    const app::CopyObserver observer = app::ShowingProgressOn(
        [display] { return display != nullptr ? display : g_taskbar.get(); }, progress);
    const double start = Now();
    app::TempDirectory = payload::GetTempDirectory();
    const auto items = app::ManifestItems(app::TempDirectory);
    if (check) {
        Check(items);
    }
    app::CopyOutcome outcome;
    app::CopyPayload(app::kDeviceFolder, items, observer, outcome);
    if (outcome.kind != app::CopyOutcome::Copied) {
        std::fprintf(stderr, "bench: a copy failed\n");
        std::exit(1);
    }
    const double seconds = Now() - start;
    DeleteFileW((app::TempDirectory + payload::kManifestScratch).c_str());
    return seconds;
}

// The copy loop of CopyFileToDevice without its message processing, to
// show what that processing costs.
void CopyWithoutMessages(const std::wstring& source, const std::string& deviceName) {
    std::vector<char> buffer(pda::kChunkSize);
    const std::string destination = std::string(app::kDeviceFolder) + "\\" + deviceName;
    const std::wstring name(destination.begin(), destination.end());
    const win::ScopedHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
    const rapi::ScopedDeviceFile output(rapi::CeCreateFile(
        name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD read = 0, written = 0;
    while (ReadFile(input.get(), buffer.data(), pda::kChunkSize, &read, nullptr) &&
           rapi::CeWriteFile(output.get(), buffer.data(), read, &written, nullptr) && read > 0) {
    }
}

// The taskbar's button as the copy shows progress on it, noting the time
// between two chunks of one item beyond the link's own time for the
// second: the program's time outside the link for a chunk, which does not
// depend on the link's speed.
class ChunkClock : public win::ProgressDisplay {
  public:
    void SetState(win::ProgressState state) override {
        if (g_taskbar) {
            g_taskbar->SetState(state);
        }
    }
    void SetValue(ULONGLONG done, ULONGLONG total) override {
        if (g_taskbar) {
            g_taskbar->SetValue(done, total);
        }
        const double now = Now();
        if (sameItem_) {
            gaps.push_back(now - previous_ - static_cast<double>(done - done_) / kLinkSpeed);
        }
        previous_ = now;
        done_ = done;
        sameItem_ = true;
    }
    void ItemStarted() { sameItem_ = false; }
    std::vector<double> gaps;

  private:
    double previous_ = 0;
    ULONGLONG done_ = 0;
    bool sameItem_ = false;
};

// Peak growth of private committed bytes while `work` runs, sampled by a
// thread started (and its stack committed) before the baseline is taken.
std::size_t PeakGrowth(const std::function<void()>& work) {
    std::atomic<bool> running{true};
    std::atomic<std::size_t> peak{0};
    std::atomic<bool> ready{false};
    std::thread sampler([&] {
        ready = true;
        while (running) {
            const std::size_t now = PrivateCommittedBytes();
            if (now > peak) {
                peak = now;
            }
            Sleep(0);
        }
    });
    while (!ready) {
        Sleep(0);
    }
    const std::size_t baseline = PrivateCommittedBytes();
    peak = baseline;
    work();
    running = false;
    sampler.join();
    return peak > baseline ? peak - baseline : 0;
}

void Report(const char* figure, const char* value, double ratio, const char* target, bool holds) {
    std::printf("%-34s %-40s ratio %6.3f   target %-8s %s\n", figure, value, ratio, target,
                holds ? "holds" : "MISSED");
    std::fflush(stdout);
}

std::vector<fs::path> PayloadFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files.push_back(entry.path());
    }
    return files;
}

int Child() {
    Workspace w;
    rapi::ResetForTesting(rapi::ProductionLoader());
    Connect(0);
    const double bytes = PayloadBytes(w);
    // Memory on the first run; time on a second, with the caches as warm as
    // the parent's runs have them.
    const std::size_t growth = PeakGrowth([&] { TimedCopyPhase([](const std::string&) {}); });
    const double seconds = TimedCopyPhase([](const std::string&) {});
    pda::PdaDisconnect();
    std::printf("%.6f %.0f %zu\n", seconds, bytes, growth);
    return 0;
}

// Runs a benchmark program's one-run child mode; false when it fails.
bool RunChild(const std::string& exe, double& seconds, double& bytes, std::size_t& growth) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\" --child";
    const BOOL started = CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    char buffer[256];
    DWORD n = 0;
    while (started && ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        output.append(buffer, n);
    }
    CloseHandle(readEnd);
    if (!started) {
        return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return std::sscanf(output.c_str(), "%lf %lf %zu", &seconds, &bytes, &growth) == 3;
}

} // namespace

int main(int argc, char** argv) {
    int runs = 9;
    std::string payloadFolder, scaleExe;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--child") == 0) {
            return Child();
        }
        if (i + 1 < argc && std::strcmp(argv[i], "--runs") == 0) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (i + 1 < argc && std::strcmp(argv[i], "--payload") == 0) {
            payloadFolder = argv[++i];
        } else if (i + 1 < argc && std::strcmp(argv[i], "--scale-exe") == 0) {
            scaleExe = argv[++i];
        }
    }
    Workspace w;
    rapi::ResetForTesting(rapi::ProductionLoader());
    const double bytes = PayloadBytes(w);
    std::printf("payload: %.0f bytes in nine items; %d runs per figure; medians\n\n", bytes, runs);
    char value[128];

    // 3. Memory: from the idle window to the peak of full upgrades, the first
    // of them in a process that has not loaded the Remote API library yet.
    SetEnv("VK7SIM_LINK_BPS", "0");
    app::TForm1 form;
    form.Create(GetModuleHandleA(nullptr), SW_SHOWNOACTIVATE);
    g_taskbar = win::TaskbarButtonOf(form.Handle());
    std::printf("taskbar progress: %s\n\n", g_taskbar ? "shown through ITaskbarList3" : "none");
    // 3. Memory: from the idle window to the peak of full upgrades.
    std::vector<double> growth;
    for (int run = 0; run < runs; ++run) {
        SetWindowTextA(form.BitBtn1(), "Press to Upgrade");
        growth.push_back(static_cast<double>(PeakGrowth([&] { form.BitBtn1Click(); })));
    }
    const double worstGrowth = *std::max_element(growth.begin(), growth.end());
    // Every run after the first must grow by nothing: the largest of them.
    const double worstLater = runs > 1 ? *std::max_element(growth.begin() + 1, growth.end()) : 0.0;
    std::snprintf(value, sizeof value, "first run %.0f KB, later at most %.0f KB",
                  growth.front() / 1024, worstLater / 1024);
    Report("3. private bytes growth, full run", value, worstGrowth / (512 * 1024), "< 512 KB",
           worstGrowth < 512 * 1024);

    // 1. The copy phase against a plain copy of the same files.
    Connect(0);
    std::vector<double> tool, plain;
    const auto files = PayloadFiles(payloadFolder);
    TimedCopyPhase([](const std::string&) {});
    for (int run = 0; run < runs; ++run) {
        tool.push_back(TimedCopyPhase([](const std::string&) {}));
        const double start = Now();
        for (const auto& f : files) {
            CopyFileA(f.string().c_str(), (w.plain / f.filename()).string().c_str(), FALSE);
        }
        plain.push_back(Now() - start);
    }
    std::snprintf(value, sizeof value, "%.1f ms (CopyFileA %.1f ms)", Median(tool) * 1000,
                  Median(plain) * 1000);
    const double copyRatio = Median(tool) / Median(plain);
    Report("1. copy phase / plain copy", value, copyRatio, "<= 1.5", copyRatio <= 1.5);

    // Where figure 1's time goes: the copy phase's parts, one at a time.
    {
        std::vector<double> extract, copy, unpumped, remove, pump;
        const std::vector<payload::ManifestItem> items = app::ManifestItems(w.temp.wstring());
        double chunks = 0;
        for (const auto& f : files) {
            chunks += static_cast<double>(fs::file_size(f) / pda::kChunkSize + 1);
        }
        for (int run = 0; run < runs; ++run) {
            auto scratch = [&](const payload::ManifestItem& item) {
                return (w.temp / (item.resourceName + ".tmp")).wstring();
            };
            double start = Now();
            for (const auto& item : items) {
                payload::ExtractPayloadItem(item.resourceName, scratch(item));
            }
            extract.push_back(Now() - start);
            start = Now();
            for (const auto& item : items) {
                pda::CopyFileToDevice(scratch(item),
                                      std::string(app::kDeviceFolder) + "\\" + item.deviceName);
            }
            copy.push_back(Now() - start);
            start = Now();
            for (const auto& item : items) {
                CopyWithoutMessages(scratch(item), item.deviceName);
            }
            unpumped.push_back(Now() - start);
            start = Now();
            for (const auto& item : items) {
                DeleteFileW(scratch(item).c_str());
            }
            remove.push_back(Now() - start);
            start = Now();
            for (double i = 0; i < chunks; ++i) {
                win::ProcessMessages();
            }
            pump.push_back(Now() - start);
        }
        std::printf(
            "   parts: unpack %.1f ms, copy to device %.1f ms, delete %.1f ms; the same copy\n"
            "   without its %.0f message checks %.1f ms; as many checks in a row %.1f ms\n",
            Median(extract) * 1000, Median(copy) * 1000, Median(remove) * 1000, chunks,
            Median(unpumped) * 1000, Median(pump) * 1000);
    }

    // 2 and 4. On a 1 MB/s link: utilisation, and the window's responsiveness
    // measured by another thread's WM_NULL round trips.
    Connect(static_cast<unsigned long long>(kLinkSpeed));
    std::vector<double> utilisation, longest, outside;
    ChunkClock clock;
    for (int run = 0; run < runs; ++run) {
        std::atomic<bool> copying{true};
        std::atomic<bool> pingerDone{false};
        double worst = 0;
        std::thread pinger([&] {
            for (; copying; pingerDone = false) {
                DWORD_PTR result;
                const double start = Now();
                SendMessageTimeoutA(form.Handle(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
                worst = std::max(worst, Now() - start);
                Sleep(1);
            }
            pingerDone = true;
        });
        const double seconds = TimedCopyPhase(
            [&](const std::string&) {
                clock.ItemStarted();
                win::ProcessMessages();
            },
            false, &clock);
        copying = false;
        // Answer the pinger's last message, so it does not wait out its time-out.
        while (!pingerDone) {
            win::ProcessMessages();
            Sleep(1);
        }
        pinger.join();
        utilisation.push_back(bytes / kLinkSpeed / seconds);
        outside.push_back(seconds - bytes / kLinkSpeed);
        longest.push_back(worst);
    }
    std::snprintf(value, sizeof value, "%.3f s for %.3f s of link time",
                  bytes / kLinkSpeed / Median(utilisation), bytes / kLinkSpeed);
    Report("2. link utilisation at 1 MB/s", value, Median(utilisation), ">= 0.97",
           Median(utilisation) >= 0.97);
    const double chunkTime = pda::kChunkSize / kLinkSpeed;
    const double worstOverall = *std::max_element(longest.begin(), longest.end());
    std::snprintf(value, sizeof value, "longest %.1f ms (median of runs %.1f ms)",
                  worstOverall * 1000, Median(longest) * 1000);
    Report("4. longest WM_NULL round trip", value, worstOverall / chunkTime, "<= 2 chunks",
           worstOverall <= 2 * chunkTime);
    // Figures 2 and 4 depend on the host's speed through this time, which
    // the program spends outside the link: per chunk between two chunks of
    // an item, the rest shared among the items (unpacking, opening and
    // closing device files, deleting scratch files).
    {
        const auto items = static_cast<double>(files.size());
        double chunks = 0;
        for (const auto& f : files) {
            chunks +=
                static_cast<double>((fs::file_size(f) + pda::kChunkSize - 1) / pda::kChunkSize);
        }
        const double perChunk = std::max(0.0, Median(clock.gaps));
        const double perItem = std::max(0.0, (Median(outside) - perChunk * chunks) / items);
        std::printf("   outside the link (2 and 4): %.0f us per chunk (%.0f chunks), %.0f us per "
                    "item (%.0f items)\n",
                    perChunk * 1e6, chunks, perItem * 1e6, items);
    }

    // The check's own cost on that link.
    {
        std::vector<double> seconds;
        unsigned calls = 0;
        for (int run = 0; run < runs; ++run) {
            const auto [time, made] = TimedCheck();
            seconds.push_back(time);
            calls = made;
        }
        std::printf("   the check before the first byte at 1 MB/s: %u calls, %.2f ms\n", calls,
                    Median(seconds) * 1000);
    }

    // 6. On a slow link whose every call is a round trip: the run against the
    // time its bytes and its calls must take, the check's calls counted.
    // Each run takes half a minute, so at most three.
    Connect(static_cast<unsigned long long>(kSlowLinkSpeed), kCallDelayMs);
    {
        std::vector<double> utilisation, bounds;
        unsigned calls = 0;
        for (int run = 0; run < std::min(runs, 3); ++run) {
            const unsigned before = DeviceCalls();
            const double seconds = TimedCopyPhase([](const std::string&) {}, true);
            calls = DeviceCalls() - before;
            const double bound = bytes / kSlowLinkSpeed + calls * kCallDelayMs / 1000.0;
            bounds.push_back(bound);
            utilisation.push_back(bound / seconds);
        }
        const auto [checkTime, checkCalls] = TimedCheck();
        std::snprintf(value, sizeof value, "%.3f s for %.3f s; %u calls, %u of the check",
                      Median(bounds) / Median(utilisation), Median(bounds), calls, checkCalls);
        Report("6. link use, 150 KB/s + 3 ms/call", value, Median(utilisation), ">= 0.97",
               Median(utilisation) >= 0.97);
        std::printf("   the check alone on that link: %.1f ms\n", checkTime * 1000);
    }
    Connect(0);

    // 5. Scale: a program carrying one more item of 256 MB against this
    // program's nine items, each run alike as a child process, alternately.
    if (!scaleExe.empty()) {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::vector<double> nineItems, scaled;
        std::vector<double> scaledGrowth;
        double scaleBytes = 0;
        for (int run = 0; run < runs; ++run) {
            double seconds = 0, nineBytes = 0;
            std::size_t childGrowth = 0;
            if (!RunChild(self, seconds, nineBytes, childGrowth) ||
                !RunChild(scaleExe, scaled.emplace_back(), scaleBytes, childGrowth)) {
                std::fprintf(stderr, "bench: a child run failed\n");
                return 1;
            }
            nineItems.push_back(seconds / (nineBytes / 1e6));
            scaled.back() /= scaleBytes / 1e6;
            scaledGrowth.push_back(static_cast<double>(childGrowth));
        }
        const double scaleRatio = Median(scaled) / Median(nineItems);
        std::snprintf(value, sizeof value, "%.2f ms/MB (nine items %.2f ms/MB)",
                      Median(scaled) * 1000, Median(nineItems) * 1000);
        // Cost may not grow faster than the data; a large item that is
        // cheaper per MB (fixed costs spread out) is no fault.
        Report("5. time per MB, +256 MB item", value, scaleRatio, "<= 1.1", scaleRatio <= 1.1);
        const double worstScaled = *std::max_element(scaledGrowth.begin(), scaledGrowth.end());
        std::snprintf(value, sizeof value, "largest %.0f KB for %.0f MB", worstScaled / 1024,
                      scaleBytes / 1e6);
        Report("5. private bytes growth, +256 MB", value, worstScaled / (512 * 1024), "< 512 KB",
               worstScaled < 512 * 1024);
    }
    pda::PdaDisconnect();
    return 0;
}
