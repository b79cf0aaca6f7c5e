// The upgrade procedure: what the button does.
#include "app/Unit1.h"

#include "app/CopyPhase.h"
#include "app/Identify.h"
#include "app/FormLayout.h"
#include "app/Messages.h"
#include "app/RunReport.h"
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
constexpr const char* kErrorCopying = "Error Copying Files";

} // namespace

// A run that ends before its copy changed the device leaves the window as
// it was before the press, closes the connection and says why: closed
// before the box, as on every other way a run ends, so that what the user
// does meanwhile (unplug, press again) meets no open connection.
void TForm1::Abandon(const std::string& message, bool information) {
    SetStatus("");
    pda::PdaDisconnect();
    if (information) {
        win::ShowInformation(message, "Information");
    } else {
        win::ShowMessage(message);
    }
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
        deviceChanged_ = false;
        completed_ = false;
        report::BeginRun();
        const win::RunInProgress session(form_);
        // Identification and the connection waits: busy, no share known yet.
        ShowProgress(win::ProgressState::Indeterminate);
        try {
            RunUpgrade();
        } catch (...) {
            escaped = std::current_exception();
            // Closed before the box: the next press must start afresh.
            pda::PdaDisconnect();
            // An error before the device changed leaves the window as it was.
            if (!deviceChanged_) {
                SetStatus("");
            }
        }
    }
    // The error that ended the run is shown as the toolkit shows one, and
    // waits for the user before a close asked for during the run happens.
    if (escaped) {
        ShowEscapedError(escaped);
    }
    const bool closing = std::exchange(closeAfterRun_, false);
    // A failed run has shown its boxes; a completed one showed none.
    if (closing && completed_) {
        win::ShowMessage(kCompletedText);
    }
    report::EndRun(completed_ ? "Upgrade Complete" : WindowText(label1_));
    if (closing) {
        Close();
    }
}

// Once the device has changed, the run ends as a failed copy does, and the
// box says that a run once the cause is gone repairs the device.
void TForm1::ShowEscapedError(const std::exception_ptr& escaped) {
    std::string text;
    try {
        std::rethrow_exception(escaped);
    } catch (...) {
        text = win::CurrentExceptionText();
    }
    if (!deviceChanged_) {
        win::ShowErrorMessage(text);
        return;
    }
    win::ShowErrorMessage(text + "\n\n" + kNotComplete);
    SetStatus(kErrorCopying);
    SetButtonCaption("Press to Exit");
    win::Beep(0x40);
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
    report::Connection();
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
        payload::DeleteScratchFile(manifestScratch);
        Abandon(*refusal);
        return;
    }

    CopyOutcome outcome;
    try {
        CopyPayload(kDeviceFolder, items,
                    ShowingProgressOn(
                        // Whatever button the taskbar has, or announces
                        // later: a restarted taskbar replaces it.
                        [this] { return &progress_; },
                        [this](const std::string& deviceName) {
                            SetStatus("Please wait - Copying " + deviceName);
                            win::ProcessMessages();
                        },
                        [](const pda::CopyFailure& failure) {
                            // A full device and a lost link say so at the end, once.
                            if (failure.kind == pda::CopyFailure::Refused &&
                                failure.deviceChanged) {
                                win::ShowMessage(kWriteFailed);
                            }
                        }),
                    outcome);
    } catch (...) {
        deviceChanged_ = outcome.deviceChanged;
        throw;
    }
    deviceChanged_ = outcome.deviceChanged;
    payload::DeleteScratchFile(manifestScratch);
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
    SetStatus(completed_ ? "Upgrade Complete" : kErrorCopying);
    SetButtonCaption("Press to Exit");
    win::Beep(0x40);
    win::ProcessMessages();
}

} // namespace app
