// A downloader that a run can stop for one of its worker threads without cancelling the others:
// once stopped it answers Cancelled() like a cancelled one, so the acquisition ends at its next
// check (a transfer already under way runs to its end).
#pragma once

#include <atomic>

#include "core/updater_host.h"

namespace emberdale::core {

class StoppableDownloader : public Downloader {
 public:
  explicit StoppableDownloader(Downloader& inner) : inner(inner) {}

  void Stop() { stopped = true; }

  std::expected<std::string, DownloadError> DownloadOnce(
      const std::string& url, const std::filesystem::path& destination,
      const DownloadPolicy& policy, const ProgressCallback& progress) override {
    return inner.DownloadOnce(url, destination, policy, progress);
  }
  bool WaitBeforeRetry(std::chrono::milliseconds delay) override {
    return inner.WaitBeforeRetry(delay) && !stopped;
  }
  bool Cancelled() const override { return stopped || inner.Cancelled(); }

 private:
  Downloader& inner;
  std::atomic<bool> stopped = false;
};

}  // namespace emberdale::core
