// A simulated VK7 behind a stand-in RAPI.DLL: the connection, the device's
// answers to identification, and the controls tests use. Its files are in
// SimFiles.cpp.
#include "SimDevice.h"

#include "rapi/RapiTypes.h"

#include <string>

using rapi::CEOSVERSIONINFO;
using rapi::RAPIINIT;
using namespace sim;

namespace {

HANDLE makeLinkEvent(long delayMs) {
    if (delayMs == 0) {
        return CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }
    if (delayMs < 0) {
        return CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    // A waitable timer signals by itself after the delay: no thread needed.
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * delayMs;
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    return timer;
}

} // namespace

extern "C" {

// The record's published size: three 32-bit fields, the handle widened to
// 64 bits (with padding) in a 64-bit process.
constexpr DWORD kPublishedRapiInitSize = sizeof(void*) == 8 ? 24 : 12;

HRESULT WINAPI CeRapiInitEx(RAPIINIT* init) {
    if (init == nullptr || init->cbSize != kPublishedRapiInitSize) {
        return E_INVALIDARG;
    }
    Device& d = device();
    const Settings settings = ReadSettings();
    // The call faults and the link's per-call time count from this call on.
    d.settings.failCallAt = settings.failCallAt;
    d.settings.unplugAtCall = settings.unplugAtCall;
    d.settings.callDelayMs = settings.callDelayMs;
    if (callFails()) {
        logCall("CeRapiInitEx", "failed", 0, E_FAIL);
        return E_FAIL;
    }
    if (settings.refuseReinit && d.initialised) {
        // The earlier connection stays as it was; the record gets no event.
        logCall("CeRapiInitEx", "already initialised", 0, rapi::CERAPI_E_ALREADYINITIALIZED);
        return rapi::CERAPI_E_ALREADYINITIALIZED;
    }
    d.settings = settings;
    d.initialised = true;
    ++d.initCount;
    d.connection = d.initCount > 1 ? d.settings.later : d.settings.first;
    const long delay = d.settings.folder.empty() ? -1 : d.connection.delayMs;
    HANDLE event = makeLinkEvent(delay);
    d.linkEvents.push_back(event);
    d.linkSignalled = false;
    d.bytesWritten = 0;
    d.unplugged = false;
    init->heRapiInit = event;
    init->hrRapiInit = d.connection.result;
    logCall("CeRapiInitEx", "", delay, d.connection.result);
    return S_OK;
}

// A failed uninit still ends the session: the caller cannot retry it.
HRESULT WINAPI CeRapiUninit() {
    const bool faulted = callFails();
    Device& d = device();
    const HRESULT result = faulted || d.linkEvents.empty() ? E_FAIL : S_OK;
    for (HANDLE e : d.linkEvents) {
        CloseHandle(e);
    }
    d.linkEvents.clear();
    d.linkSignalled = false;
    d.initialised = false;
    logCall("CeRapiUninit", faulted ? "failed" : "", 0, result);
    return result;
}

INT WINAPI CeGetDesktopDeviceCaps(INT index) {
    const Settings& s = device().settings;
    int value = 0;
    if (!callFails() && linkUp()) {
        switch (index) {
        case HORZSIZE:
            value = 100;
            break;
        case VERTSIZE:
            value = s.screenMm;
            break;
        case HORZRES:
            value = s.screenWidthPx;
            break;
        case VERTRES:
            value = s.screenPx;
            break;
        case BITSPIXEL:
            value = 16;
            break;
        case LOGPIXELSX:
        case LOGPIXELSY:
            value = 192;
            break;
        default:
            value = 0;
            break;
        }
    }
    logCall("CeGetDesktopDeviceCaps", std::to_string(index), 0, value);
    return value;
}

BOOL WINAPI CeGetVersionEx(CEOSVERSIONINFO* info) {
    BOOL ok = FALSE;
    if (callFails()) {
    } else if (!linkUp()) {
        fail(ERROR_NOT_CONNECTED);
    } else if (info == nullptr || info->dwOSVersionInfoSize != sizeof(CEOSVERSIONINFO)) {
        fail(ERROR_INVALID_PARAMETER);
    } else {
        info->dwMajorVersion = device().settings.osMajor;
        info->dwMinorVersion = 0;
        info->dwBuildNumber = 3122;
        info->dwPlatformId = 3; // VER_PLATFORM_WIN32_CE
        info->szCSDVersion[0] = L'\0';
        ok = TRUE;
    }
    logCall("CeGetVersionEx", "", 0, ok);
    return ok;
}

// A call over the link too, but never faulted: it tells of the others.
DWORD WINAPI CeGetLastError() {
    holdCall();
    return device().lastError;
}

// The desktop side's own error: whether the link of the last call held.
// Answered on the desktop, so neither held, counted nor faulted.
HRESULT WINAPI CeRapiGetError() {
    return device().unplugged ? static_cast<HRESULT>(device().settings.rapiErrorAfterUnplug) : S_OK;
}

// Not part of the Remote API: lets tests prove that nothing is left open.
int WINAPI SimOpenHandleCount() {
    return static_cast<int>(device().files.size() + device().searches.size());
}

// Not part of the Remote API: whether a session is open, started by an
// accepted CeRapiInitEx and not yet ended by CeRapiUninit.
BOOL WINAPI SimSessionOpen() {
    return device().initialised ? TRUE : FALSE;
}

// Not part of the Remote API: the device's last error, as an earlier call
// would have left it.
void WINAPI SimSetLastError(DWORD error) {
    device().lastError = error;
}

// Not part of the Remote API: forgets earlier connections, so that the next
// CeRapiInitEx counts as the first of the process again.
void WINAPI SimReset() {
    Device& d = device();
    d.settings.failCallAt = d.settings.unplugAtCall = 0; // the uninit below must not fail
    CeRapiUninit();
    d.initCount = 0;
    d.writeCalls = 0;
    d.createCalls = 0;
    d.calls = 0;
    d.firstWriteCall = 0;
}

// Not part of the Remote API: the calls counted for the N-th call faults.
unsigned WINAPI SimWriteCalls() {
    return device().writeCalls;
}
unsigned WINAPI SimCreateCalls() {
    return device().createCalls;
}
// Every Remote API call but CeGetLastError, and the number of the first
// CeWriteFile among them (0: none yet).
unsigned WINAPI SimCalls() {
    return device().calls;
}
unsigned WINAPI SimFirstWriteCall() {
    return device().firstWriteCall;
}

} // extern "C"
