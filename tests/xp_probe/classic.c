/* Imports only what Windows XP SP3 has: the import check must pass it. */
#include <windows.h>
#include <string.h>

int main(int argc, char **argv) {
    return (int)GetTickCount() + (int)strlen(argv[argc - 1]) +
           MessageBoxA(NULL, "x", "x", argc > 5 ? MB_OK : MB_OKCANCEL);
}
