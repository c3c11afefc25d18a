// The window layer: everything that needs the window system. The rest of the front end reaches
// the window only through these calls and the ones in progress.h and dialogs.h. window.cpp loads
// the GTK implementation (window_gtk.cpp, built as the module EmberdaleWindow.so) when a display
// can be opened, and answers headless otherwise.
//
// Threads: the main thread owns every window object. Calls marked "any thread" hand their work to
// the main thread; the synchronous ones wait until it is done, so the main thread must keep
// running its event loop while another thread uses them.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Alert styles, as the platform numbers them.
enum class AlertStyle { Warning = 0, Informational = 1, Critical = 2 };

// Opens the window system. false: no display, so the program runs headless. Main thread, once.
[[nodiscard]] bool InitWindowSystem(int& argc, char**& argv);

// Whether InitWindowSystem succeeded.
[[nodiscard]] bool WindowSystemAvailable();

// Builds and shows the progress window and sets g_windowOpen (any thread; synchronous).
void ShowProgressWindow();

// Shows a status in the progress window, asynchronously (any thread). A negative fraction leaves
// the bar as it is. Dropped when the window has been closed meanwhile.
void PostWindowStatus(std::string status, std::string detail, double fraction);

// Runs a modal alert and returns the index of the pressed button, -1 when none was reported.
// Any thread; blocks until the user answers.
int RunWindowAlert(const std::string& title, const std::string& text, AlertStyle style,
                   const std::vector<std::string>& buttons, const std::string& escapeButton);

// Lets the user choose a folder (existing or new), starting in `startFolder`. Empty when
// cancelled. Any thread; blocks until the user answers.
[[nodiscard]] std::optional<std::string> ChooseFolder(const std::string& message,
                                                      const std::string& startFolder);

// Closes the progress window if it is open and returns when it is gone (any thread).
void CloseCocoaWindowSync();

// Opens `folder` in the file manager (any thread; synchronous).
void OpenLogsFolder(const std::string& folder);

// Runs the main thread's event loop; returns only when the process ends (at once when headless).
void RunWindowEventLoop();
