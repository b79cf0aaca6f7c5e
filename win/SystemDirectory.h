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

// Loads `name` from the system directory by its full path, its own imports
// looked for beside it and then in the system directory: with the
// documented LOAD_LIBRARY_SEARCH_* pair where the system has them (where it
// has SetDefaultDllDirectories: Windows 8, or Vista and 7 with KB2533623,
// which refuse those flags without it), with LOAD_WITH_ALTERED_SEARCH_PATH
// elsewhere. Null, with the last error set, where it cannot be loaded.
HMODULE LoadFromSystemDirectory(const wchar_t* name);

} // namespace win
