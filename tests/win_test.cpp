// The window-system helpers: the 64-bit tick count that stands in for
// GetTickCount64 on Windows XP.
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

} // namespace
