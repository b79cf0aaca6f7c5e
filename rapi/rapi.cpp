#include "rapi/rapi.h"

#include "win/SystemDirectory.h"

#include <cstddef>
#include <string>

namespace rapi {
namespace {

// Only from where the providers install it: ActiveSync and Windows Mobile
// Device Center put RAPI.DLL in the system directory. Never the program's
// folder, the current one or PATH, where a download may have planted one;
// its own imports are looked for beside it and in the system directory.
HMODULE LoadFromSystemDirectory(const char* name) {
    std::wstring wide;
    for (const char* c = name; *c != '\0'; ++c) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*c)); // an ASCII name
    }
    return win::LoadFromSystemDirectory(wide.c_str());
}
FARPROC LookUp(HMODULE module, const char* name) {
    return GetProcAddress(module, name);
}

// Every name bound: the table's 64, then the optional ones.
constexpr std::size_t kBoundNames = kEntryPointNames.size() + kOptionalNames.size();

constexpr std::string_view NameAt(std::size_t index) {
    return index < kEntryPointNames.size() ? kEntryPointNames[index]
                                           : kOptionalNames[index - kEntryPointNames.size()];
}

// The index of `name` among the bound names; kBoundNames when it is none.
constexpr std::size_t IndexOf(std::string_view name) {
    std::size_t i = 0;
    while (i < kBoundNames && NameAt(i) != name) {
        ++i;
    }
    return i;
}

struct Binding {
    Loader loader{LoadFromSystemDirectory, LookUp};
    HMODULE library = nullptr;
    std::array<FARPROC, kBoundNames> entry{};
    DWORD loadError = 0; // why the last load failed
};

Binding& binding() {
    static Binding b;
    return b;
}

// The bound entry point `Name` as type F, or null when the library or the
// entry point is missing.
template <typename F, std::size_t Index> F Bound() {
    static_assert(Index < kBoundNames, "not a bound name");
    if (!LoadRapi()) {
        return nullptr;
    }
    return reinterpret_cast<F>(reinterpret_cast<void*>(binding().entry[Index]));
}

#define RAPI_BOUND(name) Bound<Pfn##name, IndexOf(#name)>()

} // namespace

Loader ProductionLoader() {
    return Loader{LoadFromSystemDirectory, LookUp};
}

void ResetForTesting(const Loader& loader) {
    binding() = Binding{loader, nullptr, {}, 0};
}

HMODULE LoadedLibrary() {
    return binding().library;
}

DWORD LoadError() {
    return binding().loadError;
}

bool LoadRapi() {
    Binding& b = binding();
    if (b.library != nullptr) {
        return true;
    }
    HMODULE library = b.loader.load("RAPI.DLL");
    // Handles of 32 or less are the error codes of the old loader.
    if (reinterpret_cast<UINT_PTR>(library) <= 32) {
        b.loadError = GetLastError();
        return false;
    }
    b.library = library;
    for (std::size_t i = 0; i < kBoundNames; ++i) {
        b.entry[i] = b.loader.lookup(library, std::string(NameAt(i)).c_str());
    }
    return true;
}

bool HasEntryPoint(std::string_view name) {
    const std::size_t index = IndexOf(name);
    return LoadRapi() && index < kBoundNames && binding().entry[index] != nullptr;
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
    auto f = RAPI_BOUND(CeGetDiskFreeSpaceEx);
    return f ? f(folder, freeToCaller, total, totalFree) : FALSE;
}

HRESULT CeRapiGetError() {
    auto f = RAPI_BOUND(CeRapiGetError);
    return f ? f() : static_cast<HRESULT>(kFallback);
}

} // namespace rapi
