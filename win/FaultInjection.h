// Points on the desktop side where tests inject a failure: each pass is
// counted, and an armed point fails on its N-th pass. Disarmed (as in every
// real run) a point costs one comparison.
#pragma once

namespace win {

enum class FaultPoint {
    ScratchRead,   // a read of a scratch file while copying it to the device
    ScratchWrite,  // the write that unpacks a payload item to a scratch file
    ScratchCreate, // the creation of a scratch file (the first of its tries)
    LogRead,       // the run log's read of its older runs
    ScratchHeld,   // a try to create a scratch file finds it held, as Windows
                   // answers for one a scanner holds (ERROR_ACCESS_DENIED)
};

// Counts a pass through `point`; true when it is the armed pass.
bool InjectFault(FaultPoint point);

// Fails the `nth` pass (1-based) from now on; 0 only counts. Either way the
// count starts again at 0.
void ArmFaultForTesting(FaultPoint point, unsigned nth);
// Passes through `point` since it was last armed.
unsigned FaultPointPasses(FaultPoint point);

} // namespace win
