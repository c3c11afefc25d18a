#include "app/dialogs.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/app_log.h"
#include "app/install_dir.h"
#include "app/path_helpers.h"
#include "app/progress.h"
#include "core/ui_text.h"

namespace {

using emberdale::core::g_uiText;

constexpr unsigned kLaunchLogLinesInErrors = 3;

bool Headless() {
  return !StdoutIsTerminal() && !WindowSystemAvailable();
}

void WriteOut(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

bool AskOnTerminal(const std::string& title, const std::string& message) {
  WriteOut(stdout,
           "\n\x1b[1m" + title + "\x1b[0m\n" + message + "\n\n\u279c " + g_uiText->installPrompt);
  std::string answer;
  // End of input counts as yes; a read broken off by Ctrl-C is the user backing out.
  if (!std::getline(std::cin, answer)) return !g_cancelRequested;
  return emberdale::core::IsYesAnswer(answer);
}

std::string WithLaunchLog(const std::string& message) {
  const std::string tail = LastLines(LaunchLogPath(GetInstallDir()), kLaunchLogLinesInErrors);
  return tail.empty() ? message : message + "\n\nLog: " + tail;
}

}  // namespace

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

int RunAlert(const std::string& title, const std::string& text, AlertStyle style,
             const std::vector<std::string>& buttons, const std::string& escapeButton) {
  return RunWindowAlert(title, text, style, buttons, escapeButton);
}

bool ConfirmUpdate(const std::string& title, const std::string& message) {
  bool accepted = false;
  if (StdoutIsTerminal()) {
    accepted = AskOnTerminal(title, message);
  } else if (Headless()) {
    Log("[INFO] No terminal and no display to ask on: accepting the update");
    accepted = true;
  } else {
    accepted =
        RunAlert(title, message, AlertStyle::Informational,
                 {g_uiText->updateButton, g_uiText->cancelButton}, g_uiText->cancelButton) == 0;
  }
  if (accepted) return true;
  Log(std::string("[INFO] ") + g_uiText->updateCancelled);
  if (StdoutIsTerminal()) WriteOut(stdout, std::string(g_uiText->updateCancelled) + "\n");
  return false;
}

void ShowError(const std::string& message, LaunchLog launchLog) {
  CloseCocoaWindowSync();
  Log("[ERROR] " + message);
  const std::string text = launchLog == LaunchLog::Append ? WithLaunchLog(message) : message;
  if (StdoutIsTerminal()) {
    WriteOut(stderr, "\n\x1b[38;2;255;107;107m[\u2716 ERROR]\x1b[0m " + text + "\n");
    return;
  }
  if (Headless()) {
    WriteOut(stderr, "[\u2716 ERROR] " + text + "\n");
    return;
  }
  const std::string title = std::string(g_uiText->updaterTitle) + ": " + g_uiText->errorTitle;
  const int answer =
      RunAlert(title, text, AlertStyle::Critical, {g_uiText->closeButton, g_uiText->openLogButton},
               g_uiText->closeButton);
  if (answer == 1) OpenLogsFolder(LogsFolder(GetInstallDir()));
}
