// An UpdaterHost with scripted answers that records every call, together with its
// FakeDownloader's calls, in one ordered CallRecord:
//   "InstallRoot()", "GetDownloader()", "ReportStep(Preparing,-,0)",
//   "DownloadProgress(Launcher,15,28)", "Progress(Launcher,20/20)" (from that callback),
//   "ReportFailure(DownloadFailed,Jre)", "ConfirmUpdates(Launcher:1.0.0->2.0.0,Jre:->17.0.2)",
//   "ConfirmSelfUpdate(1.1.0)", "FetchManifest()", "IsInstalled(Jre)",
//   "InstallComponent(Launcher,temp/launcher-package.zip,43,12)",
//   "ApplySelfUpdate(temp/updater-package.zip)".
// Paths under the install root are shown relative to it; "-" stands for no component.
#pragma once

#include <expected>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/updater_host.h"
#include "tests/support/call_record.h"
#include "tests/support/fake_downloader.h"

namespace emberdale::test {

class FakeHost : public core::UpdaterHost {
 public:
  explicit FakeHost(std::filesystem::path installRoot);
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  CallRecord& record() { return record_; }
  FakeDownloader& downloader() { return downloader_; }

  // The answers of successive FetchManifest calls; the last one repeats. Without answers every
  // call fails with "no manifest scripted".
  void SetManifestAnswers(std::vector<std::expected<std::string, std::string>> answers);
  void SetConfirmUpdates(bool answer) { confirmUpdates_ = answer; }
  void SetConfirmSelfUpdate(bool answer) { confirmSelfUpdate_ = answer; }
  // Both components count as installed unless told otherwise.
  void SetInstalled(core::Component component, bool installed);
  // Installation succeeds unless an error is set for the component.
  void SetInstallResult(core::Component component, std::expected<void, std::string> result);
  void SetSelfUpdateResult(bool applied) { selfUpdateResult_ = applied; }

  // The package bytes handed to InstallComponent / ApplySelfUpdate, read at the call.
  const std::map<std::string, std::string>& packagesSeen() const { return packagesSeen_; }
  // The list of the last ConfirmUpdates call.
  const std::vector<core::PendingUpdate>& lastPendingUpdates() const { return lastPending_; }

  std::filesystem::path InstallRoot() const override;
  void ReportStep(core::Step step, std::optional<core::Component> component, int percent) override;
  core::ProgressCallback DownloadProgress(std::optional<core::Component> component,
                                          int startPercent, int spanPercent) override;
  void ReportFailure(core::Failure failure, std::optional<core::Component> component) override;
  bool ConfirmUpdates(const std::vector<core::PendingUpdate>& updates) override;
  bool ConfirmSelfUpdate(const core::UpdateInfo& update) override;
  std::expected<std::string, std::string> FetchManifest() override;
  core::Downloader& GetDownloader() override;
  bool IsInstalled(core::Component component) const override;
  std::expected<void, std::string> InstallComponent(core::Component component,
                                                    const std::filesystem::path& package,
                                                    int startPercent, int spanPercent) override;
  bool ApplySelfUpdate(const std::filesystem::path& package) override;

 private:
  void SeePackage(const std::filesystem::path& package);

  std::filesystem::path root_;
  mutable CallRecord record_;
  FakeDownloader downloader_;
  std::vector<std::expected<std::string, std::string>> manifestAnswers_;
  std::size_t manifestCalls_ = 0;
  bool confirmUpdates_ = true;
  bool confirmSelfUpdate_ = true;
  bool selfUpdateResult_ = true;
  std::map<core::Component, bool> installed_;
  std::map<core::Component, std::expected<void, std::string>> installResults_;
  std::map<std::string, std::string> packagesSeen_;
  std::vector<core::PendingUpdate> lastPending_;
};

// Enumerator names for records and messages: "Launcher"/"Jre", "Preparing", "DownloadFailed".
std::string_view ShowComponent(std::optional<core::Component> component);
std::string_view ShowStep(core::Step step);
std::string_view ShowFailure(core::Failure failure);

}  // namespace emberdale::test
