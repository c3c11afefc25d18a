#include "app/launch.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/app_links.h"
#include "app/app_log.h"
#include "app/arguments.h"
#include "app/desktop_entry_linux.h"
#include "app/desktop_host.h"
#include "app/dialogs.h"
#include "app/path_helpers.h"
#include "app/progress.h"
#include "app/window.h"
#include "core/deployment.h"
#include "core/fd_io.h"
#include "core/local_versions.h"
#include "core/ui_text.h"
#include "core/unique_fd.h"
#include "core/update_run.h"
#include "posix/install_volume.h"
#include "posix/process.h"
#include "posix/time_stamp.h"

bool g_firstInstall = false;

namespace {

using emberdale::core::g_uiText;

constexpr const char* kCopyTool = "/bin/cp";
constexpr const char* kFileTool = "/usr/bin/file";
constexpr const char* kDefaultPath = "/usr/bin:/bin:/usr/sbin:/sbin";
constexpr auto kEarlyExitWatch = std::chrono::milliseconds(500);
constexpr unsigned kLaunchLogLinesSearched = 5;
constexpr mode_t kLaunchLogMode = 0666;  // before the umask, as for any file the user creates
constexpr std::string_view kJvmFailureMarker = "Failed to find JVM";
constexpr emberdale::core::TextPair kAppCopiedTitle{"Emberdale is installed",
                                                    "Emberdale установлен"};
constexpr emberdale::core::TextPair kAppCopied{
    "Emberdale has been added to your Applications folder (~/Applications). Open it from there, "
    "from Launchpad or with Spotlight.",
    "Emberdale добавлен в папку «Программы» вашей учётной записи (~/Applications). Открывайте "
    "его оттуда, из Launchpad или через Spotlight."};

int Finish(int code) {
  Log("[INFO] === Emberdale Updater finished (exit code " + std::to_string(code) + ") ===");
  Log("");
  return code;
}

int FailWith(const std::string& message) {
  ShowError(message);
  CloseCocoaWindowSync();
  return Finish(1);
}

// Records the digest of the updater that shipped in the bundle, so a fresh install does not
// download the updater it is already running.
void SeedVersionsFile(const std::string& installDir) {
  emberdale::core::LocalVersions record;
  if (const std::string bundle = SelfBundle(); !bundle.empty()) {
    std::ifstream in(bundle + "/Contents/Resources/data/updater_sha256.txt", std::ios::binary);
    std::string line;
    if (in && std::getline(in, line)) record.updater_archive_sha256 = Trim(line);
  }
  (void)emberdale::core::SaveLocalVersions(installDir, record);
  Log("[INFO] Created initial versions.json with updater SHA256: " + record.updater_archive_sha256);
}

bool Missing(const std::filesystem::path& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  return ec || !std::filesystem::exists(status);
}

void TellAppCopied() {
  const std::string text = kAppCopied.get();
  if (StdoutIsTerminal()) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    return;
  }
  RunAlert(kAppCopiedTitle.get(), text, AlertStyle::Informational, {"OK"}, "");
}

// Lets the desktop start the copy with emberdale:// links. A failure costs only the links.
void RegisterLinkHandler(const std::filesystem::path& copiedBundle) {
  const auto entry = RegisterAppLinkHandler(copiedBundle / "Contents" / "MacOS" /
                                            std::filesystem::path(GetSelfPath()).filename());
  if (!entry) {
    Log("[WARN] Failed to register the handler of emberdale:// links: " + entry.error());
    return;
  }
  Log("[INFO] Registered the handler of emberdale:// links: " + entry->native());
}

void CopyAppToApplications() {
  const std::string bundle = SelfBundle();
  if (bundle.empty()) return;
  const std::filesystem::path destination = std::filesystem::path(GetHomeDir()) / "Applications" /
                                            std::filesystem::path(bundle).filename();
  std::error_code ec;
  if (std::filesystem::equivalent(bundle, destination, ec) && !ec) {
    RegisterLinkHandler(destination);
    return;
  }
  std::filesystem::create_directories(destination.parent_path(), ec);
  std::filesystem::remove_all(destination, ec);
  const auto copied = emberdale::posix::Run({kCopyTool, "-a", bundle, destination.native()}, {});
  if (!copied || copied->exitCode != 0) {
    Log("[WARN] Failed to copy the app to " + destination.native());
    return;
  }
  Log("[INFO] App copied to " + destination.native());
  RegisterLinkHandler(destination);
  TellAppCopied();
}

std::vector<std::pair<std::string, std::string>> LauncherEnvironment(const std::string& installDir,
                                                                     const std::string& javaHome) {
  const char* path = std::getenv("PATH");
  return {
      {"SKIKO_RENDER_API", "METAL"},
      {"SKIKO_FALLBACK_RENDER_API", "SOFTWARE"},
      {"EMBERDALE_LAUNCHER_MODE", "normal"},
      {"EMBERDALE_HOME", installDir},
      {"JAVA_HOME", javaHome},
      {"PATH", javaHome + "/bin:" + (path != nullptr ? path : kDefaultPath)},
  };
}

// Writes the header over the previous start's log and cuts the file after it. Cutting after the
// write rather than emptying the file first keeps ext4, which writes a file emptied and rewritten
// back to the disk when it is closed, from making the start wait for that.
void WriteLaunchLogHeader(const std::string& logPath, const std::string& exe,
                          const std::string& javaHome) {
  const std::string header = "--- Emberdale Launcher started " +
                             emberdale::posix::LocalTimeStamp() + " by Emberdale Updater " +
                             std::string(emberdale::core::kUpdaterVersion) +
                             " ---\nExecutable: " + exe + "\nJAVA_HOME: " + javaHome + "\n\n";
  const emberdale::core::UniqueFd out(
      open(logPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kLaunchLogMode));
  if (!out) return;
  const bool written = emberdale::core::WriteAll(out.Get(), header);
  (void)ftruncate(out.Get(), written ? static_cast<off_t>(header.size()) : 0);
}

std::vector<std::string> LauncherArguments(const std::string& exe) {
  std::vector<std::string> args{exe};
  args.insert(args.end(), g_arguments.begin(), g_arguments.end());
  if (const auto link = PendingAppLink();
      link && std::find(g_arguments.begin(), g_arguments.end(), *link) == g_arguments.end()) {
    args.push_back(*link);
  }
  return args;
}

std::string DescribeEnd(const emberdale::posix::ChildEnd& end) {
  switch (end.kind) {
    case emberdale::posix::ChildEnd::Kind::Exited:
      return "exit code " + std::to_string(end.number);
    case emberdale::posix::ChildEnd::Kind::Signalled:
      return "signal " + std::to_string(end.number);
    case emberdale::posix::ChildEnd::Kind::Other:
      break;
  }
  return "unknown";
}

int ReportEarlyExit(const std::string& installDir, const std::string& exe,
                    const std::string& javaHome, const emberdale::posix::ChildEnd& end) {
  Log("[INFO] Launcher binary: " + DescribeBinary(exe));
  Log("[INFO] Java binary: " + DescribeBinary(javaHome + "/bin/java"));
  std::string message = std::string(g_uiText->launcherStartFailed) + "\n(" +
                        g_uiText->statusPrefix + DescribeEnd(end) + ")";
  if (LastLines(LaunchLogPath(installDir), kLaunchLogLinesSearched).find(kJvmFailureMarker) !=
      std::string::npos) {
    message += std::string("\n\n") + g_uiText->javaNotFound + installDir;
  }
  ShowError(message, LaunchLog::Append);
  return Finish(1);
}

int StartLauncher(const std::string& installDir) {
  const std::string exe = FindLauncherExe(installDir);
  if (exe.empty()) {
    ShowError(g_uiText->launcherNotFound);
    return Finish(1);
  }
  UpdateStatus(g_uiText->startingLauncher, -1);
  const std::string javaHome = JavaHome(installDir);
  const std::string logPath = LaunchLogPath(installDir);
  WriteLaunchLogHeader(logPath, exe, javaHome);
  Log("[INFO] Starting the launcher: " + exe + " (output: " + logPath + ")");
  emberdale::posix::SpawnOptions options;
  options.workingDirectory = installDir;
  options.environment = LauncherEnvironment(installDir, javaHome);
  options.outputFile = logPath;
  options.newSession = true;
  const auto pid = emberdale::posix::Spawn(LauncherArguments(exe), options);
  if (!pid) {
    Log("[ERROR] Failed to start the launcher: " + pid.error());
    ShowError(g_uiText->launcherStartFailed);
    return Finish(1);
  }
  Log("[INFO] Launcher PID: " + std::to_string(*pid));
  std::this_thread::sleep_for(kEarlyExitWatch);
  const auto end = emberdale::posix::PollChild(*pid);
  if (!end) return Finish(0);
  return ReportEarlyExit(installDir, exe, javaHome, *end);
}

}  // namespace

std::string VolumeProblemText(const std::string& installDir) {
  const auto problem = emberdale::posix::CheckInstallVolume(installDir);
  if (!problem) return {};
  return (*problem == emberdale::posix::VolumeProblem::NoExec ? g_uiText->noexecVolume
                                                              : g_uiText->fatVolume) +
         installDir;
}

std::string DescribeBinary(const std::string& path) {
  emberdale::posix::RunOptions options;
  options.captureOutput = true;
  const auto result = emberdale::posix::Run({kFileTool, "-b", path}, options);
  if (!result || result->exitCode != 0) return "unknown";
  return Trim(result->output);
}

int Run(const std::string& installDir) {
  if (IsLauncherRunningAfterHandOver()) return FailWith(g_uiText->launcherAlreadyRunning);
  if (const std::string problem = VolumeProblemText(installDir); !problem.empty()) {
    return FailWith(problem);
  }
  const bool unrecorded = Missing(emberdale::core::VersionsFile(installDir));
  if (unrecorded) SeedVersionsFile(installDir);
  // A first install lasts until the launcher has been started once (its log is written then): a
  // first run cut short leaves a versions file, and the next run still copies the app.
  g_firstInstall = unrecorded || Missing(LaunchLogPath(installDir));

  emberdale::core::UpdateOutcome outcome;
  {
    MacUpdaterHost host(installDir);
    outcome = emberdale::core::RunUpdate(host);
  }
  CloseCocoaWindowSync();
  if (outcome != emberdale::core::UpdateOutcome::Ready) return Finish(1);
  if (g_firstInstall) CopyAppToApplications();
  return StartLauncher(installDir);
}
