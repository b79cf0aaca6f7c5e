// What a run tells the user: every text of its boxes, each saying what
// happened and what to do. The users' README.txt lists them all.
#pragma once

#include "app/Identify.h"

#include <string>

namespace app {

inline constexpr const char* kNotFound = "Vesko Navigator not found.";
inline constexpr const char* kCannotConnect = "Cannot connect to Vesko Navigator";
inline constexpr const char* kNotInstalled = "Cannot find KestrovaCE on the Vesko Navigator";
inline constexpr const char* kLinkLost =
    "The connection to the Vesko Navigator was lost. Nothing on it was changed. Connect it "
    "again, then press the button again.";
inline constexpr const char* kWriteFailed = "Cannot write to Destination file";
inline constexpr const char* kCopyError =
    "There is an Error copying files - make sure KestrovaCE is not running on the Vesko "
    "Navigator.";
inline constexpr const char* kDeviceFull =
    "There is not enough free space on the Vesko Navigator. Free some space on it, then run "
    "the upgrade again.";
// After the window was closed during a run that completed.
inline constexpr const char* kCompletedText =
    "The upgrade is complete: KestrovaCE on the Vesko Navigator is now version " VESKO_VERSION_TEXT
    ".";
// After the text of an error that ended a run once the device had changed.
inline constexpr const char* kNotComplete =
    "The upgrade of the Vesko Navigator is not complete. Solve this, then run this program "
    "again: it repairs the upgrade.";
inline constexpr const char* kApplicationRunning =
    "KestrovaCE is running on the Vesko Navigator. Close it, then press the button again.";

// "Vesko Navigator not found." and, after a blank line, why and what to do.
std::string NotFoundText(const NotIdentified& why);

// The second connection failed: the link went down since identification.
std::string CannotConnectText();

// The link went down after the device had begun to change.
std::string LostWhileCopyingText(const std::string& deviceName);

std::string NoRoomText(unsigned long long shortfallBytes);
std::string CannotReplaceText(const std::string& deviceName);

} // namespace app
