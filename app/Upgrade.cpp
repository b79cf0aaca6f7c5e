// The upgrade procedure: what the button does.
#include "app/Unit1.h"

#include "app/CopyPhase.h"
#include "app/Identify.h"
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
            win::ShowCurrentException();
        }
    }
    if (std::exchange(closeAfterRun_, false)) {
        Close();
    }
}

// The road of one run. Each early return leaves the button as it was, so
// that the user can mend the cause and press again.
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
    // A folder of that name is no application.
    const std::string application = std::string(kDeviceFolder) + "\\" + kApplicationFile;
    if (pda::PdaLookUp(application).kind != pda::DeviceEntry::File) {
        Abandon("Cannot find KestrovaCE on the Vesko Navigator");
        return;
    }
    TempDirectory = payload::GetTempDirectory();
    const std::string manifestScratch = TempDirectory + payload::kManifestScratch;
    const std::vector<payload::ManifestItem> items = ManifestItems(TempDirectory);
    // Nothing on the device is touched unless every item can be written.
    if (const auto refusal = RefusalOf(kDeviceFolder, items)) {
        DeleteFileA(manifestScratch.c_str());
        Abandon(*refusal);
        return;
    }

    const CopyOutcome outcome =
        CopyPayload(kDeviceFolder, items,
                    ShowingProgressOn(progress_.get(), [this](const std::string& deviceName) {
                        SetStatus("Please wait - Copying " + deviceName);
                        win::ProcessMessages();
                    }));
    pda::PdaDisconnect();
    DeleteFileA(manifestScratch.c_str());
    if (outcome == CopyOutcome::DeviceFull) {
        win::ShowMessage("There is not enough free space on the Vesko Navigator. Free some space "
                         "on it, then run the upgrade again.");
    } else if (outcome == CopyOutcome::Failed) {
        win::ShowMessage("There is an Error copying files - make sure KestrovaCE is not running "
                         "on the Vesko Navigator.");
    }
    SetStatus(outcome == CopyOutcome::Copied ? "Upgrade Complete" : "Error Copying Files");
    SetButtonCaption("Press to Exit");
    win::Beep(0x40);
    win::ProcessMessages();
}

} // namespace app
