// Late binding to the ActiveSync Remote API. The library is loaded at the
// first wrapper call and never released; a wrapper whose library or entry
// point is missing returns a fixed fallback instead of failing.
#pragma once

#include "rapi/RapiTypes.h"

#include <array>
#include <string_view>

namespace rapi {

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

// Values a wrapper returns when its library or entry point is missing. The
// 65535 is a plain number, not the invalid handle -1.
inline constexpr DWORD kFallback = 65535;
inline const HANDLE kFallbackHandle = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(kFallback));

// True once the library is loaded; a failed load is tried again next call.
bool LoadRapi();

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

// How the library is found and bound; tests put their own in place.
struct Loader {
    HMODULE (*load)(const char* name);
    FARPROC (*lookup)(HMODULE module, const char* name);
};
Loader ProductionLoader();

// Replaces the loader and forgets any loaded library, as at program start.
// The library itself is not released: the program never unloads it.
void ResetForTesting(const Loader& loader);

} // namespace rapi
