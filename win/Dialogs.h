// The program's message boxes and its message pump: the one seam through
// which every module shows a message, so tests can capture them all.
#pragma once

#include <windows.h>

#include <string>

namespace win {

// The .exe name without path and extension; captions the plain boxes.
std::string ApplicationTitle();

// Plain box: the text, an OK button and the application title.
void ShowMessage(const std::string& text);
// Information icon and the given caption.
void ShowInformation(const std::string& text, const std::string& caption);
// Stop icon and the application title: how an error that ends a click shows.
void ShowErrorMessage(const std::string& text);
// The same for an error's text, with a full stop added where it has none.
void ShowException(const std::string& text);
// The same for the exception being handled; call only inside a catch block.
void ShowCurrentException();
// The text ShowCurrentException shows, full stop included; call only inside
// a catch block.
std::string CurrentExceptionText();

// The system beep (MessageBeep); tests observe it through the observer,
// which, when set, is told of each beep.
void Beep(UINT type);
void SetBeepObserverForTesting(void (*observer)(UINT type));

// The program's main window, or null once it is gone: every box is owned by
// it, so that the box is modal to it and stays in front of it, and the pumps
// serve its keyboard navigation (Tab, Enter, space).
void SetMainWindow(HWND window);
HWND MainWindow();

// Translates and dispatches one message, keyboard navigation included.
void DispatchOne(MSG& msg);

// Processes the messages waiting in this thread's queue and returns once it
// is empty. A WM_QUIT taken here is posted again, so the outer loop ends.
void ProcessMessages();

} // namespace win
