// Linked into VeskoUpgrade.exe only, ahead of the system's import libraries.
//
// The statically linked thread library calls GetTickCount64, which Windows
// XP lacks: importing it would stop the program from starting there. This
// file defines the import slot the library calls through, so the linker
// takes it instead of an import, and fills it with a function that looks
// GetTickCount64 up at run time.
#include "win/TickCount.h"

namespace {

ULONGLONG WINAPI TickCount64Anywhere() {
    return win::TickCount64();
}

} // namespace

#if defined(__i386__)
#define VESKO_IMPORT_SLOT(name, argBytes) "__imp__" #name "@" #argBytes
#else
#define VESKO_IMPORT_SLOT(name, argBytes) "__imp_" #name
#endif

extern "C" ULONGLONG(WINAPI* const vesko_GetTickCount64_slot)() __asm__(
    VESKO_IMPORT_SLOT(GetTickCount64, 0)) = TickCount64Anywhere;
