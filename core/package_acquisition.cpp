#include "core/package_acquisition.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <format>
#include <string>
#include <system_error>
#include <vector>

#include "core/ascii.h"
#include "core/file_system.h"
#include "core/logging.h"
#include "core/paths.h"

namespace emberdale::core {
namespace {

using std::chrono::milliseconds;

// Pause before attempt n (n >= 2) on the same source: entry min(n - 2, 2).
constexpr std::array<milliseconds, 3> RETRY_DELAYS{milliseconds(1000), milliseconds(3000),
                                                   milliseconds(5000)};

// One download source of a package.
struct PackageSource {
  const std::string& url;
  DownloadPolicy policy;
  std::string_view label;
};

enum class SourceResult { Verified, Exhausted, Cancelled };

// Empty when `file` has the entry's size and `digest` (of what was written to it) is the entry's,
// else what is wrong with it.
std::string CheckIntegrity(const std::filesystem::path& file, const std::string& digest,
                           const UpdateInfo& info) {
  std::error_code error;
  const std::uintmax_t queried = std::filesystem::file_size(ExtendedLengthPath(file), error);
  const std::uint64_t size = error ? 0 : queried;
  if (error || size != info.size) {
    return std::format("size {} != expected {}", size, info.size);
  }
  if (!Sha256Equals(digest, info.sha256)) {
    return std::format("sha256 {} != expected {}", digest, info.sha256);
  }
  return {};
}

std::vector<PackageSource> SourcesOf(const UpdateInfo& info) {
  std::vector<PackageSource> sources;
  if (!info.vendorUrl.empty()) {
    sources.push_back({info.vendorUrl, VendorDownloadPolicy(), "vendor"});
  }
  sources.push_back({info.url, CdnDownloadPolicy(), "CDN"});
  return sources;
}

// Runs the attempts of one source; `last` records the kind of the latest failure.
SourceResult TrySource(const PackageSource& source, const UpdateInfo& info,
                       const std::filesystem::path& destination, Downloader& downloader,
                       const ProgressCallback& progress, AcquireError& last) {
  const int attempts = source.policy.attempts;
  for (int n = 1; n <= attempts; ++n) {
    if (downloader.Cancelled()) {
      RemoveQuietly(destination);
      return SourceResult::Cancelled;
    }
    if (n >= 2) {
      const milliseconds delay = RETRY_DELAYS[std::min(n - 2, 2)];
      logging::Warn("Retrying {} download in {} ms (attempt {}/{})", source.label, delay.count(), n,
                    attempts);
      if (!downloader.WaitBeforeRetry(delay)) {
        RemoveQuietly(destination);
        return SourceResult::Cancelled;
      }
    }
    logging::Info("Downloading from {}: {}", source.label, source.url);
    const auto downloaded =
        downloader.DownloadOnce(source.url, destination, source.policy, progress);
    if (!downloaded) {
      RemoveQuietly(destination);
      logging::Warn("Download from {} failed: {}", source.label, downloaded.error().message);
      last = AcquireError::DownloadFailed;
      if (downloaded.error().retryable) continue;
      return SourceResult::Exhausted;
    }
    if (downloader.Cancelled()) {
      RemoveQuietly(destination);
      return SourceResult::Cancelled;
    }
    const std::string problem = CheckIntegrity(destination, *downloaded, info);
    if (problem.empty()) {
      logging::Info("Downloaded and verified {} from {}", PathToUtf8(destination.filename()),
                    source.label);
      return SourceResult::Verified;
    }
    RemoveQuietly(destination);
    logging::Warn("File from {} failed verification: {}", source.label, problem);
    last = AcquireError::VerificationFailed;
    return SourceResult::Exhausted;
  }
  return SourceResult::Exhausted;
}

}  // namespace

DownloadPolicy VendorDownloadPolicy() {
  return {.attempts = 1, .connectTimeout = 10, .lowSpeedLimit = 65536, .lowSpeedTime = 20};
}

DownloadPolicy CdnDownloadPolicy() {
  return {.attempts = 4, .connectTimeout = 10, .lowSpeedLimit = 1024, .lowSpeedTime = 60};
}

bool Sha256Equals(std::string_view a, std::string_view b) {
  return !a.empty() && EqualsIgnoringAsciiCase(a, b);
}

std::expected<void, AcquireError> AcquirePackage(const UpdateInfo& info,
                                                 const std::filesystem::path& destination,
                                                 Downloader& downloader,
                                                 const ProgressCallback& progress) {
  const std::vector<PackageSource> sources = SourcesOf(info);
  AcquireError last = AcquireError::DownloadFailed;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (i > 0) logging::Info("Falling back to the next source");
    switch (TrySource(sources[i], info, destination, downloader, progress, last)) {
      case SourceResult::Verified:
        return {};
      case SourceResult::Cancelled:
        return std::unexpected(AcquireError::Cancelled);
      case SourceResult::Exhausted:
        break;
    }
  }
  // A transfer aborted by the user fails like any download; it is still a cancellation.
  if (downloader.Cancelled()) return std::unexpected(AcquireError::Cancelled);
  return std::unexpected(last);
}

}  // namespace emberdale::core
