#include "pda/Pda.h"

#include "rapi/rapi.h"

namespace pda {

bool PdaConnected = false;

void PdaConnect() {
    rapi::RAPIINIT init{sizeof(rapi::RAPIINIT), nullptr, 0};
    // A provider that refuses a second initialisation keeps the first one:
    // a connection that is up stays up and usable.
    if (rapi::CeRapiInitEx(&init) == rapi::CERAPI_E_ALREADYINITIALIZED && PdaConnected) {
        return;
    }
    // No other failure code, nor the fallback, ends the attempt here: a
    // missing library leaves the event null, and every wait then fails at once.
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
