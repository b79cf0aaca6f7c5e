// CopyFileToDevice against the simulated device and its call log.
#include "pda/Pda.h"
#include "rapi/rapi.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace testing_support;

namespace {

std::vector<long long> WriteSizes(const std::vector<LogEntry>& log) {
    std::vector<long long> sizes;
    for (const auto& e : Calls(log, "CeWriteFile")) {
        sizes.push_back(e.bytes);
    }
    return sizes;
}

// A desktop path as the copy takes it.
std::wstring Wide(const std::string& path) {
    return fs::path(path).wstring();
}

class Copy : public ::testing::Test {
  protected:
    void SetUp() override {
        rapi::ResetForTesting(rapi::ProductionLoader());
        pda::PdaConnect();
        ASSERT_TRUE(pda::PdaConnected);
    }
    void TearDown() override {
        EXPECT_EQ(SimOpenHandles(), 0);
        pda::PdaDisconnect();
    }
    std::string Source(const std::string& bytes) {
        const auto path = scratch.path() / "source.bin";
        WriteFileBytes(path, bytes);
        return path.string();
    }
    // The device file `\name` as a desktop path.
    fs::path OnDevice(const std::string& name) const { return device.root() / name; }
    std::vector<LogEntry> DeviceCalls() const {
        std::vector<LogEntry> calls;
        for (const auto& e : device.log()) {
            if (e.function != "CeRapiInitEx") {
                calls.push_back(e);
            }
        }
        return calls;
    }

    SimDevice device;
    ScratchDir scratch{"src"};
    BoxCatcher boxes;
};

TEST_F(Copy, WritesWholeChunksAndEndsWithAnEmptyWrite) {
    const struct {
        std::size_t size;
        std::vector<long long> writes;
    } rows[] = {
        {0, {0}},
        {1, {1, 0}},
        {31999, {31999, 0}},
        {32000, {32000, 0}},
        {32001, {32000, 1, 0}},
        {64001, {32000, 32000, 1, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        DeleteFileA(device.logPath().string().c_str());
        const std::string bytes = Pattern(row.size, static_cast<unsigned>(row.size));
        EXPECT_TRUE(pda::CopyFileToDevice(Wide(Source(bytes)), "\\copy.bin"));
        EXPECT_EQ(WriteSizes(device.log()), row.writes);
        EXPECT_EQ(ReadFileBytes(OnDevice("copy.bin")), bytes);
        EXPECT_EQ(SimOpenHandles(), 0);
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(Copy, CreatesTheDeviceFileForWritingSharedForReadingReplacingAnyOld) {
    WriteFileBytes(OnDevice("copy.bin"), std::string(100000, 'o'));
    const std::string bytes = Pattern(40000);
    EXPECT_TRUE(pda::CopyFileToDevice(Wide(Source(bytes)), "\\copy.bin"));
    EXPECT_EQ(ReadFileBytes(OnDevice("copy.bin")), bytes);
    const auto calls = DeviceCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().function, "CeCreateFile");
    EXPECT_EQ(calls.front().subject, "\\copy.bin");
    EXPECT_EQ(calls.back().function, "CeCloseHandle");
}

TEST_F(Copy, UnreadableSourceFailsQuietlyWithoutTouchingTheDevice) {
    EXPECT_FALSE(pda::CopyFileToDevice((scratch.path() / "missing.bin").wstring(), "\\copy.bin"));
    const std::string held = Source("held");
    HANDLE exclusive =
        CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(pda::CopyFileToDevice(Wide(held), "\\copy.bin"));
    CloseHandle(exclusive);
    EXPECT_TRUE(DeviceCalls().empty());
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_FALSE(fs::exists(OnDevice("copy.bin")));
}

TEST_F(Copy, WithoutTheLibraryTheFirstWriteFails) {
    rapi::ResetForTesting(rapi::Loader{NoLibrary, LookUp});
    pda::CopyFailure failure;
    EXPECT_FALSE(pda::CopyFileToDevice(Wide(Source("abc")), "\\copy.bin", {}, &failure));
    EXPECT_EQ(failure.kind, pda::CopyFailure::Refused);
    EXPECT_TRUE(boxes.boxes().empty());
    rapi::ResetForTesting(rapi::ProductionLoader());
}

FARPROC WithoutTheSearch(HMODULE module, const char* name) {
    return std::string(name) == "CeFindFirstFile" ? nullptr : LookUp(module, name);
}

// The check's lookup of a target, with the search and without it: what it
// makes of the path, and the searches the library saw opened and closed.
// Without the search the wrapper's fallback is no search handle, and must
// not be closed as one.
TEST_F(Copy, LookUpOpensAndClosesOneSearchWhereTheLibraryHasIt) {
    WriteFileBytes(OnDevice("old.bin"), "old");
    fs::create_directories(OnDevice("dir.bin"));
    using Entry = pda::DeviceEntry;
    const struct {
        const char* path;
        bool search;
        Entry::Kind kind;
        std::size_t opens, closes;
    } rows[] = {
        {"\\old.bin", true, Entry::File, 1, 1},     {"\\dir.bin", true, Entry::Folder, 1, 1},
        {"\\new.bin", true, Entry::Absent, 1, 0},   {"\\old.bin", false, Entry::Unknown, 0, 0},
        {"\\new.bin", false, Entry::Unknown, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.path) + (row.search ? "" : ", without the search"));
        rapi::ResetForTesting(row.search
                                  ? rapi::ProductionLoader()
                                  : rapi::Loader{rapi::ProductionLoader().load, WithoutTheSearch});
        fs::remove(device.logPath());
        EXPECT_EQ(pda::PdaLookUp(row.path).kind, row.kind);
        const auto log = device.log();
        EXPECT_EQ(Calls(log, "CeFindFirstFile").size(), row.opens);
        EXPECT_EQ(Calls(log, "CeFindClose").size(), row.closes);
        EXPECT_EQ(SimOpenHandles(), 0);
    }
    rapi::ResetForTesting(rapi::ProductionLoader());
}

// What the check before a run refuses, and where: the first target it
// cannot replace, or the room missing; a read-only file it makes writable,
// and writable it stays only where the run may go on.
TEST_F(Copy, CheckTargetsRefusesWhatCannotBeReplaced) {
    WriteFileBytes(OnDevice("old.bin"), "old");
    WriteFileBytes(OnDevice("locked.bin"), "read-only");
    SetFileAttributesW(OnDevice("locked.bin").wstring().c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    fs::create_directories(OnDevice("dir.bin"));
    const std::string tooLong = "\\" + std::string(399, 'n');
    using Refusal = pda::PdaRefusal;
    const struct {
        const char* what;
        std::vector<std::pair<const char*, const char*>> settings;
        std::vector<pda::PdaTarget> targets;
        Refusal::Kind kind;
        std::size_t target;
        unsigned long long shortfall;
        bool lockedWritable = false; // afterwards
    } rows[] = {
        {"new and old files", {}, {{"\\new.bin", 10}, {"\\old.bin", 10}}, Refusal::None, 0, 0},
        {"a path too long to send",
         {},
         {{"\\old.bin", 1}, {tooLong, 1}},
         Refusal::CannotReplace,
         1,
         0},
        {"a folder", {}, {{"\\old.bin", 1}, {"\\dir.bin", 1}}, Refusal::CannotReplace, 1, 0},
        {"a file held open", {{"VK7SIM_BUSY", "old.bin"}}, {{"\\old.bin", 1}}, Refusal::Held, 0, 0},
        {"no room",
         {{"VK7SIM_CAPACITY", "20480"}},
         {{"\\new.bin", 10000}},
         Refusal::NoRoom,
         0,
         10000 + 4096 - (20480 - 2 * 4096)}, // old.bin and locked.bin take a cluster each
        {"a read-only file, then a held one",
         {{"VK7SIM_BUSY", "old.bin"}},
         {{"\\locked.bin", 1}, {"\\old.bin", 1}},
         Refusal::Held,
         1,
         0},
        {"unplugged at the first lookup",
         {{"VK7SIM_UNPLUG_AT_CALL_N", "2"}},
         {{"\\old.bin", 1}},
         Refusal::LinkLost,
         0,
         0},
        {"unplugged at the open",
         {{"VK7SIM_UNPLUG_AT_CALL_N", "5"}},
         {{"\\old.bin", 1}},
         Refusal::LinkLost,
         0,
         0},
        {"a read-only file", {}, {{"\\locked.bin", 1}}, Refusal::None, 0, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.settings) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
        SimReset();
        pda::PdaConnect();
        const pda::PdaRefusal refusal = pda::PdaCheckTargets("\\", row.targets);
        EXPECT_EQ(refusal.kind, row.kind);
        EXPECT_EQ(refusal.target, row.target);
        EXPECT_EQ(refusal.shortfall, row.shortfall);
        EXPECT_EQ(GetFileAttributesW(OnDevice("locked.bin").wstring().c_str()),
                  static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE |
                                     (row.lockedWritable ? 0 : FILE_ATTRIBUTE_READONLY)));
    }
    EXPECT_EQ(ReadFileBytes(OnDevice("old.bin")), "old");
    EXPECT_FALSE(fs::exists(OnDevice("new.bin")));
}

// How each copy fails, for the caller to tell the user: whether the device
// file was created (its old contents gone), the device's error, what the
// device file keeps, and that both files are closed. The copy shows nothing.
TEST_F(Copy, ReportsHowItFailed) {
    const std::string bytes = Pattern(70000);
    const std::string source = Source(bytes);
    using Failure = pda::CopyFailure;
    constexpr DWORD kAny = ~0u; // a short write leaves the device's last error as it was
    const struct {
        const char* what;
        std::vector<std::pair<const char*, const char*>> settings;
        Failure::Kind kind;
        bool deviceChanged;
        DWORD deviceError;
        std::size_t bytesKept; // of the device file; 0 also where it is not there
    } rows[] = {
        {"copied", {}, Failure::None, false, 0, 70000},
        {"held open on the device",
         {{"VK7SIM_BUSY", "copy.bin"}},
         Failure::Refused,
         false,
         ERROR_SHARING_VIOLATION,
         0},
        // A write that reported success for fewer bytes used to leave a short file.
        {"a short write",
         {{"VK7SIM_SHORT_WRITE", "copy.bin:1"}},
         Failure::Refused,
         true,
         kAny,
         16000},
        {"a write fault at the second chunk",
         {{"VK7SIM_WRITE_FAULT", "copy.bin:2"}},
         Failure::Refused,
         true,
         ERROR_WRITE_FAULT,
         32000},
        {"the device fills up",
         {{"VK7SIM_CAPACITY", "40960"}},
         Failure::StorageFull,
         true,
         ERROR_DISK_FULL,
         40960},
        {"unplugged mid-copy",
         {{"VK7SIM_UNPLUG_AFTER_BYTES", "40000"}},
         Failure::LinkLost,
         true,
         0,
         40000},
        {"unplugged before the creation",
         {{"VK7SIM_UNPLUG_AT_CALL_N", "2"}},
         Failure::LinkLost,
         false,
         0,
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.settings) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
        fs::remove(OnDevice("copy.bin"));
        SimReset();
        pda::PdaConnect();
        Failure failure{Failure::Refused, true, 12345};
        EXPECT_EQ(pda::CopyFileToDevice(Wide(source), "\\copy.bin", {}, &failure),
                  row.kind == Failure::None);
        EXPECT_EQ(failure.kind, row.kind);
        EXPECT_EQ(failure.deviceChanged, row.deviceChanged);
        if (row.deviceError != kAny) {
            EXPECT_EQ(failure.deviceError, row.deviceError);
        }
        EXPECT_EQ(ReadFileBytes(OnDevice("copy.bin")), bytes.substr(0, row.bytesKept));
        EXPECT_EQ(SimOpenHandles(), 0);
        HANDLE h =
            CreateFileA(source.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "the source is still open";
        CloseHandle(h);
    }
    EXPECT_TRUE(boxes.boxes().empty());
}

// The device file: written, shared for reading, replacing any old file, no
// flags. The source: only read, and shared for reading, while it is copied.
TEST_F(Copy, OpensTheDeviceFileAndTheSourceAsTheCopyNeeds) {
    const std::string source = Source(Pattern(70000));
    device.set("VK7SIM_SOURCE_PROBE", source);
    pda::PdaConnect();
    EXPECT_TRUE(pda::CopyFileToDevice(Wide(source), "\\copy.bin"));
    const auto log = device.log();
    const auto created = Calls(log, "CeCreateFile");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].detail, "access=40000000 share=1 disposition=2 flags=0");
    const auto writes = Calls(log, "CeWriteFile");
    ASSERT_EQ(writes.size(), 4u);
    for (const auto& write : writes) {
        EXPECT_EQ(write.detail, "read, shared for reading");
    }
}

// The source is closed before the device file, whichever way the copy ends.
TEST_F(Copy, ClosesTheSourceBeforeTheDeviceFile) {
    const std::string source = Source(Pattern(70000));
    device.set("VK7SIM_SOURCE_PROBE", source);
    const struct {
        const char* end;
        const char* fault;
        bool result;
    } rows[] = {{"end of file", "", true}, {"failed write", "copy.bin:2", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.end);
        ScopedEnv fault("VK7SIM_WRITE_FAULT", row.fault);
        pda::PdaConnect();
        DeleteFileA(device.logPath().string().c_str());
        EXPECT_EQ(pda::CopyFileToDevice(Wide(source), "\\copy.bin"), row.result);
        const auto closes = Calls(device.log(), "CeCloseHandle");
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0].bytes, 0) << "the source was still open";
    }
}

// A failed read used to end the copy as if the file had ended, and report
// success for a truncated device file.
TEST_F(Copy, FailedReadOfTheSourceIsAFailedCopy) {
    const std::string pipe = "\\\\.\\pipe\\vk7-copy-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 65536,
                                     65536, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::thread writer([&] {
        ConnectNamedPipe(server, nullptr);
        DWORD written = 0;
        WriteFile(server, "partial", 7, &written, nullptr);
        FlushFileBuffers(server);
        DisconnectNamedPipe(server); // the reader's next read fails
        CloseHandle(server);
    });
    const bool copied = pda::CopyFileToDevice(Wide(pipe), "\\copy.bin");
    writer.join();
    EXPECT_FALSE(copied);
    EXPECT_TRUE(boxes.boxes().empty());
}

// A destination too long for the name buffer used to be sent as an empty name.
TEST_F(Copy, DestinationsUpTo399UnitsPassWholeLongerOnesAreRefused) {
    const std::string source = Source("abc");
    const std::string fits = "\\" + std::string(398, 'n');
    pda::CopyFileToDevice(Wide(source), fits);
    const auto created = Calls(device.log(), "CeCreateFile");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].subject, fits);

    for (std::size_t length : {400u, 401u, 1000u}) {
        EXPECT_FALSE(pda::CopyFileToDevice(Wide(source), "\\" + std::string(length - 1, 'n')));
    }
    EXPECT_EQ(Calls(device.log(), "CeCreateFile").size(), 1u);
    EXPECT_TRUE(boxes.boxes().empty());
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP) {
        // How many writes had reached the device when the message was handled.
        *reinterpret_cast<std::size_t*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA)) =
            WriteSizes(ReadCallLog(*reinterpret_cast<fs::path*>(lParam))).size();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST_F(Copy, WindowMessagesAreProcessedDuringTheCopy) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "CopyPumpProbe";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("CopyPumpProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    std::size_t writesSeen = 0;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&writesSeen));
    fs::path log = device.logPath();
    PostMessageA(window, WM_APP, 0, reinterpret_cast<LPARAM>(&log));
    EXPECT_TRUE(pda::CopyFileToDevice(Wide(Source(Pattern(100000))), "\\copy.bin"));
    EXPECT_EQ(writesSeen, 1u); // handled right after the first chunk
    DestroyWindow(window);
}

TEST_F(Copy, RepeatedCopiesLeakNoHandle) {
    const std::string source = Source(Pattern(33000));
    device.set("VK7SIM_BUSY", "busy.bin");
    device.set("VK7SIM_WRITE_FAULT", "fault.bin:2");
    device.set("VK7SIM_LOG", "");
    pda::PdaConnect();
    std::uintptr_t before = 0;
    for (int i = 0; i <= 100; ++i) {
        if (i == 1) {
            before = ProbeHandleValue(); // after one pass has warmed every path
        }
        EXPECT_TRUE(pda::CopyFileToDevice(Wide(source), "\\copy.bin"));
        EXPECT_FALSE(pda::CopyFileToDevice(Wide(source), "\\busy.bin"));
        EXPECT_FALSE(pda::CopyFileToDevice(Wide(source), "\\fault.bin"));
        EXPECT_FALSE(pda::CopyFileToDevice(Wide(source + ".missing"), "\\copy.bin"));
        ASSERT_EQ(SimOpenHandles(), 0);
    }
    EXPECT_LE(ProbeHandleValue(), before);
}

} // namespace

namespace {

// The room a run needs: the most the device's use grows at any point of the
// copy, in manifest order, plus a cluster for each file.
TEST(RoomNeeded, LargestGrowthAlongTheWayPlusAClusterEach) {
    using Target = pda::PdaTarget;
    const struct {
        const char* what;
        std::vector<Target> targets;
        std::vector<unsigned long long> oldSizes;
        unsigned long long expected;
    } rows[] = {
        {"nothing to write", {}, {}, 0},
        {"new files add up", {{"\\a", 1000}, {"\\b", 500}}, {0, 0}, 1500 + 2 * 4096},
        {"a shrinking file first frees room for the next",
         {{"\\a", 100}, {"\\b", 900}},
         {1000, 0},
         0 + 2 * 4096},
        {"the peak is mid-way, not at the end",
         {{"\\a", 3000}, {"\\b", 0}},
         {1000, 2500},
         2000 + 2 * 4096},
        {"every file shrinks", {{"\\a", 10}, {"\\b", 20}}, {100, 200}, 2 * 4096},
        {"a later row of the same name replaces the earlier one's bytes",
         {{"\\A", 5000}, {"\\a", 1000}},
         {0, 0},
         5000 + 2 * 4096},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(pda::PdaRoomNeeded(row.targets, row.oldSizes), row.expected) << row.what;
    }
}

} // namespace
