// The one connection to the device attached through ActiveSync, and copying
// a desktop file to a device file.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace pda {

// Whether the last PdaConnect reached the device; false at program start.
extern bool PdaConnected;

inline constexpr unsigned kWaitStepMs = 100;
inline constexpr int kWaitLimit = 50;
inline constexpr unsigned kChunkSize = 32000;
inline constexpr int kMaxDevicePathUnits = 399;
inline constexpr int kNameBufferUnits = 500; // 1000 bytes; 400 units are ever used

// Starts the Remote API and waits up to 50 x 100 ms for the link; sets
// PdaConnected. Processes no window messages meanwhile.
void PdaConnect();
void PdaDisconnect();

// Copies `source` (desktop) over `destination` (device path) in 32000-byte
// chunks, processing window messages after each; `chunkWritten`, if given,
// hears of each chunk the device took. A failed write is shown to the user;
// every failure returns false.
bool CopyFileToDevice(const std::string& source, const std::string& destination,
                      const std::function<void(DWORD bytes)>& chunkWritten = {});

} // namespace pda
