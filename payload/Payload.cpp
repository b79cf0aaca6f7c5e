#include "payload/Payload.h"

#include "text/TextFields.h"
#include "win/FaultInjection.h"
#include "win/HeldFile.h"
#include "win/RunLog.h"
#include "win/TextConversion.h"
#include "win/ScopedWin.h"

#include <windows.h>

namespace payload {
namespace {

constexpr const char* kResourceType = "EXEFILE";

// The system's text for `error`, less trailing periods, blanks and controls.
std::string SystemMessage(DWORD error) {
    char buffer[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, buffer, sizeof buffer, nullptr);
    while (n > 0 && (static_cast<unsigned char>(buffer[n - 1]) <= ' ' || buffer[n - 1] == '.')) {
        --n;
    }
    return std::string(buffer, n);
}

[[noreturn]] void RaiseFileError(const char* what, const std::wstring& path) {
    const DWORD error = GetLastError();
    throw PayloadError(std::string(what) + " \"" + win::FromWide(path) + "\". " +
                       SystemMessage(error));
}

std::string ReadWholeFile(HANDLE file, const std::wstring& path) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        RaiseFileError("Cannot open file", path);
    }
    std::string content(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!content.empty() &&
        !ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr)) {
        throw PayloadError("Stream read error");
    }
    content.resize(read);
    return content;
}

win::ScopedHandle CreateScratchFile(const std::wstring& path) {
    win::ScopedHandle file;
    win::RetryWhileHeld([&] {
        // The temporary folder taken away during a run, as a cleaner may.
        if (win::InjectFault(win::FaultPoint::ScratchCreate)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        if (win::InjectFault(win::FaultPoint::ScratchHeld)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        file.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file);
    });
    return file;
}

} // namespace

bool DeleteScratchFile(const std::wstring& path) noexcept {
    const bool deleted = win::RetryWhileHeld([&] {
        const DWORD gone = DeleteFileW(path.c_str()) ? ERROR_SUCCESS : GetLastError();
        return gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND ||
               gone == ERROR_PATH_NOT_FOUND;
    });
    if (!deleted) {
        const DWORD error = GetLastError();
        win::runlog::Guarded([&] {
            win::runlog::Line("Scratch file left: " + win::runlog::Utf8FromWide(path) + ", error " +
                              std::to_string(error));
        });
    }
    return deleted;
}

// The wide calls reach a folder whose name lies outside the ANSI code page
// as they reach any other.
std::wstring GetTempDirectory() {
    std::wstring path(MAX_PATH + 1, L'\0');
    DWORD n = GetTempPathW(static_cast<DWORD>(path.size()), path.data());
    if (n > path.size()) {
        path.assign(n, L'\0');
        n = GetTempPathW(n, path.data());
    }
    path.resize(n <= path.size() ? n : 0);
    if (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

unsigned long PayloadItemSize(const std::string& resourceName) {
    HRSRC info = FindResourceA(nullptr, resourceName.c_str(), kResourceType);
    return info != nullptr ? SizeofResource(nullptr, info) : 0;
}

void ExtractPayloadItem(const std::string& resourceName, const std::wstring& filePath) {
    HRSRC info = FindResourceA(nullptr, resourceName.c_str(), kResourceType);
    HGLOBAL loaded = info != nullptr ? LoadResource(nullptr, info) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        throw PayloadError("Resource " + resourceName + " not found");
    }
    const DWORD size = SizeofResource(nullptr, info);
    const win::ScopedHandle file = CreateScratchFile(filePath);
    if (!file) {
        RaiseFileError("Cannot create file", filePath);
    }
    // One write straight from the mapped image: no copy of the item in memory.
    DWORD written = 0;
    if (win::InjectFault(win::FaultPoint::ScratchWrite) ||
        !WriteFile(file.get(), bytes, size, &written, nullptr) || written != size) {
        throw PayloadError("Stream write error");
    }
}

std::vector<std::string> LoadManifest(const std::wstring& tempDirectory) {
    const std::wstring path = tempDirectory + kManifestScratch;
    ExtractPayloadItem("R1", path);
    win::ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        RaiseFileError("Cannot open file", path);
    }
    return SplitLines(ReadWholeFile(file.get(), path));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t start = 0;
    while (start < end) {
        std::size_t stop = text.find_first_of("\r\n", start);
        if (stop == std::string::npos || stop > end) {
            stop = end;
        }
        lines.push_back(text.substr(start, stop - start));
        if (stop < end && text[stop] == '\r' && stop + 1 < end && text[stop + 1] == '\n') {
            ++stop;
        }
        start = stop + 1;
    }
    return lines;
}

std::optional<ManifestItem> ParseManifestRow(const std::string& row) {
    if (text::IsBlank(row)) {
        return std::nullopt;
    }
    ManifestItem item;
    item.resourceName = text::GetField(row, 1, "xx");
    if (item.resourceName == "R1") {
        return std::nullopt;
    }
    // The path starts after the name, one blank and the seven letters of
    // EXEFILE; its first six characters are "Files\".
    const std::string path = text::Unquote(text::Copy(row, item.resourceName.size() + 9, 1000));
    item.deviceName = text::Copy(path, 7, 1000);
    return item;
}

} // namespace payload
