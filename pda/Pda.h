// The one connection to the device attached through ActiveSync, copying a
// desktop file to a device file, and the check that a run can replace
// every file it is to write.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace pda {

// Whether the last PdaConnect reached the device; false at program start.
extern bool PdaConnected;
// Why the last PdaConnect failed: the provider's failure code (CeRapiInitEx's
// result, or the one it gave with the link event); 0 when no device answered
// within the wait, or when it connected.
extern HRESULT PdaConnectError;
// How long the last PdaConnect took, in milliseconds.
extern unsigned long long PdaConnectMs;

inline constexpr unsigned kWaitStepMs = 100;
inline constexpr int kWaitLimit = 50;
inline constexpr unsigned kChunkSize = 32000;

// Starts the Remote API and waits up to 50 x 100 ms for the link; sets
// PdaConnected. Processes no window messages meanwhile.
void PdaConnect();
// Ends what PdaConnect started, failed attempts included; nothing when no
// attempt is open.
void PdaDisconnect();

// After a failed device call: whether the link went down (CeRapiGetError
// answers a failure) or held; Unknown where the library cannot tell. Ask
// this first: CeGetLastError tells the device's own error only over a link
// that held, and after a lost one may still answer an earlier call's.
enum class PdaLink { Up, Lost, Unknown };
// `answer`, if given, receives CeRapiGetError's answer (0 where unknown).
PdaLink PdaLinkAfterFailure(HRESULT* answer = nullptr);

// How a copy failed.
struct CopyFailure {
    enum Kind {
        None,
        SourceUnreadable, // the desktop file could not be opened or read
        Refused,          // the device refused the file or a write
        StorageFull,      // a write found the device's storage full
        LinkLost,         // the link to the device went down
    } kind = None;
    // The device file was created, so its old contents are gone.
    bool deviceChanged = false;
    DWORD deviceError = 0; // CeGetLastError, for Refused and StorageFull
    HRESULT linkError = 0; // CeRapiGetError's answer after the failed call
};

// Copies `source` (desktop) over `destination` (device path) in 32000-byte
// chunks, processing window messages after each; `chunkWritten`, if given,
// hears of each chunk the device took. Shows nothing: every failure returns
// false, and `failure`, if given, says how (None after a copy).
bool CopyFileToDevice(const std::wstring& source, const std::string& destination,
                      const std::function<void(DWORD bytes)>& chunkWritten = {},
                      CopyFailure* failure = nullptr);

// What the device holds at a path, as one CeFindFirstFile tells it.
struct DeviceEntry {
    enum Kind {
        Absent,
        File,
        Folder,
        Unknown, // the search failed for another reason than a missing name
        Lost,    // the search failed because the link went down
    } kind = Absent;
    DWORD attributes = 0;
    unsigned long long size = 0;
};
DeviceEntry PdaLookUp(const std::string& devicePath);

// A file a run is to write: its device path and the size it will have.
struct PdaTarget {
    std::string path;
    unsigned long long newSize = 0;
};

// Why the targets cannot all be replaced; kind None when they can.
struct PdaRefusal {
    enum Kind {
        None,
        Held,          // a target is open on the device: the application runs
        NoRoom,        // `shortfall` bytes more must be free
        CannotReplace, // targets[target] is a folder, or cannot be opened for writing
        LinkLost,      // the link went down during the check
    } kind = None;
    std::size_t target = 0;
    unsigned long long shortfall = 0;
};

// The check before a run writes anything: each target is looked up (a
// folder refuses), the room is checked where the device tells its free
// space, and each existing file loses a read-only attribute and is opened
// for writing, unshared, and closed again. Touches nothing else, and a
// refusal sets the read-only attributes it cleared again.
// `seen`, if given, receives what each target looked up was, in order.
PdaRefusal PdaCheckTargets(const std::string& folder, const std::vector<PdaTarget>& targets,
                           std::vector<DeviceEntry>* seen = nullptr);

// What the file system's rounding may add per file written.
inline constexpr unsigned long long kRoundingPerFile = 4096;

// The room writing `targets` in order needs on a device that now holds
// `oldSizes` (0 for a target not there yet): the largest growth after any
// one of them, plus kRoundingPerFile each. A later target of a name written
// before (letter case aside) replaces what that one wrote.
unsigned long long PdaRoomNeeded(const std::vector<PdaTarget>& targets,
                                 const std::vector<unsigned long long>& oldSizes);

} // namespace pda
