// The upgrade procedure: what the button does.
#include "app/Unit1.h"

#include "app/CopyPhase.h"
#include "app/Identify.h"
#include "app/Messages.h"
#include "app/Vk7.h"
#include "payload/Payload.h"
#include "pda/Pda.h"
#include "win/Dialogs.h"
#include "win/RunInProgress.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <utility>
#include <vector>

namespace app {
namespace {

std::string UpperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

constexpr const char* kLooking = "Please wait - Looking for the Vesko Navigator";

} // namespace

// A run that ends before its copy changed the device leaves the window as
// it was before the press, says why, and closes the connection.
void TForm1::Abandon(const std::string& message, bool information) {
    SetStatus("");
    if (information) {
        win::ShowInformation(message, "Information");
    } else {
        win::ShowMessage(message);
    }
    pda::PdaDisconnect();
}

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
        copying_ = false;
        completed_ = false;
        const win::RunInProgress session(form_);
        // Identification and the connection waits: busy, no share known yet.
        ShowProgress(win::ProgressState::Indeterminate);
        try {
            RunUpgrade();
        } catch (...) {
            escaped = std::current_exception();
            // An error before the first item leaves the window as it was.
            if (!copying_) {
                SetStatus("");
            }
        }
    }
    // The error that ended the run is shown as the toolkit shows one, and
    // waits for the user before a close asked for during the run happens.
    if (escaped) {
        try {
            std::rethrow_exception(escaped);
        } catch (...) {
            win::ShowCurrentException();
        }
    }
    if (std::exchange(closeAfterRun_, false)) {
        // A failed run has shown its boxes; a completed one showed none.
        if (completed_) {
            win::ShowMessage(kCompletedText);
        }
        Close();
    }
}

// The road of one run. Each early return leaves the button as it was, so
// that the user can mend the cause and press again.
void TForm1::RunUpgrade() {
    // The connection waits process no messages: show what the run does first.
    SetStatus(kLooking);
    win::ProcessMessages();
    NotIdentified why;
    if (IdentifyDevice(&why) != kTargetModel) {
        Abandon(NotFoundText(why), true);
        return;
    }
    pda::PdaConnect();
    if (!pda::PdaConnected) {
        Abandon(CannotConnectText());
        return;
    }
    // A folder of that name is no application.
    const std::string application = std::string(kDeviceFolder) + "\\" + kApplicationFile;
    if (const auto found = pda::PdaLookUp(application).kind; found != pda::DeviceEntry::File) {
        Abandon(found == pda::DeviceEntry::Lost ? kLinkLost : kNotInstalled);
        return;
    }
    TempDirectory = payload::GetTempDirectory();
    const std::wstring manifestScratch = TempDirectory + payload::kManifestScratch;
    const std::vector<payload::ManifestItem> items = ManifestItems(TempDirectory);
    // Nothing on the device is touched unless every item can be written.
    if (const auto refusal = RefusalOf(kDeviceFolder, items)) {
        DeleteFileW(manifestScratch.c_str());
        Abandon(*refusal);
        return;
    }

    const CopyOutcome outcome = CopyPayload(
        kDeviceFolder, items,
        ShowingProgressOn(
            progress_.get(),
            [this](const std::string& deviceName) {
                copying_ = true;
                SetStatus("Please wait - Copying " + deviceName);
                win::ProcessMessages();
            },
            [](const pda::CopyFailure& failure) {
                // A full device and a lost link say so at the end, once.
                if (failure.kind == pda::CopyFailure::Refused && failure.deviceChanged) {
                    win::ShowMessage(kWriteFailed);
                }
            }));
    DeleteFileW(manifestScratch.c_str());
    if (outcome.kind == CopyOutcome::LinkLost && !outcome.deviceChanged) {
        Abandon(kLinkLost);
        return;
    }
    pda::PdaDisconnect();
    switch (outcome.kind) {
    case CopyOutcome::Copied:
        break;
    case CopyOutcome::Failed:
        win::ShowMessage(kCopyError);
        break;
    case CopyOutcome::DeviceFull:
        win::ShowMessage(kDeviceFull);
        break;
    case CopyOutcome::LinkLost:
        win::ShowMessage(LostWhileCopyingText(outcome.item));
        break;
    }
    completed_ = outcome.kind == CopyOutcome::Copied;
    SetStatus(completed_ ? "Upgrade Complete" : "Error Copying Files");
    SetButtonCaption("Press to Exit");
    win::Beep(0x40);
    win::ProcessMessages();
}

} // namespace app
