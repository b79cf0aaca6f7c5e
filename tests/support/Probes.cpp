#include "support/Probes.h"

#include <windows.h>

namespace testing_support {

std::uintptr_t ProbeHandleValue() {
    HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const auto value = reinterpret_cast<std::uintptr_t>(probe);
    CloseHandle(probe);
    return value;
}

unsigned long HandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

unsigned long GuiObjectCount() {
    return GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) +
           GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
}

std::size_t PrivateCommittedBytes() {
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* address = nullptr;
    while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) {
            total += info.RegionSize;
        }
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= address) {
            break;
        }
        address = next;
    }
    return total;
}

} // namespace testing_support
