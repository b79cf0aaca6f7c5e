#include "win/RunLog.h"

#include "win/ScopedWin.h"
#include "win/TextConversion.h"

#include <shlobj.h>

#include <vector>

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

std::string ReadAll(HANDLE file, std::size_t size) {
    std::string content(size, '\0');
    DWORD read = 0;
    if (size > 0 && !ReadFile(file, content.data(), static_cast<DWORD>(size), &read, nullptr)) {
        read = 0;
    }
    content.resize(read);
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

// Opens the log, dropping older runs where it is too large.
void Open() {
    const std::wstring folder = Folder();
    if (folder.empty()) {
        return;
    }
    CreateDirectoryW(folder.c_str(), nullptr); // fails harmlessly where it is there
    ScopedHandle file(CreateFileW((folder + L"\\VeskoUpgrade.log").c_str(),
                                  GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return;
    }
    std::string content = ReadAll(file.get(), static_cast<std::size_t>(size.QuadPart));
    if (content.compare(0, kBomBytes, kBom) == 0) {
        content.erase(0, kBomBytes);
    }
    const std::string kept = Trimmed(content);
    if (kept.size() != content.size() || size.QuadPart == 0) {
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) ||
            !Write(file.get(), kBom + kept) || !SetEndOfFile(file.get())) {
            return;
        }
    }
    Current().size = kBomBytes + kept.size();
    if (!kept.empty()) {
        // A blank line between runs.
        Write(file.get(), "\r\n");
        Current().size += 2;
    }
    Current().file = std::move(file);
}

} // namespace

void Begin(const std::string& header) {
    End();
    Open();
    Line(header);
}

void Line(const std::string& text) {
    OpenLog& log = Current();
    if (!log.file) {
        return;
    }
    std::string line;
    for (const char c : text) {
        if (c == '\n') {
            line += "\r\n";
        } else if (c != '\r') {
            line += c;
        }
    }
    line += "\r\n";
    // A run that writes past its room loses its last lines, not the file's
    // older runs.
    if (log.size + line.size() > kLimitBytes) {
        return;
    }
    if (Write(log.file.get(), line)) {
        log.size += line.size();
    }
}

void End() {
    Current().file.reset();
    Current().size = 0;
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
