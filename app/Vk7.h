// Where KestrovaCE lives on the Vesko Navigator VK7.
#pragma once

namespace app {

// The application's folder on the device: every payload item goes there.
inline constexpr const char* kDeviceFolder = "\\ResidentFlash\\VKNAV";
// The application's executable in that folder, which proves it installed.
inline constexpr const char* kApplicationFile = "KestrovaCE.exe";

} // namespace app
