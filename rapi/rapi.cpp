#include "rapi/rapi.h"

#include <cstddef>
#include <string>

namespace rapi {
namespace {

HMODULE LoadByName(const char* name) {
    return LoadLibraryA(name);
}
FARPROC LookUp(HMODULE module, const char* name) {
    return GetProcAddress(module, name);
}

struct Binding {
    Loader loader{LoadByName, LookUp};
    HMODULE library = nullptr;
    std::array<FARPROC, kEntryPointNames.size()> entry{};
    FARPROC diskFreeSpace = nullptr; // kDiskFreeSpaceName, outside the table
};

Binding& binding() {
    static Binding b;
    return b;
}

constexpr std::size_t IndexOf(std::string_view name) {
    for (std::size_t i = 0; i < kEntryPointNames.size(); ++i) {
        if (kEntryPointNames[i] == name) {
            return i;
        }
    }
    throw "not in the entry-point table"; // a compile-time error in a constant expression
}

// The bound entry point `Name` as type F, or null when the library or the
// entry point is missing.
template <typename F, std::size_t Index> F Bound() {
    static_assert(Index < kEntryPointNames.size());
    if (!LoadRapi()) {
        return nullptr;
    }
    return reinterpret_cast<F>(reinterpret_cast<void*>(binding().entry[Index]));
}

#define RAPI_BOUND(name) Bound<Pfn##name, IndexOf(#name)>()

} // namespace

Loader ProductionLoader() {
    return Loader{LoadByName, LookUp};
}

void ResetForTesting(const Loader& loader) {
    binding() = Binding{loader, nullptr, {}, nullptr};
}

bool LoadRapi() {
    Binding& b = binding();
    if (b.library != nullptr) {
        return true;
    }
    HMODULE library = b.loader.load("RAPI.DLL");
    // Handles of 32 or less are the error codes of the old loader.
    if (reinterpret_cast<UINT_PTR>(library) <= 32) {
        return false;
    }
    b.library = library;
    for (std::size_t i = 0; i < kEntryPointNames.size(); ++i) {
        b.entry[i] = b.loader.lookup(library, std::string(kEntryPointNames[i]).c_str());
    }
    b.diskFreeSpace = b.loader.lookup(library, std::string(kDiskFreeSpaceName).c_str());
    return true;
}

bool HasEntryPoint(std::string_view name) {
    if (!LoadRapi()) {
        return false;
    }
    const Binding& b = binding();
    if (name == kDiskFreeSpaceName) {
        return b.diskFreeSpace != nullptr;
    }
    for (std::size_t i = 0; i < kEntryPointNames.size(); ++i) {
        if (kEntryPointNames[i] == name) {
            return b.entry[i] != nullptr;
        }
    }
    return false;
}

HRESULT CeRapiInitEx(RAPIINIT* init) {
    auto f = RAPI_BOUND(CeRapiInitEx);
    return f ? f(init) : static_cast<HRESULT>(kFallback);
}

HRESULT CeRapiUninit() {
    auto f = RAPI_BOUND(CeRapiUninit);
    return f ? f() : static_cast<HRESULT>(kFallback);
}

HANDLE CeFindFirstFile(LPCWSTR path, CE_FIND_DATA* found) {
    auto f = RAPI_BOUND(CeFindFirstFile);
    return f ? f(path, found) : kFallbackHandle;
}

BOOL CeFindClose(HANDLE search) {
    auto f = RAPI_BOUND(CeFindClose);
    return f ? f(search) : FALSE;
}

HANDLE CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                    DWORD disposition, DWORD flags, HANDLE templateFile) {
    auto f = RAPI_BOUND(CeCreateFile);
    return f ? f(path, access, share, security, disposition, flags, templateFile) : kFallbackHandle;
}

BOOL CeWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                 LPOVERLAPPED overlapped) {
    auto f = RAPI_BOUND(CeWriteFile);
    return f ? f(file, buffer, count, written, overlapped) : FALSE;
}

BOOL CeCloseHandle(HANDLE file) {
    auto f = RAPI_BOUND(CeCloseHandle);
    return f ? f(file) : FALSE;
}

INT CeGetDesktopDeviceCaps(INT index) {
    auto f = RAPI_BOUND(CeGetDesktopDeviceCaps);
    return f ? f(index) : static_cast<INT>(kFallback);
}

BOOL CeGetVersionEx(CEOSVERSIONINFO* info) {
    auto f = RAPI_BOUND(CeGetVersionEx);
    return f ? f(info) : FALSE;
}

BOOL CeSetFileAttributes(LPCWSTR path, DWORD attributes) {
    auto f = RAPI_BOUND(CeSetFileAttributes);
    return f ? f(path, attributes) : FALSE;
}

DWORD CeGetLastError() {
    auto f = RAPI_BOUND(CeGetLastError);
    return f ? f() : kFallback;
}

BOOL CeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                          ULARGE_INTEGER* totalFree) {
    if (!LoadRapi() || binding().diskFreeSpace == nullptr) {
        return FALSE;
    }
    const auto f =
        reinterpret_cast<PfnCeGetDiskFreeSpaceEx>(reinterpret_cast<void*>(binding().diskFreeSpace));
    return f(folder, freeToCaller, total, totalFree);
}

} // namespace rapi
