// Whether the attached device is the Vesko Navigator VK7.
#pragma once

namespace app {

inline constexpr int kTargetModel = 6;

// Connects (leaving the connection open) and returns kTargetModel for a
// Windows CE 6 device whose screen is 480 pixels and 60 mm high, else 0.
int IdentifyDevice();

} // namespace app
