// The Remote API's published records and entry-point signatures. The program
// binds the library at run time, so it declares these itself.
#pragma once

#include <windows.h>

namespace rapi {

// Size 12 in the classic 32-bit build; 24 where handles are 64 bits wide.
struct RAPIINIT {
    DWORD cbSize;
    HANDLE heRapiInit;
    HRESULT hrRapiInit;
};

struct CE_FIND_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};

struct CEOSVERSIONINFO {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
};

static_assert(sizeof(CEOSVERSIONINFO) == 276);

// CeRapiInitEx's answer on a connection that is already initialised.
inline constexpr HRESULT CERAPI_E_ALREADYINITIALIZED = static_cast<HRESULT>(0x80041001);
#if !defined(_WIN64)
static_assert(sizeof(RAPIINIT) == 12);
#endif

// Device capability indexes of CeGetDesktopDeviceCaps.
inline constexpr int kVertSize = 6; // vertical display size, millimetres
inline constexpr int kVertRes = 10; // vertical resolution, pixels

using PfnCeRapiInitEx = HRESULT(WINAPI*)(RAPIINIT*);
using PfnCeRapiUninit = HRESULT(WINAPI*)();
using PfnCeFindFirstFile = HANDLE(WINAPI*)(LPCWSTR, CE_FIND_DATA*);
using PfnCeFindClose = BOOL(WINAPI*)(HANDLE);
using PfnCeCreateFile = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                        HANDLE);
using PfnCeWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using PfnCeCloseHandle = BOOL(WINAPI*)(HANDLE);
using PfnCeGetDesktopDeviceCaps = INT(WINAPI*)(INT);
using PfnCeGetVersionEx = BOOL(WINAPI*)(CEOSVERSIONINFO*);
using PfnCeSetFileAttributes = BOOL(WINAPI*)(LPCWSTR, DWORD);
using PfnCeGetLastError = DWORD(WINAPI*)();
using PfnCeRapiGetError = HRESULT(WINAPI*)();
using PfnCeGetDiskFreeSpaceEx = BOOL(WINAPI*)(LPCWSTR, ULARGE_INTEGER*, ULARGE_INTEGER*,
                                              ULARGE_INTEGER*);

} // namespace rapi
