#include "app/Unit1.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    return app::RunProgram(instance, show);
}
