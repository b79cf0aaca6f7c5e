#include "win/TickCount.h"

#include <atomic>

namespace win {

std::uint64_t TickCount64() {
    using GetTickCount64Fn = ULONGLONG(WINAPI*)();
    static const auto native = reinterpret_cast<GetTickCount64Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
    if (native != nullptr) {
        return native();
    }
    // Any thread may ask; the last count advances only forwards.
    static std::atomic<std::uint64_t> last{GetTickCount()};
    std::uint64_t seen = last.load();
    std::uint64_t next = ExtendTickCount(seen, GetTickCount());
    while (next > seen && !last.compare_exchange_weak(seen, next)) {
        next = ExtendTickCount(seen, GetTickCount());
    }
    return next > seen ? next : seen;
}

} // namespace win
