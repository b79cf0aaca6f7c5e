// A simulated VK7 behind a stand-in RAPI.DLL. The device's file system is a
// desktop folder; what the device answers and how it fails is set by
// VK7SIM_* environment variables, read afresh at every CeRapiInitEx.
#include "SimSettings.h"

#include "rapi/RapiTypes.h"

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

using rapi::CE_FIND_DATA;
using rapi::CEOSVERSIONINFO;
using rapi::RAPIINIT;

namespace {

struct DeviceFile {
    std::wstring devicePath;
    unsigned writes = 0;
};

struct Device {
    sim::Settings settings;
    sim::Connection connection;
    unsigned initCount = 0;
    bool initialised = false; // between an accepted CeRapiInitEx and CeRapiUninit
    std::vector<HANDLE> linkEvents;
    bool linkSignalled = false; // the newest link event, once seen signalled, stays so
    std::map<HANDLE, DeviceFile> files;
    std::set<HANDLE> searches;
    unsigned long long bytesWritten = 0;
    unsigned writeCalls = 0; // since load or SimReset, for the N-th call faults
    unsigned createCalls = 0;
    bool unplugged = false;
    DWORD lastError = 0;
    LARGE_INTEGER linkFreeAt{};
};

Device& device() {
    static Device d;
    return d;
}

DWORD fail(DWORD error) {
    device().lastError = error;
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
             const std::string& detail = {}) {
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

// A device path is turned into log text only when there is a log: writes
// are the copy loop's hot path.
void logCall(const char* function, const std::wstring& devicePath, long long bytes,
             long long result, const std::string& detail = {}) {
    if (!device().settings.logPath.empty()) {
        logCall(function, narrow(devicePath), bytes, result, detail);
    }
}

// How the probed desktop file is held: "closed" (a writer gets it), "read,
// shared for reading" (a reader that shares only reading gets it, so no
// holder writes and all share reading), or "held otherwise". Empty: no probe.
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
    if (d.linkEvents.empty() || d.settings.folder.empty() || d.connection.result != 0) {
        return false;
    }
    if (!d.linkSignalled) {
        d.linkSignalled = WaitForSingleObject(d.linkEvents.back(), 0) == WAIT_OBJECT_0;
    }
    return d.linkSignalled;
}

// "\A\B" is the file A\B in the device folder. Paths that could leave the
// folder are refused, as is the empty name.
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

bool matches(const sim::FileFault& fault, const std::wstring& devicePath) {
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
        if (matches(sim::FileFault{name, 1}, devicePath)) {
            return true;
        }
    }
    return false;
}

HANDLE makeLinkEvent(long delayMs) {
    if (delayMs == 0) {
        return CreateEventW(nullptr, TRUE, TRUE, nullptr);
    }
    if (delayMs < 0) {
        return CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    // A waitable timer signals by itself after the delay: no thread needed.
    HANDLE timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000LL * delayMs;
    SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    return timer;
}

// Holds the caller for as long as the bytes take on a link of the set speed.
void throttle(DWORD bytes) {
    const unsigned long long bps = device().settings.linkBytesPerSecond;
    if (bps == 0 || bytes == 0) {
        return;
    }
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    LARGE_INTEGER& freeAt = device().linkFreeAt;
    if (freeAt.QuadPart < now.QuadPart) {
        freeAt = now;
    }
    freeAt.QuadPart += static_cast<LONGLONG>(bytes * static_cast<double>(freq.QuadPart) / bps);
    for (;;) {
        QueryPerformanceCounter(&now);
        const LONGLONG left = freeAt.QuadPart - now.QuadPart;
        if (left <= 0) {
            return;
        }
        Sleep(static_cast<DWORD>(left * 1000 / freq.QuadPart));
    }
}

BOOL writeToDesktop(HANDLE h, const void* buffer, DWORD count, DWORD* written) {
    DWORD done = 0;
    const BOOL ok = WriteFile(h, buffer, count, &done, nullptr);
    if (written != nullptr) {
        *written = done;
    }
    device().bytesWritten += done;
    return ok && done == count;
}

BOOL writeChunk(HANDLE h, DeviceFile& file, const void* buffer, DWORD count, DWORD* written) {
    Device& d = device();
    const sim::Settings& s = d.settings;
    ++file.writes;
    const unsigned call = ++d.writeCalls;
    if (call == s.unplugAtWrite) {
        d.unplugged = true;
    }
    if (d.unplugged || !linkUp()) {
        return fail(ERROR_NOT_CONNECTED), FALSE;
    }
    if (call == s.failWriteAt) {
        return fail(ERROR_WRITE_FAULT), FALSE;
    }
    if (call == s.shortWriteAt) {
        writeToDesktop(h, buffer, count / 2, written);
        return TRUE;
    }
    if (matches(s.writeFault, file.devicePath) && file.writes >= s.writeFault.fromWrite) {
        return fail(ERROR_WRITE_FAULT), FALSE;
    }
    throttle(count);
    if (s.unplugAfterBytes >= 0 &&
        d.bytesWritten + count > static_cast<unsigned long long>(s.unplugAfterBytes)) {
        const auto fits = static_cast<DWORD>(s.unplugAfterBytes - d.bytesWritten);
        writeToDesktop(h, buffer, fits, written);
        d.unplugged = true;
        return fail(ERROR_NOT_CONNECTED), FALSE;
    }
    if (matches(s.shortWrite, file.devicePath) && file.writes >= s.shortWrite.fromWrite) {
        writeToDesktop(h, buffer, count / 2, written);
        return TRUE;
    }
    return writeToDesktop(h, buffer, count, written) ? TRUE : (fail(GetLastError()), FALSE);
}

} // namespace

extern "C" {

// The record's published size: three 32-bit fields, the handle widened to
// 64 bits (with padding) in a 64-bit process.
constexpr DWORD kPublishedRapiInitSize = sizeof(void*) == 8 ? 24 : 12;

HRESULT WINAPI CeRapiInitEx(RAPIINIT* init) {
    if (init == nullptr || init->cbSize != kPublishedRapiInitSize) {
        return E_INVALIDARG;
    }
    Device& d = device();
    const sim::Settings settings = sim::ReadSettings();
    if (settings.refuseReinit && d.initialised) {
        // The earlier connection stays as it was; the record gets no event.
        logCall("CeRapiInitEx", "already initialised", 0, rapi::CERAPI_E_ALREADYINITIALIZED);
        return rapi::CERAPI_E_ALREADYINITIALIZED;
    }
    d.settings = settings;
    d.initialised = true;
    ++d.initCount;
    d.connection = d.initCount > 1 ? d.settings.later : d.settings.first;
    const long delay = d.settings.folder.empty() ? -1 : d.connection.delayMs;
    HANDLE event = makeLinkEvent(delay);
    d.linkEvents.push_back(event);
    d.linkSignalled = false;
    d.bytesWritten = 0;
    d.unplugged = false;
    init->heRapiInit = event;
    init->hrRapiInit = d.connection.result;
    logCall("CeRapiInitEx", "", delay, d.connection.result);
    return S_OK;
}

HRESULT WINAPI CeRapiUninit() {
    Device& d = device();
    const HRESULT result = d.linkEvents.empty() ? E_FAIL : S_OK;
    for (HANDLE e : d.linkEvents) {
        CloseHandle(e);
    }
    d.linkEvents.clear();
    d.linkSignalled = false;
    d.initialised = false;
    logCall("CeRapiUninit", "", 0, result);
    return result;
}

HANDLE WINAPI CeFindFirstFile(LPCWSTR path, CE_FIND_DATA* found) {
    HANDLE result = INVALID_HANDLE_VALUE;
    std::wstring desktop;
    if (!linkUp() || device().unplugged) {
        fail(ERROR_NOT_CONNECTED);
    } else if (found == nullptr || !desktopPathOf(path, desktop)) {
        fail(ERROR_INVALID_PARAMETER);
    } else {
        WIN32_FIND_DATAW w;
        result = FindFirstFileW(desktop.c_str(), &w);
        if (result == INVALID_HANDLE_VALUE) {
            fail(ERROR_FILE_NOT_FOUND);
        } else {
            device().searches.insert(result);
            *found = CE_FIND_DATA{};
            found->dwFileAttributes = w.dwFileAttributes;
            found->ftCreationTime = w.ftCreationTime;
            found->ftLastAccessTime = w.ftLastAccessTime;
            found->ftLastWriteTime = w.ftLastWriteTime;
            found->nFileSizeHigh = w.nFileSizeHigh;
            found->nFileSizeLow = w.nFileSizeLow;
            lstrcpynW(found->cFileName, w.cFileName, MAX_PATH);
        }
    }
    logCall("CeFindFirstFile", std::wstring(path ? path : L""), 0, handleValue(result));
    return result;
}

BOOL WINAPI CeFindClose(HANDLE search) {
    const BOOL ok = device().searches.erase(search) == 1 && FindClose(search);
    logCall("CeFindClose", std::to_string(handleValue(search)), 0, ok);
    return ok ? TRUE : (fail(ERROR_INVALID_HANDLE), FALSE);
}

HANDLE WINAPI CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                           DWORD disposition, DWORD flags, HANDLE) {
    HANDLE result = INVALID_HANDLE_VALUE;
    std::wstring desktop;
    const std::wstring devicePath = path ? path : L"";
    const unsigned call = ++device().createCalls;
    if (!linkUp() || device().unplugged) {
        fail(ERROR_NOT_CONNECTED);
    } else if (!desktopPathOf(path, desktop)) {
        fail(ERROR_INVALID_NAME);
    } else if (isBusy(devicePath) || call == device().settings.failCreateAt) {
        fail(ERROR_SHARING_VIOLATION);
    } else {
        result = CreateFileW(desktop.c_str(), access, share, nullptr, disposition,
                             flags ? flags : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (result == INVALID_HANDLE_VALUE) {
            fail(GetLastError());
        } else {
            device().files[result] = DeviceFile{devicePath, 0};
        }
    }
    if (!device().settings.logPath.empty()) {
        char args[128];
        std::snprintf(args, sizeof args, "access=%lx share=%lx disposition=%lu flags=%lx",
                      static_cast<unsigned long>(access), static_cast<unsigned long>(share),
                      static_cast<unsigned long>(disposition), static_cast<unsigned long>(flags));
        logCall("CeCreateFile", narrow(devicePath), 0, handleValue(result), args);
    }
    return result;
}

BOOL WINAPI CeWriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
    auto& files = device().files;
    const auto it = files.find(h);
    BOOL ok = FALSE;
    if (it == files.end()) {
        fail(ERROR_INVALID_HANDLE);
    } else {
        ok = writeChunk(h, it->second, buffer, count, written);
    }
    static const std::wstring unknown = L"?";
    logCall("CeWriteFile", it == files.end() ? unknown : it->second.devicePath, count, ok,
            probeSource());
    return ok;
}

BOOL WINAPI CeCloseHandle(HANDLE h) {
    auto& files = device().files;
    const auto it = files.find(h);
    BOOL ok = FALSE;
    std::string subject = "?";
    if (it != files.end()) {
        subject = narrow(it->second.devicePath);
        ok = CloseHandle(h);
        files.erase(it);
    } else {
        fail(ERROR_INVALID_HANDLE);
    }
    const std::string source = probeSource();
    logCall("CeCloseHandle", subject, !source.empty() && source != "closed", ok);
    return ok;
}

INT WINAPI CeGetDesktopDeviceCaps(INT index) {
    const sim::Settings& s = device().settings;
    int value = 0;
    if (linkUp()) {
        switch (index) {
        case HORZSIZE:
            value = 100;
            break;
        case VERTSIZE:
            value = s.screenMm;
            break;
        case HORZRES:
            value = s.screenWidthPx;
            break;
        case VERTRES:
            value = s.screenPx;
            break;
        case BITSPIXEL:
            value = 16;
            break;
        case LOGPIXELSX:
        case LOGPIXELSY:
            value = 192;
            break;
        default:
            value = 0;
            break;
        }
    }
    logCall("CeGetDesktopDeviceCaps", std::to_string(index), 0, value);
    return value;
}

BOOL WINAPI CeGetVersionEx(CEOSVERSIONINFO* info) {
    BOOL ok = FALSE;
    if (!linkUp()) {
        fail(ERROR_NOT_CONNECTED);
    } else if (info == nullptr || info->dwOSVersionInfoSize != sizeof(CEOSVERSIONINFO)) {
        fail(ERROR_INVALID_PARAMETER);
    } else {
        info->dwMajorVersion = device().settings.osMajor;
        info->dwMinorVersion = 0;
        info->dwBuildNumber = 3122;
        info->dwPlatformId = 3; // VER_PLATFORM_WIN32_CE
        info->szCSDVersion[0] = L'\0';
        ok = TRUE;
    }
    logCall("CeGetVersionEx", "", 0, ok);
    return ok;
}

DWORD WINAPI CeGetLastError() {
    return device().lastError;
}

// Not part of the Remote API: lets tests prove that nothing is left open.
int WINAPI SimOpenHandleCount() {
    return static_cast<int>(device().files.size() + device().searches.size());
}

// Not part of the Remote API: forgets earlier connections, so that the next
// CeRapiInitEx counts as the first of the process again.
void WINAPI SimReset() {
    CeRapiUninit();
    device().initCount = 0;
    device().writeCalls = 0;
    device().createCalls = 0;
}

// Not part of the Remote API: the calls counted for the N-th call faults.
unsigned WINAPI SimWriteCalls() {
    return device().writeCalls;
}
unsigned WINAPI SimCreateCalls() {
    return device().createCalls;
}

} // extern "C"
