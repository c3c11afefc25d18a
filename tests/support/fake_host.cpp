#include "tests/support/fake_host.h"

#include <algorithm>
#include <format>
#include <utility>

#include "tests/support/temp_dir.h"

namespace emberdale::test {

using core::Component;
using core::Failure;
using core::Step;

std::string_view ShowComponent(std::optional<Component> component) {
  if (!component) return "-";
  return *component == Component::Jre ? "Jre" : "Launcher";
}

std::string_view ShowStep(Step step) {
  static constexpr std::string_view kNames[] = {
      "Preparing",           "CheckingForUpdates", "ManifestReceived",
      "ManifestUnavailable", "CheckingComponents", "DownloadingUpdater",
      "InstallingUpdater",   "UpdatingComponents", "DownloadingComponent",
      "InstallingComponent", "ComponentsFinished", "NoUpdatesRequired",
      "RemovingTempFiles"};
  return kNames[static_cast<int>(step)];
}

std::string_view ShowFailure(Failure failure) {
  static constexpr std::string_view kNames[] = {"ComponentUnavailable", "DownloadFailed",
                                                "VerificationFailed", "InstallFailed"};
  return kNames[static_cast<int>(failure)];
}

FakeHost::FakeHost(std::filesystem::path installRoot)
    : root_(std::move(installRoot)), downloader_(record_, root_) {}

void FakeHost::SetManifestAnswers(std::vector<std::expected<std::string, std::string>> answers) {
  manifestAnswers_ = std::move(answers);
  manifestCalls_ = 0;
}

void FakeHost::SetInstalled(Component component, bool installed) {
  installed_[component] = installed;
}

void FakeHost::SetInstallResult(Component component, std::expected<void, std::string> result) {
  installResults_.insert_or_assign(component, std::move(result));
}

std::filesystem::path FakeHost::InstallRoot() const {
  record_.Add("InstallRoot()");
  return root_;
}

void FakeHost::ReportStep(Step step, std::optional<Component> component, int percent) {
  record_.Add(
      std::format("ReportStep({},{},{})", ShowStep(step), ShowComponent(component), percent));
}

core::ProgressCallback FakeHost::DownloadProgress(std::optional<Component> component,
                                                  int startPercent, int spanPercent) {
  record_.Add(std::format("DownloadProgress({},{},{})", ShowComponent(component), startPercent,
                          spanPercent));
  const std::string_view shown = ShowComponent(component);
  return [this, shown](std::uint64_t received, std::uint64_t total) {
    record_.Add(std::format("Progress({},{}/{})", shown, received, total));
  };
}

void FakeHost::ReportFailure(Failure failure, std::optional<Component> component) {
  record_.Add(std::format("ReportFailure({},{})", ShowFailure(failure), ShowComponent(component)));
}

bool FakeHost::ConfirmUpdates(const std::vector<core::PendingUpdate>& updates) {
  std::string listed;
  for (const core::PendingUpdate& update : updates) {
    if (!listed.empty()) listed += ',';
    listed += std::format("{}:{}->{}", ShowComponent(update.component), update.installedVersion,
                          update.target.version);
  }
  record_.Add(std::format("ConfirmUpdates({})", listed));
  lastPending_ = updates;
  return confirmUpdates_;
}

bool FakeHost::ConfirmSelfUpdate(const core::UpdateInfo& update) {
  record_.Add(std::format("ConfirmSelfUpdate({})", update.version));
  return confirmSelfUpdate_;
}

std::expected<std::string, std::string> FakeHost::FetchManifest() {
  record_.Add("FetchManifest()");
  if (manifestAnswers_.empty()) return std::unexpected("no manifest scripted");
  const std::size_t index = std::min(manifestCalls_++, manifestAnswers_.size() - 1);
  return manifestAnswers_[index];
}

core::Downloader& FakeHost::GetDownloader() {
  record_.Add("GetDownloader()");
  return downloader_;
}

bool FakeHost::IsInstalled(Component component) const {
  record_.Add(std::format("IsInstalled({})", ShowComponent(component)));
  const auto found = installed_.find(component);
  return found == installed_.end() || found->second;
}

std::expected<void, std::string> FakeHost::InstallComponent(Component component,
                                                            const std::filesystem::path& package,
                                                            int startPercent, int spanPercent) {
  record_.Add(std::format("InstallComponent({},{},{},{})", ShowComponent(component),
                          downloader_.Shown(package), startPercent, spanPercent));
  SeePackage(package);
  const auto found = installResults_.find(component);
  return found == installResults_.end() ? std::expected<void, std::string>() : found->second;
}

bool FakeHost::ApplySelfUpdate(const std::filesystem::path& package) {
  record_.Add(std::format("ApplySelfUpdate({})", downloader_.Shown(package)));
  SeePackage(package);
  return selfUpdateResult_;
}

void FakeHost::SeePackage(const std::filesystem::path& package) {
  packagesSeen_[downloader_.Shown(package)] =
      std::filesystem::exists(package) ? ReadFile(package) : std::string("<missing>");
}

}  // namespace emberdale::test
