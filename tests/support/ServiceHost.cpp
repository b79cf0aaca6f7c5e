// A service that only runs until it is stopped: the tests install it under
// the names of Windows Mobile Device Center's services, so that the service
// control manager reports one running.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
    }
    return NO_ERROR;
}

void WINAPI Run(DWORD, LPWSTR* arguments) {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_status = RegisterServiceCtrlHandlerExW(arguments[0], Control, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_stop, INFINITE);
    Report(SERVICE_STOPPED);
}

} // namespace

int main() {
    wchar_t any[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{any, Run}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
