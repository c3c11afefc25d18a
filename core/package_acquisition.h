// Package acquisition: gets one package named by a manifest entry onto the disk and proves it is
// the right file. The vendor URL (when given) is tried once with a strict minimum speed, then the
// CDN up to four times with growing pauses; every downloaded file must match the entry's size
// and SHA-256. Cancellable before every attempt, during pauses and while hashing.
#pragma once

#include <expected>
#include <filesystem>
#include <string_view>

#include "core/model.h"
#include "core/updater_host.h"

namespace emberdale::core {

enum class AcquireError {
  DownloadFailed = 0,      // every source was tried; the last failure was a download error
  VerificationFailed = 1,  // every source was tried; the last failure was a size/digest mismatch
  Cancelled = 2,           // the downloader reported cancellation
};

// Fetches `info` into `destination` and verifies it. `info` must satisfy IsValidComponent.
// `progress` is handed unchanged to every attempt. On success the verified file is at
// `destination` and belongs to the caller; on every error `destination` has been deleted.
[[nodiscard]] std::expected<void, AcquireError> AcquirePackage(
    const UpdateInfo& info, const std::filesystem::path& destination, Downloader& downloader,
    const ProgressCallback& progress);

// One attempt, 10 s to connect, at least 65536 bytes/s sustained over 20 s.
[[nodiscard]] DownloadPolicy VendorDownloadPolicy();

// Four attempts, 10 s to connect, at least 1024 bytes/s sustained over 60 s.
[[nodiscard]] DownloadPolicy CdnDownloadPolicy();

// Whether two hexadecimal digests are equal, ignoring case; false when `a` is empty.
[[nodiscard]] bool Sha256Equals(std::string_view a, std::string_view b);

}  // namespace emberdale::core
