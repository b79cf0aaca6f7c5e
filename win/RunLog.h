// The run log that support can read: VeskoUpgrade.log in the folder Vesko
// of the user's local application data ("Local Settings\Application Data"
// on Windows XP). UTF-8 with a byte-order mark, CRLF line ends, one block a
// run; each line is written as it happens, so a run that is killed leaves
// every line up to that point. The log never changes a run: where its
// folder or file cannot be made or written, its lines go nowhere.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace win::runlog {

// The file stays under this size: before a run is appended, whole older
// runs are dropped from its start until the file and a run's room fit. A
// file larger than kLargestBytes is started afresh, unread.
inline constexpr std::size_t kLimitBytes = 256 * 1024;
inline constexpr std::size_t kRoomForARun = 32 * 1024;
inline constexpr std::size_t kLargestBytes = 1024 * 1024;

// Opens the log and starts a run's block with `header` (UTF-8), which must
// start with the run's date and time, "YYYY-MM-DDThh:mm:ss", as every
// block's first line does, and no other line does.
void Begin(const std::string& header) noexcept;
// One line of the run (UTF-8); a "\n" in it starts a further line, indented
// by two spaces; empty further lines are dropped.
void Line(const std::string& text) noexcept;
// Ends the run's block and lets go of the file.
void End() noexcept;

// Nothing the log does may stop or change a run: whatever `step` (which
// makes and writes lines) raises, no memory for a line say, ends here, and
// its line goes nowhere.
template <typename Step> void Guarded(Step step) noexcept {
    try {
        step();
    } catch (...) {
    }
}

// Text in the ANSI code page or UTF-16, as UTF-8.
std::string Utf8FromAnsi(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

// The log file's path; empty where the system names no folder for it.
std::wstring FilePath();
// Tests put the local application data folder elsewhere; empty: the system's.
void SetLocalAppDataForTesting(const std::wstring& folder);

} // namespace win::runlog
