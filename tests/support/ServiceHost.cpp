// A service that only runs until it is stopped: the tests install it under
// the names of Windows Mobile Device Center's services, so that the service
// control manager reports one running. Started with a SERVICE_* state
// number as its argument (pending, paused), it reports that state a moment
// after running: Wine's manager fails a start that never reports running.
#include <windows.h>

#include <cwchar>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
    }
    return NO_ERROR;
}

void WINAPI Run(DWORD count, LPWSTR* arguments) {
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_status = RegisterServiceCtrlHandlerExW(arguments[0], Control, nullptr);
    // The last argument: a manager may or may not put the name before it.
    const DWORD wanted = count > 1 ? wcstoul(arguments[count - 1], nullptr, 10) : SERVICE_RUNNING;
    Report(SERVICE_RUNNING);
    if (wanted != SERVICE_RUNNING && WaitForSingleObject(g_stop, 1000) == WAIT_TIMEOUT) {
        Report(wanted);
    }
    // The tests' own stop, which reaches a service that the manager sends
    // none to (one stopping).
    const HANDLE told = OpenEventW(SYNCHRONIZE, FALSE, L"vk7_service_host_stop");
    const HANDLE stops[] = {g_stop, told};
    WaitForMultipleObjects(told != nullptr ? 2 : 1, stops, FALSE, INFINITE);
    Report(SERVICE_STOPPED);
}

} // namespace

int main() {
    wchar_t any[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{any, Run}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
