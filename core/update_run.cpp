#include "core/update_run.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <expected>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/ascii.h"
#include "core/file_system.h"
#include "core/interrupted_install.h"
#include "core/local_versions.h"
#include "core/logging.h"
#include "core/manifest.h"
#include "core/package_acquisition.h"
#include "core/paths.h"
#include "core/progress_gate.h"
#include "core/stoppable_downloader.h"
#include "core/updater_host.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Manifest fetch-and-parse attempts per run, and the pause before attempt n (n >= 2): entry
// min(n - 2, 2).
constexpr int MANIFEST_ATTEMPTS = 4;
constexpr std::array<milliseconds, 3> MANIFEST_RETRY_DELAYS{milliseconds(500), milliseconds(1500),
                                                            milliseconds(3000)};

// Progress windows, in percent of the whole run.
constexpr int kLauncherStartPercent = 15;
constexpr int kJreStartPercent = 55;
constexpr int kComponentDownloadSpan = 28;
constexpr int kComponentInstallSpan = 12;
constexpr int kUpdaterDownloadStart = 10;
constexpr int kUpdaterDownloadSpan = 70;

constexpr std::size_t kShortHashLength = 8;

constexpr Component kComponents[] = {Component::Launcher, Component::Jre};

int StartPercent(Component component) {
  return component == Component::Jre ? kJreStartPercent : kLauncherStartPercent;
}

// "none", or the first eight bytes of the digest followed by "...".
std::string ShortHash(std::string_view hash) {
  if (hash.empty()) return "none";
  return std::string(hash.substr(0, kShortHashLength)) + "...";
}

std::string_view DisplayVersion(std::string_view version) {
  return version.empty() ? std::string_view("none") : version;
}

ComponentVersion& RecordOf(LocalVersions& local, Component component) {
  return component == Component::Jre ? local.jre : local.launcher;
}

const UpdateInfo* EntryOf(const LauncherManifest* manifest, Component component) {
  if (manifest == nullptr) return nullptr;
  return component == Component::Jre ? &manifest->jre : &manifest->launcher;
}

// temp / "launcher-package.zip" and the like.
fs::path ComponentPackagePath(const fs::path& root, Component component, std::string_view url) {
  return TempDir(root) /
         (ToLowerAscii(ComponentLogName(component)) + "-package" + PackageExtension(url));
}

// Empties the temp folder entry by entry, warning about each entry that stays. A temp that is a
// symbolic link is never followed: the link itself goes, and a real folder takes its place.
void CleanTemp(const fs::path& root) {
  const fs::path temp = ExtendedLengthPath(TempDir(root));
  std::error_code error;
  const fs::file_status status = fs::symlink_status(temp, error);
  if (fs::is_symlink(status)) {
    fs::remove(temp, error);
    if (error) logging::Warn("Can't remove {}: {}", PathToUtf8(temp), error.message());
    fs::create_directory(temp, error);
    return;
  }
  if (!fs::is_directory(status)) return;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(temp, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(it->path());
  }
  for (const fs::path& entry : entries) {
    std::error_code removeError;
    fs::remove_all(entry, removeError);
    if (removeError) logging::Warn("Can't remove {}: {}", PathToUtf8(entry), removeError.message());
  }
}

// Up to MANIFEST_ATTEMPTS fetches, each parsed and validated; nothing when every attempt failed
// or the run was cancelled.
std::optional<LauncherManifest> FetchValidManifest(UpdaterHost& host) {
  Downloader& downloader = host.GetDownloader();
  for (int n = 1; n <= MANIFEST_ATTEMPTS; ++n) {
    if (downloader.Cancelled()) return std::nullopt;
    if (n >= 2 && !downloader.WaitBeforeRetry(MANIFEST_RETRY_DELAYS[std::min(n - 2, 2)])) {
      return std::nullopt;
    }
    const auto text = host.FetchManifest();
    if (!text) {
      logging::Warn("Manifest download failed (attempt {}/{}): {}", n, MANIFEST_ATTEMPTS,
                    text.error());
      continue;
    }
    auto manifest = ParseLauncherManifest(*text, CurrentManifestOsKey());
    if (!manifest) {
      logging::Warn("Invalid manifest (attempt {}/{}): {}", n, MANIFEST_ATTEMPTS, manifest.error());
      continue;
    }
    return std::move(*manifest);
  }
  logging::Error("Manifest unavailable after {} attempts", MANIFEST_ATTEMPTS);
  return std::nullopt;
}

// Offers, fetches and applies a new updater package when the manifest names one. Returns the
// outcome that ends the run, or nothing when the run goes on with the current updater.
std::optional<UpdateOutcome> OfferSelfUpdate(UpdaterHost& host, const fs::path& root,
                                             const LauncherManifest& manifest) {
  LocalVersions local = ReadLocalVersions(root);
  const UpdateInfo& updater = manifest.updater;
  if (!NeedsSelfUpdate(local.updater_archive_sha256, updater)) {
    logging::Info("Updater is up to date (package sha256 {})",
                  ShortHash(local.updater_archive_sha256));
    return std::nullopt;
  }
  logging::Info("Updater update available: {} (package sha256 {} -> {})", updater.version,
                ShortHash(local.updater_archive_sha256), ShortHash(updater.sha256));
  if (!host.ConfirmSelfUpdate(updater)) {
    logging::Info("The user declined the updater update");
    return UpdateOutcome::Cancelled;
  }
  host.ReportStep(Step::DownloadingUpdater, std::nullopt, kUpdaterDownloadStart);
  const fs::path package = TempDir(root) / ("updater-package" + PackageExtension(updater.url));
  Downloader& downloader = host.GetDownloader();
  const ProgressCallback progress =
      host.DownloadProgress(std::nullopt, kUpdaterDownloadStart, kUpdaterDownloadSpan);
  if (const auto fetched = AcquirePackage(updater, package, downloader, progress); !fetched) {
    if (fetched.error() == AcquireError::Cancelled) return UpdateOutcome::Cancelled;
    logging::Warn("Couldn't get the updater update; continuing with the current version");
    return std::nullopt;
  }
  host.ReportStep(Step::InstallingUpdater, std::nullopt, 95);
  // Recorded once the new executable is in place and before it starts: a successful restart does
  // not come back, and a crash before the replacement must not record an updater that isn't there.
  const std::string previous = local.updater_archive_sha256;
  const auto record = [&] {
    local.updater_archive_sha256 = updater.sha256;
    SaveLocalVersions(root, local);
  };
  if (host.ApplySelfUpdate(package, record)) return UpdateOutcome::SelfUpdated;
  if (local.updater_archive_sha256 != previous) {
    local.updater_archive_sha256 = previous;
    SaveLocalVersions(root, local);
  }
  logging::Warn("Couldn't apply the updater update; continuing with the current version");
  return std::nullopt;
}

// Decides for each component in order; the pending updates, or Failed once a component is
// unavailable (reported to the host).
std::expected<std::vector<PendingUpdate>, UpdateOutcome> CollectPendingUpdates(
    UpdaterHost& host, const fs::path& root, const LauncherManifest* manifest) {
  LocalVersions local = ReadLocalVersions(root);
  std::vector<PendingUpdate> pending;
  for (const Component component : kComponents) {
    const ComponentVersion& installed = RecordOf(local, component);
    const UpdateInfo* entry = EntryOf(manifest, component);
    const std::string_view name = ComponentLogName(component);
    const std::string_view shown = DisplayVersion(installed.version);
    switch (EvaluateComponent(installed, host.IsInstalled(component), entry)) {
      case ComponentDecision::UpToDate:
        logging::Info("{}: {} -> up to date", name, shown);
        break;
      case ComponentDecision::UseInstalled:
        logging::Info("{}: {}, no usable manifest entry -> using the installed copy", name, shown);
        break;
      case ComponentDecision::Unavailable:
        logging::Error("{}: no usable manifest entry and not installed", name);
        host.ReportFailure(Failure::ComponentUnavailable, component);
        return std::unexpected(UpdateOutcome::Failed);
      case ComponentDecision::UpdateNeeded:
        logging::Info("{}: {} (sha256 {}) -> {} (sha256 {}): update needed", name, shown,
                      ShortHash(installed.sha256), entry->version, ShortHash(entry->sha256));
        pending.push_back({component, installed.version, *entry});
        break;
    }
  }
  return pending;
}

// What a worker thread made of one pending update: its package fetched, verified and unpacked.
struct Preparation {
  std::expected<void, AcquireError> fetched;
  std::expected<void, std::string> unpacked;
};

// On a worker thread: fetches and verifies the package, then unpacks it into its staging folder.
// Nothing installed is touched.
Preparation Prepare(UpdaterHost& host, Downloader& downloader, const PendingUpdate& update,
                    const fs::path& package, const ProgressCallback& progress) {
  Preparation done{AcquirePackage(update.target, package, downloader, progress), {}};
  if (done.fetched && downloader.Cancelled())
    done.fetched = std::unexpected(AcquireError::Cancelled);
  if (done.fetched) done.unpacked = host.UnpackComponent(update.component, package);
  return done;
}

// On the run's thread, in order: waits for the component's preparation, puts it in place and
// records it. Returns the outcome that ends the run, or nothing on success.
std::optional<UpdateOutcome> CompleteUpdate(UpdaterHost& host, const Downloader& downloader,
                                            const fs::path& root, const PendingUpdate& update,
                                            std::future<Preparation>& preparation,
                                            const std::function<void()>& showProgress) {
  const Component component = update.component;
  const UpdateInfo& target = update.target;
  const int start = StartPercent(component);
  const fs::path package = ComponentPackagePath(root, component, target.url);

  host.ReportStep(Step::DownloadingComponent, component, start);
  showProgress();
  const Preparation prepared = preparation.get();
  if (!prepared.fetched) {
    host.ReportStep(Step::ComponentsFinished, std::nullopt, start);
    if (prepared.fetched.error() == AcquireError::Cancelled) return UpdateOutcome::Cancelled;
    host.ReportFailure(prepared.fetched.error() == AcquireError::VerificationFailed
                           ? Failure::VerificationFailed
                           : Failure::DownloadFailed,
                       component);
    return UpdateOutcome::Failed;
  }

  const int installStart = start + kComponentDownloadSpan;
  host.ReportStep(Step::InstallingComponent, component, installStart);
  auto installed = prepared.unpacked;
  if (installed) {
    installed = host.InstallComponent(component, package, installStart, kComponentInstallSpan);
  }
  if (!installed) {
    host.ReportStep(Step::ComponentsFinished, std::nullopt, start);
    if (downloader.Cancelled()) return UpdateOutcome::Cancelled;
    logging::Error("Installing {} failed: {}", ComponentLogName(component), installed.error());
    host.ReportFailure(Failure::InstallFailed, component);
    return UpdateOutcome::Failed;
  }

  LocalVersions local = ReadLocalVersions(root);
  RecordOf(local, component) = {target.version, target.sha256};
  SaveLocalVersions(root, local);
  RemoveQuietly(package);
  logging::Info("{} {} installed", ComponentLogName(component), target.version);
  return std::nullopt;
}

// Fetches and unpacks every pending update at once, each on a worker thread of its own, and puts
// them in place one after another in their order; the progress shown follows that order. Returns
// the outcome that ends the run early, or nothing when all are installed.
std::optional<UpdateOutcome> InstallPending(UpdaterHost& host, Downloader& downloader,
                                            const fs::path& root,
                                            const std::vector<PendingUpdate>& pending) {
  ProgressGate gate;
  std::vector<std::unique_ptr<StoppableDownloader>> downloaders;
  std::vector<std::future<Preparation>> preparations;  // joined before the above are destroyed
  for (const PendingUpdate& update : pending) {
    const int start = StartPercent(update.component);
    ProgressCallback progress =
        gate.Add(host.DownloadProgress(update.component, start, kComponentDownloadSpan));
    auto& own = *downloaders.emplace_back(std::make_unique<StoppableDownloader>(downloader));
    const fs::path package = ComponentPackagePath(root, update.component, update.target.url);
    preparations.push_back(std::async(
        std::launch::async, [&host, &own, &update, package, progress = std::move(progress)] {
          return Prepare(host, own, update, package, progress);
        }));
  }
  for (std::size_t i = 0; i < pending.size(); ++i) {
    const auto ended = CompleteUpdate(host, downloader, root, pending[i], preparations[i],
                                      [&gate, i] { gate.Open(i); });
    if (ended) {
      for (const auto& other : downloaders) other->Stop();
      return ended;
    }
  }
  return std::nullopt;
}

// Reports the final steps, empties the temp folder and gives the outcome of a completed run.
UpdateOutcome FinishRun(UpdaterHost& host, const Downloader& downloader, const fs::path& root,
                        Step finalStep) {
  host.ReportStep(finalStep, std::nullopt, 95);
  host.ReportStep(Step::RemovingTempFiles, std::nullopt, 96);
  CleanTemp(root);
  return downloader.Cancelled() ? UpdateOutcome::Cancelled : UpdateOutcome::Ready;
}

UpdateOutcome UpdateComponents(UpdaterHost& host, Downloader& downloader, const fs::path& root,
                               const LauncherManifest* manifest, Step phaseStep) {
  host.ReportStep(phaseStep, std::nullopt, 15);
  host.ReportStep(Step::CheckingComponents, std::nullopt, 20);
  const auto pending = CollectPendingUpdates(host, root, manifest);
  if (!pending) return pending.error();
  if (pending->empty()) return FinishRun(host, downloader, root, Step::NoUpdatesRequired);
  if (!host.ConfirmUpdates(*pending)) {
    logging::Info("The user declined the component updates");
    return UpdateOutcome::Cancelled;
  }
  host.ReportStep(Step::UpdatingComponents, std::nullopt, StartPercent(pending->front().component));
  if (const auto ended = InstallPending(host, downloader, root, *pending)) return *ended;
  return FinishRun(host, downloader, root, Step::ComponentsFinished);
}

}  // namespace

UpdateOutcome RunUpdate(UpdaterHost& host) {
  const fs::path root = host.InstallRoot();
  Downloader& downloader = host.GetDownloader();
  // Before the temp folder is emptied, and without the network: a crash mid-swap leaves a
  // component's only copy there.
  RestoreInterruptedInstalls(root);
  std::error_code ignored;
  fs::create_directories(ExtendedLengthPath(VersionsFile(root).parent_path()), ignored);
  fs::create_directories(ExtendedLengthPath(TempDir(root)), ignored);

  host.ReportStep(Step::Preparing, std::nullopt, 0);
  CleanTemp(root);
  host.ReportStep(Step::CheckingForUpdates, std::nullopt, 10);

  const std::optional<LauncherManifest> manifest = FetchValidManifest(host);
  if (downloader.Cancelled()) return UpdateOutcome::Cancelled;
  if (!manifest) {
    return UpdateComponents(host, downloader, root, nullptr, Step::ManifestUnavailable);
  }
  if (const auto ended = OfferSelfUpdate(host, root, *manifest)) return *ended;
  return UpdateComponents(host, downloader, root, &*manifest, Step::ManifestReceived);
}

ComponentDecision EvaluateComponent(const ComponentVersion& installed, bool isInstalled,
                                    const UpdateInfo* entry) {
  if (entry == nullptr || !IsValidComponent(*entry)) {
    return isInstalled ? ComponentDecision::UseInstalled : ComponentDecision::Unavailable;
  }
  if (!isInstalled) return ComponentDecision::UpdateNeeded;
  return Sha256Equals(installed.sha256, entry->sha256) ? ComponentDecision::UpToDate
                                                       : ComponentDecision::UpdateNeeded;
}

bool NeedsSelfUpdate(std::string_view appliedSha256, const UpdateInfo& updater) {
  if (!IsValidComponent(updater)) return false;
  return !Sha256Equals(appliedSha256, updater.sha256);
}

std::string_view ComponentLogName(Component component) {
  return component == Component::Jre ? "JRE" : "Launcher";
}

std::string PackageExtension(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  const std::size_t slash = url.rfind('/');
  const std::string name =
      ToLowerAscii(slash == std::string_view::npos ? url : url.substr(slash + 1));
  for (const std::string_view extension : {".tar.gz", ".tgz", ".zip", ".gz"}) {
    if (name.ends_with(extension)) return std::string(extension);
  }
  return {};
}

fs::path TempDir(const fs::path& root) {
  return root / "temp";
}

}  // namespace emberdale::core
