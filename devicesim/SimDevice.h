// The simulated VK7's state and what its Remote API functions share. The
// device's file system is a desktop folder; what the device answers and how
// it fails is set by VK7SIM_* environment variables (SimSettings.h), read
// afresh at every CeRapiInitEx.
#pragma once

#include "SimSettings.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct DeviceFile {
    std::wstring devicePath;
    unsigned writes = 0;
    long long sizeBeforeLastChunk = 0; // what an uncommitted close leaves
};

struct Device {
    Settings settings;
    Connection connection;
    unsigned initCount = 0;
    bool initialised = false; // between an accepted CeRapiInitEx and CeRapiUninit
    std::vector<HANDLE> linkEvents;
    bool linkSignalled = false; // the newest link event, once seen signalled, stays so
    std::map<HANDLE, DeviceFile> files;
    std::set<HANDLE> searches;
    unsigned long long bytesWritten = 0;
    // Since load or SimReset, for the N-th call faults.
    unsigned writeCalls = 0;
    unsigned createCalls = 0;
    unsigned calls = 0;          // every Remote API call but CeGetLastError
    unsigned firstWriteCall = 0; // the number of the first CeWriteFile among them
    bool unplugged = false;      // until the next CeRapiInitEx
    DWORD lastError = 0;
    LARGE_INTEGER linkFreeAt{};
};

Device& device();

// Records `error` as the device's last error and returns it; once the link
// is down, with the stale-error setting, the old one stays.
DWORD fail(DWORD error);

// Holds a Remote API call for the link's per-call time.
void holdCall();
// Counts a Remote API call and holds it for the link's per-call time. True
// when the settings make this call fail: the device's last error is then
// ERROR_GEN_FAILURE (or ERROR_NOT_CONNECTED once it is unplugged).
bool callFails();

// Whether the link of the newest connection is up and the device plugged in.
bool linkUp();

// Holds the caller while the link carries `bytes` at the set speed.
void throttle(DWORD bytes);

// "\A\B" is the file A\B in the device folder. Paths that could leave the
// folder are refused, as is the empty name.
bool desktopPathOf(const wchar_t* devicePath, std::wstring& out);

bool matches(const FileFault& fault, const std::wstring& devicePath);
bool isBusy(const std::wstring& devicePath);

std::string narrow(const std::wstring& w);
long long handleValue(HANDLE h);

// One line of the call log, when there is one.
void logCall(const char* function, const std::string& subject, long long bytes, long long result,
             const std::string& detail = {});
// A device path is turned into log text only when there is a log: writes
// are the copy loop's hot path.
void logCall(const char* function, const std::wstring& devicePath, long long bytes,
             long long result, const std::string& detail = {});

// How the probed desktop file is held (see Settings::sourceProbe).
std::string probeSource();

} // namespace sim
