#include "pda/Pda.h"

#include "rapi/rapi.h"
#include "win/TickCount.h"

namespace pda {

bool PdaConnected = false;
HRESULT PdaConnectError = 0;
unsigned long long PdaConnectMs = 0;

namespace {
// Whether CeRapiInitEx was called since the last CeRapiUninit: a run that
// ends before connecting (no library, or one it refused) leaves the library
// uncalled.
bool g_initialised = false;
} // namespace

void PdaConnect() {
    const std::uint64_t start = win::TickCount64();
    rapi::RAPIINIT init{sizeof(rapi::RAPIINIT), nullptr, 0};
    const HRESULT started = rapi::CeRapiInitEx(&init);
    g_initialised = true;
    // A provider that refuses a second initialisation keeps the first one:
    // a connection that is up stays up and usable.
    if (started == rapi::CERAPI_E_ALREADYINITIALIZED && PdaConnected) {
        PdaConnectMs = win::TickCount64() - start;
        return;
    }
    // No other failure code, nor the fallback, ends the attempt here: a
    // missing library leaves the event null, and every wait then fails at once.
    bool signalled = false;
    for (int wait = 0; wait < kWaitLimit && !signalled; ++wait) {
        signalled = WaitForSingleObject(init.heRapiInit, kWaitStepMs) == WAIT_OBJECT_0;
    }
    PdaConnected = signalled && init.hrRapiInit == 0;
    if (PdaConnected) {
        PdaConnectError = 0;
    } else if (signalled) {
        PdaConnectError = init.hrRapiInit;
    } else {
        PdaConnectError = FAILED(started) ? started : 0;
    }
    PdaConnectMs = win::TickCount64() - start;
}

void PdaDisconnect() {
    if (g_initialised) {
        rapi::CeRapiUninit();
        g_initialised = false;
    }
    PdaConnected = false;
}

PdaLink PdaLinkAfterFailure(HRESULT* answer) {
    if (!rapi::HasEntryPoint("CeRapiGetError")) {
        return PdaLink::Unknown;
    }
    const HRESULT error = rapi::CeRapiGetError();
    if (answer != nullptr) {
        *answer = error;
    }
    // The documented forms differ (a failure HRESULT; a Win32 code; the
    // device's error), and agree only that 0 means no error of the link.
    return error != S_OK ? PdaLink::Lost : PdaLink::Up;
}

} // namespace pda
