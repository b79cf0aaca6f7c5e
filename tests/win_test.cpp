// The window-system helpers: the 64-bit tick count that stands in for
// GetTickCount64 on Windows XP, and the functions looked up at run time.
#include "win/LateBound.h"
#include "win/TickCount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

struct Extension {
    std::uint64_t last;
    DWORD now;
    std::uint64_t expected;
};

TEST(TickCount, CarriesTheThirtyTwoBitCountPastItsWrap) {
    const Extension cases[] = {
        {0, 0, 0},
        {0, 1000, 1000},
        {1000, 1000, 1000},                         // no time passed
        {0xFFFFFF00ull, 0xFFFFFFFF, 0xFFFFFFFFull}, // just before the wrap
        {0xFFFFFF00ull, 5, 0x100000005ull},         // wrapped
        {0x1FFFFFFF0ull, 0x10, 0x200000010ull},     // the second wrap
        {0x300000010ull, 0x20, 0x300000020ull},     // after several, no wrap
    };
    for (const auto& c : cases) {
        EXPECT_EQ(win::ExtendTickCount(c.last, c.now), c.expected)
            << std::hex << "last " << c.last << " now " << c.now;
    }
}

// On a system without GetTickCount64 the count runs on past the 32-bit
// count's wrap, and never backwards.
std::vector<DWORD> g_readings;
std::size_t g_next = 0;
DWORD WINAPI FakeTickCount() {
    return g_readings[std::min(g_next++, g_readings.size() - 1)];
}

TEST(TickCount, WithoutGetTickCount64CountsOnPastTheWrap) {
    g_readings = {0xFFFFFF00, 0xFFFFFFF0, 0x10, 0x10, 0x20, 0xFFFFFFFF, 0x5};
    g_next = 0;
    win::SetTickSourcesForTesting(nullptr, FakeTickCount);
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < g_readings.size(); ++i) {
        counts.push_back(win::TickCount64());
    }
    win::SetTickSourcesForTesting(nullptr, nullptr);
    const std::vector<std::uint64_t> expected = {0xFFFFFF00,  0xFFFFFFF0,  0x100000010, 0x100000010,
                                                 0x100000020, 0x1FFFFFFFF, 0x200000005};
    EXPECT_EQ(counts, expected);
}

// Where the system has GetTickCount64, its count is the answer, past 2^32
// included; the 32-bit count is not asked.
ULONGLONG WINAPI FakeTickCount64() {
    return 0x1234567890ull;
}
DWORD WINAPI UnaskedTickCount() {
    ADD_FAILURE() << "the 32-bit count was asked";
    return 0;
}

TEST(TickCount, TakesGetTickCount64WhereThereIsOne) {
    win::SetTickSourcesForTesting(FakeTickCount64, UnaskedTickCount);
    const std::uint64_t count = win::TickCount64();
    win::SetTickSourcesForTesting(nullptr, nullptr);
    EXPECT_EQ(count, 0x1234567890ull);
}

TEST(TickCount, AgreesWithTheSystemCountWhereThereIsOne) {
    const ULONGLONG before = GetTickCount64();
    const std::uint64_t ours = win::TickCount64();
    const ULONGLONG after = GetTickCount64();
    EXPECT_GE(ours, before);
    EXPECT_LE(ours, after);
}

// Every lookup made for real, as the program makes it: this Wine has each
// function, so a misspelt name or a wrong DLL shows here. (Other tests put
// fakes in place of some of them, for the branches.)
TEST(LateBound, EveryLookupFindsItsFunctionInThisWine) {
    namespace late = win::late;
    late::SetFakesForTesting({});
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    const HIMAGELIST list = late::ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 1, 0);
    const HBITMAP picture = CreateBitmap(16, 16, 1, 32, nullptr);
    wchar_t kernel32[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"kernel32.dll"), kernel32, MAX_PATH);
    DWORD ignored = 0;
    const DWORD versionSize = late::GetFileVersionInfoSizeW(kernel32, &ignored);
    std::vector<BYTE> version(versionSize);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    const struct {
        const char* name;
        bool found;
    } rows[] = {
        {"GetDpiForWindow", late::GetDpiForWindow() != nullptr},
        {"ShutdownBlockReasonCreate", late::ShutdownBlockReasonCreate() != nullptr},
        {"ShutdownBlockReasonDestroy", late::ShutdownBlockReasonDestroy() != nullptr},
        {"GetTickCount64", late::GetTickCount64() != nullptr},
        {"ChangeWindowMessageFilterEx", late::ChangeWindowMessageFilterEx() != nullptr},
        {"SetDefaultDllDirectories", late::SetDefaultDllDirectories() != nullptr},
        {"InitCommonControlsEx", late::InitCommonControlsEx(&controls) != FALSE},
        {"ImageList_Create", list != nullptr},
        {"ImageList_AddMasked", late::ImageList_AddMasked(list, picture, 0) == 0},
        {"ImageList_Destroy", late::ImageList_Destroy(list) != FALSE},
        {"GetFileVersionInfoSizeW", versionSize > 0},
        {"GetFileVersionInfoW",
         late::GetFileVersionInfoW(kernel32, 0, versionSize, version.data()) != FALSE},
        {"VerQueryValueW",
         late::VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
             fixed != nullptr},
    };
    DeleteObject(picture);
    for (const auto& row : rows) {
        EXPECT_TRUE(row.found) << row.name;
    }
}

} // namespace
