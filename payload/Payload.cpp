#include "payload/Payload.h"

#include "text/TextFields.h"
#include "win/FaultInjection.h"
#include "win/ScopedWin.h"

#include <windows.h>

#include <optional>

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

[[noreturn]] void RaiseFileError(const char* what, const std::string& path) {
    const DWORD error = GetLastError();
    throw PayloadError(std::string(what) + " \"" + path + "\". " + SystemMessage(error));
}

std::string ReadWholeFile(HANDLE file, const std::string& path) {
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

} // namespace

namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

// The ANSI form of `wide`, or nothing when a character has none (no best fit).
std::optional<std::string> Narrow(const std::wstring& wide) {
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                      static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        text.data(), n, nullptr, &lossy);
    if (lossy || Widen(text) != wide) {
        return std::nullopt;
    }
    return text;
}

template <typename Char, typename Query> std::basic_string<Char> AskGrowing(Query query) {
    // Asked again with the size the platform reports, rather than read past
    // the classic 250-byte buffer.
    std::basic_string<Char> text(250, Char{});
    DWORD n = query(static_cast<DWORD>(text.size()), text.data());
    while (n >= text.size()) {
        text.assign(n, Char{});
        n = query(static_cast<DWORD>(text.size()), text.data());
    }
    text.resize(n);
    return text;
}

std::wstring ShortForm(const std::wstring& path) {
    return AskGrowing<wchar_t>(
        [&](DWORD size, wchar_t* buffer) { return GetShortPathNameW(path.c_str(), buffer, size); });
}

} // namespace

std::string TempDirectoryFrom(const std::string& ansi, const std::wstring& wide,
                              const std::function<std::wstring(const std::wstring&)>& shortForm) {
    std::string path = ansi;
    if (!wide.empty() && Widen(ansi) != wide) {
        // The ANSI form names another folder, or none: '?' or a best fit.
        // The short form of a long name is plain ASCII on most volumes.
        const std::optional<std::string> plain = Narrow(shortForm(wide));
        if (!plain || plain->empty()) {
            throw PayloadError(kTempFolderUnusable);
        }
        path = *plain;
    }
    if (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

std::string GetTempDirectory() {
    return TempDirectoryFrom(AskGrowing<char>(GetTempPathA), AskGrowing<wchar_t>(GetTempPathW),
                             ShortForm);
}

unsigned long PayloadItemSize(const std::string& resourceName) {
    HRSRC info = FindResourceA(nullptr, resourceName.c_str(), kResourceType);
    return info != nullptr ? SizeofResource(nullptr, info) : 0;
}

void ExtractPayloadItem(const std::string& resourceName, const std::string& filePath) {
    HRSRC info = FindResourceA(nullptr, resourceName.c_str(), kResourceType);
    HGLOBAL loaded = info != nullptr ? LoadResource(nullptr, info) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        throw PayloadError("Resource " + resourceName + " not found");
    }
    const DWORD size = SizeofResource(nullptr, info);
    win::ScopedHandle file(CreateFileA(filePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

std::vector<std::string> LoadManifest(const std::string& tempDirectory) {
    const std::string path = tempDirectory + kManifestScratch;
    ExtractPayloadItem("R1", path);
    win::ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
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
