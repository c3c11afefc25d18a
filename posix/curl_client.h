// The HTTP client: HTTPS text fetches and file downloads over libcurl's easy interface.
//
// Every transfer creates its own easy handle, allows https only (also across redirects), keeps
// libcurl's certificate and host-name verification on, and releases the handle before it
// returns. Transfers run synchronously on the calling thread; the cancellation predicates given
// here are evaluated on that thread and must be cheap and non-blocking.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>

#include "core/updater_host.h"

namespace emberdale::posix {

// Answers true once the user asked to stop.
using CancelPredicate = std::function<bool()>;

// A proxy for every transfer started after SetProxy.
struct ProxyConfig {
  std::string url;      // CURLOPT_PROXY
  std::string noProxy;  // CURLOPT_NOPROXY; empty: none
};

// Runs libcurl's global initialisation once per process; later calls return at once. Safe to
// call from any thread.
void InitCurl();

// Replaces the process-wide proxy setting. Call before any transfer starts (not synchronised).
void SetProxy(ProxyConfig config);

// One HTTPS GET of a small text body: the body of a 200 answer, or an English error ("HTTP
// {code}", "response larger than {maxBytes} bytes", or libcurl's text, also when cancelled).
// `timeout` limits the whole transfer; the connection gets at most 10 s of it. `cancel` may be
// empty and must outlive the call.
[[nodiscard]] std::expected<std::string, std::string> FetchText(const std::string& url,
                                                                const std::string& userAgent,
                                                                std::int64_t timeout,
                                                                std::size_t maxBytes,
                                                                const CancelPredicate& cancel);

// The engine's downloader over libcurl. Owned by the desktop host; neither copied nor shared.
class CurlDownloader : public core::Downloader {
 public:
  // `cancel` may be empty: then nothing is ever cancelled. Initialises libcurl.
  CurlDownloader(std::string userAgent, CancelPredicate cancel);
  CurlDownloader(const CurlDownloader&) = delete;
  CurlDownloader& operator=(const CurlDownloader&) = delete;
  ~CurlDownloader() override = default;

  // One attempt to fetch `url` into `destination` (created or truncated) under the policy's
  // connect time-out and minimum speed: the SHA-256 of what was written. The file is left on
  // disk whatever the outcome.
  [[nodiscard]] std::expected<std::string, core::DownloadError> DownloadOnce(
      const std::string& url, const std::filesystem::path& destination,
      const core::DownloadPolicy& policy, const core::ProgressCallback& progress) override;

  // Pauses for `delay` rounded up to whole 100 ms slices, asking the predicate before each
  // slice and once at the end. false: cancellation was seen.
  [[nodiscard]] bool WaitBeforeRetry(std::chrono::milliseconds delay) override;

  // The predicate's answer; false when it is empty.
  [[nodiscard]] bool Cancelled() const override;

 protected:
  // Sleeps one slice of a retry pause. Tests override it to count slices instead of sleeping.
  virtual void SleepSlice(std::chrono::milliseconds slice);

 private:
  std::string userAgent;
  CancelPredicate cancel;
};

}  // namespace emberdale::posix
