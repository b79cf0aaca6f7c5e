#include "app/CopyPhase.h"

#include "app/Messages.h"
#include "app/RunReport.h"
#include "pda/Pda.h"
#include "win/TickCount.h"

#include <memory>
#include <utility>

namespace app {

std::wstring TempDirectory;

namespace {

std::string DevicePath(const std::string& deviceFolder, const std::string& deviceName) {
    return deviceFolder + "\\" + deviceName;
}

std::optional<std::string> RefusalText(const pda::PdaRefusal& refusal,
                                       const std::vector<payload::ManifestItem>& items) {
    switch (refusal.kind) {
    case pda::PdaRefusal::None:
        return std::nullopt;
    case pda::PdaRefusal::Held:
        return kApplicationRunning;
    case pda::PdaRefusal::NoRoom:
        return NoRoomText(refusal.shortfall);
    case pda::PdaRefusal::LinkLost:
        return kLinkLost;
    case pda::PdaRefusal::CannotReplace:
        break;
    }
    return CannotReplaceText(items[refusal.target].deviceName);
}

} // namespace

CopyObserver ShowingProgressOn(CurrentProgressDisplay display,
                               std::function<void(const std::string& deviceName)> itemStarted,
                               std::function<void(const pda::CopyFailure& failure)> itemFailed) {
    if (!display) {
        return CopyObserver{std::move(itemStarted), {}, {}, std::move(itemFailed)};
    }
    struct Share {
        ULONGLONG done = 0, total = 0;
    };
    const auto share = std::make_shared<Share>();
    return CopyObserver{std::move(itemStarted),
                        [=](ULONGLONG total) {
                            share->total = total;
                            if (auto* shown = display()) {
                                shown->SetState(win::ProgressState::Normal);
                                shown->SetValue(0, total);
                            }
                        },
                        [=](DWORD bytes) {
                            share->done += bytes;
                            if (auto* shown = display()) {
                                shown->SetValue(share->done, share->total);
                            }
                        },
                        // The error state stays until the run ends.
                        [=, itemFailed = std::move(itemFailed)](const pda::CopyFailure& failure) {
                            if (auto* shown = display()) {
                                shown->SetState(win::ProgressState::Error);
                            }
                            if (itemFailed) {
                                itemFailed(failure);
                            }
                        }};
}

std::vector<payload::ManifestItem> ManifestItems(const std::wstring& tempDirectory) {
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
    std::vector<pda::DeviceEntry> seen;
    const pda::PdaRefusal refusal = pda::PdaCheckTargets(deviceFolder, targets, &seen);
    const std::optional<std::string> text = RefusalText(refusal, items);
    report::Check(targets, seen, text.value_or(""));
    return text;
}

void CopyPayload(const std::string& deviceFolder, const std::vector<payload::ManifestItem>& items,
                 const CopyObserver& observer, CopyOutcome& outcome) {
    outcome = CopyOutcome{};
    const std::wstring itemScratch = TempDirectory + payload::kItemScratch;
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
        pda::CopyFailure failure;
        unsigned long long bytes = 0;
        const std::uint64_t start = win::TickCount64();
        const bool copied = pda::CopyFileToDevice(
            itemScratch, DevicePath(deviceFolder, item.deviceName),
            [&](DWORD chunk) {
                bytes += chunk;
                if (observer.chunkWritten) {
                    observer.chunkWritten(chunk);
                }
            },
            &failure);
        report::Item(item.deviceName, bytes, win::TickCount64() - start, copied, failure);
        outcome.deviceChanged = outcome.deviceChanged || copied || failure.deviceChanged;
        payload::DeleteScratchFile(itemScratch);
        if (copied) {
            continue;
        }
        if (observer.itemFailed) {
            observer.itemFailed(failure);
        }
        // A full device would truncate every later file in turn, and a lost
        // link would fail each: the later files keep their old contents
        // instead. Any other failure lets the rest go on.
        if (failure.kind == pda::CopyFailure::StorageFull) {
            outcome.kind = CopyOutcome::DeviceFull;
            return;
        }
        if (failure.kind == pda::CopyFailure::LinkLost) {
            outcome.kind = CopyOutcome::LinkLost;
            outcome.item = item.deviceName;
            return;
        }
        outcome.kind = CopyOutcome::Failed;
    }
}

} // namespace app
