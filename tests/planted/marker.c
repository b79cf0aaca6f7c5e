/* Stands in for a DLL that a web page dropped beside the program: loaded,
   it leaves a file named after itself plus ".loaded" where it lies, and
   refuses to stay. */
#include <windows.h>

/* For a library that imports it (importer.c). */
__declspec(dllexport) int MarkerVersion(void) {
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR path[MAX_PATH + 8];
        DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            lstrcatW(path, L".loaded");
            HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, NULL);
            if (marker != INVALID_HANDLE_VALUE) {
                CloseHandle(marker);
            }
        }
        return FALSE;
    }
    return TRUE;
}
