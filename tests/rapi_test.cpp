// The binding with a fake loader: what it looks up, when, and what the
// wrappers return when the library or an entry point is missing.
#include "rapi/rapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace rapi;

namespace {

struct FakeLibrary {
    int loads = 0;
    bool loadable = true;
    std::vector<std::string> lookups;
    std::vector<std::string> missing;
};
FakeLibrary g_fake;
const HMODULE kFakeModule = reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x10000));

HRESULT WINAPI FakeInit(RAPIINIT* r) {
    r->hrRapiInit = 7;
    return 0;
}
HRESULT WINAPI FakeUninit() {
    return 0;
}
HANDLE WINAPI FakeFind(LPCWSTR, CE_FIND_DATA* f) {
    f->nFileSizeLow = 99;
    return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x1234));
}
BOOL WINAPI FakeFindClose(HANDLE) {
    return TRUE;
}
HANDLE WINAPI FakeCreate(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FakeWrite(HANDLE, LPCVOID, DWORD n, LPDWORD w, LPOVERLAPPED) {
    *w = n;
    return TRUE;
}
BOOL WINAPI FakeClose(HANDLE) {
    return TRUE;
}
INT WINAPI FakeCaps(INT index) {
    return -index;
}
BOOL WINAPI FakeVersion(CEOSVERSIONINFO* v) {
    v->dwMajorVersion = 6;
    return TRUE;
}
BOOL WINAPI FakeSetAttributes(LPCWSTR, DWORD attributes) {
    return attributes == FILE_ATTRIBUTE_NORMAL;
}
DWORD WINAPI FakeLastError() {
    return ERROR_SHARING_VIOLATION;
}
HRESULT WINAPI FakeRapiError() {
    return E_FAIL;
}
BOOL WINAPI FakeDiskFree(LPCWSTR, ULARGE_INTEGER* caller, ULARGE_INTEGER*, ULARGE_INTEGER*) {
    caller->QuadPart = 123456789012ull;
    return TRUE;
}

HMODULE FakeLoad(const char* name) {
    ++g_fake.loads;
    EXPECT_STREQ(name, "RAPI.DLL");
    return g_fake.loadable ? kFakeModule : nullptr;
}

FARPROC FakeLookup(HMODULE module, const char* name) {
    EXPECT_EQ(module, kFakeModule);
    g_fake.lookups.push_back(name);
    for (const auto& m : g_fake.missing) {
        if (m == name) {
            return nullptr;
        }
    }
    const struct {
        const char* name;
        void* f;
    } table[] = {
        {"CeRapiInitEx", (void*)FakeInit},        {"CeRapiUninit", (void*)FakeUninit},
        {"CeFindFirstFile", (void*)FakeFind},     {"CeFindClose", (void*)FakeFindClose},
        {"CeCreateFile", (void*)FakeCreate},      {"CeWriteFile", (void*)FakeWrite},
        {"CeCloseHandle", (void*)FakeClose},      {"CeGetDesktopDeviceCaps", (void*)FakeCaps},
        {"CeGetVersionEx", (void*)FakeVersion},   {"CeSetFileAttributes", (void*)FakeSetAttributes},
        {"CeGetLastError", (void*)FakeLastError}, {"CeGetDiskFreeSpaceEx", (void*)FakeDiskFree},
        {"CeRapiGetError", (void*)FakeRapiError}};
    for (const auto& t : table) {
        if (std::strcmp(t.name, name) == 0) {
            return reinterpret_cast<FARPROC>(t.f);
        }
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeUninit)); // bound, never called
}

class RapiBinding : public ::testing::Test {
  protected:
    void SetUp() override {
        g_fake = FakeLibrary{};
        ResetForTesting(Loader{FakeLoad, FakeLookup});
    }
    void TearDown() override { ResetForTesting(ProductionLoader()); }
};

TEST_F(RapiBinding, LoadsOnceAndLooksUpAllNamesInTableOrderOnFirstCall) {
    EXPECT_EQ(g_fake.loads, 0); // nothing at start
    EXPECT_EQ(CeGetDesktopDeviceCaps(10), -10);
    EXPECT_EQ(g_fake.loads, 1);
    // The 64 names in table order, as the library exports them, then the
    // optional ones beside them. Written out here, not taken from the
    // binding's own table, so that a typo or a reorder there shows.
    const std::vector<std::string> expected = {"CeRapiInit",
                                               "CeRapiInitEx",
                                               "CeRapiUninit",
                                               "CeFindAllFiles",
                                               "RapiFreeBuffer",
                                               "CeCreateDatabase",
                                               "CeDeleteDatabase",
                                               "CeDeleteRecord",
                                               "CeFindFirstDatabase",
                                               "CeFindNextDatabase",
                                               "CeOidGetInfo",
                                               "CeOpenDatabase",
                                               "CeReadRecordProps",
                                               "CeSeekDatabase",
                                               "CeSetDatabaseInfo",
                                               "CeWriteRecordProps",
                                               "CeFindFirstFile",
                                               "CeFindNextFile",
                                               "CeFindClose",
                                               "CeGetFileAttributes",
                                               "CeSetFileAttributes",
                                               "CeCreateFile",
                                               "CeReadFile",
                                               "CeWriteFile",
                                               "CeCloseHandle",
                                               "CeFindAllDatabases",
                                               "CeGetLastError",
                                               "GetRapiError",
                                               "CeSetFilePointer",
                                               "CeSetEndOfFile",
                                               "CeCreateDirectory",
                                               "CeRemoveDirectory",
                                               "CeCreateProcess",
                                               "CeMoveFile",
                                               "CeCopyFile",
                                               "CeDeleteFile",
                                               "CeGetFileSize",
                                               "CeRegOpenKeyEx",
                                               "CeRegEnumKeyEx",
                                               "CeRegCreateKeyEx",
                                               "CeRegCloseKey",
                                               "CeRegDeleteKey",
                                               "CeRegEnumValue",
                                               "CeRegDeleteValue",
                                               "CeRegQueryInfoKey",
                                               "CeRegQueryValueEx",
                                               "CeRegSetValueEx",
                                               "CeGetStoreInformation",
                                               "CeGetSystemMetrics",
                                               "CeGetDesktopDeviceCaps",
                                               "CeGetSystemInfo",
                                               "CeSHCreateShortcut",
                                               "CeSHGetShortcutTarget",
                                               "CeCheckPassword",
                                               "CeGetFileTime",
                                               "CeSetFileTime",
                                               "CeGetVersionEx",
                                               "CeGetWindow",
                                               "CeGetWindowLong",
                                               "CeGetWindowText",
                                               "CeGetClassName",
                                               "CeGlobalMemoryStatus",
                                               "CeGetSystemPowerStatusEx",
                                               "CeRapiInvoke",
                                               "CeGetDiskFreeSpaceEx",
                                               "CeRapiGetError"};
    ASSERT_EQ(expected.size(), 66u);
    EXPECT_EQ(g_fake.lookups, expected);
    CeRapiUninit();
    CeCloseHandle(nullptr);
    EXPECT_TRUE(LoadRapi());
    EXPECT_TRUE(HasEntryPoint("CeGetDiskFreeSpaceEx"));
    EXPECT_EQ(g_fake.loads, 1);
    EXPECT_EQ(g_fake.lookups.size(), 66u);
}

TEST_F(RapiBinding, FailedLoadIsRetriedOnEveryCall) {
    g_fake.loadable = false;
    EXPECT_FALSE(LoadRapi());
    CeRapiUninit();
    CeGetVersionEx(nullptr);
    EXPECT_EQ(g_fake.loads, 3);
    EXPECT_TRUE(g_fake.lookups.empty());
    g_fake.loadable = true;
    EXPECT_EQ(CeGetDesktopDeviceCaps(6), -6);
    EXPECT_EQ(g_fake.loads, 4);
}

TEST_F(RapiBinding, WithoutTheLibraryEveryWrapperFallsBackAndTouchesNothing) {
    g_fake.loadable = false;
    RAPIINIT init{12, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x55)), 77};
    EXPECT_EQ(CeRapiInitEx(&init), 65535);
    EXPECT_EQ(init.cbSize, 12u);
    EXPECT_EQ(init.heRapiInit, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x55)));
    EXPECT_EQ(init.hrRapiInit, 77);
    EXPECT_EQ(CeRapiUninit(), 65535);
    CE_FIND_DATA found{};
    found.nFileSizeLow = 5;
    EXPECT_EQ(CeFindFirstFile(L"\\x", &found), kFallbackHandle);
    EXPECT_EQ(found.nFileSizeLow, 5u);
    EXPECT_FALSE(CeFindClose(nullptr));
    const HANDLE created =
        CeCreateFile(L"\\x", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(created), 0xFFFFu);
    EXPECT_NE(created, INVALID_HANDLE_VALUE); // 65535 is not -1
    DWORD written = 42;
    EXPECT_FALSE(CeWriteFile(created, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 42u);
    EXPECT_FALSE(CeCloseHandle(created));
    EXPECT_EQ(CeGetDesktopDeviceCaps(6), 65535);
    CEOSVERSIONINFO version{};
    version.dwMajorVersion = 3;
    EXPECT_FALSE(CeGetVersionEx(&version));
    EXPECT_EQ(version.dwMajorVersion, 3u);
    EXPECT_FALSE(CeSetFileAttributes(L"\\x", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(CeGetLastError(), 65535u);
    ULARGE_INTEGER free{{17, 0}};
    EXPECT_FALSE(CeGetDiskFreeSpaceEx(L"\\", &free, nullptr, nullptr));
    EXPECT_EQ(free.QuadPart, 17u);
    EXPECT_EQ(CeRapiGetError(), 65535);
    EXPECT_FALSE(HasEntryPoint("CeFindFirstFile"));
}

TEST_F(RapiBinding, MissingEntryPointsFallBackOnEveryCallWhileOthersWork) {
    g_fake.missing = {"CeGetVersionEx", "CeWriteFile", "CeRapiInitEx", "CeGetDiskFreeSpaceEx",
                      "CeRapiGetError"};
    EXPECT_FALSE(HasEntryPoint("CeWriteFile"));
    EXPECT_FALSE(HasEntryPoint("CeGetDiskFreeSpaceEx"));
    EXPECT_TRUE(HasEntryPoint("CeCreateFile"));
    EXPECT_FALSE(HasEntryPoint("NotARemoteApiName"));
    for (int call = 0; call < 3; ++call) {
        ULARGE_INTEGER free{{17, 0}};
        EXPECT_FALSE(CeGetDiskFreeSpaceEx(L"\\", &free, nullptr, nullptr));
        EXPECT_EQ(free.QuadPart, 17u);
        EXPECT_EQ(CeRapiGetError(), 65535);
        CEOSVERSIONINFO version{};
        EXPECT_FALSE(CeGetVersionEx(&version));
        EXPECT_EQ(version.dwMajorVersion, 0u);
        DWORD written = 9;
        EXPECT_FALSE(CeWriteFile(nullptr, "x", 1, &written, nullptr));
        EXPECT_EQ(written, 9u);
        RAPIINIT init{12, nullptr, 0};
        EXPECT_EQ(CeRapiInitEx(&init), 65535);
        EXPECT_EQ(init.hrRapiInit, 0);
        EXPECT_EQ(CeGetDesktopDeviceCaps(10), -10);
        EXPECT_EQ(CeCreateFile(L"\\x", 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(CeCloseHandle(nullptr));
    }
    EXPECT_EQ(g_fake.loads, 1);
}

TEST_F(RapiBinding, WrappersPassResultsAndRecordsThrough) {
    RAPIINIT init{12, nullptr, 0};
    EXPECT_EQ(CeRapiInitEx(&init), 0);
    EXPECT_EQ(init.hrRapiInit, 7);
    CE_FIND_DATA found{};
    EXPECT_EQ(CeFindFirstFile(L"\\x", &found),
              reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x1234)));
    EXPECT_EQ(found.nFileSizeLow, 99u);
    DWORD written = 0;
    EXPECT_TRUE(CeWriteFile(nullptr, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(CeSetFileAttributes(L"\\x", FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(CeSetFileAttributes(L"\\x", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(CeGetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ULARGE_INTEGER free{};
    EXPECT_TRUE(CeGetDiskFreeSpaceEx(L"\\", &free, nullptr, nullptr));
    EXPECT_EQ(free.QuadPart, 123456789012ull);
    EXPECT_EQ(CeRapiGetError(), E_FAIL);
    // Negative capability values pass unchanged.
    for (int index : {1, 6, 10, 1000, -3}) {
        EXPECT_EQ(CeGetDesktopDeviceCaps(index), -index);
    }
}

} // namespace
