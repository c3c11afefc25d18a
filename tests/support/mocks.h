// gmock doubles of the engine's host and downloader.
#pragma once

#include <gmock/gmock.h>

#include "core/updater_host.h"

namespace emberdale::test {

using core::Component, core::DownloadError, core::DownloadPolicy, core::ProgressCallback;
namespace fs = std::filesystem;

class MockDownloader : public core::Downloader {
 public:
  MOCK_METHOD((std::expected<std::string, DownloadError>), DownloadOnce,
              (const std::string&, const fs::path&, const DownloadPolicy&, const ProgressCallback&),
              (override));
  MOCK_METHOD(bool, WaitBeforeRetry, (std::chrono::milliseconds), (override));
  MOCK_METHOD(bool, Cancelled, (), (const, override));
};

class MockUpdaterHost : public core::UpdaterHost {
 public:
  MOCK_METHOD(fs::path, InstallRoot, (), (const, override));
  MOCK_METHOD(void, ReportStep, (core::Step, std::optional<Component>, int), (override));
  MOCK_METHOD(ProgressCallback, DownloadProgress, (std::optional<Component>, int, int), (override));
  MOCK_METHOD(void, ReportFailure, (core::Failure, std::optional<Component>), (override));
  MOCK_METHOD(bool, ConfirmUpdates, (const std::vector<core::PendingUpdate>&), (override));
  MOCK_METHOD(bool, ConfirmSelfUpdate, (const core::UpdateInfo&), (override));
  MOCK_METHOD((std::expected<std::string, std::string>), FetchManifest, (), (override));
  MOCK_METHOD(core::Downloader&, GetDownloader, (), (override));
  MOCK_METHOD(bool, IsInstalled, (Component), (const, override));
  MOCK_METHOD((std::expected<void, std::string>), UnpackComponent, (Component, const fs::path&),
              (override));
  MOCK_METHOD((std::expected<void, std::string>), InstallComponent,
              (Component, const fs::path&, int, int), (override));
  MOCK_METHOD(bool, ApplySelfUpdate, (const fs::path&, const std::function<void()>&), (override));
};

}  // namespace emberdale::test
