// Leak and memory probes that work under Wine, where the process counters
// (handle count, GUI resources, private bytes) answer 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testing_support {

// Wine hands out the lowest free handle value, so a handle made after some
// work must not be higher than one made before it.
std::uintptr_t ProbeHandleValue();

// The platform's own counters: handles, and GDI plus USER objects. Wine
// answers 0 to both; real Windows answers them, and then they count too.
unsigned long HandleCount();
unsigned long GuiObjectCount();

// Private committed bytes: the VirtualQuery regions MEM_COMMIT + MEM_PRIVATE.
std::size_t PrivateCommittedBytes();

} // namespace testing_support
