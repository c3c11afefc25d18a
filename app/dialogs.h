// Questions and error reports. A terminal gets them when standard output is one; otherwise a
// modal alert of the window layer; with neither (headless), nobody can answer, so confirmations
// are accepted (an unattended start keeps the installation current) and errors go to standard
// error, each logged.
#pragma once

#include <string>
#include <vector>

#include "app/window.h"

// Runs a modal alert on the main thread and returns the index of the pressed button; -1 when no
// button was reported (always so without a window system). Any thread; blocks.
int RunAlert(const std::string& title, const std::string& text, AlertStyle style,
             const std::vector<std::string>& buttons, const std::string& escapeButton);

// Asks the user to accept an update; true means go ahead. Logs and prints the cancelled text when
// the user declines. Update thread.
[[nodiscard]] bool ConfirmUpdate(const std::string& title, const std::string& message);

// Whether an error report shows the end of the launch log too.
enum class LaunchLog { Omit, Append };

// Closes the progress window, logs "[ERROR] " + message and shows the message. With
// LaunchLog::Append, the last 3 lines of the launch log are appended. Update or main thread.
void ShowError(const std::string& message, LaunchLog launchLog = LaunchLog::Omit);

// Whether standard output is a terminal right now.
[[nodiscard]] bool StdoutIsTerminal();
