#include "app/dialogs.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

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

// Blocks SIGINT and SIGTERM on the calling thread while it lives, so that one arriving before the
// wait stays pending until the wait lets it in.
class CancelSignalsBlocked {
 public:
  CancelSignalsBlocked() {
    sigset_t cancelSignals;
    sigemptyset(&cancelSignals);
    sigaddset(&cancelSignals, SIGINT);
    sigaddset(&cancelSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &cancelSignals, &previous_);
    whileWaiting_ = previous_;
    sigdelset(&whileWaiting_, SIGINT);
    sigdelset(&whileWaiting_, SIGTERM);
  }
  ~CancelSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  CancelSignalsBlocked(const CancelSignalsBlocked&) = delete;
  CancelSignalsBlocked& operator=(const CancelSignalsBlocked&) = delete;

  // The mask to wait with: the previous one with both signals let in.
  const sigset_t* WhileWaiting() const { return &whileWaiting_; }

 private:
  sigset_t previous_;
  sigset_t whileWaiting_;
};

// One line of standard input without its line feed; the text so far at end of input (nothing when
// there is none), and nothing at all once the user cancelled (Ctrl-C), before or during the wait.
std::optional<std::string> ReadAnswer() {
  // A signal sent to another thread only sets the flag: look at it again every so often.
  constexpr timespec kRecheckInterval{0, 200'000'000};
  const CancelSignalsBlocked blocked;
  std::string line;
  while (true) {
    if (g_cancelRequested) return std::nullopt;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ppoll(&input, 1, &kRecheckInterval, blocked.WhileWaiting());
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  if (g_cancelRequested) return std::nullopt;
  return line;
}

bool AskOnTerminal(const std::string& title, const std::string& message) {
  WriteOut(stdout,
           "\n\x1b[1m" + title + "\x1b[0m\n" + message + "\n\n\u279c " + g_uiText->installPrompt);
  // End of input counts as yes (an empty answer); Ctrl-C at the question is the user backing out.
  const std::optional<std::string> answer = ReadAnswer();
  return answer && emberdale::core::IsYesAnswer(*answer);
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
