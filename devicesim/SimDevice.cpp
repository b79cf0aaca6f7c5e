#include "SimDevice.h"

#include <cstdio>

namespace sim {

Device& device() {
    static Device d;
    return d;
}

DWORD fail(DWORD error) {
    Device& d = device();
    if (!(d.unplugged && d.settings.staleErrorAfterUnplug)) {
        d.lastError = error;
    }
    return error;
}

std::string narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) {
        s += c < 128 ? static_cast<char>(c) : '?';
    }
    return s;
}

void logCall(const char* function, const std::string& subject, long long bytes, long long result,
             const std::string& detail) {
    const std::wstring& path = device().settings.logPath;
    if (path.empty()) {
        return;
    }
    char line[1400];
    const int n = std::snprintf(line, sizeof line, "%s\t%s\t%lld\t%lld\t%s\r\n", function,
                                subject.c_str(), bytes, result, detail.c_str());
    HANDLE log = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log, line, static_cast<DWORD>(n > 0 ? n : 0), &written, nullptr);
        CloseHandle(log);
    }
}

void logCall(const char* function, const std::wstring& devicePath, long long bytes,
             long long result, const std::string& detail) {
    if (!device().settings.logPath.empty()) {
        logCall(function, narrow(devicePath), bytes, result, detail);
    }
}

// "closed" (a writer gets it), "read, shared for reading" (a reader that
// shares only reading gets it, so no holder writes and all share reading),
// or "held otherwise". Empty: no probe.
std::string probeSource() {
    const std::wstring& probe = device().settings.sourceProbe;
    if (probe.empty()) {
        return {};
    }
    const auto opens = [&](DWORD access, DWORD share) {
        HANDLE h = CreateFileW(probe.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(h);
        return true;
    };
    if (opens(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        return "closed";
    }
    return opens(GENERIC_READ, FILE_SHARE_READ) ? "read, shared for reading" : "held otherwise";
}

long long handleValue(HANDLE h) {
    return static_cast<long long>(reinterpret_cast<INT_PTR>(h));
}

// The events are manual-reset, so a link once up stays up until the next
// connection; remembering that spares a wait on every write.
bool linkUp() {
    Device& d = device();
    if (d.unplugged || d.linkEvents.empty() || d.settings.folder.empty() ||
        d.connection.result != 0) {
        return false;
    }
    if (!d.linkSignalled) {
        d.linkSignalled = WaitForSingleObject(d.linkEvents.back(), 0) == WAIT_OBJECT_0;
    }
    return d.linkSignalled;
}

bool desktopPathOf(const wchar_t* devicePath, std::wstring& out) {
    if (devicePath == nullptr || devicePath[0] != L'\\') {
        return false;
    }
    std::wstring path(devicePath);
    if (path.find(L"\\..") != std::wstring::npos || path.find(L':') != std::wstring::npos) {
        return false;
    }
    out = device().settings.folder + path;
    return true;
}

bool matches(const FileFault& fault, const std::wstring& devicePath) {
    if (fault.name.empty()) {
        return false;
    }
    const size_t slash = devicePath.find_last_of(L'\\');
    const std::wstring base =
        slash == std::wstring::npos ? devicePath : devicePath.substr(slash + 1);
    return lstrcmpiW(fault.name.c_str(), base.c_str()) == 0 ||
           lstrcmpiW(fault.name.c_str(), devicePath.c_str()) == 0;
}

bool isBusy(const std::wstring& devicePath) {
    for (const auto& name : device().settings.busyFiles) {
        if (matches(FileFault{name, 1}, devicePath)) {
            return true;
        }
    }
    return false;
}

namespace {

// Holds the caller until the link, busy until linkFreeAt, has carried
// `ticks` more of the performance counter.
void occupyLink(LONGLONG ticks) {
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    LARGE_INTEGER& freeAt = device().linkFreeAt;
    if (freeAt.QuadPart < now.QuadPart) {
        freeAt = now;
    }
    freeAt.QuadPart += ticks;
    for (;;) {
        QueryPerformanceCounter(&now);
        const LONGLONG left = freeAt.QuadPart - now.QuadPart;
        if (left <= 0) {
            return;
        }
        Sleep(static_cast<DWORD>(left * 1000 / freq.QuadPart));
    }
}

LONGLONG countsPerSecond() {
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    return freq.QuadPart;
}

} // namespace

void throttle(DWORD bytes) {
    const unsigned long long bps = device().settings.linkBytesPerSecond;
    if (bps != 0 && bytes != 0) {
        occupyLink(static_cast<LONGLONG>(bytes * static_cast<double>(countsPerSecond()) / bps));
    }
}

void holdCall() {
    if (const unsigned ms = device().settings.callDelayMs; ms > 0) {
        occupyLink(countsPerSecond() * ms / 1000);
    }
}

bool callFails() {
    Device& d = device();
    const Settings& s = d.settings;
    holdCall();
    const unsigned call = ++d.calls;
    if (call == s.unplugAtCall) {
        // This call and every later one of the connection fail, as linkUp says.
        d.unplugged = true;
        fail(ERROR_NOT_CONNECTED);
        return true;
    }
    if (call == s.failCallAt) {
        fail(ERROR_GEN_FAILURE);
        return true;
    }
    return false;
}

} // namespace sim
