// Whether the attached device is the Vesko Navigator VK7.
#pragma once

#include "app/ConnectionDoctor.h"

#include <windows.h>

#include <string>

namespace app {

inline constexpr int kTargetModel = 6;

// Why IdentifyDevice did not find the VK7, as far as the program can tell.
struct NotIdentified {
    enum Cause {
        None,
        NoLibrary,          // RAPI.DLL cannot be loaded
        MissingEntryPoints, // the library lacks `missing`, which a run calls
        ConnectionRefused,  // the provider answered the connection with `error`
        NoAnswer,           // no device answered within the wait
        OtherDevice,        // the device answered as another model
        LinkLost,           // the link went down while the device was asked
        DeviceError,        // the device refused to tell its version: `error`
    } cause = None;
    std::string missing; // the names, joined by ", "
    HRESULT error = 0;
    // What the device answered: its major version and its screen's height.
    DWORD osMajor = 0;
    int screenPx = 0;
    int screenMm = 0;
    // ConnectionRefused and NoAnswer: what on this computer may stop the link.
    ServiceFinding service;
};

// Connects (leaving the connection open) and returns kTargetModel for a
// Windows CE 6 device whose screen is 480 pixels and 60 mm high, else 0,
// with the reason in `why` if given. A library that cannot serve a run is
// refused before any connection is tried.
int IdentifyDevice(NotIdentified* why = nullptr);

} // namespace app
