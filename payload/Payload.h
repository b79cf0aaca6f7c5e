// The payload carried as EXEFILE resources of the program itself: the
// manifest R1 that lists the items, unpacking into the temporary directory,
// and the rule that turns a manifest row into an item.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace payload {

// Raised when a resource is missing or a scratch file cannot be created,
// written or opened; what() is the text the user sees.
class PayloadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr const wchar_t* kManifestScratch = L"\\8194a.tmp";
inline constexpr const wchar_t* kItemScratch = L"\\8194b.tmp";

struct ManifestItem {
    std::string resourceName;
    std::string deviceName; // relative to the application folder on the device
};

// The desktop's temporary directory without its trailing backslash; empty
// when the platform gives none. Wide, like every scratch path: a folder
// name outside the ANSI code page names the real folder all the same.
std::wstring GetTempDirectory();

// The size of resource `resourceName` (type EXEFILE); 0 when it is missing.
unsigned long PayloadItemSize(const std::string& resourceName);

// Writes the bytes of resource `resourceName` (type EXEFILE) to `filePath`,
// replacing any file there; waits about 3 seconds for a file there that
// another program holds for a moment.
void ExtractPayloadItem(const std::string& resourceName, const std::wstring& filePath);

// Deletes the scratch file at `path`; one already gone, or whose folder is,
// counts as deleted. A file held for a moment by another program (a virus
// scanner) is waited for, as its creation is; one held for longer is
// logged and left, false: the next unpack or the next run replaces it.
// Cleaning up never hides how a run went.
bool DeleteScratchFile(const std::wstring& path) noexcept;

// Unpacks R1 to tempDirectory + kManifestScratch (left in place) and returns
// its lines.
std::vector<std::string> LoadManifest(const std::wstring& tempDirectory);

// Blank lines and the manifest's own row R1 give no item.
std::optional<ManifestItem> ParseManifestRow(const std::string& row);

// Lines end at CR, LF or CR LF; a NUL ends the text.
std::vector<std::string> SplitLines(const std::string& text);

} // namespace payload
