// The copy phase of a run, which needs no window: the manifest's items, the
// check that the device can take them all, and the copy itself. The click
// handler and the benchmark both drive it.
#pragma once

#include "payload/Payload.h"
#include "pda/Pda.h"
#include "win/TaskbarProgress.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace app {

// The temporary directory of the current run: asked once per run and kept
// here, so that every scratch file of the run lands in the same folder
// even if TMP changes meanwhile.
extern std::wstring TempDirectory;

// What the copy phase tells as it goes; any may be empty.
struct CopyObserver {
    std::function<void(const std::string& deviceName)> itemStarted;
    std::function<void(ULONGLONG totalBytes)> started; // the manifest's items together
    std::function<void(DWORD bytes)> chunkWritten;
    std::function<void(const pda::CopyFailure& failure)> itemFailed;
};

// Where progress goes at the moment it is shown: null for nowhere. Asked
// at every call, since the taskbar's button is replaced when the taskbar
// restarts and the old one is then gone.
using CurrentProgressDisplay = std::function<win::ProgressDisplay*()>;

// An observer that shows progress on `display` (if any): Normal at the
// start, the share of bytes written after each chunk, Error after a failed
// copy, which stays; `itemStarted` and `itemFailed` hear of each item.
CopyObserver
ShowingProgressOn(CurrentProgressDisplay display,
                  std::function<void(const std::string& deviceName)> itemStarted,
                  std::function<void(const pda::CopyFailure& failure)> itemFailed = {});

// Unpacks the manifest to `tempDirectory`'s scratch file (left in place)
// and returns the items it names, in order.
std::vector<payload::ManifestItem> ManifestItems(const std::wstring& tempDirectory);

// Whether every item can replace its file in `deviceFolder`; if not, the
// text that tells the user why and what to do. Changes nothing on the
// device but, where the run may go on, a read-only attribute of a file it
// is to replace.
std::optional<std::string> RefusalOf(const std::string& deviceFolder,
                                     const std::vector<payload::ManifestItem>& items);

struct CopyOutcome {
    enum Kind {
        Copied,
        Failed,     // some copies failed; the others went on
        DeviceFull, // the device ran out of room; the items after it were left as they were
        LinkLost,   // the link went down during `item`'s copy; the later items were left
    } kind = Copied;
    // Some device file was created: the device is no longer as it was.
    bool deviceChanged = false;
    std::string item; // LinkLost: the device name of the item under way
};

// Unpacks each item to the item scratch file in TempDirectory, tells
// `observer` of it, copies it over `deviceFolder` and deletes the scratch
// file, keeping `outcome` up to date as it goes. The errors of the payload
// routines pass through; `outcome` then says whether the device had changed.
void CopyPayload(const std::string& deviceFolder, const std::vector<payload::ManifestItem>& items,
                 const CopyObserver& observer, CopyOutcome& outcome);

} // namespace app
