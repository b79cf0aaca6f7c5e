#include "app/Identify.h"

#include "app/RunReport.h"

#include "pda/Pda.h"
#include "rapi/rapi.h"

#include <array>
#include <string_view>

namespace app {
namespace {

constexpr DWORD kMajorVersion = 6;
constexpr int kScreenHeightMm = 60;
constexpr int kScreenHeightPx = 480;

// Every entry point a run calls, in the order a missing one is named.
constexpr std::array<std::string_view, 11> kRunsEntryPoints = {
    "CeRapiInitEx",    "CeRapiUninit",  "CeGetVersionEx",      "CeGetDesktopDeviceCaps",
    "CeFindFirstFile", "CeFindClose",   "CeSetFileAttributes", "CeCreateFile",
    "CeWriteFile",     "CeCloseHandle", "CeGetLastError",
};

// The entry points a run calls that the loaded library lacks, joined by ", ".
std::string MissingEntryPoints() {
    std::string missing;
    for (const std::string_view name : kRunsEntryPoints) {
        if (!rapi::HasEntryPoint(name)) {
            missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
    }
    return missing;
}

NotIdentified Because(NotIdentified::Cause cause) {
    NotIdentified why;
    why.cause = cause;
    return why;
}

// Asks the connected device for its version and screen height.
NotIdentified AskDevice() {
    NotIdentified answer;
    rapi::CEOSVERSIONINFO version{};
    version.dwOSVersionInfoSize = sizeof version;
    const bool versionKnown = rapi::CeGetVersionEx(&version) != 0;
    pda::PdaLink link = pda::PdaLink::Up;
    if (!versionKnown) {
        link = pda::PdaLinkAfterFailure();
        answer.error = link == pda::PdaLink::Up ? static_cast<HRESULT>(rapi::CeGetLastError()) : 0;
    }
    // The screen is asked whatever the version query answered: every device
    // gets the same three queries, and a failed version query decides no
    // more than a wrong screen does.
    answer.screenMm = rapi::CeGetDesktopDeviceCaps(rapi::kVertSize);
    answer.screenPx = rapi::CeGetDesktopDeviceCaps(rapi::kVertRes);
    answer.osMajor = versionKnown ? version.dwMajorVersion : 0;
    if (!versionKnown) {
        // The VK7 always tells its version: unless the library says the link
        // held, it went down.
        answer.cause =
            link == pda::PdaLink::Up ? NotIdentified::DeviceError : NotIdentified::LinkLost;
    } else if (answer.osMajor == kMajorVersion && answer.screenMm == kScreenHeightMm &&
               answer.screenPx == kScreenHeightPx) {
        answer.cause = NotIdentified::None;
    } else if ((answer.screenMm == 0 || answer.screenPx == 0) &&
               pda::PdaLinkAfterFailure() == pda::PdaLink::Lost) {
        answer.cause = NotIdentified::LinkLost;
    } else {
        answer.cause = NotIdentified::OtherDevice;
    }
    return answer;
}

NotIdentified Identify() {
    if (!rapi::LoadRapi()) {
        return Because(NotIdentified::NoLibrary);
    }
    if (std::string missing = MissingEntryPoints(); !missing.empty()) {
        NotIdentified why = Because(NotIdentified::MissingEntryPoints);
        why.missing = std::move(missing);
        return why;
    }
    pda::PdaConnect();
    report::Connection();
    if (!pda::PdaConnected) {
        NotIdentified why = Because(pda::PdaConnectError != 0 ? NotIdentified::ConnectionRefused
                                                              : NotIdentified::NoAnswer);
        why.error = pda::PdaConnectError;
        why.service = DiagnoseConnectionServices();
        report::Doctor(why.service);
        return why;
    }
    NotIdentified answer = AskDevice();
    report::Device(answer);
    return answer;
}

} // namespace

int IdentifyDevice(NotIdentified* why) {
    NotIdentified answer = Identify();
    const int code = answer.cause == NotIdentified::None ? kTargetModel : 0;
    if (why != nullptr) {
        *why = std::move(answer);
    }
    return code;
}

} // namespace app
