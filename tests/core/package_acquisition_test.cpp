#include "core/package_acquisition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/deployment.h"
#include "core/sha256.h"
#include "tests/support/call_record.h"
#include "tests/support/fake_downloader.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using test::DownloadAttempt;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::string kCdnUrl = std::format("https://{}/packages/launcher-2.0.0.zip", kCdnHost);
const std::string kVendorUrl = std::format("https://{}/releases/launcher-2.0.0.zip", kSourceHost);
const std::string kPackage = "the launcher package, version 2.0.0";

class PackageAcquisitionTest : public ::testing::Test {
 protected:
  PackageAcquisitionTest() {
    info.present = true;
    info.version = "2.0.0";
    info.url = kCdnUrl;
    info.vendorUrl = kVendorUrl;
    info.sha256 = Sha256Hex(kPackage);
    info.size = kPackage.size();
  }

  std::expected<void, AcquireError> Acquire() {
    return AcquirePackage(info, destination, downloader, progress);
  }

  static std::string VendorAttempt() {
    return std::format("DownloadOnce({},launcher-package.zip,1/10/65536/20)", kVendorUrl);
  }
  static std::string CdnAttempt() {
    return std::format("DownloadOnce({},launcher-package.zip,4/10/1024/60)", kCdnUrl);
  }

  test::TempDir dir;
  test::CallRecord record;
  test::FakeDownloader downloader{record, dir.path()};
  test::LogCapture log;
  UpdateInfo info;
  fs::path destination = dir / "launcher-package.zip";
  int progressCalls = 0;
  ProgressCallback progress = [this](std::uint64_t, std::uint64_t) { ++progressCalls; };
};

const std::string kDownloadingVendor = "[INFO] Downloading from vendor: " + kVendorUrl;
const std::string kDownloadingCdn = "[INFO] Downloading from CDN: " + kCdnUrl;
const std::string kFallingBack = "[INFO] Falling back to the next source";

TEST_F(PackageAcquisitionTest, FallsBackToTheCdnWhenTheVendorAttemptFails) {
  downloader.Script(kVendorUrl, {DownloadAttempt::Retryable("HTTP 503")});
  downloader.Script(kCdnUrl, {DownloadAttempt::Serve(kPackage)});

  ASSERT_TRUE(Acquire());

  EXPECT_EQ(test::ReadFile(destination), kPackage);
  EXPECT_THAT(
      log.lines(),
      ElementsAre(kDownloadingVendor, "[WARN] Download from vendor failed: HTTP 503", kFallingBack,
                  kDownloadingCdn, "[INFO] Downloaded and verified launcher-package.zip from CDN"));
  // The vendor source has one attempt even for a retryable error; each attempt gets the callback.
  EXPECT_THAT(record.calls(), ElementsAre("Cancelled()", VendorAttempt(), "Cancelled()",
                                          CdnAttempt(), "Cancelled()"));
  EXPECT_EQ(progressCalls, 2);
}

TEST_F(PackageAcquisitionTest, RetriesTheCdnFourTimesWithGrowingPauses) {
  info.vendorUrl.clear();
  downloader.Script(kCdnUrl, {DownloadAttempt::Retryable("timed out")});

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::DownloadFailed);
  EXPECT_FALSE(fs::exists(destination));
  const std::string failed = "[WARN] Download from CDN failed: timed out";
  EXPECT_THAT(
      log.lines(),
      ElementsAre(kDownloadingCdn, failed, "[WARN] Retrying CDN download in 1000 ms (attempt 2/4)",
                  kDownloadingCdn, failed, "[WARN] Retrying CDN download in 3000 ms (attempt 3/4)",
                  kDownloadingCdn, failed, "[WARN] Retrying CDN download in 5000 ms (attempt 4/4)",
                  kDownloadingCdn, failed));
  EXPECT_THAT(
      record.Without("Cancelled()"),
      ElementsAre(CdnAttempt(), "WaitBeforeRetry(1000)", CdnAttempt(), "WaitBeforeRetry(3000)",
                  CdnAttempt(), "WaitBeforeRetry(5000)", CdnAttempt()));
}

TEST_F(PackageAcquisitionTest, WrongSizeFromTheVendorThenWrongDigestFromTheCdnFailsVerification) {
  const std::string wrong(kPackage.size(), 'x');
  downloader.Script(kVendorUrl, {DownloadAttempt::Serve(kPackage + "!")});
  downloader.Script(kCdnUrl, {DownloadAttempt::Serve(wrong)});

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::VerificationFailed);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_THAT(log.lines(),
              ElementsAre(kDownloadingVendor,
                          std::format("[WARN] File from vendor failed verification: size {} != "
                                      "expected {}",
                                      kPackage.size() + 1, kPackage.size()),
                          kFallingBack, kDownloadingCdn,
                          std::format("[WARN] File from CDN failed verification: sha256 {} != "
                                      "expected {}",
                                      Sha256Hex(wrong), info.sha256)));
  // The CDN file is not fetched again although attempts remain. Polls: before each attempt,
  // after each failed check, while hashing (the CDN file only: the vendor file's size was wrong,
  // so it is never hashed) and once more before giving up.
  EXPECT_THAT(record.calls(),
              ElementsAre("Cancelled()", VendorAttempt(), "Cancelled()", "Cancelled()",
                          CdnAttempt(), "Cancelled()", "Cancelled()", "Cancelled()"));
}

TEST_F(PackageAcquisitionTest, TheLastSourcesFailureDecidesTheError) {
  // Vendor download fails, CDN file fails verification: VerificationFailed.
  downloader.Script(kVendorUrl, {DownloadAttempt::Fatal("HTTP 404")});
  downloader.Script(kCdnUrl, {DownloadAttempt::Serve("short")});
  auto result = Acquire();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::VerificationFailed);
  EXPECT_FALSE(fs::exists(destination));

  // Vendor file fails verification, every CDN attempt fails to download: DownloadFailed.
  downloader.Script(kVendorUrl, {DownloadAttempt::Serve("short")});
  downloader.Script(kCdnUrl, {DownloadAttempt::Retryable("connection reset")});
  result = Acquire();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::DownloadFailed);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_EQ(record.Count(CdnAttempt()), 1 + 4);
}

TEST_F(PackageAcquisitionTest, NonRetryableCdnErrorEndsAfterOneAttempt) {
  info.vendorUrl.clear();
  downloader.Script(kCdnUrl, {DownloadAttempt::Fatal("HTTP 404", "<html>not found</html>")});

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::DownloadFailed);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_THAT(log.lines(),
              ElementsAre(kDownloadingCdn, "[WARN] Download from CDN failed: HTTP 404"));
  EXPECT_THAT(record.calls(), ElementsAre("Cancelled()", CdnAttempt(), "Cancelled()"));
}

TEST_F(PackageAcquisitionTest, UpperCaseManifestDigestMatchesTheComputedOne) {
  info.vendorUrl.clear();
  std::ranges::transform(info.sha256, info.sha256.begin(), [](char c) { return std::toupper(c); });
  downloader.Script(kCdnUrl, {DownloadAttempt::Serve(kPackage)});

  ASSERT_TRUE(Acquire());
  EXPECT_EQ(test::ReadFile(destination), kPackage);
}

TEST_F(PackageAcquisitionTest, CancelledBeforeTheFirstAttemptDeletesAnOldFileSilently) {
  test::WriteFile(destination, "left over from an earlier run");
  downloader.Cancel();

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::Cancelled);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_THAT(log.lines(), ElementsAre());
  EXPECT_THAT(record.calls(), ElementsAre("Cancelled()"));
}

TEST_F(PackageAcquisitionTest, CancelledDuringARetryPauseLogsNothingMore) {
  info.vendorUrl.clear();
  downloader.Script(kCdnUrl, {DownloadAttempt::Retryable("timed out")});
  downloader.CancelAt("WaitBeforeRetry(1000)");

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::Cancelled);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_THAT(log.lines(),
              ElementsAre(kDownloadingCdn, "[WARN] Download from CDN failed: timed out",
                          "[WARN] Retrying CDN download in 1000 ms (attempt 2/4)"));
}

TEST_F(PackageAcquisitionTest, CancelledWhileHashingGivesNoVerificationWarning) {
  info.vendorUrl.clear();
  downloader.Script(kCdnUrl, {DownloadAttempt::Serve(kPackage)});
  // The user cancels as the last bytes arrive; the transfer itself completes.
  progress = [this](std::uint64_t, std::uint64_t) { downloader.Cancel(); };

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::Cancelled);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_THAT(log.lines(), ElementsAre(kDownloadingCdn));
}

TEST_F(PackageAcquisitionTest, TransferAbortedByTheUserIsACancellationEvenOnTheLastSource) {
  downloader.Script(kVendorUrl, {DownloadAttempt::Fatal("HTTP 404")});
  downloader.CancelAt(CdnAttempt());

  const auto result = Acquire();

  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), AcquireError::Cancelled);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_THAT(log.WithPrefix("[WARN] "), ElementsAre("[WARN] Download from vendor failed: HTTP 404",
                                                     "[WARN] Download from CDN failed: cancelled"));
}

TEST(PackageAcquisitionRulesTest, PoliciesAndDigestComparison) {
  EXPECT_EQ(test::ShowPolicy(VendorDownloadPolicy()), "1/10/65536/20");
  EXPECT_EQ(test::ShowPolicy(CdnDownloadPolicy()), "4/10/1024/60");

  EXPECT_TRUE(Sha256Equals("abcDEF01", "ABCdef01"));
  EXPECT_FALSE(Sha256Equals("abcdef01", "abcdef0"));
  EXPECT_FALSE(Sha256Equals("abcdef01", "abcdef02"));
  EXPECT_FALSE(Sha256Equals("", ""));
}

}  // namespace
}  // namespace emberdale::core
