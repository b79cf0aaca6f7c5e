// Device paths go to the Remote API as zero-terminated UTF-16.
#pragma once

#include <string>

namespace pda {

inline constexpr int kMaxDevicePathUnits = 399;
inline constexpr int kNameBufferUnits = 500; // 1000 bytes; 400 units are ever used

// Converts `path` (the desktop's ANSI code page) into `name`, which holds
// kNameBufferUnits; false when it does not fit in 399 units, so that nothing
// is sent under a wrong name.
bool ToDeviceName(const std::string& path, wchar_t* name);

} // namespace pda
