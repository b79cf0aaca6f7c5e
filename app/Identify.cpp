#include "app/Identify.h"

#include "pda/Pda.h"
#include "rapi/rapi.h"

namespace app {
namespace {

constexpr DWORD kMajorVersion = 6;
constexpr int kScreenHeightMm = 60;
constexpr int kScreenHeightPx = 480;

} // namespace

int IdentifyDevice() {
    pda::PdaConnect();
    if (!pda::PdaConnected) {
        return 0;
    }
    rapi::CEOSVERSIONINFO version{};
    version.dwOSVersionInfoSize = sizeof version;
    const bool versionKnown = rapi::CeGetVersionEx(&version) != 0;
    // The screen is asked whatever the version query answered: every device
    // gets the same three queries, and a failed version query decides no
    // more than a wrong screen does.
    const int heightMm = rapi::CeGetDesktopDeviceCaps(rapi::kVertSize);
    const int heightPx = rapi::CeGetDesktopDeviceCaps(rapi::kVertRes);
    const bool isTarget = versionKnown && version.dwMajorVersion == kMajorVersion &&
                          heightMm == kScreenHeightMm && heightPx == kScreenHeightPx;
    return isTarget ? kTargetModel : 0;
}

} // namespace app
