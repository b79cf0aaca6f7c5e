// The check before a run: whether every target on the device can be
// replaced, asked without changing anything a user could lose.
#include "pda/Pda.h"

#include "pda/DeviceName.h"
#include "rapi/rapi.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <utility>

namespace pda {
namespace {

// The names a device gives for a path that is not there.
bool MeansAbsent(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_NO_MORE_FILES;
}

std::optional<std::wstring> DeviceName(const std::string& path) {
    wchar_t name[kNameBufferUnits];
    if (!ToDeviceName(path, name)) {
        return std::nullopt;
    }
    return std::wstring(name);
}

std::string Key(const std::string& path) {
    std::string key = path;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

// Free bytes for the caller in `folder`; nothing where the library cannot tell.
std::optional<unsigned long long> FreeSpace(const std::string& folder) {
    const auto name = DeviceName(folder);
    ULARGE_INTEGER free{}, total{}, totalFree{};
    if (!name || !rapi::CeGetDiskFreeSpaceEx(name->c_str(), &free, &total, &totalFree)) {
        return std::nullopt;
    }
    return free.QuadPart;
}

// What a failed call means: `lost` where the link went down; otherwise what
// `byError` makes of the device's own error. The link is asked first: after
// it went down, the device's last error may be an earlier call's.
template <typename Kind, typename ByError> Kind LostOr(Kind lost, ByError byError) {
    return PdaLinkAfterFailure() == PdaLink::Lost ? lost : byError(rapi::CeGetLastError());
}

// A file's attributes before the check made it writable.
struct ClearedAttributes {
    std::wstring name;
    DWORD attributes;
};

// Makes `entry` writable if it is read-only (its other attributes kept,
// the old ones noted in `cleared`) and opens it for writing with no
// sharing, closing it at once.
PdaRefusal::Kind TryOpen(const std::wstring& name, const DeviceEntry& entry,
                         std::vector<ClearedAttributes>& cleared) {
    if (entry.attributes & FILE_ATTRIBUTE_READONLY) {
        const DWORD rest = entry.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (rapi::CeSetFileAttributes(name.c_str(), rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL)) {
            cleared.push_back({name, entry.attributes});
        }
    }
    const rapi::ScopedDeviceFile file(
        rapi::CeCreateFile(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return LostOr(PdaRefusal::LinkLost, [](DWORD error) {
            return error == ERROR_SHARING_VIOLATION ? PdaRefusal::Held : PdaRefusal::CannotReplace;
        });
    }
    return PdaRefusal::None;
}

// Opens each existing target as TryOpen does, stopping at the first that
// refuses; a refusal gives the read-only attributes back, where the link
// allows.
PdaRefusal OpenEach(const std::vector<std::wstring>& names,
                    const std::vector<DeviceEntry>& entries) {
    std::vector<ClearedAttributes> cleared;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (entries[i].kind != DeviceEntry::File) {
            continue;
        }
        if (const PdaRefusal::Kind refusal = TryOpen(names[i], entries[i], cleared);
            refusal != PdaRefusal::None) {
            if (refusal != PdaRefusal::LinkLost) {
                for (const ClearedAttributes& file : cleared) {
                    rapi::CeSetFileAttributes(file.name.c_str(), file.attributes);
                }
            }
            return PdaRefusal{refusal, i};
        }
    }
    return PdaRefusal{};
}

DeviceEntry LookUpName(const std::wstring& name) {
    // A library without the search answers with its fallback, which is no
    // search handle: that says nothing about the device.
    if (!rapi::HasEntryPoint("CeFindFirstFile")) {
        return DeviceEntry{DeviceEntry::Unknown};
    }
    rapi::CE_FIND_DATA found{};
    {
        // Only the record is wanted: the search closes at once.
        const rapi::ScopedDeviceSearch search(rapi::CeFindFirstFile(name.c_str(), &found));
        if (!search) {
            return DeviceEntry{LostOr(DeviceEntry::Lost, [](DWORD error) {
                return MeansAbsent(error) ? DeviceEntry::Absent : DeviceEntry::Unknown;
            })};
        }
    }
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return DeviceEntry{folder ? DeviceEntry::Folder : DeviceEntry::File, found.dwFileAttributes,
                       (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) |
                           found.nFileSizeLow};
}

} // namespace

DeviceEntry PdaLookUp(const std::string& devicePath) {
    const auto name = DeviceName(devicePath);
    return name ? LookUpName(*name) : DeviceEntry{DeviceEntry::Unknown};
}

unsigned long long PdaRoomNeeded(const std::vector<PdaTarget>& targets,
                                 const std::vector<unsigned long long>& oldSizes) {
    std::map<std::string, unsigned long long> sizeNow;
    long long growth = 0, mostGrowth = 0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const auto [it, first] = sizeNow.try_emplace(Key(targets[i].path), oldSizes[i]);
        growth += static_cast<long long>(targets[i].newSize) - static_cast<long long>(it->second);
        it->second = targets[i].newSize;
        mostGrowth = std::max(mostGrowth, growth);
    }
    return static_cast<unsigned long long>(mostGrowth) + kRoundingPerFile * targets.size();
}

PdaRefusal PdaCheckTargets(const std::string& folder, const std::vector<PdaTarget>& targets,
                           std::vector<DeviceEntry>* seen) {
    std::vector<std::wstring> names;
    std::vector<DeviceEntry> local;
    std::vector<DeviceEntry>& entries = seen != nullptr ? *seen : local;
    entries.clear();
    std::vector<unsigned long long> oldSizes;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        auto name = DeviceName(targets[i].path);
        const DeviceEntry entry = name ? LookUpName(*name) : DeviceEntry{DeviceEntry::Unknown};
        entries.push_back(entry);
        if (entry.kind == DeviceEntry::Lost) {
            return PdaRefusal{PdaRefusal::LinkLost, i};
        }
        if (entry.kind == DeviceEntry::Folder || entry.kind == DeviceEntry::Unknown) {
            return PdaRefusal{PdaRefusal::CannotReplace, i};
        }
        names.push_back(std::move(*name));
        oldSizes.push_back(entry.size);
    }
    if (const auto free = FreeSpace(folder)) {
        const unsigned long long needed = PdaRoomNeeded(targets, oldSizes);
        if (needed > *free) {
            return PdaRefusal{PdaRefusal::NoRoom, 0, needed - *free};
        }
    }
    return OpenEach(names, entries);
}

} // namespace pda
