#include "win/Accessibility.h"

#include "win/ScopedWin.h"

#include <oleacc.h>

namespace win {
namespace {

// Not in the headers for Windows XP, which the program is built for.
constexpr DWORD kEventLiveRegionChanged = 0x8019;

// Defined here: MinGW's import libraries give some accessibility GUIDs
// wrong values.
constexpr CLSID kAccPropServices = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr IID kIAccPropServices = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
constexpr GUID kLiveSettingProperty = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kLiveSettingPolite = 1;

IAccPropServices* (*g_createForTesting)() = nullptr;

ScopedCom<IAccPropServices> PropertyServices() {
    if (g_createForTesting != nullptr) {
        return ScopedCom<IAccPropServices>(g_createForTesting());
    }
    return CreateInProcess<IAccPropServices>(kAccPropServices, kIAccPropServices);
}

} // namespace

void AnnounceTextChange(HWND control) {
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
    NotifyWinEvent(kEventLiveRegionChanged, control, OBJID_CLIENT, CHILDID_SELF);
}

bool MakePoliteLiveRegion(HWND control) {
    const ScopedCom<IAccPropServices> services = PropertyServices();
    if (!services) {
        return false;
    }
    VARIANT polite{};
    polite.vt = VT_I4;
    polite.lVal = kLiveSettingPolite;
    return SUCCEEDED(services->SetHwndProp(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                           kLiveSettingProperty, polite));
}

void ClearLiveRegion(HWND control) {
    if (const ScopedCom<IAccPropServices> services = PropertyServices()) {
        services->ClearHwndProps(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                 &kLiveSettingProperty, 1);
    }
}

void SetPropertyServicesForTesting(IAccPropServices* (*create)()) {
    g_createForTesting = create;
}

} // namespace win
