// The simulated VK7's file system: searches, files, attributes, and the
// storage's capacity (VK7SIM_CAPACITY), which the writes fill.
#include "SimDevice.h"

#include "rapi/RapiTypes.h"

#include <algorithm>
#include <cstdio>

using rapi::CE_FIND_DATA;
using namespace sim;

namespace {

// What a file takes of the storage: whole clusters.
constexpr unsigned long long kCluster = 4096;
unsigned long long clusters(unsigned long long bytes) {
    return (bytes + kCluster - 1) / kCluster * kCluster;
}

unsigned long long sizeOf(const WIN32_FIND_DATAW& w) {
    return (static_cast<unsigned long long>(w.nFileSizeHigh) << 32) | w.nFileSizeLow;
}

// The storage all files in `folder` take, subfolders included.
unsigned long long usedUnder(const std::wstring& folder) {
    unsigned long long used = 0;
    WIN32_FIND_DATAW w;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &w);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        const std::wstring name = w.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        used += (w.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? usedUnder(folder + L"\\" + name)
                                                                : clusters(sizeOf(w));
    } while (FindNextFileW(search, &w));
    FindClose(search);
    return used;
}

unsigned long long freeStorage() {
    const unsigned long long used = usedUnder(device().settings.folder);
    const unsigned long long capacity = device().settings.capacity;
    return capacity > used ? capacity - used : 0;
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

// A write that does not fit the capacity writes what fits (in whole
// clusters of the file) and fails as a full device does. -1: it all fits.
long long roomFor(HANDLE h, DWORD count) {
    if (device().settings.capacity == 0) {
        return -1;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(h, &size);
    const auto now = static_cast<unsigned long long>(size.QuadPart);
    const unsigned long long room = freeStorage() + clusters(now); // this file's share included
    if (clusters(now + count) <= room) {
        return -1;
    }
    const unsigned long long fits = room / kCluster * kCluster;
    return fits > now ? static_cast<long long>(std::min<unsigned long long>(fits - now, count)) : 0;
}

BOOL writeChunk(HANDLE h, DeviceFile& file, const void* buffer, DWORD count, DWORD* written) {
    Device& d = device();
    const Settings& s = d.settings;
    ++file.writes;
    if (count > 0) {
        LARGE_INTEGER size{};
        GetFileSizeEx(h, &size);
        file.sizeBeforeLastChunk = size.QuadPart;
    }
    const unsigned call = ++d.writeCalls;
    if (call == s.unplugAtWrite) {
        d.unplugged = true;
    }
    if (!linkUp()) {
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
    if (const long long fits = roomFor(h, count); fits >= 0) {
        writeToDesktop(h, buffer, static_cast<DWORD>(fits), written);
        return fail(ERROR_DISK_FULL), FALSE;
    }
    if (matches(s.shortWrite, file.devicePath) && file.writes >= s.shortWrite.fromWrite) {
        writeToDesktop(h, buffer, count / 2, written);
        return TRUE;
    }
    return writeToDesktop(h, buffer, count, written) ? TRUE : (fail(GetLastError()), FALSE);
}

// Why a device file may not be opened with `access`: a read-only file or a
// folder refuses writing, a file the application holds refuses everyone.
DWORD refusalOf(const std::wstring& devicePath, const std::wstring& desktop, DWORD access) {
    if (isBusy(devicePath)) {
        return ERROR_SHARING_VIOLATION;
    }
    const DWORD attributes = GetFileAttributesW(desktop.c_str());
    const bool writes = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (attributes != INVALID_FILE_ATTRIBUTES && writes &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// Whether a call on the device path `path` reaches the device: not faulted,
// the link up, and a path inside the device folder, which `desktop` gets.
// Otherwise the device's last error says why.
bool reaches(LPCWSTR path, std::wstring& desktop) {
    if (callFails()) {
        return false;
    }
    if (!linkUp()) {
        return fail(ERROR_NOT_CONNECTED), false;
    }
    if (!desktopPathOf(path, desktop)) {
        return fail(ERROR_INVALID_NAME), false;
    }
    return true;
}

// Whether the settings make the close of `file`, written to, fail; if so
// the file loses its last chunk, which the device never committed. A file
// opened and closed unwritten (the check's) has nothing to commit.
bool failsToCommit(HANDLE h, const DeviceFile& file) {
    Device& d = device();
    if (file.writes == 0) {
        return false;
    }
    const bool unplugs = matches(FileFault{d.settings.closeUnplug, 1}, file.devicePath);
    if (!unplugs && !matches(FileFault{d.settings.closeFault, 1}, file.devicePath)) {
        return false;
    }
    LARGE_INTEGER kept{};
    kept.QuadPart = file.sizeBeforeLastChunk;
    SetFilePointerEx(h, kept, nullptr, FILE_BEGIN);
    SetEndOfFile(h);
    if (unplugs) {
        d.unplugged = true;
        fail(ERROR_NOT_CONNECTED);
    } else {
        fail(ERROR_WRITE_FAULT);
    }
    return true;
}

} // namespace

extern "C" {

HANDLE WINAPI CeFindFirstFile(LPCWSTR path, CE_FIND_DATA* found) {
    HANDLE result = INVALID_HANDLE_VALUE;
    std::wstring desktop;
    if (callFails()) {
    } else if (!linkUp()) {
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

// A failed close still lets go of the search: the caller cannot retry it.
BOOL WINAPI CeFindClose(HANDLE search) {
    const bool faulted = callFails();
    const BOOL ok = device().searches.erase(search) == 1 && FindClose(search) && !faulted;
    logCall("CeFindClose", std::to_string(handleValue(search)), 0, ok);
    return ok ? TRUE : (faulted ? FALSE : (fail(ERROR_INVALID_HANDLE), FALSE));
}

HANDLE WINAPI CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                           DWORD disposition, DWORD flags, HANDLE) {
    HANDLE result = INVALID_HANDLE_VALUE;
    std::wstring desktop;
    const std::wstring devicePath = path ? path : L"";
    const unsigned call = ++device().createCalls;
    if (callFails()) {
    } else if (!linkUp()) {
        fail(ERROR_NOT_CONNECTED);
    } else if (!desktopPathOf(path, desktop)) {
        fail(ERROR_INVALID_NAME);
    } else if (call == device().settings.failCreateAt) {
        fail(ERROR_SHARING_VIOLATION);
    } else if (const DWORD refusal = refusalOf(devicePath, desktop, access)) {
        fail(refusal);
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
    Device& d = device();
    if (d.firstWriteCall == 0) {
        d.firstWriteCall = d.calls + 1;
    }
    const auto it = d.files.find(h);
    BOOL ok = FALSE;
    if (callFails()) {
    } else if (it == d.files.end()) {
        fail(ERROR_INVALID_HANDLE);
    } else {
        ok = writeChunk(h, it->second, buffer, count, written);
    }
    static const std::wstring unknown = L"?";
    logCall("CeWriteFile", it == d.files.end() ? unknown : it->second.devicePath, count, ok,
            probeSource());
    return ok;
}

// A failed close still lets go of the file, as a search's does.
BOOL WINAPI CeCloseHandle(HANDLE h) {
    bool faulted = callFails();
    auto& files = device().files;
    const auto it = files.find(h);
    BOOL ok = FALSE;
    std::string subject = "?";
    if (it != files.end()) {
        subject = narrow(it->second.devicePath);
        faulted = failsToCommit(h, it->second) || faulted;
        ok = CloseHandle(h) && !faulted;
        files.erase(it);
    } else if (!faulted) {
        fail(ERROR_INVALID_HANDLE);
    }
    const std::string source = probeSource();
    logCall("CeCloseHandle", subject, !source.empty() && source != "closed", ok);
    return ok;
}

DWORD WINAPI CeGetFileAttributes(LPCWSTR path) {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    std::wstring desktop;
    if (reaches(path, desktop) &&
        (attributes = GetFileAttributesW(desktop.c_str())) == INVALID_FILE_ATTRIBUTES) {
        fail(ERROR_FILE_NOT_FOUND);
    }
    logCall("CeGetFileAttributes", std::wstring(path ? path : L""), 0, attributes);
    return attributes;
}

BOOL WINAPI CeSetFileAttributes(LPCWSTR path, DWORD attributes) {
    BOOL ok = FALSE;
    std::wstring desktop;
    if (reaches(path, desktop) && !(ok = SetFileAttributesW(desktop.c_str(), attributes))) {
        fail(GetLastError());
    }
    logCall("CeSetFileAttributes", std::wstring(path ? path : L""), attributes, ok);
    return ok;
}

// From the capacity where one is set, else from the desktop disk. The
// settings can make it fail, as a library without it would.
BOOL WINAPI CeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER* freeToCaller,
                                 ULARGE_INTEGER* total, ULARGE_INTEGER* totalFree) {
    const Settings& s = device().settings;
    BOOL ok = FALSE;
    std::wstring desktop;
    if (!reaches(folder, desktop)) {
    } else if (s.freeSpaceFails) {
        fail(ERROR_NOT_SUPPORTED);
    } else if (s.capacity == 0) {
        ok = GetDiskFreeSpaceExW(desktop.c_str(), freeToCaller, total, totalFree);
    } else {
        const unsigned long long free = freeStorage();
        for (auto [out, value] : {std::pair{freeToCaller, free}, std::pair{total, s.capacity},
                                  std::pair{totalFree, free}}) {
            if (out != nullptr) {
                out->QuadPart = value;
            }
        }
        ok = TRUE;
    }
    logCall("CeGetDiskFreeSpaceEx", std::wstring(folder ? folder : L""),
            ok && freeToCaller ? static_cast<long long>(freeToCaller->QuadPart) : 0, ok);
    return ok;
}

} // extern "C"
