// What the window's look and its dispatch share.
#pragma once

#include "app/Unit1.h"

#include <memory>
#include <string>

namespace app {

// The window's DPI: the test seam's answer where one is set, else the
// platform's for the window (or the system's before Windows 10).
UINT DpiOf(HWND window);
// Whether the user chose high contrast: the window then paints no picture
// and draws its labels in the system's colours.
bool HighContrastOn();
int Scale(int value, UINT dpi);
// The window's taskbar button, once the taskbar has announced it.
std::unique_ptr<win::ProgressDisplay> TaskbarButtonFor(HWND window);
std::string WindowText(HWND window);

} // namespace app
