// Files that a virus scanner or the search indexer holds for a moment.
#pragma once

#include "win/Dialogs.h" // ProcessMessages

#include <windows.h>

namespace win {

// A scanner or the indexer often opens a file just written, sharing
// delete: the file is then only marked for deletion, and creating, moving
// or replacing it fails (ERROR_ACCESS_DENIED on Windows,
// ERROR_SHARING_VIOLATION under Wine) until they let go, as they do within
// moments.
inline bool HeldForAMoment(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}
inline constexpr int kHeldRetries = 30; // of 100 ms: about 3 seconds
inline constexpr DWORD kHeldRetryMs = 100;

// Tries `attempt` until it succeeds, fails for another reason, or the
// file has stayed held for about 3 seconds; the window stays alive
// meanwhile. The last error is the last attempt's.
template <typename Attempt> bool RetryWhileHeld(Attempt attempt) {
    for (int retry = 0;; ++retry) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if (!HeldForAMoment(error) || retry == kHeldRetries) {
            SetLastError(error);
            return false;
        }
        ProcessMessages();
        Sleep(kHeldRetryMs);
    }
}

} // namespace win
