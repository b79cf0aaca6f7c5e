#include "app/ConnectionDoctor.h"

#include "win/ScopedWin.h"
#include "win/TextConversion.h"

#include <cwchar>
#include <optional>
#include <vector>

namespace app {
namespace {

DWORD (*g_buildForTesting)() = nullptr;

struct ServiceState {
    DWORD startType = 0;
    DWORD currentState = 0;
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
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) {
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

// Every spelling the manager may report for the LocalSystem account.
bool RunsAsLocalSystem(const std::wstring& account) {
    const std::wstring here = ComputerName();
    for (const std::wstring& system :
         {std::wstring(L"LocalSystem"), std::wstring(L".\\LocalSystem"), here + L"\\LocalSystem",
          std::wstring(L"NT AUTHORITY\\SYSTEM")}) {
        if (lstrcmpiW(account.c_str(), system.c_str()) == 0) {
            return true;
        }
    }
    return account.empty();
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
// only where the installed memory is above this threshold; below it they
// stay grouped, and running under another account is how they were set up.
bool SplitsServices(DWORD build) {
    if (build < kSplitServicesBuild) {
        return false;
    }
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    const DWORD thresholdKb = RegistryDword(L"SYSTEM\\CurrentControlSet\\Control",
                                            L"SvcHostSplitThresholdInKB", kSplitThresholdKb);
    return GlobalMemoryStatusEx(&memory) && memory.ullTotalPhys / 1024 > thresholdKb;
}

ServiceFinding::Kind FindingOf(const ServiceState& state, bool splits) {
    if (state.startType == SERVICE_DISABLED) {
        return ServiceFinding::Disabled;
    }
    if (Stopped(state.currentState)) {
        return ServiceFinding::NotRunning;
    }
    if (state.currentState == SERVICE_RUNNING && splits && !RunsAsLocalSystem(state.account) &&
        !state.splitDisabled) {
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

ServiceFinding DiagnoseConnectionServices() {
    const win::ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return {};
    }
    std::vector<ServiceState> states;
    for (const wchar_t* name : kConnectionServices) {
        if (auto state = Ask(manager.get(), name)) {
            states.push_back(std::move(*state));
        }
    }
    const bool splits = SplitsServices(WindowsBuild());
    for (const auto kind :
         {ServiceFinding::Disabled, ServiceFinding::NotRunning, ServiceFinding::WrongAccount}) {
        for (const ServiceState& state : states) {
            if (FindingOf(state, splits) == kind) {
                return ServiceFinding{kind, win::FromWide(state.displayName),
                                      win::FromWide(state.account)};
            }
        }
    }
    return {};
}

} // namespace app
