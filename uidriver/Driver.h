// Drives the real VeskoUpgrade.exe from outside, as a person would: finds
// its window by caption, presses the button, reads the status line, and
// reads and answers every message box.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace uidriver {

struct Event {
    enum Kind { Status, Box } kind;
    std::string text;
    std::string caption;     // of a box
    HWND owner = nullptr;    // of a box
    bool formEnabled = true; // the main window, while the box is up
};

class Driver {
  public:
    Driver() = default;
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Starts the program with extra environment settings and waits for its
    // window. False, with a reason in error(), when it does not appear. The
    // default wait covers a 32-bit program under emulation, whose start
    // alone takes about a minute of a busy core.
    bool Launch(const std::string& exe, const std::vector<std::pair<std::string, std::string>>& env,
                DWORD timeoutMs = 180000);

    std::string Status() const;
    std::string ButtonCaption() const;
    bool ButtonEnabled() const;
    void Press() const;

    // Presses the button and follows the run to its end (the button enabled
    // again), answering boxes with OK. Returns the status texts and boxes
    // in the order they appeared; `onEvent` sees each as it happens.
    std::vector<Event> Run(const std::function<void(const Event&)>& onEvent = {},
                           DWORD timeoutMs = 600000);

    // Ends the program at once, as Task Manager's End task does.
    void Kill() const;
    // Waits for the process to end; its exit code, or -1 on time-out.
    long WaitForExit(DWORD timeoutMs = 10000);
    // The full path of every module loaded in the program, the program first.
    std::vector<std::string> Modules() const;
    // The control of the program that has the keyboard focus, if any.
    HWND Focus() const;
    HWND Window() const { return form_; }
    HANDLE Process() const { return process_.hProcess; }
    HWND Button() const { return button_; }
    const std::string& error() const { return error_; }

  private:
    void AnswerBoxes(std::vector<Event>& events, const std::function<void(const Event&)>& onEvent);

    PROCESS_INFORMATION process_{};
    HWND form_ = nullptr;
    HWND label1_ = nullptr;
    HWND button_ = nullptr;
    std::vector<HWND> answered_;
    std::string error_;
};

} // namespace uidriver
