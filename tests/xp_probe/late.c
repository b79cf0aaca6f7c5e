/* Imports two functions that Windows XP SP3 lacks: one from kernel32.dll,
   one from msvcrt.dll (the secure functions came with Vista's). The import
   check must name both. */
#define MINGW_HAS_SECURE_API 1
#include <windows.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    char digits[16];
    (void)argv;
    return (int)GetTickCount64() + _itoa_s(argc, digits, sizeof digits, 10);
}
