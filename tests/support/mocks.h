// gmock doubles of the engine's UpdaterHost and Downloader, and EngineMocks, which gives them the
// answers of a healthy run: the install root is a fresh folder, both components are on disk,
// every question is answered yes, installs succeed, pauses pass and nothing is cancelled. A
// DownloadOnce nobody scripted fails for good.
#pragma once

#include <gmock/gmock.h>

#include <optional>

#include "core/updater_host.h"
#include "tests/support/temp_dir.h"

namespace emberdale::test {

class MockDownloader : public core::Downloader {
 public:
  MOCK_METHOD((std::expected<void, core::DownloadError>), DownloadOnce,
              (const std::string&, const std::filesystem::path&, const core::DownloadPolicy&,
               const core::ProgressCallback&),
              (override));
  MOCK_METHOD(bool, WaitBeforeRetry, (std::chrono::milliseconds), (override));
  MOCK_METHOD(bool, Cancelled, (), (const, override));
};

class MockUpdaterHost : public core::UpdaterHost {
 public:
  MOCK_METHOD(std::filesystem::path, InstallRoot, (), (const, override));
  MOCK_METHOD(void, ReportStep, (core::Step, std::optional<core::Component>, int), (override));
  MOCK_METHOD(core::ProgressCallback, DownloadProgress, (std::optional<core::Component>, int, int),
              (override));
  MOCK_METHOD(void, ReportFailure, (core::Failure, std::optional<core::Component>), (override));
  MOCK_METHOD(bool, ConfirmUpdates, (const std::vector<core::PendingUpdate>&), (override));
  MOCK_METHOD(bool, ConfirmSelfUpdate, (const core::UpdateInfo&), (override));
  MOCK_METHOD((std::expected<std::string, std::string>), FetchManifest, (), (override));
  MOCK_METHOD(core::Downloader&, GetDownloader, (), (override));
  MOCK_METHOD(bool, IsInstalled, (core::Component), (const, override));
  MOCK_METHOD((std::expected<void, std::string>), InstallComponent,
              (core::Component, const std::filesystem::path&, int, int), (override));
  MOCK_METHOD(bool, ApplySelfUpdate, (const std::filesystem::path&), (override));
};

// A DownloadOnce action: writes `bytes` to the destination (left as a partial file when `error`
// is set), reports them through the progress callback, then succeeds or fails with `error`.
inline auto Serve(std::string bytes, std::optional<core::DownloadError> error = std::nullopt) {
  return
      [=](const std::string&, const std::filesystem::path& destination, const core::DownloadPolicy&,
          const core::ProgressCallback& progress) -> std::expected<void, core::DownloadError> {
        WriteFile(destination, bytes);
        if (progress) progress(bytes.size(), bytes.size());
        if (error) return std::unexpected(*error);
        return {};
      };
}

struct EngineMocks {
  EngineMocks() {
    using ::testing::Return;
    ON_CALL(host, InstallRoot).WillByDefault(Return(root.path()));
    ON_CALL(host, GetDownloader).WillByDefault(::testing::ReturnRef(downloader));
    ON_CALL(host, IsInstalled).WillByDefault(Return(true));
    ON_CALL(host, ConfirmUpdates).WillByDefault(Return(true));
    ON_CALL(host, ConfirmSelfUpdate).WillByDefault(Return(true));
    ON_CALL(downloader, WaitBeforeRetry).WillByDefault(Return(true));
    ON_CALL(downloader, DownloadOnce)
        .WillByDefault(Return(std::unexpected(core::DownloadError{"HTTP 404", false})));
  }

  TempDir root;
  ::testing::NiceMock<MockDownloader> downloader;
  ::testing::NiceMock<MockUpdaterHost> host;
};

}  // namespace emberdale::test
