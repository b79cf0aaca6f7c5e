#include "win/RunLog.h"

#include "win/FaultInjection.h"
#include "win/HeldFile.h"
#include "win/ScopedWin.h"
#include "win/TextConversion.h"

#include <shlobj.h>

#include <optional>
#include <string>

namespace win::runlog {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::size_t kBomBytes = 3;

std::wstring g_localAppDataForTesting;

struct OpenLog {
    ScopedHandle file;
    std::size_t size = 0; // bytes in the file
};
OpenLog& Current() {
    static OpenLog log;
    return log;
}

std::wstring LocalAppData() {
    if (!g_localAppDataForTesting.empty()) {
        return g_localAppDataForTesting;
    }
    wchar_t path[MAX_PATH] = {};
    return SUCCEEDED(
               SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))
               ? path
               : L"";
}

std::wstring Folder() {
    const std::wstring base = LocalAppData();
    return base.empty() ? L"" : base + L"\\Vesko";
}

bool Write(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// The whole file, or nothing where a read fails or comes up short: a run
// that wrote over what it could not read would garble older runs.
std::optional<std::string> ReadAll(HANDLE file, std::size_t size) {
    std::string content(size, '\0');
    DWORD read = 0;
    if (size > 0 && (win::InjectFault(FaultPoint::LogRead) ||
                     !ReadFile(file, content.data(), static_cast<DWORD>(size), &read, nullptr) ||
                     read != size)) {
        return std::nullopt;
    }
    return content;
}

bool Digits(const std::string& text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// Whether a run's block starts at `at`: its first line begins with the date
// and time "YYYY-MM-DDThh:mm:ss".
bool RunStartsAt(const std::string& text, std::size_t at) {
    return Digits(text, at, 4) && text.compare(at + 4, 1, "-") == 0 && Digits(text, at + 5, 2) &&
           text.compare(at + 7, 1, "-") == 0 && Digits(text, at + 8, 2) &&
           text.compare(at + 10, 1, "T") == 0 && Digits(text, at + 11, 2);
}

// What is kept of `content` (less its byte-order mark) so that it and a
// run's room fit: whole runs from the first one that lets it.
std::string Trimmed(const std::string& content) {
    if (content.size() + kBomBytes + kRoomForARun <= kLimitBytes) {
        return content;
    }
    for (std::size_t at = 0;;) {
        if (RunStartsAt(content, at) &&
            content.size() - at + kBomBytes + kRoomForARun <= kLimitBytes) {
            return content.substr(at);
        }
        const std::size_t end = content.find('\n', at);
        if (end == std::string::npos) {
            return {};
        }
        at = end + 1;
    }
}

// Replaces the log with `content`: written beside it first, then moved
// over it, so that a kill or a power loss leaves the old log or the new
// one, never the kept runs followed by the old tail. False, with the old
// log left whole, where that cannot be done.
bool Replace(const std::wstring& path, const std::string& content) {
    const std::wstring fresh = path + L".new";
    {
        const ScopedHandle file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !Write(file.get(), content) || !FlushFileBuffers(file.get())) {
            DeleteFileW(fresh.c_str());
            return false;
        }
    }
    if (!RetryWhileHeld([&] {
            return MoveFileExW(fresh.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        })) {
        DeleteFileW(fresh.c_str());
        return false;
    }
    return true;
}

// On FAT32 a replacing move is a delete and then a rename: a power cut
// between the two leaves the kept runs alone in the fresh file, which is
// then moved into place. Where the log is there too, the move never
// happened: the log is whole, and the fresh file a leftover that the next
// trim replaces.
void FinishACutTrim(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ||
        GetLastError() != ERROR_FILE_NOT_FOUND) {
        return;
    }
    const std::wstring fresh = path + L".new";
    RetryWhileHeld(
        [&] { return MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH); });
}

ScopedHandle OpenForAppending(const std::wstring& path, DWORD disposition) {
    return ScopedHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Opens the log, dropping older runs where it is too large. Where it cannot
// be read, or trimmed safely, the run has no log and the file stays as it
// was.
void Open() {
    const std::wstring folder = Folder();
    if (folder.empty()) {
        return;
    }
    CreateDirectoryW(folder.c_str(), nullptr); // fails harmlessly where it is there
    const std::wstring path = folder + L"\\VeskoUpgrade.log";
    FinishACutTrim(path);
    ScopedHandle file = OpenForAppending(path, OPEN_ALWAYS);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return;
    }
    // Far past its limit, the file is no log this program kept (another
    // program's doing, or a disk error): it is started afresh, unread.
    const bool afresh = static_cast<unsigned long long>(size.QuadPart) > kLargestBytes;
    std::optional<std::string> content =
        afresh ? std::string() : ReadAll(file.get(), static_cast<std::size_t>(size.QuadPart));
    if (!content) {
        return;
    }
    if (content->compare(0, kBomBytes, kBom) == 0) {
        content->erase(0, kBomBytes);
    }
    const std::string kept = Trimmed(*content);
    if (size.QuadPart == 0) {
        if (!Write(file.get(), kBom)) {
            return;
        }
    } else if (afresh || kept.size() != content->size()) {
        file.reset();
        if (!Replace(path, kBom + kept) || !(file = OpenForAppending(path, OPEN_EXISTING))) {
            return;
        }
    }
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(file.get(), end, nullptr, FILE_END)) {
        return;
    }
    Current().size = kBomBytes + kept.size();
    if (!kept.empty()) {
        // A blank line between runs.
        Write(file.get(), "\r\n");
        Current().size += 2;
    }
    Current().file = std::move(file);
}

// The log's lines for `text`: a line of its own for each line of it, the
// later ones indented and the empty ones dropped, so that a block has no
// blank line and only a run's first line starts with a date.
std::string LinesOf(const std::string& text) {
    std::string lines;
    bool first = true;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(at, end - at);
        std::erase(line, '\r');
        if (first || !line.empty()) {
            lines += (first ? "" : "  ") + line + "\r\n";
        }
        first = false;
        at = end + 1;
    }
    return lines;
}

void AppendLine(const std::string& text) {
    OpenLog& log = Current();
    if (!log.file) {
        return;
    }
    const std::string lines = LinesOf(text);
    // A run that writes past its room loses its last lines, not the file's
    // older runs.
    if (log.size + lines.size() > kLimitBytes) {
        return;
    }
    if (Write(log.file.get(), lines)) {
        log.size += lines.size();
    }
}

void Close() {
    Current().file.reset();
    Current().size = 0;
}

} // namespace

void Begin(const std::string& header) noexcept {
    Guarded([&] {
        Close();
        Open();
        AppendLine(header);
    });
}

void Line(const std::string& text) noexcept {
    Guarded([&] { AppendLine(text); });
}

void End() noexcept {
    Close();
}

std::string Utf8FromWide(const std::wstring& text) {
    return FromWide(text, CP_UTF8);
}

// The ANSI code page is UTF-8 only where Windows honours the manifest's
// setting (10 1903 and later); before, it is the system's, such as 1252.
std::string Utf8FromAnsi(const std::string& text) {
    return FromWide(ToWide(text), CP_UTF8);
}

std::wstring FilePath() {
    const std::wstring folder = Folder();
    return folder.empty() ? L"" : folder + L"\\VeskoUpgrade.log";
}

void SetLocalAppDataForTesting(const std::wstring& folder) {
    End();
    g_localAppDataForTesting = folder;
}

} // namespace win::runlog
