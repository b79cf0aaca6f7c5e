// The payload carried as EXEFILE resources of the program itself: the
// manifest R1 that lists the items, unpacking into the temporary directory,
// and the rule that turns a manifest row into an item.
#pragma once

#include <functional>
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

inline constexpr const char* kManifestScratch = "\\8194a.tmp";
inline constexpr const char* kItemScratch = "\\8194b.tmp";

struct ManifestItem {
    std::string resourceName;
    std::string deviceName; // relative to the application folder on the device
};

inline constexpr const char* kTempFolderUnusable =
    "The name of the temporary folder cannot be written in this computer's code page, so the "
    "upgrade cannot unpack its files. Set TMP and TEMP to a folder with a plain name, such as "
    "C:\\Temp, and press again.";

// The desktop's temporary directory without its trailing backslash; empty
// when the platform gives none. Where its ANSI form names another folder or
// none (a name outside the code page), its short form if that is plain;
// otherwise a PayloadError: scratch files go nowhere but the real folder.
std::string GetTempDirectory();
// The choice behind it, from the platform's ANSI and wide answers.
std::string TempDirectoryFrom(const std::string& ansi, const std::wstring& wide,
                              const std::function<std::wstring(const std::wstring&)>& shortForm);

// The size of resource `resourceName` (type EXEFILE); 0 when it is missing.
unsigned long PayloadItemSize(const std::string& resourceName);

// Writes the bytes of resource `resourceName` (type EXEFILE) to `filePath`,
// replacing any file there.
void ExtractPayloadItem(const std::string& resourceName, const std::string& filePath);

// Unpacks R1 to tempDirectory + kManifestScratch (left in place) and returns
// its lines.
std::vector<std::string> LoadManifest(const std::string& tempDirectory);

// Blank lines and the manifest's own row R1 give no item.
std::optional<ManifestItem> ParseManifestRow(const std::string& row);

// Lines end at CR, LF or CR LF; a NUL ends the text.
std::vector<std::string> SplitLines(const std::string& text);

} // namespace payload
