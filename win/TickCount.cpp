#include "win/TickCount.h"

#include "win/LateBound.h"

#include <atomic>

namespace win {
namespace {

using Count64 = ULONGLONG(WINAPI*)();
using Count32 = DWORD(WINAPI*)();

struct Sources {
    Count64 native; // null: the system lacks GetTickCount64 (Windows XP)
    Count32 count32;
};

Sources SystemSources() {
    return Sources{late::GetTickCount64(), GetTickCount};
}

Sources& Current() {
    static Sources sources = SystemSources();
    return sources;
}

// The last count the carried branch returned; 0: none yet.
std::atomic<std::uint64_t> g_last{0};

} // namespace

std::uint64_t TickCount64() {
    const Sources& sources = Current();
    if (sources.native != nullptr) {
        return sources.native();
    }
    // Any thread may ask; the last count advances only forwards.
    std::uint64_t seen = g_last.load();
    std::uint64_t next = ExtendTickCount(seen, sources.count32());
    while (next > seen && !g_last.compare_exchange_weak(seen, next)) {
        next = ExtendTickCount(seen, sources.count32());
    }
    return next > seen ? next : seen;
}

void SetTickSourcesForTesting(ULONGLONG(WINAPI* native)(), DWORD(WINAPI* count32)()) {
    Current() = count32 != nullptr ? Sources{native, count32} : SystemSources();
    g_last = 0;
}

} // namespace win
