// What screen readers learn of the window: a static control's text change
// raises no accessibility event by itself, so the window announces it.
#pragma once

#include <windows.h>

struct IAccPropServices;

namespace win {

// Tells accessibility clients that `control`'s name (its text) changed and
// that the live region it is changed.
void AnnounceTextChange(HWND control);

// Makes `control` a polite live region, whose changes are read out without
// taking the focus, where the system knows live regions (Windows 8 and
// later, with COM initialised on this thread). Elsewhere changes nothing
// and answers false.
bool MakePoliteLiveRegion(HWND control);
// Takes that back before `control` is destroyed: the system keeps the
// annotation until it is cleared.
void ClearLiveRegion(HWND control);

// Tests put their own annotation service in place (Wine's answers E_NOTIMPL
// to every call): `create` returns a new reference, or null. Null `create`:
// the system's again.
void SetPropertyServicesForTesting(IAccPropServices* (*create)());

} // namespace win
