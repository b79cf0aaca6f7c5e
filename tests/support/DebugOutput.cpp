// GoogleTest sends every failure to OutputDebugStringA as well, for a
// debugger's window. Under qemu-i386 (where the host runs 64-bit code
// only) the exception that OutputDebugStringA raises crashes Wine's 32-bit
// side, so the first failing check would end the whole test program, and
// at times with exit code 0. Linked into every test program ahead of
// kernel32's import, this slot sends the text on only where no emulator
// runs the program (scripts/test says which in VESKO_I686_MODE).
#include <windows.h>

#include <cstring>

#if defined(__i386__)
namespace {

void WINAPI DebugOutput(LPCSTR text) {
    char mode[16] = {};
    GetEnvironmentVariableA("VESKO_I686_MODE", mode, sizeof mode);
    if (std::strcmp(mode, "emulated") == 0) {
        return;
    }
    using Fn = void(WINAPI*)(LPCSTR);
    static const auto system = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "OutputDebugStringA")));
    if (system != nullptr) {
        system(text);
    }
}

} // namespace

extern "C" void(WINAPI* const vesko_OutputDebugStringA_slot)(LPCSTR) __asm__(
    "__imp__OutputDebugStringA@4") = DebugOutput;
#endif
