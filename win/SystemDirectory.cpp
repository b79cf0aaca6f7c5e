#include "win/SystemDirectory.h"

#include "win/LateBound.h"

namespace win {

HMODULE LoadFromSystemDirectory(const wchar_t* name) {
    const std::wstring folder = SystemDirectory();
    if (folder.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    // The two kinds of flag are not to be mixed: no page says which wins.
    const DWORD flags = late::SetDefaultDllDirectories() != nullptr
                            ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                            : LOAD_WITH_ALTERED_SEARCH_PATH;
    return LoadLibraryExW((folder + L"\\" + name).c_str(), nullptr, flags);
}

} // namespace win
