#include "app/CopyPhase.h"

#include "pda/Pda.h"

#include <memory>
#include <utility>

namespace app {

std::string TempDirectory;

namespace {

std::string DevicePath(const std::string& deviceFolder, const std::string& deviceName) {
    return deviceFolder + "\\" + deviceName;
}

} // namespace

CopyObserver ShowingProgressOn(win::ProgressDisplay* display,
                               std::function<void(const std::string& deviceName)> itemStarted) {
    if (display == nullptr) {
        return CopyObserver{std::move(itemStarted), {}, {}, {}};
    }
    struct Share {
        ULONGLONG done = 0, total = 0;
    };
    const auto share = std::make_shared<Share>();
    return CopyObserver{std::move(itemStarted),
                        [=](ULONGLONG total) {
                            share->total = total;
                            display->SetState(win::ProgressState::Normal);
                            display->SetValue(0, total);
                        },
                        [=](DWORD bytes) {
                            share->done += bytes;
                            display->SetValue(share->done, share->total);
                        },
                        // The error state stays until the run ends.
                        [=] { display->SetState(win::ProgressState::Error); }};
}

std::vector<payload::ManifestItem> ManifestItems(const std::string& tempDirectory) {
    std::vector<payload::ManifestItem> items;
    for (const std::string& row : payload::LoadManifest(tempDirectory)) {
        if (auto item = payload::ParseManifestRow(row)) {
            items.push_back(std::move(*item));
        }
    }
    return items;
}

std::optional<std::string> RefusalOf(const std::string& deviceFolder,
                                     const std::vector<payload::ManifestItem>& items) {
    std::vector<pda::PdaTarget> targets;
    for (const auto& item : items) {
        targets.push_back(pda::PdaTarget{DevicePath(deviceFolder, item.deviceName),
                                         payload::PayloadItemSize(item.resourceName)});
    }
    const pda::PdaRefusal refusal = pda::PdaCheckTargets(deviceFolder, targets);
    switch (refusal.kind) {
    case pda::PdaRefusal::None:
        return std::nullopt;
    case pda::PdaRefusal::Held:
        return "KestrovaCE is running on the Vesko Navigator. Close it, then press the button "
               "again.";
    case pda::PdaRefusal::NoRoom:
        return "There is not enough free space on the Vesko Navigator. Free at least " +
               std::to_string((refusal.shortfall + 1023) / 1024) +
               " KB on it, then press the button again.";
    case pda::PdaRefusal::CannotReplace:
        break;
    }
    return "Cannot replace " + items[refusal.target].deviceName + " on the Vesko Navigator.";
}

CopyOutcome CopyPayload(const std::string& deviceFolder,
                        const std::vector<payload::ManifestItem>& items,
                        const CopyObserver& observer) {
    CopyOutcome outcome = CopyOutcome::Copied;
    const std::string itemScratch = TempDirectory + payload::kItemScratch;
    if (observer.started) {
        ULONGLONG total = 0;
        for (const auto& item : items) {
            total += payload::PayloadItemSize(item.resourceName);
        }
        observer.started(total);
    }
    for (const auto& item : items) {
        payload::ExtractPayloadItem(item.resourceName, itemScratch);
        if (observer.itemStarted) {
            observer.itemStarted(item.deviceName);
        }
        DWORD writeError = 0;
        const bool copied =
            pda::CopyFileToDevice(itemScratch, DevicePath(deviceFolder, item.deviceName),
                                  observer.chunkWritten, &writeError);
        DeleteFileA(itemScratch.c_str());
        if (copied) {
            continue;
        }
        if (observer.itemFailed) {
            observer.itemFailed();
        }
        // A full device would truncate every later file in turn: those keep
        // their old contents instead. Any other failure lets the rest go on.
        if (writeError == ERROR_DISK_FULL) {
            return CopyOutcome::DeviceFull;
        }
        outcome = CopyOutcome::Failed;
    }
    return outcome;
}

} // namespace app
