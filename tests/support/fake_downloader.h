// A Downloader whose attempts are scripted per URL. Every call is appended to a shared
// CallRecord: "DownloadOnce(url,destination,attempts/connect/lowLimit/lowTime)",
// "WaitBeforeRetry(1000)", "Cancelled()". Time is never slept: a pause records and returns.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/updater_host.h"
#include "tests/support/call_record.h"

namespace emberdale::test {

// What one DownloadOnce call does: write `bytes` to the destination, then succeed or fail.
struct DownloadAttempt {
  std::string bytes;                         // written even when the attempt fails (a partial file)
  std::optional<core::DownloadError> error;  // empty: success

  static DownloadAttempt Serve(std::string bytes) { return {std::move(bytes), std::nullopt}; }
  static DownloadAttempt Retryable(std::string message, std::string partial = "partial") {
    return {std::move(partial), core::DownloadError{std::move(message), true}};
  }
  static DownloadAttempt Fatal(std::string message, std::string partial = "") {
    return {std::move(partial), core::DownloadError{std::move(message), false}};
  }
};

class FakeDownloader : public core::Downloader {
 public:
  // Paths under `shownBase` are recorded relative to it ("temp/launcher-package.zip").
  FakeDownloader(CallRecord& record, std::filesystem::path shownBase);

  // The attempts on `url`, in order; the last one repeats when more attempts are made. A URL
  // without a script fails the test and answers a non-retryable error.
  void Script(const std::string& url, std::vector<DownloadAttempt> attempts);

  // Switches cancellation on now, or right after `call` is recorded for the `occurrence`-th
  // time, so that call already sees it (a pause returns false, a transfer fails "cancelled").
  void Cancel() { cancelled_ = true; }
  void CancelAt(std::string call, int occurrence = 1);

  // How a path appears in the record.
  std::string Shown(const std::filesystem::path& path) const;

  std::expected<void, core::DownloadError> DownloadOnce(
      const std::string& url, const std::filesystem::path& destination,
      const core::DownloadPolicy& policy, const core::ProgressCallback& progress) override;
  bool WaitBeforeRetry(std::chrono::milliseconds delay) override;
  bool Cancelled() const override;

 private:
  CallRecord& record_;
  std::filesystem::path shownBase_;
  std::map<std::string, std::vector<DownloadAttempt>> scripts_;
  std::map<std::string, std::size_t> attemptsMade_;
  bool cancelled_ = false;
};

// "4/10/1024/60": attempts, connect time-out, low-speed limit and time of a policy.
std::string ShowPolicy(const core::DownloadPolicy& policy);

}  // namespace emberdale::test
