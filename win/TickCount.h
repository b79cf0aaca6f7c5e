// Milliseconds since start-up as a 64-bit count, on every Windows the
// program supports: GetTickCount64 where the system has it (Vista on),
// otherwise the 32-bit GetTickCount carried past its 49.7-day wrap.
#pragma once

#include <windows.h>

#include <cstdint>

namespace win {

std::uint64_t TickCount64();

// Tests put their own counts in place: `native` stands for GetTickCount64
// (null: a system without it), `count32` for GetTickCount. Null `count32`:
// the system's again.
void SetTickSourcesForTesting(ULONGLONG(WINAPI* native)(), DWORD(WINAPI* count32)());

// The 64-bit count for the 32-bit reading `now`, given the last count
// returned: a reading below the last one's low half has wrapped once.
constexpr std::uint64_t ExtendTickCount(std::uint64_t last, DWORD now) {
    std::uint64_t high = last & 0xFFFFFFFF00000000ull;
    if (now < static_cast<DWORD>(last)) {
        high += 0x100000000ull;
    }
    return high | now;
}

} // namespace win
