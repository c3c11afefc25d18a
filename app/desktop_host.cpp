#include "app/desktop_host.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "app/ad_hoc_sign.h"
#include "app/app_log.h"
#include "app/arguments.h"
#include "app/dialogs.h"
#include "app/path_helpers.h"
#include "app/progress.h"
#include "app/window.h"
#include "core/deployment.h"
#include "core/ui_text.h"
#include "core/update_run.h"
#include "posix/component_install.h"
#include "posix/executable_replace.h"

namespace {

using emberdale::core::Component;
using emberdale::core::Failure;
using emberdale::core::g_uiText;
using emberdale::core::Step;

constexpr std::chrono::seconds kManifestTimeout{15};
constexpr std::size_t kManifestMaxBytes = 5 * 1024 * 1024;
constexpr mode_t kLauncherMode = 0755;

bool CancelRequested() {
  return g_cancelRequested.load();
}

std::string ComponentName(Component component) {
  return component == Component::Jre ? g_uiText->javaName : g_uiText->launcherName;
}

// The status text and percent shown for a step, or nothing for the steps that show nothing.
std::optional<std::pair<std::string, int>> StepStatus(Step step,
                                                      std::optional<Component> component) {
  switch (step) {
    case Step::Preparing:
      return std::pair{std::string(g_uiText->preparing), -1};
    case Step::CheckingForUpdates:
      return std::pair{std::string(g_uiText->checkingUpdates), 0};
    case Step::ManifestReceived:
      return std::pair{std::string(g_uiText->updateDataReceived), 100};
    case Step::ManifestUnavailable:
      return std::pair{std::string(g_uiText->checkFailedStartingInstalled), 100};
    case Step::DownloadingUpdater:
      return std::pair{std::string(g_uiText->downloadingUpdate), 0};
    case Step::InstallingUpdater:
      return std::pair{std::string(g_uiText->installingUpdate), -1};
    case Step::DownloadingComponent:
      return std::pair{MacUpdaterHost::DownloadText(component), 0};
    case Step::InstallingComponent:
      return std::pair{std::string(component == Component::Jre ? g_uiText->installingJava
                                                               : g_uiText->installingLauncher),
                       -1};
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string GetUserAgent() {
  return std::format("Emberdale-Updater/{} (macOS)", emberdale::core::kUpdaterVersion);
}

std::string ManifestUrl() {
  return std::format("https://{}/launcher/launcher-manifest.json", emberdale::core::kCdnHost);
}

MacUpdaterHost::MacUpdaterHost(std::string installDir)
    : installRoot(std::move(installDir)), downloader(GetUserAgent(), CancelRequested) {}

std::filesystem::path MacUpdaterHost::InstallRoot() const {
  return installRoot;
}

void MacUpdaterHost::ReportStep(Step step, std::optional<Component> component, int) {
  if (const auto status = StepStatus(step, component)) UpdateStatus(status->first, status->second);
}

emberdale::core::ProgressCallback MacUpdaterHost::DownloadProgress(
    std::optional<Component> component, int, int) {
  return ::DownloadProgress(DownloadText(component));
}

void MacUpdaterHost::ReportFailure(Failure failure, std::optional<Component>) {
  switch (failure) {
    case Failure::ComponentUnavailable:
      ShowError(g_uiText->offlineAndNotInstalled);
      break;
    case Failure::DownloadFailed:
      ShowError(g_uiText->downloadFailed);
      break;
    case Failure::VerificationFailed:
      ShowError(g_uiText->integrityFailed);
      break;
    case Failure::InstallFailed:
      ShowError(g_uiText->extractFailed + installRoot);
      break;
  }
}

bool MacUpdaterHost::ConfirmUpdates(const std::vector<emberdale::core::PendingUpdate>& updates) {
  std::string message = g_uiText->updatesRequiredIntro;
  for (const auto& update : updates) {
    const std::string from =
        update.installedVersion.empty() ? g_uiText->notInstalled : update.installedVersion;
    message +=
        "\n" + emberdale::core::FormatUpdateLine(*g_uiText, ComponentName(update.component), from,
                                                 update.target.version, update.target.size);
  }
  return Confirm(g_uiText->updatesAvailableTitle, message);
}

bool MacUpdaterHost::ConfirmSelfUpdate(const emberdale::core::UpdateInfo& update) {
  const std::string message = std::string(g_uiText->updatesRequiredIntro) + "\n" +
                              emberdale::core::FormatUpdateLine(*g_uiText, g_uiText->updaterName,
                                                                emberdale::core::kUpdaterVersion,
                                                                update.version, update.size);
  return Confirm(g_uiText->updateAvailableTitle, message);
}

std::expected<std::string, std::string> MacUpdaterHost::FetchManifest() {
  const std::string url = ManifestUrl();
  Log("[INFO] Loading configuration from: " + url);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::string requestUrl =
      url + "?t=" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
  return emberdale::posix::FetchText(requestUrl, GetUserAgent(), kManifestTimeout.count(),
                                     kManifestMaxBytes, CancelRequested);
}

emberdale::core::Downloader& MacUpdaterHost::GetDownloader() {
  return downloader;
}

bool MacUpdaterHost::IsInstalled(Component component) const {
  if (component == Component::Launcher) return !FindLauncherExe(installRoot).empty();
  std::error_code ec;
  return std::filesystem::is_regular_file(
      std::filesystem::path(JavaHome(installRoot)) / "bin" / "java", ec);
}

std::expected<void, std::string> MacUpdaterHost::UnpackComponent(
    Component component, const std::filesystem::path& package) {
  const std::filesystem::path temp = emberdale::core::TempDir(installRoot);
  if (component == Component::Jre) return emberdale::posix::UnpackRuntimePackage(package, temp);
  const auto staging = emberdale::posix::UnpackLauncherPackage(package, temp);
  if (!staging) return std::unexpected(staging.error());
  // Made runnable before it moves into place, so a crash right after the move keeps a launcher
  // that starts.
  if (const std::string exe = FindLauncherExe(*staging); !exe.empty()) {
    chmod(exe.c_str(), kLauncherMode);
    AdHocSign(exe);
  }
  return {};
}

std::expected<void, std::string> MacUpdaterHost::InstallComponent(Component component,
                                                                  const std::filesystem::path&, int,
                                                                  int) {
  const std::filesystem::path temp = emberdale::core::TempDir(installRoot);
  if (component == Component::Jre) {
    return emberdale::posix::PlaceRuntimePackage(JavaHome(installRoot), temp);
  }
  if (auto installed = emberdale::posix::PlaceLauncherPackage(installRoot, temp); !installed) {
    return installed;
  }
  if (FindLauncherExe(installRoot).empty()) {
    return std::unexpected("EmberdaleLauncher not found in the package");
  }
  return {};
}

bool MacUpdaterHost::ApplySelfUpdate(const std::filesystem::path& package,
                                     const std::function<void()>& replaced) {
  const std::string exe = GetSelfPath();
  if (exe.empty()) {
    Log("[WARN] Can't locate the running updater");
    return false;
  }
  const auto unpackDir = emberdale::core::TempDir(installRoot) / "updater-unpacked";
  if (auto replaced = emberdale::posix::ReplaceExecutable(exe, package, unpackDir); !replaced) {
    Log("[WARN] Can't replace the updater: " + replaced.error());
    return false;
  }
  const std::string bundle = SelfBundle();
  if (!bundle.empty()) AdHocSign(bundle);
  replaced();
  Log("[INFO] Updater replaced; starting the new version");
  CloseCocoaWindowSync();
  const std::string error = emberdale::posix::ExecSelf(exe, g_arguments);
  Log("[ERROR] Can't start the new updater: " + error + "; restoring the previous one");
  emberdale::posix::RestoreExecutableBackup(exe);
  if (!bundle.empty()) AdHocSign(bundle);
  return false;
}

bool MacUpdaterHost::Confirm(const std::string& title, const std::string& message) {
  return ConfirmUpdate(title, message);
}

std::string MacUpdaterHost::DownloadText(std::optional<Component> component) {
  if (!component) return g_uiText->downloadingUpdate;
  return *component == Component::Jre ? g_uiText->downloadingJava : g_uiText->downloadingLauncher;
}
