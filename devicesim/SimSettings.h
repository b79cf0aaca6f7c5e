// The scenario the simulated device plays, read from VK7SIM_* environment
// variables. Every setting defaults to an attached, healthy VK7.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

struct Connection {
    long delayMs = 0; // before the link event is signalled; -1: never
    HRESULT result = 0;
};

// A fault on the device file named `name` (its file name or whole device
// path), from its `fromWrite`-th CeWriteFile on.
struct FileFault {
    std::wstring name;
    unsigned fromWrite = 0;
};

struct Settings {
    std::wstring folder; // empty: no device attached
    unsigned osMajor = 6;
    int screenMm = 60;
    int screenPx = 480;
    int screenWidthPx = 800;
    Connection first;
    Connection later; // from the second CeRapiInitEx of the process on
    // A second CeRapiInitEx without CeRapiUninit between is refused with
    // CERAPI_E_ALREADYINITIALIZED, as some Remote API providers do.
    bool refuseReinit = false;
    FileFault writeFault;
    FileFault shortWrite;
    long long unplugAfterBytes = -1;
    // Counted over every call since the library was loaded or SimReset, all
    // files together (1-based; 0: off): the N-th CeWriteFile fails, writes
    // half and reports it, or unplugs the device (that call and every later
    // one fail); the N-th CeCreateFile fails as a file in use.
    unsigned failWriteAt = 0;
    unsigned shortWriteAt = 0;
    unsigned unplugAtWrite = 0;
    unsigned failCreateAt = 0;
    // Counted over every Remote API call but CeGetLastError: the N-th fails
    // (the device's last error ERROR_GEN_FAILURE), or unplugs the device
    // (that call and every later one fail until the next connection).
    unsigned failCallAt = 0;
    unsigned unplugAtCall = 0;
    // The close of the named device file, once written to, fails, with the link up (closeFault)
    // or by unplugging the device (closeUnplug); the file then keeps only
    // what it held before its last chunk, as a file the device never
    // committed does.
    std::wstring closeFault;
    std::wstring closeUnplug;
    // Once the link is down, CeGetLastError keeps answering the error it
    // had before, as a provider that cannot reach the device may.
    bool staleErrorAfterUnplug = false;
    // What CeRapiGetError answers once the link is down: E_FAIL, or a
    // positive Win32 code (10054) as some providers give.
    long rapiErrorAfterUnplug = E_FAIL;
    // Files the application holds open: no one else may open them.
    std::vector<std::wstring> busyFiles;
    // The storage's size in bytes, files taking whole 4096-byte clusters;
    // a write past it writes what fits and fails with ERROR_DISK_FULL. 0:
    // the desktop disk's.
    unsigned long long capacity = 0;
    bool freeSpaceFails = false; // CeGetDiskFreeSpaceEx fails
    // How long every Remote API call holds the link, as a real link's round
    // trip does, beside the time its bytes take.
    unsigned callDelayMs = 0;
    unsigned long long linkBytesPerSecond = 0; // 0: unthrottled
    std::wstring logPath;
    // A desktop file, a copy's source, whose state every CeWriteFile logs
    // (how it is held) and every CeCloseHandle logs as its byte count (1:
    // still open), so tests see how and until when the copy holds it.
    std::wstring sourceProbe;
};

Settings ReadSettings();

} // namespace sim
