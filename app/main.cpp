#include "app/Program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    return app::RunProgram(instance, show);
}
