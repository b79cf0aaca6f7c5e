// The simulated device, used as the program uses it: loaded from the system
// directory and bound with GetProcAddress.
#include "rapi/RapiTypes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace rapi;

namespace {

struct Sim {
    HMODULE dll = LoadLibraryW(SimLibraryPath().c_str());
    template <typename F> F get(const char* name) const {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    }
    PfnCeRapiInitEx init = get<PfnCeRapiInitEx>("CeRapiInitEx");
    PfnCeRapiUninit uninit = get<PfnCeRapiUninit>("CeRapiUninit");
    PfnCeFindFirstFile findFirst = get<PfnCeFindFirstFile>("CeFindFirstFile");
    PfnCeFindClose findClose = get<PfnCeFindClose>("CeFindClose");
    PfnCeCreateFile create = get<PfnCeCreateFile>("CeCreateFile");
    PfnCeWriteFile write = get<PfnCeWriteFile>("CeWriteFile");
    PfnCeCloseHandle close = get<PfnCeCloseHandle>("CeCloseHandle");
    PfnCeGetDesktopDeviceCaps caps = get<PfnCeGetDesktopDeviceCaps>("CeGetDesktopDeviceCaps");
    PfnCeGetVersionEx version = get<PfnCeGetVersionEx>("CeGetVersionEx");
    DWORD(WINAPI* lastError)() = get<DWORD(WINAPI*)()>("CeGetLastError");
    PfnCeSetFileAttributes setAttributes = get<PfnCeSetFileAttributes>("CeSetFileAttributes");
    DWORD(WINAPI* attributesOf)(LPCWSTR) = get<DWORD(WINAPI*)(LPCWSTR)>("CeGetFileAttributes");
    PfnCeGetDiskFreeSpaceEx diskFree = get<PfnCeGetDiskFreeSpaceEx>("CeGetDiskFreeSpaceEx");

    // Free bytes for the caller, or -1 when the device does not tell.
    long long freeSpace() const {
        ULARGE_INTEGER caller{}, total{}, free{};
        return diskFree(L"\\", &caller, &total, &free) ? static_cast<long long>(caller.QuadPart)
                                                       : -1;
    }

    // Connects and reports whether the link came up within `waitMs`.
    bool connect(DWORD waitMs = 1000, HRESULT* result = nullptr) const {
        RAPIINIT r{sizeof r, nullptr, 0};
        if (init(&r) != S_OK) {
            return false;
        }
        if (result != nullptr) {
            *result = r.hrRapiInit;
        }
        return WaitForSingleObject(r.heRapiInit, waitMs) == WAIT_OBJECT_0;
    }
    HANDLE open(const wchar_t* path) const {
        return create(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    }
    BOOL put(HANDLE h, const std::string& bytes, DWORD* written = nullptr) const {
        DWORD n = 0;
        return write(h, bytes.data(), static_cast<DWORD>(bytes.size()), written ? written : &n,
                     nullptr);
    }
};

class DeviceSim : public ::testing::Test {
  protected:
    void TearDown() override {
        sim.uninit();
        EXPECT_EQ(SimOpenHandles(), 0);
    }
    Sim sim;
    SimDevice device;
};

TEST_F(DeviceSim, ExportsTheRemoteApiUndecorated) {
    ASSERT_NE(sim.dll, nullptr);
    for (const void* f :
         {(void*)sim.init, (void*)sim.uninit, (void*)sim.findFirst, (void*)sim.findClose,
          (void*)sim.create, (void*)sim.write, (void*)sim.close, (void*)sim.caps,
          (void*)sim.version, (void*)sim.lastError}) {
        EXPECT_NE(f, nullptr);
    }
}

TEST_F(DeviceSim, PlaysAnAttachedVk7ByDefault) {
    HRESULT result = -1;
    ASSERT_TRUE(sim.connect(0, &result));
    EXPECT_EQ(result, S_OK);
    CEOSVERSIONINFO v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(sim.version(&v));
    EXPECT_EQ(v.dwMajorVersion, 6u);
    EXPECT_EQ(sim.caps(kVertSize), 60);
    EXPECT_EQ(sim.caps(kVertRes), 480);
    EXPECT_GT(sim.caps(HORZRES), 0);
}

TEST_F(DeviceSim, ChecksTheRecordSizes) {
    // The published size of RAPIINIT, not the sizeof of this program's copy.
    constexpr DWORD published = sizeof(void*) == 8 ? 24 : 12;
    for (const DWORD size : {published - 4, published + 4, 0ul}) {
        RAPIINIT r{size, nullptr, 12345};
        EXPECT_EQ(sim.init(&r), E_INVALIDARG) << size;
        EXPECT_EQ(r.heRapiInit, nullptr);
        EXPECT_EQ(r.hrRapiInit, 12345);
    }
    ASSERT_TRUE(sim.connect());
    CEOSVERSIONINFO v{};
    v.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(sim.version(&v));
}

TEST_F(DeviceSim, NoFolderMeansNoDeviceAndNoLink) {
    ScopedEnv none("VK7SIM_DIR", "");
    RAPIINIT r{sizeof r, nullptr, 0};
    ASSERT_EQ(sim.init(&r), S_OK);
    EXPECT_EQ(WaitForSingleObject(r.heRapiInit, 300), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(sim.open(L"\\x.bin"), INVALID_HANDLE_VALUE);
}

TEST_F(DeviceSim, ModelSettingsChangeTheAnswers) {
    const struct {
        const char* name;
        const char* value;
        int index; // capability index, or -1 for the major version
        int expected;
    } rows[] = {
        {"VK7SIM_OS_MAJOR", "5", -1, 5},
        {"VK7SIM_SCREEN_MM", "61", kVertSize, 61},
        {"VK7SIM_SCREEN_PX", "800", kVertRes, 800},
        {"VK7SIM_SCREEN_WIDTH_PX", "480", HORZRES, 480},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ScopedEnv setting(row.name, row.value);
        ASSERT_TRUE(sim.connect());
        if (row.index < 0) {
            CEOSVERSIONINFO v{};
            v.dwOSVersionInfoSize = sizeof v;
            ASSERT_TRUE(sim.version(&v));
            EXPECT_EQ(static_cast<int>(v.dwMajorVersion), row.expected);
        } else {
            EXPECT_EQ(sim.caps(row.index), row.expected);
        }
    }
}

TEST_F(DeviceSim, ConnectionSettingsDelayOrFailTheLink) {
    {
        // Room for a loaded machine between the start and the first wait.
        ScopedEnv delay("VK7SIM_CONNECT_DELAY_MS", "2000");
        RAPIINIT r{sizeof r, nullptr, 0};
        sim.init(&r);
        EXPECT_EQ(WaitForSingleObject(r.heRapiInit, 100), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(WaitForSingleObject(r.heRapiInit, 10000), WAIT_OBJECT_0);
    }
    {
        ScopedEnv never("VK7SIM_CONNECT_DELAY_MS", "never");
        EXPECT_FALSE(sim.connect(500));
    }
    {
        ScopedEnv fails("VK7SIM_INIT_RESULT", "0x80004005");
        HRESULT result = 0;
        EXPECT_TRUE(sim.connect(0, &result));
        EXPECT_EQ(result, E_FAIL);
        EXPECT_EQ(sim.open(L"\\x.bin"), INVALID_HANDLE_VALUE); // a failed init is no link
    }
}

TEST_F(DeviceSim, CanRefuseASecondInitialisationUntilUninit) {
    ScopedEnv refuse("VK7SIM_REFUSE_REINIT", "1");
    ASSERT_TRUE(sim.connect());
    RAPIINIT r{sizeof r, nullptr, 12345};
    EXPECT_EQ(sim.init(&r), rapi::CERAPI_E_ALREADYINITIALIZED);
    EXPECT_EQ(r.heRapiInit, nullptr); // no event
    EXPECT_EQ(r.hrRapiInit, 12345);
    EXPECT_EQ(sim.caps(rapi::kVertRes), 480); // the first connection still works
    sim.uninit();
    EXPECT_TRUE(sim.connect());
}

TEST_F(DeviceSim, LaterConnectionsCanDifferFromTheFirst) {
    ScopedEnv later("VK7SIM_LATER_INIT_RESULT", "0x80004005");
    ScopedEnv laterDelay("VK7SIM_LATER_CONNECT_DELAY_MS", "never");
    HRESULT result = -1;
    EXPECT_TRUE(sim.connect(0, &result));
    EXPECT_EQ(result, S_OK);
    EXPECT_FALSE(sim.connect(300, &result));
    EXPECT_EQ(result, E_FAIL);
    SimReset();
    EXPECT_TRUE(sim.connect(0, &result));
    EXPECT_EQ(result, S_OK);
}

TEST_F(DeviceSim, FilesLiveInTheDeviceFolder) {
    ASSERT_TRUE(sim.connect());
    CE_FIND_DATA found{};
    EXPECT_EQ(sim.findFirst(L"\\ResidentFlash\\VKNAV\\KestrovaCE.exe", &found),
              INVALID_HANDLE_VALUE);
    device.installApplication("0123456789");
    const HANDLE search = sim.findFirst(L"\\ResidentFlash\\VKNAV\\KestrovaCE.exe", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.nFileSizeLow, 10u);
    EXPECT_EQ(SimOpenHandles(), 1);
    EXPECT_TRUE(sim.findClose(search));
    EXPECT_FALSE(sim.findClose(search));

    // CREATE_ALWAYS empties and replaces.
    const HANDLE file = sim.open(L"\\ResidentFlash\\VKNAV\\KestrovaCE.exe");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SimOpenHandles(), 1);
    EXPECT_TRUE(sim.put(file, "new"));
    EXPECT_TRUE(sim.close(file));
    EXPECT_FALSE(sim.close(file));
    EXPECT_EQ(ReadFileBytes(device.appFolder() / "KestrovaCE.exe"), "new");

    EXPECT_EQ(sim.open(L"\\ResidentFlash\\..\\..\\escape.bin"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim.open(L""), INVALID_HANDLE_VALUE);
}

TEST_F(DeviceSim, WriteFaultHitsTheNamedFileFromItsNthWrite) {
    ScopedEnv fault("VK7SIM_WRITE_FAULT", "a.bin:2");
    ASSERT_TRUE(sim.connect());
    const HANDLE a = sim.open(L"\\a.bin");
    const HANDLE b = sim.open(L"\\b.bin");
    EXPECT_TRUE(sim.put(a, "1111"));
    EXPECT_FALSE(sim.put(a, "2222"));
    EXPECT_EQ(sim.lastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_TRUE(sim.put(b, "1111"));
    EXPECT_TRUE(sim.put(b, "2222"));
    sim.close(a);
    sim.close(b);
    EXPECT_EQ(ReadFileBytes(device.root() / "a.bin"), "1111");
}

TEST_F(DeviceSim, ShortWriteReportsSuccessWithFewerBytes) {
    ScopedEnv fault("VK7SIM_SHORT_WRITE", "a.bin:1");
    ASSERT_TRUE(sim.connect());
    const HANDLE a = sim.open(L"\\a.bin");
    DWORD written = 0;
    EXPECT_TRUE(sim.put(a, "12345678", &written));
    EXPECT_EQ(written, 4u);
    sim.close(a);
}

// The N-th call faults count every file's calls since SimReset: the writes
// alone, or every Remote API call (the third write is the sixth call, after
// CeRapiInitEx and two CeCreateFile); an unplugged device stays so until
// the next connection.
TEST_F(DeviceSim, NthCallFaultsCountAcrossFiles) {
    const struct {
        const char* setting;
        const char* n;
        std::vector<bool> writesSucceed; // writes 1 to 4: two to a.bin, two to b.bin
        std::string b;                   // what b.bin holds afterwards
    } rows[] = {
        {"VK7SIM_FAIL_WRITE_N", "3", {true, true, false, true}, "dd"},
        {"VK7SIM_SHORT_WRITE_N", "3", {true, true, true, true}, "cdd"},
        {"VK7SIM_UNPLUG_AT_WRITE_N", "3", {true, true, false, false}, ""},
        {"VK7SIM_FAIL_CALL_N", "6", {true, true, false, true}, "dd"},
        {"VK7SIM_UNPLUG_AT_CALL_N", "6", {true, true, false, false}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.setting);
        SimReset();
        ScopedEnv fault(row.setting, row.n);
        ASSERT_TRUE(sim.connect());
        const HANDLE a = sim.open(L"\\a.bin");
        const HANDLE b = sim.open(L"\\b.bin");
        const std::vector<bool> done = {sim.put(a, "a") != FALSE, sim.put(a, "b") != FALSE,
                                        sim.put(b, "cc") != FALSE, sim.put(b, "dd") != FALSE};
        EXPECT_EQ(done, row.writesSucceed);
        sim.close(a);
        sim.close(b);
        EXPECT_EQ(ReadFileBytes(device.root() / "b.bin"), row.b);
        sim.uninit();
    }
    SimReset();
    ScopedEnv inUse("VK7SIM_FAIL_CREATE_N", "2");
    ASSERT_TRUE(sim.connect()); // plugged in again
    const HANDLE first = sim.open(L"\\a.bin");
    EXPECT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim.open(L"\\b.bin"), INVALID_HANDLE_VALUE);
    const HANDLE third = sim.open(L"\\b.bin");
    EXPECT_NE(third, INVALID_HANDLE_VALUE);
    sim.close(first);
    sim.close(third);
}

TEST_F(DeviceSim, UnplugAfterBytesFailsEveryLaterCall) {
    ScopedEnv unplug("VK7SIM_UNPLUG_AFTER_BYTES", "100");
    ASSERT_TRUE(sim.connect());
    const HANDLE a = sim.open(L"\\a.bin");
    EXPECT_TRUE(sim.put(a, std::string(64, 'x')));
    DWORD written = 0;
    EXPECT_FALSE(sim.put(a, std::string(64, 'y'), &written));
    EXPECT_EQ(written, 36u);
    EXPECT_FALSE(sim.put(a, "z"));
    EXPECT_EQ(sim.open(L"\\b.bin"), INVALID_HANDLE_VALUE);
    sim.close(a);
    EXPECT_EQ(ReadFileBytes(device.root() / "a.bin").size(), 100u);
}

TEST_F(DeviceSim, BusyFilesCannotBeOpened) {
    ScopedEnv busy("VK7SIM_BUSY", "KestrovaCE.exe;other.bin");
    ASSERT_TRUE(sim.connect());
    EXPECT_EQ(sim.open(L"\\ResidentFlash\\VKNAV\\KestrovaCE.exe"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim.lastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(sim.open(L"\\other.bin"), INVALID_HANDLE_VALUE);
    const HANDLE free = sim.open(L"\\free.bin");
    EXPECT_NE(free, INVALID_HANDLE_VALUE);
    sim.close(free);
}

// Files take whole 4096-byte clusters of the capacity; a write that does not
// fit writes what does and fails as a full device, and replacing a file
// gives its room back first.
TEST_F(DeviceSim, CapacityFillsWithTheFilesAndFreesWithThem) {
    ScopedEnv capacity("VK7SIM_CAPACITY", "12288");
    ASSERT_TRUE(sim.connect());
    EXPECT_EQ(sim.freeSpace(), 12288);
    HANDLE a = sim.open(L"\\a.bin");
    EXPECT_TRUE(sim.put(a, std::string(5000, 'a')));
    EXPECT_EQ(sim.freeSpace(), 4096);
    const HANDLE b = sim.open(L"\\b.bin");
    DWORD written = 0;
    EXPECT_FALSE(sim.put(b, std::string(5000, 'b'), &written));
    EXPECT_EQ(written, 4096u);
    EXPECT_EQ(sim.lastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(sim.freeSpace(), 0);
    sim.close(a);
    a = sim.open(L"\\a.bin"); // CREATE_ALWAYS: emptied
    EXPECT_EQ(sim.freeSpace(), 8192);
    EXPECT_TRUE(sim.put(b, "more"));
    sim.close(a);
    sim.close(b);
    EXPECT_EQ(ReadFileBytes(device.root() / "b.bin"), std::string(4096, 'b') + "more");
    ScopedEnv untold("VK7SIM_FREE_SPACE_FAILS", "1");
    ASSERT_TRUE(sim.connect());
    EXPECT_EQ(sim.freeSpace(), -1);
}

// A read-only file and a folder refuse writing; attributes go to the file.
TEST_F(DeviceSim, ReadOnlyFilesAndFoldersRefuseWriting) {
    WriteFileBytes(device.root() / "ro.bin", "kept");
    std::filesystem::create_directories(device.root() / "dir.bin");
    ASSERT_TRUE(sim.connect());
    EXPECT_TRUE(sim.setAttributes(L"\\ro.bin", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(sim.attributesOf(L"\\ro.bin"),
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    for (const wchar_t* path : {L"\\ro.bin", L"\\dir.bin"}) {
        EXPECT_EQ(sim.open(path), INVALID_HANDLE_VALUE);
        EXPECT_EQ(sim.lastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(ReadFileBytes(device.root() / "ro.bin"), "kept");
    EXPECT_TRUE(sim.setAttributes(L"\\ro.bin", FILE_ATTRIBUTE_NORMAL));
    const HANDLE h = sim.open(L"\\ro.bin");
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    sim.close(h);
}

TEST_F(DeviceSim, LinkSpeedHoldsWritesForTheirTransferTime) {
    const std::string bytes(20000, 'x');
    ScopedEnv speed("VK7SIM_LINK_BPS", "100000");
    ASSERT_TRUE(sim.connect());
    const HANDLE a = sim.open(L"\\a.bin");
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(sim.put(a, bytes));
    EXPECT_TRUE(sim.put(a, bytes));
    // 40000 bytes at 100000 bytes per second take at least 0.4 s.
    EXPECT_GE(GetTickCount64() - start, 390u);
    sim.close(a);
    // A round trip per call on top: 20 calls at 20 ms take at least 0.4 s.
    ScopedEnv perCall("VK7SIM_CALL_DELAY_MS", "20");
    ScopedEnv unthrottled("VK7SIM_LINK_BPS", "");
    ASSERT_TRUE(sim.connect());
    const ULONGLONG calls = GetTickCount64();
    for (int i = 0; i < 20; ++i) {
        sim.caps(kVertRes);
    }
    EXPECT_GE(GetTickCount64() - calls, 390u);
}

TEST_F(DeviceSim, CallLogRecordsEveryCall) {
    ASSERT_TRUE(sim.connect());
    const HANDLE a = sim.open(L"\\dir\\a.bin");
    EXPECT_EQ(a, INVALID_HANDLE_VALUE); // no such folder on the device
    std::filesystem::create_directories(device.root() / "dir");
    const HANDLE b = sim.open(L"\\dir\\a.bin");
    sim.put(b, std::string(32000, 'x'));
    sim.put(b, "");
    sim.close(b);
    sim.caps(kVertRes);
    const auto log = device.log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[0].function, "CeRapiInitEx");
    EXPECT_EQ(log[1].function, "CeCreateFile");
    EXPECT_EQ(log[1].subject, "\\dir\\a.bin");
    EXPECT_EQ(log[1].result, -1);
    EXPECT_NE(log[2].result, -1);
    EXPECT_EQ(log[3].function, "CeWriteFile");
    EXPECT_EQ(log[3].subject, "\\dir\\a.bin");
    EXPECT_EQ(log[3].bytes, 32000);
    EXPECT_EQ(log[3].result, 1);
    EXPECT_EQ(log[4].bytes, 0);
    EXPECT_EQ(log[5].function, "CeCloseHandle");
    EXPECT_EQ(log[6].function, "CeGetDesktopDeviceCaps");
    EXPECT_EQ(log[6].result, 480);
}

TEST_F(DeviceSim, PartialLibraryLacksSomeEntryPointsAndLeavesTheControlsAlone) {
    HMODULE partial = PartialLibrary("RAPI.DLL");
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(GetProcAddress(partial, "CeGetVersionEx"), nullptr);
    EXPECT_EQ(GetProcAddress(partial, "CeWriteFile"), nullptr);
    EXPECT_NE(GetProcAddress(partial, "CeCreateFile"), nullptr);
    EXPECT_NE(GetProcAddress(partial, "CeRapiInitEx"), nullptr);

    // It shares the device's name and exports; the handle count must still
    // be the device's own.
    device.installApplication();
    ASSERT_TRUE(sim.connect());
    const HANDLE file = sim.open(L"\\ResidentFlash\\VKNAV\\KestrovaCE.exe");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SimOpenHandles(), 1);
    EXPECT_TRUE(sim.close(file));
}

} // namespace
