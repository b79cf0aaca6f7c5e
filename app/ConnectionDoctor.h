// Why the link to the device may never come up on this computer: on
// Windows 10 and 11 most often Windows Mobile Device Center's own two
// services, which the service control manager can tell about to any user.
#pragma once

#include <windows.h>

#include <string>

namespace app {

// The services, in the order they are looked at.
inline constexpr const wchar_t* kConnectionServices[] = {L"WcesComm", L"RapiMgr"};

// The first finding, by kind in this order and within a kind by service.
struct ServiceFinding {
    enum Kind {
        None,         // no service, none in trouble, or the manager cannot be asked
        Disabled,     // its start type is Disabled
        NotRunning,   // any state but running
        WrongAccount, // running as another account than LocalSystem, which fails
                      // on Windows 10 1703 (build 15063) and later
    } kind = None;
    std::string displayName; // as the manager reports it: as Services shows it
    std::string account;     // WrongAccount: the account it logs on as
};

// Asks the service control manager with the rights any user has.
ServiceFinding DiagnoseConnectionServices();

// The build at and after which services that shared a process each run in
// their own, and these two fail under their own accounts.
inline constexpr DWORD kSplitServicesBuild = 15063;

// Windows' real build number (the program's manifest declares Windows 10,
// so the version functions do not understate it). Tests put their own in
// place (null: the system's).
DWORD WindowsBuild();
void SetWindowsBuildForTesting(DWORD (*build)());

} // namespace app
