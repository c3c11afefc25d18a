// The window layer where no display can be opened: there is no window, alerts are never shown
// (the dialogs answer for the user, see dialogs.cpp) and the event loop has nothing to serve.
#include <atomic>

#include "app/progress.h"
#include "app/window.h"

bool InitWindowSystem(int&, char**&) {
  return false;
}

bool WindowSystemAvailable() {
  return false;
}

void ShowProgressWindow() {}

void PostWindowStatus(std::string, std::string, double) {}

int RunWindowAlert(const std::string&, const std::string&, AlertStyle,
                   const std::vector<std::string>&, const std::string&) {
  return -1;
}

std::optional<std::string> ChooseFolder(const std::string&, const std::string&) {
  return std::nullopt;
}

void CloseCocoaWindowSync() {
  g_windowOpen = false;
}

void OpenLogsFolder(const std::string&) {}

void RunWindowEventLoop() {}
