#include "app/ConnectionDoctor.h"

#include "win/ScopedWin.h"
#include "win/TextConversion.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <optional>
#include <vector>

namespace app {
namespace {

DWORD (*g_buildForTesting)() = nullptr;
DWORD (*g_processForTesting)(const wchar_t*, DWORD) = nullptr;

DWORD ProcessOf(const wchar_t* service, DWORD fromManager) {
    return g_processForTesting != nullptr ? g_processForTesting(service, fromManager) : fromManager;
}

struct ServiceState {
    DWORD startType = 0;
    DWORD currentState = 0;
    DWORD processId = 0; // 0 where it runs in none
    std::wstring displayName;
    std::wstring account;
    bool splitDisabled = false; // SvcHostSplitDisable = 1 under its key
};

DWORD RegistryDword(const wchar_t* path, const wchar_t* name, DWORD otherwise);

bool SplitDisabled(const wchar_t* service) {
    const std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + service;
    return RegistryDword(path.c_str(), L"SvcHostSplitDisable", 0) == 1;
}

// What the manager tells of `name`; nothing where it has no such service
// or will not say.
std::optional<ServiceState> Ask(SC_HANDLE manager, const wchar_t* name) {
    const win::ScopedServiceHandle service(
        OpenServiceW(manager, name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) {
        return std::nullopt;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &size)) {
        return std::nullopt;
    }
    // The first call fails, telling the size the record needs.
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !QueryServiceConfigW(service.get(), config, needed, &needed)) {
        return std::nullopt;
    }
    ServiceState state;
    state.startType = config->dwStartType;
    state.currentState = status.dwCurrentState;
    state.processId = ProcessOf(name, status.dwProcessId);
    state.displayName = config->lpDisplayName != nullptr ? config->lpDisplayName : name;
    state.account = config->lpServiceStartName != nullptr ? config->lpServiceStartName : L"";
    state.splitDisabled = SplitDisabled(name);
    return state;
}

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring();
}

// Whether `account` names LocalSystem by its SID, which holds in every
// language ("NT-AUTORITÄT\SYSTEM"); nothing where the name does not
// resolve (the manager's own "LocalSystem" does not).
std::optional<bool> IsLocalSystemSid(const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (!LookupAccountNameW(nullptr, account.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
        return std::nullopt;
    }
    return IsWellKnownSid(sid, WinLocalSystemSid) != FALSE;
}

// The LocalSystem account by its SID where its name resolves, else by every
// spelling the manager may report for it.
bool RunsAsLocalSystem(const std::wstring& account) {
    if (account.empty()) {
        return true;
    }
    if (const auto bySid = IsLocalSystemSid(account)) {
        return *bySid;
    }
    const std::wstring here = ComputerName();
    for (const std::wstring& system :
         {std::wstring(L"LocalSystem"), std::wstring(L".\\LocalSystem"), here + L"\\LocalSystem",
          std::wstring(L"NT AUTHORITY\\SYSTEM")}) {
        if (lstrcmpiW(account.c_str(), system.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// None of these serves a connection. A service starting or continuing is
// on its way: the general advice, to wait and press again, fits it.
bool Stopped(DWORD state) {
    return state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING ||
           state == SERVICE_PAUSE_PENDING || state == SERVICE_PAUSED;
}

DWORD RegistryDword(const wchar_t* path, const wchar_t* name, DWORD otherwise) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return otherwise;
    }
    const win::ScopedRegistryKey key(opened);
    DWORD value = 0, type = 0, size = sizeof value;
    return RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                            &size) == ERROR_SUCCESS &&
                   type == REG_DWORD
               ? value
               : otherwise;
}

// Windows 10 1703 and later give grouped services processes of their own
// only where the memory is above this threshold; below it they stay
// grouped, and running under another account is how they were set up.
// Microsoft speaks of installed memory; this is what the system has of it,
// a little less: a prediction, for where the processes do not tell.
bool MemoryPredictsSplit() {
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    const DWORD thresholdKb = RegistryDword(L"SYSTEM\\CurrentControlSet\\Control",
                                            L"SvcHostSplitThresholdInKB", kSplitThresholdKb);
    return GlobalMemoryStatusEx(&memory) && memory.ullTotalPhys / 1024 > thresholdKb;
}

// The process of every active Win32 service, once per service; empty where
// the manager will not tell.
std::vector<DWORD> ActiveServiceProcesses(SC_HANDLE manager) {
    std::vector<DWORD> processes;
    std::vector<BYTE> buffer;
    DWORD needed = 0, count = 0, resume = 0;
    // Services that start meanwhile make the answer longer: a few rounds.
    for (int round = 0; round < 8; ++round) {
        const BOOL done = EnumServicesStatusExW(
            manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buffer.data(),
            static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr);
        if (!done && (GetLastError() != ERROR_MORE_DATA || needed == 0)) {
            return {};
        }
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            processes.push_back(
                ProcessOf(entries[i].lpServiceName, entries[i].ServiceStatusProcess.dwProcessId));
        }
        if (done) {
            return processes;
        }
        // The rest, from where this call stopped.
        buffer.assign(needed, 0);
    }
    return {};
}

// Whether the connection services run in processes of their own, where the
// build splits grouped services at all: as their processes show it, else
// as the memory predicts.
ServiceFinding::Split SplitOf(const std::vector<ServiceState>& states,
                              const std::vector<DWORD>& active) {
    std::size_t alone = 0;
    for (const ServiceState& state : states) {
        if (state.currentState != SERVICE_RUNNING || state.processId == 0) {
            continue;
        }
        const auto hosted = std::count(active.begin(), active.end(), state.processId);
        if (hosted > 1) {
            return ServiceFinding::SharedSeen;
        }
        alone += hosted == 1 ? 1 : 0;
    }
    if (alone == std::size(kConnectionServices)) {
        return ServiceFinding::SplitSeen;
    }
    return MemoryPredictsSplit() ? ServiceFinding::SplitPredicted : ServiceFinding::SharedPredicted;
}

// A running service under another account than LocalSystem, which matters
// only where the services may be split.
bool AccountToWeigh(const ServiceState& state) {
    return state.currentState == SERVICE_RUNNING && !state.splitDisabled &&
           !RunsAsLocalSystem(state.account);
}

ServiceFinding::Kind FindingOf(const ServiceState& state, bool splits) {
    if (state.startType == SERVICE_DISABLED) {
        return ServiceFinding::Disabled;
    }
    if (Stopped(state.currentState)) {
        return ServiceFinding::NotRunning;
    }
    if (splits && AccountToWeigh(state)) {
        return ServiceFinding::WrongAccount;
    }
    return ServiceFinding::None;
}

// The build as Windows' setup recorded it: compatibility mode ("Windows XP
// SP3") changes what the version functions answer, manifest or not, but
// not this value. 0 where it is not there (Windows before XP).
DWORD RecordedBuild() {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) {
        return 0;
    }
    const win::ScopedRegistryKey key(opened);
    wchar_t text[16] = {};
    DWORD type = 0, size = sizeof text - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), L"CurrentBuildNumber", nullptr, &type,
                         reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return 0;
    }
    return static_cast<DWORD>(wcstoul(text, nullptr, 10));
}

} // namespace

DWORD WindowsBuild() {
    if (g_buildForTesting != nullptr) {
        return g_buildForTesting();
    }
    if (const DWORD recorded = RecordedBuild(); recorded != 0) {
        return recorded;
    }
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExW(&version) ? version.dwBuildNumber : 0;
}

void SetWindowsBuildForTesting(DWORD (*build)()) {
    g_buildForTesting = build;
}

void SetServiceProcessForTesting(DWORD (*process)(const wchar_t* service, DWORD fromManager)) {
    g_processForTesting = process;
}

ServiceFinding DiagnoseConnectionServices() {
    const win::ScopedServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) {
        return {};
    }
    std::vector<ServiceState> states;
    for (const wchar_t* name : kConnectionServices) {
        if (auto state = Ask(manager.get(), name)) {
            states.push_back(std::move(*state));
        }
    }
    // Weighed only where an account could be the cause.
    auto split = ServiceFinding::NotWeighed;
    if (WindowsBuild() >= kSplitServicesBuild &&
        std::any_of(states.begin(), states.end(), AccountToWeigh)) {
        split = SplitOf(states, ActiveServiceProcesses(manager.get()));
    }
    const bool splits =
        split == ServiceFinding::SplitSeen || split == ServiceFinding::SplitPredicted;
    for (const auto kind :
         {ServiceFinding::Disabled, ServiceFinding::NotRunning, ServiceFinding::WrongAccount}) {
        for (const ServiceState& state : states) {
            if (FindingOf(state, splits) == kind) {
                return ServiceFinding{kind, win::FromWide(state.displayName),
                                      win::FromWide(state.account), split};
            }
        }
    }
    ServiceFinding none;
    none.split = split;
    return none;
}

} // namespace app
