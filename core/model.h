// The update engine's vocabulary: plain records and enumerations exchanged by the engine, the
// manifest parser, the versions file and the host. Value types with no behaviour.
#pragma once

#include <cstdint>
#include <string>

namespace emberdale::core {

// The updatable components other than the updater itself, in evaluation order.
enum class Component : std::uint8_t { Launcher = 0, Jre = 1 };

// Progress steps reported through UpdaterHost::ReportStep, in the order a run can report them.
enum class Step {
  Preparing = 0,
  CheckingForUpdates = 1,
  ManifestReceived = 2,
  ManifestUnavailable = 3,
  CheckingComponents = 4,
  DownloadingUpdater = 5,
  InstallingUpdater = 6,
  UpdatingComponents = 7,
  DownloadingComponent = 8,
  InstallingComponent = 9,
  ComponentsFinished = 10,
  NoUpdatesRequired = 11,
  RemovingTempFiles = 12,
};

// Failures reported through UpdaterHost::ReportFailure, once, right before a run returns Failed.
enum class Failure {
  ComponentUnavailable = 0,
  DownloadFailed = 1,
  VerificationFailed = 2,
  InstallFailed = 3,
};

enum class UpdateOutcome {
  Ready = 0,        // the installation is usable: start the launcher
  SelfUpdated = 1,  // a new updater has taken over: do not start the launcher
  Cancelled = 2,    // the user declined an update or cancelled the run
  Failed = 3,       // a failure was reported through ReportFailure
};

// One entry of the launcher manifest.
struct UpdateInfo {
  bool present = false;    // the entry's key existed in the manifest
  std::string version;     // three dot-separated digit runs
  std::string url;         // HTTPS URL on the product CDN host
  std::string vendorUrl;   // optional HTTPS URL on a vendor host
  std::string sha256;      // 64 hexadecimal digits, either case
  std::uint64_t size = 0;  // package size in bytes; 0 when absent or unacceptable
};

struct LauncherManifest {
  UpdateInfo launcher;
  UpdateInfo jre;
  UpdateInfo updater;
};

// What is recorded as installed for one component; empty when nothing is recorded.
struct ComponentVersion {
  std::string version;
  std::string sha256;
};

// The contents of config/versions.json. All members empty: nothing is recorded.
struct LocalVersions {
  ComponentVersion launcher;
  ComponentVersion jre;
  std::string updater_archive_sha256;  // package digest of the updater last applied
};

// One component update awaiting the user's confirmation.
struct PendingUpdate {
  Component component = Component::Launcher;
  std::string installedVersion;  // as recorded, empty when none
  UpdateInfo target;             // the manifest entry to install
};

// Limits for one download source, passed unchanged to every attempt on it.
struct DownloadPolicy {
  std::int32_t attempts = 1;
  std::int64_t connectTimeout = 0;  // seconds
  std::int64_t lowSpeedLimit = 0;   // bytes per second
  std::int64_t lowSpeedTime = 0;    // seconds below lowSpeedLimit before giving up
};

// The error of one download attempt.
struct DownloadError {
  std::string message;     // English, for the log
  bool retryable = false;  // the same source may be tried again
};

}  // namespace emberdale::core
