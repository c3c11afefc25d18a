// The two interfaces through which the update engine reaches the outside world.
//
// The caller builds a host, calls RunUpdate once with it on one thread, and destroys the host
// afterwards. The engine calls the operations below on that thread, except the few marked as
// also called from the engine's own worker threads (one per component being updated, so that
// both components download and unpack at the same time). Only Cancelled() may change its answer
// because of another thread (a window close or a signal).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/model.h"

namespace emberdale::core {

using ProgressCallback = std::function<void(std::uint64_t received, std::uint64_t total)>;

// Performs single download attempts. The retry loop is the engine's.
class Downloader {
 public:
  virtual ~Downloader() = default;

  // One attempt to fetch `url` into `destination`, creating or truncating it: the SHA-256 of
  // the bytes written (64 lower-case hex digits), hashed as they arrive. On failure the file may
  // be left partial or absent; the engine deletes it. `progress` may be empty. Also called from
  // worker threads, for different destinations at the same time.
  virtual std::expected<std::string, DownloadError> DownloadOnce(
      const std::string& url, const std::filesystem::path& destination,
      const DownloadPolicy& policy, const ProgressCallback& progress) = 0;

  // Waits for `delay` unless the run is cancelled meanwhile. false: cancelled, stop now. Also
  // called from worker threads.
  virtual bool WaitBeforeRetry(std::chrono::milliseconds delay) = 0;

  // Whether the user asked to stop. Polled at fixed points; never reset. Safe to call from any
  // thread, also while another thread requests cancellation.
  virtual bool Cancelled() const = 0;
};

// What the engine needs of the application: progress, questions, the manifest, installation.
class UpdaterHost {
 public:
  virtual ~UpdaterHost() = default;

  // The install directory. Called once, at the start of a run.
  virtual std::filesystem::path InstallRoot() const = 0;

  // A progress step; the percent is the overall progress and may be ignored.
  virtual void ReportStep(Step step, std::optional<Component> component, int percent) = 0;

  // The byte-progress callback for one package fetch: (no component, 10, 70) for the updater,
  // (component, start, 28) for a component. Handed to every attempt of that fetch; called on a
  // worker thread, never by two threads at once.
  virtual ProgressCallback DownloadProgress(std::optional<Component> component, int startPercent,
                                            int spanPercent) = 0;

  // Shows a failure to the user. Called once, immediately before the run returns Failed.
  virtual void ReportFailure(Failure failure, std::optional<Component> component) = 0;

  // Asks once for all pending component updates (never an empty list). true: go ahead.
  virtual bool ConfirmUpdates(const std::vector<PendingUpdate>& updates) = 0;

  // Asks to accept the updater update the manifest describes. true: go ahead.
  virtual bool ConfirmSelfUpdate(const UpdateInfo& update) = 0;

  // The manifest text, or an English error. Up to four calls per run, one attempt each.
  virtual std::expected<std::string, std::string> FetchManifest() = 0;

  // The host's downloader; the same object every call, living as long as the host.
  virtual Downloader& GetDownloader() = 0;

  // Whether a usable copy of the component is on disk, whatever the versions file says.
  virtual bool IsInstalled(Component component) const = 0;

  // Unpacks a verified package file into the component's staging folder, ready to be put in
  // place. Called from a worker thread, possibly while the other component is unpacked or
  // installed; touches nothing installed. The error text is logged by the engine.
  virtual std::expected<void, std::string> UnpackComponent(
      Component component, const std::filesystem::path& package) = 0;

  // Puts the component unpacked from `package` in place. The error text is logged by the engine.
  virtual std::expected<void, std::string> InstallComponent(Component component,
                                                            const std::filesystem::path& package,
                                                            int startPercent, int spanPercent) = 0;

  // Replaces the running updater with the verified package, calling `replaced` once the new
  // executable is in place and before it starts. true: a new updater took over and the run ends
  // SelfUpdated; false: the current updater carries on.
  virtual bool ApplySelfUpdate(const std::filesystem::path& package,
                               const std::function<void()>& replaced) = 0;
};

}  // namespace emberdale::core
