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
    std::vector<std::wstring> busyFiles;
    unsigned long long linkBytesPerSecond = 0; // 0: unthrottled
    std::wstring logPath;
    // A desktop file, a copy's source, whose state every CeWriteFile logs
    // (how it is held) and every CeCloseHandle logs as its byte count (1:
    // still open), so tests see how and until when the copy holds it.
    std::wstring sourceProbe;
};

Settings ReadSettings();

} // namespace sim
