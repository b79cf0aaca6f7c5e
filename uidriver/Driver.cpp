#include "uidriver/Driver.h"

#include "app/Unit1.h"

#include <tlhelp32.h>

#include <algorithm>

namespace uidriver {
namespace {

constexpr DWORD kPollMs = 5;

std::string TextOf(HWND window) {
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct Search {
    DWORD processId;
    const char* className;
    const char* caption; // null: any
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char cls[64] = {};
    GetClassNameA(window, cls, sizeof cls);
    if (owner == search->processId && IsWindowVisible(window) &&
        (search->className == nullptr || std::string(cls) == search->className) &&
        (search->caption == nullptr || TextOf(window) == search->caption)) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD processId, const char* className, const char* caption) {
    Search search{processId, className, caption, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Waits up to `ms` for `process` to end, handling this thread's messages
// meanwhile: an out-of-context event hook of the caller's is called from
// them.
bool ProcessEnded(HANDLE process, DWORD ms) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &process, FALSE, ms, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
    return woke == WAIT_OBJECT_0;
}

} // namespace

Driver::~Driver() {
    if (process_.hProcess != nullptr) {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 99);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
}

bool Driver::Launch(const std::string& exe,
                    const std::vector<std::pair<std::string, std::string>>& env, DWORD timeoutMs) {
    // The child inherits this process's environment.
    for (const auto& [name, value] : env) {
        SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    std::string commandLine = "\"" + exe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process_)) {
        error_ = "cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < end) {
        const auto forms =
            TopLevelWindows(process_.dwProcessId, app::kFormClass, app::kFormCaption);
        if (!forms.empty()) {
            form_ = forms.front();
            label1_ = GetDlgItem(form_, app::kLabel1);
            button_ = GetDlgItem(form_, app::kBitBtn1);
            return label1_ != nullptr && button_ != nullptr;
        }
        if (WaitForSingleObject(process_.hProcess, 20) == WAIT_OBJECT_0) {
            error_ = "the program ended before its window appeared";
            return false;
        }
    }
    error_ = "no window captioned \"" + std::string(app::kFormCaption) + "\" appeared";
    return false;
}

std::vector<std::string> Driver::Modules() const {
    std::vector<std::string> paths;
    // Both flags: a 64-bit driver lists a 32-bit program's modules too.
    const HANDLE snapshot =
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, process_.dwProcessId);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return paths;
    }
    MODULEENTRY32 module{};
    module.dwSize = sizeof module;
    for (BOOL more = Module32First(snapshot, &module); more;
         more = Module32Next(snapshot, &module)) {
        paths.emplace_back(module.szExePath);
    }
    CloseHandle(snapshot);
    return paths;
}

std::string Driver::Status() const {
    return TextOf(label1_);
}
std::string Driver::ButtonCaption() const {
    return TextOf(button_);
}
bool Driver::ButtonEnabled() const {
    return IsWindowEnabled(button_) != FALSE;
}
void Driver::Press() const {
    PostMessageA(button_, BM_CLICK, 0, 0);
}

void Driver::AnswerBoxes(std::vector<Event>& events,
                         const std::function<void(const Event&)>& onEvent) {
    for (HWND box : TopLevelWindows(process_.dwProcessId, "#32770", nullptr)) {
        if (std::find(answered_.begin(), answered_.end(), box) != answered_.end()) {
            continue;
        }
        answered_.push_back(box);
        Event event{Event::Box, TextOf(GetDlgItem(box, 0xFFFF)), TextOf(box),
                    GetWindow(box, GW_OWNER), IsWindowEnabled(form_) != FALSE};
        events.push_back(event);
        if (onEvent) {
            onEvent(event);
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
}

std::vector<Event> Driver::Run(const std::function<void(const Event&)>& onEvent, DWORD timeoutMs) {
    std::vector<Event> events;
    std::string status = Status();
    bool started = false;
    Press();
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < end) {
        AnswerBoxes(events, onEvent);
        const std::string now = Status();
        if (now != status) {
            status = now;
            events.push_back({Event::Status, now, {}});
            if (onEvent) {
                onEvent(events.back());
            }
        }
        const bool enabled = ButtonEnabled();
        started = started || !enabled;
        if (started && enabled) {
            break;
        }
        if (ProcessEnded(process_.hProcess, kPollMs)) {
            break;
        }
    }
    return events;
}

HWND Driver::Focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(form_, nullptr), &info) ? info.hwndFocus
                                                                             : nullptr;
}

void Driver::Kill() const {
    TerminateProcess(process_.hProcess, 1);
}

long Driver::WaitForExit(DWORD timeoutMs) {
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<long>(code);
}

} // namespace uidriver
