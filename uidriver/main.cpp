// uidriver: runs VeskoUpgrade.exe and works its window from outside.
//
//   uidriver.exe PROGRAM [--set NAME=VALUE]... [--pause-file PATH]
//
// Presses the button, prints each status text and message box as it
// appears, answers every box with OK, prints the final state, then presses
// again and confirms that the program has ended. With --pause-file it
// creates that file after the run and waits until it is removed (time for a
// screenshot) before the second press. Exit code 0 when the program ended
// as it should.
#include "uidriver/Driver.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: uidriver PROGRAM [--set NAME=VALUE]... [--pause-file PATH]\n");
        return 2;
    }
    std::vector<std::pair<std::string, std::string>> env;
    std::string pauseFile;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--set") == 0) {
            const std::string setting = argv[i + 1];
            const size_t eq = setting.find('=');
            env.emplace_back(setting.substr(0, eq),
                             eq == std::string::npos ? "" : setting.substr(eq + 1));
        } else if (std::strcmp(argv[i], "--pause-file") == 0) {
            pauseFile = argv[i + 1];
        }
    }
    uidriver::Driver driver;
    if (!driver.Launch(argv[1], env)) {
        std::fprintf(stderr, "uidriver: %s\n", driver.error().c_str());
        return 1;
    }
    std::printf("window: \"%s\" shown, button \"%s\"\n", "Vesko Navigator Upgrade",
                driver.ButtonCaption().c_str());
    std::fflush(stdout);
    driver.Run([](const uidriver::Event& e) {
        if (e.kind == uidriver::Event::Status) {
            std::printf("status: %s\n", e.text.c_str());
        } else {
            std::printf("message box [%s]: %s\n", e.caption.c_str(), e.text.c_str());
        }
        std::fflush(stdout);
    });
    std::printf("final status: \"%s\", button \"%s\" (%s)\n", driver.Status().c_str(),
                driver.ButtonCaption().c_str(), driver.ButtonEnabled() ? "enabled" : "disabled");
    std::fflush(stdout);
    if (!pauseFile.empty()) {
        if (FILE* f = std::fopen(pauseFile.c_str(), "w")) {
            std::fclose(f);
        }
        for (int i = 0; i < 600 && GetFileAttributesA(pauseFile.c_str()) != INVALID_FILE_ATTRIBUTES;
             ++i) {
            Sleep(100);
        }
    }
    if (driver.ButtonCaption() != "Press to Exit") {
        std::printf("the run did not reach its end; closing the program\n");
        PostMessageA(driver.Window(), WM_CLOSE, 0, 0);
        driver.WaitForExit();
        return 1;
    }
    driver.Press();
    const long code = driver.WaitForExit();
    std::printf(code == 0 ? "second press: the program has ended\n"
                          : "second press: the program did not end\n");
    return code == 0 ? 0 : 1;
}
