#include "win/RunLog.h"

#include "win/FaultInjection.h"
#include "win/HeldFile.h"
#include "win/ScopedWin.h"
#include "win/TextConversion.h"

#include <shlobj.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

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

bool Write(HANDLE file, const char* bytes, std::size_t size) {
    DWORD written = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
}
bool Write(HANDLE file, const std::string& bytes) {
    return Write(file, bytes.data(), bytes.size());
}

// The log is read through a buffer of this size on the stack, never whole:
// memory that grew with the log would stay with the process after the run.
constexpr DWORD kChunkBytes = 16 * 1024;
// What a run's first line starts with: "YYYY-MM-DDThh".
constexpr std::size_t kRunMarkBytes = 13;

// `size` bytes at `offset`, or false where a read fails or comes up short:
// a run that wrote over what it could not read would garble older runs.
bool ReadAt(HANDLE file, ULONGLONG offset, char* into, DWORD size) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD read = 0;
    return !win::InjectFault(FaultPoint::LogRead) &&
           SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
           ReadFile(file, into, size, &read, nullptr) && read == size;
}

// Whether the file starts with the byte-order mark; nothing where it cannot
// be read.
std::optional<bool> StartsWithBom(HANDLE file, ULONGLONG size) {
    char start[kBomBytes];
    if (size < kBomBytes) {
        return false;
    }
    if (!ReadAt(file, 0, start, kBomBytes)) {
        return std::nullopt;
    }
    return std::string_view(start, kBomBytes) == std::string_view(kBom, kBomBytes);
}

bool Digits(std::string_view text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return true;
}

// Whether a run's block starts at `at`: its first line begins with the date
// and time "YYYY-MM-DDThh:mm:ss".
bool RunStartsAt(std::string_view text, std::size_t at) {
    return Digits(text, at, 4) && text.substr(at + 4, 1) == "-" && Digits(text, at + 5, 2) &&
           text.substr(at + 7, 1) == "-" && Digits(text, at + 8, 2) &&
           text.substr(at + 10, 1) == "T" && Digits(text, at + 11, 2);
}

// Where the kept runs start: the first run that starts at or after `from`
// (a line's start, 1 or more), or `size` (nothing kept) where none does;
// nothing where the file cannot be read.
std::optional<ULONGLONG> FirstRunFrom(HANDLE file, ULONGLONG from, ULONGLONG size) {
    char chunk[kChunkBytes];
    // A run starts after a line's end: from the byte before `from` on.
    for (ULONGLONG base = from - 1; base < size;) {
        const auto n = static_cast<DWORD>(std::min<ULONGLONG>(kChunkBytes, size - base));
        if (!ReadAt(file, base, chunk, n)) {
            return std::nullopt;
        }
        // A mark cut off at the chunk's end is looked at in the next one.
        const std::size_t looked = base + n == size ? n : n - kRunMarkBytes;
        const std::string_view text(chunk, n);
        for (std::size_t i = 0; i < looked; ++i) {
            if (text[i] == '\n' && RunStartsAt(text, i + 1)) {
                return base + i + 1;
            }
        }
        base += looked;
    }
    return size;
}

// Appends the bytes of `file` from `from` to `size` to `into`.
bool CopyTail(HANDLE file, ULONGLONG from, ULONGLONG size, HANDLE into) {
    char chunk[kChunkBytes];
    for (ULONGLONG at = from; at < size;) {
        const auto n = static_cast<DWORD>(std::min<ULONGLONG>(kChunkBytes, size - at));
        if (!ReadAt(file, at, chunk, n) || !Write(into, chunk, n)) {
            return false;
        }
        at += n;
    }
    return true;
}

// Replaces the log with a byte-order mark and its bytes from `keepFrom` to
// `size`: written beside it first, then moved over it, so that a kill or a
// power loss leaves the old log or the new one, never the kept runs
// followed by the old tail. The log is let go of first. False, with the
// old log left whole, where that cannot be done.
bool Replace(const std::wstring& path, ScopedHandle& log, ULONGLONG keepFrom, ULONGLONG size) {
    const std::wstring fresh = path + L".new";
    {
        const ScopedHandle file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !Write(file.get(), kBom, kBomBytes) ||
            !CopyTail(log.get(), keepFrom, size, file.get()) || !FlushFileBuffers(file.get())) {
            DeleteFileW(fresh.c_str());
            return false;
        }
    }
    log.reset();
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
    const auto bytes = static_cast<ULONGLONG>(size.QuadPart);
    ULONGLONG kept = 0; // bytes of the older runs
    std::optional<ULONGLONG> keepFrom;
    if (bytes > kLargestBytes) {
        // Far past its limit, the file is no log this program kept (another
        // program's doing, or a disk error): it is started afresh, unread.
        keepFrom = bytes;
    } else {
        const std::optional<bool> bom = StartsWithBom(file.get(), bytes);
        if (!bom) {
            return;
        }
        kept = bytes - (*bom ? kBomBytes : 0);
        if (kept + kBomBytes + kRoomForARun > kLimitBytes) {
            keepFrom =
                FirstRunFrom(file.get(), bytes + kBomBytes + kRoomForARun - kLimitBytes, bytes);
            if (!keepFrom) {
                return;
            }
        }
    }
    if (keepFrom) {
        kept = bytes - *keepFrom;
        if (!Replace(path, file, *keepFrom, bytes) ||
            !(file = OpenForAppending(path, OPEN_EXISTING))) {
            return;
        }
    } else if (bytes == 0 && !Write(file.get(), kBom)) {
        return;
    }
    LARGE_INTEGER end{};
    if (!SetFilePointerEx(file.get(), end, nullptr, FILE_END)) {
        return;
    }
    Current().size = kBomBytes + static_cast<std::size_t>(kept);
    if (kept > 0) {
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
