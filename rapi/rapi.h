// Late binding to the ActiveSync Remote API. The library is loaded at the
// first wrapper call and never released; a wrapper whose library or entry
// point is missing returns a fixed fallback instead of failing.
#pragma once

#include "rapi/RapiTypes.h"
#include "win/ScopedWin.h"

#include <array>
#include <string_view>

namespace rapi {

// The library's whole interface is looked up at its one load, not only the
// names the wrappers call: a wrapper added later finds its entry point bound
// with no change to the binding, and the lookups cost nothing after the
// first call.
inline constexpr std::array<std::string_view, 64> kEntryPointNames = {
    "CeRapiInit",
    "CeRapiInitEx",
    "CeRapiUninit",
    "CeFindAllFiles",
    "RapiFreeBuffer",
    "CeCreateDatabase",
    "CeDeleteDatabase",
    "CeDeleteRecord",
    "CeFindFirstDatabase",
    "CeFindNextDatabase",
    "CeOidGetInfo",
    "CeOpenDatabase",
    "CeReadRecordProps",
    "CeSeekDatabase",
    "CeSetDatabaseInfo",
    "CeWriteRecordProps",
    "CeFindFirstFile",
    "CeFindNextFile",
    "CeFindClose",
    "CeGetFileAttributes",
    "CeSetFileAttributes",
    "CeCreateFile",
    "CeReadFile",
    "CeWriteFile",
    "CeCloseHandle",
    "CeFindAllDatabases",
    "CeGetLastError",
    "GetRapiError",
    "CeSetFilePointer",
    "CeSetEndOfFile",
    "CeCreateDirectory",
    "CeRemoveDirectory",
    "CeCreateProcess",
    "CeMoveFile",
    "CeCopyFile",
    "CeDeleteFile",
    "CeGetFileSize",
    "CeRegOpenKeyEx",
    "CeRegEnumKeyEx",
    "CeRegCreateKeyEx",
    "CeRegCloseKey",
    "CeRegDeleteKey",
    "CeRegEnumValue",
    "CeRegDeleteValue",
    "CeRegQueryInfoKey",
    "CeRegQueryValueEx",
    "CeRegSetValueEx",
    "CeGetStoreInformation",
    "CeGetSystemMetrics",
    "CeGetDesktopDeviceCaps",
    "CeGetSystemInfo",
    "CeSHCreateShortcut",
    "CeSHGetShortcutTarget",
    "CeCheckPassword",
    "CeGetFileTime",
    "CeSetFileTime",
    "CeGetVersionEx",
    "CeGetWindow",
    "CeGetWindowLong",
    "CeGetWindowText",
    "CeGetClassName",
    "CeGlobalMemoryStatus",
    "CeGetSystemPowerStatusEx",
    "CeRapiInvoke",
};

// Looked up after the 64 names, whose table and order stay as they are: the
// free space on the device, which the check before a run asks for, and the
// desktop side's own error, which tells a lost link from the device's
// refusal. A run does without either.
inline constexpr std::array<std::string_view, 2> kOptionalNames = {
    "CeGetDiskFreeSpaceEx",
    "CeRapiGetError",
};

// Values a wrapper returns when its library or entry point is missing. The
// 65535 is a plain number, not the invalid handle -1.
inline constexpr DWORD kFallback = 65535;
inline const HANDLE kFallbackHandle = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(kFallback));

// True once the library is loaded; a failed load is tried again next call.
bool LoadRapi();

// Whether the library is loaded and exports `name` (one of the names
// above). A wrapper whose entry point is missing answers its fallback, which
// a caller must not take for the device's answer.
bool HasEntryPoint(std::string_view name);

HRESULT CeRapiInitEx(RAPIINIT* init);
HRESULT CeRapiUninit();
HANDLE CeFindFirstFile(LPCWSTR path, CE_FIND_DATA* found);
BOOL CeFindClose(HANDLE search);
HANDLE CeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                    DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CeWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                 LPOVERLAPPED overlapped);
BOOL CeCloseHandle(HANDLE file);
INT CeGetDesktopDeviceCaps(INT index);
BOOL CeGetVersionEx(CEOSVERSIONINFO* info);
BOOL CeSetFileAttributes(LPCWSTR path, DWORD attributes);
DWORD CeGetLastError();
BOOL CeGetDiskFreeSpaceEx(LPCWSTR folder, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total,
                          ULARGE_INTEGER* totalFree);
HRESULT CeRapiGetError();

// A device file (CeCreateFile) and a device search (CeFindFirstFile), each
// closed over the link once, whichever way its owner ends. The fallback
// handle of a missing library is closed too, through a wrapper that falls
// back in turn.
struct DeviceFileTraits {
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CeCloseHandle(h); }
};
struct DeviceSearchTraits {
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CeFindClose(h); }
};
using ScopedDeviceFile = win::Scoped<HANDLE, DeviceFileTraits>;
using ScopedDeviceSearch = win::Scoped<HANDLE, DeviceSearchTraits>;

// How the library is found and bound; tests put their own in place.
struct Loader {
    HMODULE (*load)(const char* name);
    FARPROC (*lookup)(HMODULE module, const char* name);
};
Loader ProductionLoader();

// Replaces the loader and forgets any loaded library, as at program start.
// The library itself is not released: the program never unloads it.
void ResetForTesting(const Loader& loader);

// The library once loaded (null before), and why the last load failed (the
// system's error; 0 when none was tried or it loaded).
HMODULE LoadedLibrary();
DWORD LoadError();

} // namespace rapi
