#include "pda/Pda.h"

#include "rapi/rapi.h"

namespace pda {

bool PdaConnected = false;

void PdaConnect() {
    rapi::RAPIINIT init{sizeof(rapi::RAPIINIT), nullptr, 0};
    // Neither a failure code nor the fallback ends the attempt here: a missing
    // library leaves the event null, and every wait then fails at once.
    rapi::CeRapiInitEx(&init);
    bool signalled = false;
    for (int wait = 0; wait < kWaitLimit && !signalled; ++wait) {
        signalled = WaitForSingleObject(init.heRapiInit, kWaitStepMs) == WAIT_OBJECT_0;
    }
    PdaConnected = signalled && init.hrRapiInit == 0;
}

void PdaDisconnect() {
    rapi::CeRapiUninit();
    PdaConnected = false;
}

} // namespace pda
