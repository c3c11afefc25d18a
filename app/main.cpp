// The process entry: language, signals, presentation mode, install location, the log header, the
// hand-over to a running launcher, then the launch sequence - on a worker thread while the main
// thread serves the window system, or directly without a window.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <future>
#include <system_error>
#include <thread>

#include "app/app_links.h"
#include "app/app_log.h"
#include "app/arguments.h"
#include "app/dialogs.h"
#include "app/install_dir.h"
#include "app/install_location.h"
#include "app/launch.h"
#include "app/path_helpers.h"
#include "app/preferred_language.h"
#include "app/progress.h"
#include "app/window.h"
#include "core/deployment.h"
#include "core/ui_text.h"
#include "posix/curl_client.h"
#include "posix/executable_replace.h"
#include "posix/install_pointer.h"
#include "posix/process.h"

namespace {

enum class Mode { Window, Console, Headless };

void SignalHandler(int) {
  g_cancelRequested = true;
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = SignalHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

Mode PresentationMode(int& argc, char**& argv) {
  if (StdoutIsTerminal()) return Mode::Console;
  return InitWindowSystem(argc, argv) ? Mode::Window : Mode::Headless;
}

// The install directory of a first start, or the exit code when there is none.
std::expected<std::string, int> FirstStartInstallDir(Mode mode) {
  const std::string candidate = DefaultInstallDir();
  if (mode == Mode::Window) {
    if (auto chosen = AskForInstallDir(candidate)) return *chosen;
    return std::unexpected(0);
  }
  if (const std::string reason = ValidateInstallRoot(candidate); !reason.empty()) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return std::unexpected(1);
  }
  return candidate;
}

void LogHeader(const std::string& installDir) {
  InstallLogSink();
  Log("");
  Log(std::format("[INFO] Emberdale Updater v{} (macOS)", emberdale::core::kUpdaterVersion));
  Log("[INFO] Install dir: " + installDir);
}

void SaveArguments(int argc, char** argv) {
  g_arguments = SavedArguments(argc, argv);
  if (g_arguments.empty()) return;
  std::string line = "[INFO] Arguments:";
  for (const std::string& arg : g_arguments) line += " " + emberdale::posix::ShellQuote(arg);
  Log(line);
}

// Runs `body` and returns its exit code; an exception that escapes it is reported as a fatal
// error and gives exit code 1.
template <typename Body>
int ReportingFatalErrors(Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    ShowError(std::string("Fatal exception: ") + e.what());
  } catch (...) {
    ShowError("Unknown fatal error.");
  }
  return 1;
}

int RunGuarded(const std::string& installDir) {
  return ReportingFatalErrors([&] { return Run(installDir); });
}

int RunWithWindow(const std::string& installDir) {
  if (HandOverToRunningLauncher(installDir)) {
    Log("[INFO] === Emberdale Updater finished (handed over to the running launcher) ===");
    return 0;
  }
  ShowProgressWindow();
  std::thread([installDir] { std::exit(RunGuarded(installDir)); }).detach();
  RunWindowEventLoop();
  return 0;
}

// libcurl's set-up (the TLS library and its configuration file) on the second core, while the
// local state is read and a running launcher looked for; the first transfer waits for it.
std::future<void> StartCurlSetUp() {
  try {
    return std::async(std::launch::async, emberdale::posix::InitCurl);
  } catch (const std::system_error&) {  // no thread to be had: set up here
    emberdale::posix::InitCurl();
    return {};
  }
}

int Main(int argc, char** argv) {
  emberdale::core::g_uiText =
      &emberdale::core::UiTextFor(emberdale::core::LanguageFromLocaleName(PreferredLanguage()));
  InstallSignalHandlers();
  const Mode mode = PresentationMode(argc, argv);
  // Started after the window system, which sets the locale; waited for on every way out of here.
  const std::future<void> curlSetUp = StartCurlSetUp();

  if (ReadInstallPointer().empty()) {
    const auto chosen = FirstStartInstallDir(mode);
    if (!chosen) return chosen.error();
    g_installDir = *chosen;
    if (!emberdale::posix::WriteInstallPointer(InstallPointerPath(), *chosen)) {
      Log("[WARN] Failed to save the install location to " + InstallPointerPath());
    }
  }
  const std::string installDir = GetInstallDir();
  LogHeader(installDir);
  if (const std::string self = GetSelfPath(); !self.empty()) {
    emberdale::posix::RemoveExecutableBackup(self);
  }
  std::error_code ec;
  std::filesystem::create_directories(installDir, ec);
  if (ec) {
    ShowError(emberdale::core::g_uiText->createFolderFailed + installDir);
    return 1;
  }
  SaveArguments(argc, argv);
  if (mode == Mode::Window) {
    if (curlSetUp.valid()) curlSetUp.wait();  // the window's worker ends the process by std::exit
    return RunWithWindow(installDir);
  }
  if (HandOverToRunningLauncher(installDir)) return 0;
  return Run(installDir);
}

}  // namespace

int main(int argc, char** argv) {
  return ReportingFatalErrors([&] { return Main(argc, argv); });
}
