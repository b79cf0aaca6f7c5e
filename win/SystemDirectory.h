// The system directory, the one folder the program loads DLLs from.
#pragma once

#include <windows.h>

#include <string>

namespace win {

// System32, without a trailing backslash; a 32-bit program's requests for
// it reach SysWOW64 under WOW64. Empty where the system names none.
inline std::wstring SystemDirectory() {
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

} // namespace win
