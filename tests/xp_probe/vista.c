/* Imports GetThreadId, which came with Vista although the MinGW headers
   declare it for every version: only the reviewed list refuses it. */
#include <windows.h>

int main(void) {
    return (int)GetThreadId(GetCurrentThread());
}
