// What a run writes to the run log (win/RunLog.h), one line as each thing
// happens: the system, the connection software, each connection, what the
// connection doctor found, the device, the check, each item and how the run
// ended. Costs no device call, and raises nothing: whatever goes wrong in
// logging leaves the run as it was.
#pragma once

#include "app/ConnectionDoctor.h"
#include "app/Identify.h"
#include "payload/Payload.h"
#include "pda/Pda.h"

#include <windows.h>

#include <string>
#include <vector>

namespace app::report {

// Starts the run's block: the date and time, the program and its build,
// then Windows and the connection software.
void BeginRun();
// After a PdaConnect: how long it waited and how it ended.
void Connection();
void Doctor(const ServiceFinding& finding);
void Device(const NotIdentified& answer);
// What the check saw of each target it looked up, and its verdict (empty:
// every file can be replaced).
void Check(const std::vector<pda::PdaTarget>& targets, const std::vector<pda::DeviceEntry>& seen,
           const std::string& refusal);
void Item(const std::string& deviceName, unsigned long long bytes, unsigned long long ms,
          bool copied, const pda::CopyFailure& failure);
// The status line the run ended with; ends the block.
void EndRun(const std::string& status);

} // namespace app::report
