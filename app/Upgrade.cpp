// The upgrade procedure: what the button does.
#include "app/Unit1.h"

#include "app/Identify.h"
#include "payload/Payload.h"
#include "pda/Pda.h"
#include "rapi/rapi.h"
#include "win/Dialogs.h"
#include "win/RunInProgress.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace app {

std::string TempDirectory;

namespace {

constexpr const wchar_t* kApplicationPath = L"\\ResidentFlash\\VKNAV\\KestrovaCE.exe";

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Closes the connection when a run ends early.
void Abandon(const std::string& message) {
    win::ShowMessage(message);
    pda::PdaDisconnect();
}
} // namespace

void TForm1::BitBtn1Click() {
    if (UpperCase(ButtonCaption()).find("EXIT") != std::string::npos) {
        Close();
        return;
    }
    std::exception_ptr escaped;
    {
        EnableButton(false);
        // However the run ends, errors included, enabling the button comes last.
        struct EndOfRun {
            TForm1& form;
            ~EndOfRun() {
                form.running_ = false;
                form.ShowProgress(win::ProgressState::None);
                win::FlashUntilActive(form.form_);
                form.EnableButton(true);
            }
        } endOfRun{*this};
        running_ = true;
        const win::RunInProgress session(form_);
        // Identification and the connection waits: busy, no share known yet.
        ShowProgress(win::ProgressState::Indeterminate);
        try {
            RunUpgrade();
        } catch (...) {
            escaped = std::current_exception();
        }
    }
    // The error that ended the run is shown as the toolkit shows one, and
    // waits for the user before a close asked for during the run happens.
    if (escaped) {
        try {
            std::rethrow_exception(escaped);
        } catch (...) {
            ShowCurrentException();
        }
    }
    if (std::exchange(closeAfterRun_, false)) {
        Close();
    }
}

void TForm1::RunUpgrade() {
    if (IdentifyDevice() != kTargetModel) {
        win::ShowInformation("Vesko Navigator not found.", "Information");
        pda::PdaDisconnect();
        return;
    }
    pda::PdaConnect();
    if (!pda::PdaConnected) {
        Abandon("Cannot connect to Vesko Navigator");
        return;
    }
    rapi::CE_FIND_DATA found{};
    const HANDLE search = rapi::CeFindFirstFile(kApplicationPath, &found);
    if (search == INVALID_HANDLE_VALUE) {
        Abandon("Cannot find KestrovaCE on the Vesko Navigator");
        return;
    }
    rapi::CeFindClose(search);

    const bool failed = !CopyPayload(
        kDeviceFolder, ShowingProgressOn(progress_.get(), [this](const std::string& deviceName) {
            SetStatus("Please wait - Copying " + deviceName);
            win::ProcessMessages();
        }));
    pda::PdaDisconnect();
    DeleteFileA((TempDirectory + payload::kManifestScratch).c_str());
    if (failed) {
        win::ShowMessage("There is an Error copying files - make sure KestrovaCE is not running "
                         "on the Vesko Navigator.");
    }
    SetStatus(failed ? "Error Copying Files" : "Upgrade Complete");
    SetButtonCaption("Press to Exit");
    win::Beep(0x40);
    win::ProcessMessages();
}

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

bool CopyPayload(const std::string& deviceFolder, const CopyObserver& observer) {
    bool copied = true;
    TempDirectory = payload::GetTempDirectory();
    const std::string itemScratch = TempDirectory + payload::kItemScratch;
    std::vector<payload::ManifestItem> items;
    for (const std::string& row : payload::LoadManifest(TempDirectory)) {
        if (auto item = payload::ParseManifestRow(row)) {
            items.push_back(std::move(*item));
        }
    }
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
        // A failed copy does not stop the others.
        if (!pda::CopyFileToDevice(itemScratch, deviceFolder + "\\" + item.deviceName,
                                   observer.chunkWritten)) {
            copied = false;
            if (observer.itemFailed) {
                observer.itemFailed();
            }
        }
        DeleteFileA(itemScratch.c_str());
    }
    return copied;
}

} // namespace app
