// The desktop implementation of the engine's host: progress, questions and failures become texts
// of the current UI table; the manifest comes over HTTPS; packages are installed by the
// installers; the updater replaces itself and restarts.
#pragma once

#include <optional>
#include <string>

#include "core/updater_host.h"
#include "posix/curl_client.h"

// "Emberdale-Updater/1.0.0 (macOS)".
std::string GetUserAgent();

// The manifest's address, without the cache-busting query.
std::string ManifestUrl();

class MacUpdaterHost final : public emberdale::core::UpdaterHost {
 public:
  explicit MacUpdaterHost(std::string installDir);

  std::filesystem::path InstallRoot() const override;
  void ReportStep(emberdale::core::Step step, std::optional<emberdale::core::Component> component,
                  int percent) override;
  emberdale::core::ProgressCallback DownloadProgress(
      std::optional<emberdale::core::Component> component, int startPercent,
      int spanPercent) override;
  void ReportFailure(emberdale::core::Failure failure,
                     std::optional<emberdale::core::Component> component) override;
  [[nodiscard]] bool ConfirmUpdates(
      const std::vector<emberdale::core::PendingUpdate>& updates) override;
  [[nodiscard]] bool ConfirmSelfUpdate(const emberdale::core::UpdateInfo& update) override;
  [[nodiscard]] std::expected<std::string, std::string> FetchManifest() override;
  emberdale::core::Downloader& GetDownloader() override;
  [[nodiscard]] bool IsInstalled(emberdale::core::Component component) const override;
  [[nodiscard]] std::expected<void, std::string> UnpackComponent(
      emberdale::core::Component component, const std::filesystem::path& package) override;
  [[nodiscard]] std::expected<void, std::string> InstallComponent(
      emberdale::core::Component component, const std::filesystem::path& package, int startPercent,
      int spanPercent) override;
  [[nodiscard]] bool ApplySelfUpdate(const std::filesystem::path& package,
                                     const std::function<void()>& replaced) override;

  // Asks the user to accept an update; true means go ahead.
  [[nodiscard]] static bool Confirm(const std::string& title, const std::string& message);

  // The download label: the component's, or the updater's own for no component.
  static std::string DownloadText(std::optional<emberdale::core::Component> component);

 private:
  std::string installRoot;
  emberdale::posix::CurlDownloader downloader;
};
