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
        NotRunning,   // stopped, paused, or on its way to either
        WrongAccount, // running as another account than LocalSystem, which fails
                      // on Windows 10 1703 (build 15063) and later where it
                      // runs in a process of its own
    } kind = None;
    std::string displayName; // as the manager reports it: as Services shows it
    std::string account;     // WrongAccount: the account it logs on as
    // Where a running service's account was weighed: whether the services
    // run in processes of their own, as the manager showed their processes
    // or, where those did not tell, as the memory predicts.
    enum Split {
        NotWeighed,
        SplitSeen,
        SharedSeen,
        SplitPredicted,
        SharedPredicted
    } split = NotWeighed;
};

// Asks the service control manager with the rights any user has.
ServiceFinding DiagnoseConnectionServices();

// The build at and after which services that shared a process each run in
// their own, and these two fail under their own accounts. Whether they do
// is read from the services' processes: a connection service whose process
// hosts another running service is not split, the two running each alone
// are; only where neither tells does the memory decide.
inline constexpr DWORD kSplitServicesBuild = 15063;
// ... where the installed memory is above this many KB (3.5 GB), unless
// SvcHostSplitThresholdInKB under HKLM\SYSTEM\CurrentControlSet\Control
// says otherwise.
inline constexpr DWORD kSplitThresholdKb = 3670016;

// Windows' real build number, as its setup recorded it: running the
// program in compatibility mode changes what the version functions answer.
// Tests put their own in place (null: the system's).
DWORD WindowsBuild();
void SetWindowsBuildForTesting(DWORD (*build)());
// Tests put services in one process, which Wine's manager cannot (it
// starts a process for each): `process` answers the process of `service`
// given the manager's answer; null: the manager's.
void SetServiceProcessForTesting(DWORD (*process)(const wchar_t* service, DWORD fromManager));

} // namespace app
