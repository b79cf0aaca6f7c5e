#include "app/ConnectionDoctor.h"

#include "win/ScopedWin.h"
#include "win/TextConversion.h"

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

bool SplitDisabled(const wchar_t* service) {
    const std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + service;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return false;
    }
    const win::ScopedRegistryKey key(opened);
    DWORD value = 0, type = 0, size = sizeof value;
    return RegQueryValueExW(key.get(), L"SvcHostSplitDisable", nullptr, &type,
                            reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && value == 1;
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

bool RunsAsLocalSystem(const std::wstring& account) {
    return account.empty() || lstrcmpiW(account.c_str(), L"LocalSystem") == 0 ||
           lstrcmpiW(account.c_str(), L".\\LocalSystem") == 0;
}

ServiceFinding::Kind FindingOf(const ServiceState& state, DWORD build) {
    if (state.startType == SERVICE_DISABLED) {
        return ServiceFinding::Disabled;
    }
    if (state.currentState != SERVICE_RUNNING) {
        return ServiceFinding::NotRunning;
    }
    if (build >= kSplitServicesBuild && !RunsAsLocalSystem(state.account) && !state.splitDisabled) {
        return ServiceFinding::WrongAccount;
    }
    return ServiceFinding::None;
}

} // namespace

DWORD WindowsBuild() {
    if (g_buildForTesting != nullptr) {
        return g_buildForTesting();
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
    const DWORD build = WindowsBuild();
    for (const auto kind :
         {ServiceFinding::Disabled, ServiceFinding::NotRunning, ServiceFinding::WrongAccount}) {
        for (const ServiceState& state : states) {
            if (FindingOf(state, build) == kind) {
                return ServiceFinding{kind, win::FromWide(state.displayName),
                                      win::FromWide(state.account)};
            }
        }
    }
    return {};
}

} // namespace app
