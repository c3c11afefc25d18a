#include "core/update_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <format>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/deployment.h"
#include "core/local_versions.h"
#include "core/sha256.h"
#include "tests/support/fake_host.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using test::DownloadAttempt;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Calls = std::vector<std::string>;

// A package the manifest can name, with the bytes the fake CDN serves for it.
struct Package {
  std::string version;
  std::string bytes;
  std::string url;

  std::string sha256() const { return Sha256Hex(bytes); }
  std::string shortHash() const { return sha256().substr(0, 8) + "..."; }
};

std::string CdnUrl(std::string_view path) {
  return std::format("https://{}/{}", kCdnHost, path);
}

const Package kLauncher1{"1.0.0", "launcher 1.0.0", CdnUrl("launcher/launcher-1.0.0.zip")};
const Package kLauncher2{"2.0.0", "launcher 2.0.0, the new one",
                         CdnUrl("launcher/launcher-2.0.0.zip")};
const Package kJre1{"17.0.1", "runtime 17.0.1", CdnUrl("jre/jre-17.0.1.tar.gz")};
const Package kJre2{"17.0.2", "runtime 17.0.2, patched", CdnUrl("jre/17.0.2/download?os=mac")};
const Package kUpdater1{"1.0.0", "updater 1.0.0", CdnUrl("updater/updater-1.0.0.zip")};
const Package kUpdater2{"1.1.0", "updater 1.1.0 bytes", CdnUrl("updater/updater-1.1.0.zip")};

nlohmann::json EntryOf(const Package& package) {
  return {{"version", package.version},
          {"url", package.url},
          {"sha256", package.sha256()},
          {"size", package.bytes.size()}};
}

std::string Manifest(const Package* launcher, const Package* jre, const Package* updater) {
  nlohmann::json mac = nlohmann::json::object();
  if (launcher) mac["launcher"] = EntryOf(*launcher);
  if (jre) mac["jre"] = EntryOf(*jre);
  if (updater) mac["updater"] = EntryOf(*updater);
  return nlohmann::json{{"mac", mac}}.dump();
}

std::string CdnAttempt(const Package& package, std::string_view file) {
  return std::format("DownloadOnce({},temp/{},4/10/1024/60)", package.url, file);
}

std::string Progress(std::string_view component, const Package& package) {
  return std::format("Progress({},{}/{})", component, package.bytes.size(), package.bytes.size());
}

Calls Concat(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The calls every run starts with, up to the first manifest fetch.
const Calls kPrologue{"InstallRoot()", "GetDownloader()", "ReportStep(Preparing,-,0)",
                      "ReportStep(CheckingForUpdates,-,10)", "GetDownloader()"};

class UpdateRunTest : public ::testing::Test {
 protected:
  void Record(const Package* launcher, const Package* jre, const Package* updater) {
    LocalVersions versions;
    if (launcher) versions.launcher = {launcher->version, launcher->sha256()};
    if (jre) versions.jre = {jre->version, jre->sha256()};
    if (updater) versions.updater_archive_sha256 = updater->sha256();
    ASSERT_TRUE(SaveLocalVersions(dir.path(), versions));
  }
  void Answer(std::string manifest) { host.SetManifestAnswers({std::move(manifest)}); }
  void Serve(const Package& package) {
    host.downloader().Script(package.url, {DownloadAttempt::Serve(package.bytes)});
  }
  LocalVersions Recorded() const { return ReadLocalVersions(dir.path()); }
  const Calls& calls() { return host.record().calls(); }
  fs::path Temp(std::string_view name) const { return dir / "temp" / name; }

  test::TempDir dir;
  test::FakeHost host{dir.path()};
  test::LogCapture log;
};

TEST_F(UpdateRunTest, EverythingCurrentIsReadyAndEmptiesTheTempFolder) {
  Record(&kLauncher1, &kJre1, &kUpdater1);
  // Digests compare case-insensitively: a recorded upper-case digest is the same package.
  LocalVersions versions = Recorded();
  std::ranges::transform(versions.jre.sha256, versions.jre.sha256.begin(),
                         [](char c) { return std::toupper(c); });
  ASSERT_TRUE(SaveLocalVersions(dir.path(), versions));
  Answer(Manifest(&kLauncher1, &kJre1, &kUpdater1));
  test::WriteFile(Temp("stale/launcher-package.zip"), "left over");
  test::WriteFile(Temp("jre-package.tar.gz"), "left over");

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_THAT(calls(), ElementsAreArray(
                           Concat({kPrologue,
                                   {"Cancelled()", "FetchManifest()", "Cancelled()",
                                    "ReportStep(ManifestReceived,-,15)",
                                    "ReportStep(CheckingComponents,-,20)", "IsInstalled(Launcher)",
                                    "IsInstalled(Jre)", "ReportStep(NoUpdatesRequired,-,95)",
                                    "ReportStep(RemovingTempFiles,-,96)", "Cancelled()"}})));
  EXPECT_THAT(
      log.lines(),
      ElementsAre("[INFO] Updater is up to date (package sha256 " + kUpdater1.shortHash() + ")",
                  "[INFO] Launcher: 1.0.0 -> up to date", "[INFO] JRE: 17.0.1 -> up to date"));
  EXPECT_TRUE(fs::is_directory(dir / "temp"));
  EXPECT_TRUE(fs::is_empty(dir / "temp"));
}

TEST_F(UpdateRunTest, OutdatedLauncherGoesThroughTheHostInOrder) {
  Record(&kLauncher1, &kJre1, &kUpdater1);
  Answer(Manifest(&kLauncher2, &kJre1, &kUpdater1));
  Serve(kLauncher2);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_THAT(calls(), ElementsAreArray(
                           Concat({kPrologue,
                                   {"Cancelled()",
                                    "FetchManifest()",
                                    "Cancelled()",
                                    "ReportStep(ManifestReceived,-,15)",
                                    "ReportStep(CheckingComponents,-,20)",
                                    "IsInstalled(Launcher)",
                                    "IsInstalled(Jre)",
                                    "ConfirmUpdates(Launcher:1.0.0->2.0.0)",
                                    "ReportStep(UpdatingComponents,-,15)",
                                    "ReportStep(DownloadingComponent,Launcher,15)",
                                    "DownloadProgress(Launcher,15,28)",
                                    "Cancelled()",
                                    CdnAttempt(kLauncher2, "launcher-package.zip"),
                                    Progress("Launcher", kLauncher2),
                                    "Cancelled()",
                                    "ReportStep(InstallingComponent,Launcher,43)",
                                    "InstallComponent(Launcher,temp/launcher-package.zip,43,12)",
                                    "ReportStep(ComponentsFinished,-,95)",
                                    "ReportStep(RemovingTempFiles,-,96)",
                                    "Cancelled()"}})));
  EXPECT_THAT(
      log.lines(),
      ElementsAre("[INFO] Updater is up to date (package sha256 " + kUpdater1.shortHash() + ")",
                  std::format("[INFO] Launcher: 1.0.0 (sha256 {}) -> 2.0.0 (sha256 {}): "
                              "update needed",
                              kLauncher1.shortHash(), kLauncher2.shortHash()),
                  "[INFO] JRE: 17.0.1 -> up to date",
                  "[INFO] Downloading from CDN: " + kLauncher2.url,
                  "[INFO] Downloaded and verified launcher-package.zip from CDN",
                  "[INFO] Launcher 2.0.0 installed"));
  EXPECT_EQ(host.packagesSeen().at("temp/launcher-package.zip"), kLauncher2.bytes);
  const LocalVersions after = Recorded();
  EXPECT_EQ(after.launcher.version, "2.0.0");
  EXPECT_EQ(after.launcher.sha256, kLauncher2.sha256());
  EXPECT_EQ(after.jre.sha256, kJre1.sha256());
  EXPECT_EQ(after.updater_archive_sha256, kUpdater1.sha256());
  EXPECT_TRUE(fs::is_empty(dir / "temp"));
}

TEST_F(UpdateRunTest, BothComponentsAreInstalledInOrderAndRecorded) {
  // The launcher's digest is recorded but its files are gone; no runtime is recorded at all.
  Record(&kLauncher2, nullptr, nullptr);
  host.SetInstalled(Component::Launcher, false);
  Answer(Manifest(&kLauncher2, &kJre2, nullptr));
  Serve(kLauncher2);
  Serve(kJre2);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_THAT(
      host.record().Without("Cancelled()"),
      ElementsAreArray(Concat(
          {kPrologue,
           {"FetchManifest()", "ReportStep(ManifestReceived,-,15)",
            "ReportStep(CheckingComponents,-,20)", "IsInstalled(Launcher)", "IsInstalled(Jre)",
            "ConfirmUpdates(Launcher:2.0.0->2.0.0,Jre:->17.0.2)",
            "ReportStep(UpdatingComponents,-,15)", "ReportStep(DownloadingComponent,Launcher,15)",
            "DownloadProgress(Launcher,15,28)", CdnAttempt(kLauncher2, "launcher-package.zip"),
            Progress("Launcher", kLauncher2), "ReportStep(InstallingComponent,Launcher,43)",
            "InstallComponent(Launcher,temp/launcher-package.zip,43,12)",
            "ReportStep(DownloadingComponent,Jre,55)", "DownloadProgress(Jre,55,28)",
            // A URL without a package extension gives a file without one.
            CdnAttempt(kJre2, "jre-package"), Progress("Jre", kJre2),
            "ReportStep(InstallingComponent,Jre,83)",
            "InstallComponent(Jre,temp/jre-package,83,12)", "ReportStep(ComponentsFinished,-,95)",
            "ReportStep(RemovingTempFiles,-,96)"}})));
  EXPECT_THAT(log.WithPrefix("[INFO] Updater"),
              ElementsAre("[INFO] Updater is up to date (package sha256 none)"));
  EXPECT_EQ(host.lastPendingUpdates().at(1).target.sha256, kJre2.sha256());
  EXPECT_EQ(host.packagesSeen().at("temp/jre-package"), kJre2.bytes);
  const LocalVersions after = Recorded();
  EXPECT_EQ(after.launcher.sha256, kLauncher2.sha256());
  EXPECT_EQ(after.jre.version, "17.0.2");
  EXPECT_EQ(after.jre.sha256, kJre2.sha256());
  EXPECT_THAT(log.WithPrefix("[INFO] JRE"),
              ElementsAre(std::format("[INFO] JRE: none (sha256 none) -> 17.0.2 (sha256 {}): "
                                      "update needed",
                                      kJre2.shortHash()),
                          "[INFO] JRE 17.0.2 installed"));
}

TEST_F(UpdateRunTest, OnlyTheRuntimePendingStartsTheComponentPhaseAt55) {
  Record(&kLauncher1, &kJre1, nullptr);
  Answer(Manifest(&kLauncher1, &kJre2, nullptr));
  Serve(kJre2);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_EQ(host.record().Count("ReportStep(UpdatingComponents,-,55)"), 1);
  EXPECT_EQ(host.record().Count("ReportStep(DownloadingComponent,Launcher,15)"), 0);
}

TEST_F(UpdateRunTest, ManifestFailingThreeTimesIsRetriedWithGrowingPauses) {
  Record(&kLauncher1, &kJre1, &kUpdater1);
  host.SetManifestAnswers({std::unexpected("HTTP 503"), "[]", std::unexpected("timed out"),
                           Manifest(&kLauncher1, &kJre1, &kUpdater1)});

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_THAT(log.WithPrefix("[WARN] "),
              ElementsAre("[WARN] Manifest download failed (attempt 1/4): HTTP 503",
                          "[WARN] Invalid manifest (attempt 2/4): manifest is not a JSON object",
                          "[WARN] Manifest download failed (attempt 3/4): timed out"));
  EXPECT_THAT(log.WithPrefix("[ERROR] "), ElementsAre());
  EXPECT_THAT(
      host.record().Without("Cancelled()"),
      ElementsAreArray(Concat(
          {kPrologue,
           {"FetchManifest()", "WaitBeforeRetry(500)", "FetchManifest()", "WaitBeforeRetry(1500)",
            "FetchManifest()", "WaitBeforeRetry(3000)", "FetchManifest()",
            "ReportStep(ManifestReceived,-,15)", "ReportStep(CheckingComponents,-,20)",
            "IsInstalled(Launcher)", "IsInstalled(Jre)", "ReportStep(NoUpdatesRequired,-,95)",
            "ReportStep(RemovingTempFiles,-,96)"}})));
}

TEST_F(UpdateRunTest, OfflineStartUsesTheInstalledComponents) {
  host.SetManifestAnswers({std::unexpected("HTTP 503"), "[]", "{}", R"({"mac": {"jre": null}})"});

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_THAT(
      log.lines(),
      ElementsAre("[WARN] Manifest download failed (attempt 1/4): HTTP 503",
                  "[WARN] Invalid manifest (attempt 2/4): manifest is not a JSON object",
                  "[WARN] Invalid manifest (attempt 3/4): manifest has no \"mac\" object",
                  "[WARN] Invalid manifest (attempt 4/4): launcher entry is missing or invalid",
                  "[ERROR] Manifest unavailable after 4 attempts",
                  "[INFO] Launcher: none, no usable manifest entry -> using the installed copy",
                  "[INFO] JRE: none, no usable manifest entry -> using the installed copy"));
  EXPECT_THAT(
      host.record().Without("Cancelled()"),
      ElementsAreArray(Concat(
          {kPrologue,
           {"FetchManifest()", "WaitBeforeRetry(500)", "FetchManifest()", "WaitBeforeRetry(1500)",
            "FetchManifest()", "WaitBeforeRetry(3000)", "FetchManifest()",
            "ReportStep(ManifestUnavailable,-,15)", "ReportStep(CheckingComponents,-,20)",
            "IsInstalled(Launcher)", "IsInstalled(Jre)", "ReportStep(NoUpdatesRequired,-,95)",
            "ReportStep(RemovingTempFiles,-,96)"}})));
}

TEST_F(UpdateRunTest, OfflineWithoutALauncherFailsBeforeLookingAtTheRuntime) {
  host.SetManifestAnswers({std::unexpected("no network")});
  host.SetInstalled(Component::Launcher, false);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Failed);

  const Calls& all = calls();
  EXPECT_THAT(Calls(all.end() - 3, all.end()),
              ElementsAre("ReportStep(CheckingComponents,-,20)", "IsInstalled(Launcher)",
                          "ReportFailure(ComponentUnavailable,Launcher)"));
  EXPECT_EQ(log.lines().back(), "[ERROR] Launcher: no usable manifest entry and not installed");
}

TEST_F(UpdateRunTest, MissingRuntimeWithoutManifestEntryFailsBeforeAskingOrDownloading) {
  Record(&kLauncher1, nullptr, &kUpdater1);
  Answer(Manifest(&kLauncher2, nullptr, &kUpdater1));
  host.SetInstalled(Component::Jre, false);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Failed);

  const Calls& all = calls();
  EXPECT_THAT(Calls(all.end() - 3, all.end()),
              ElementsAre("IsInstalled(Launcher)", "IsInstalled(Jre)",
                          "ReportFailure(ComponentUnavailable,Jre)"));
  EXPECT_EQ(log.lines().back(), "[ERROR] JRE: no usable manifest entry and not installed");
}

TEST_F(UpdateRunTest, DecliningTheUpdaterUpdateCancelsTheRun) {
  Record(&kLauncher1, &kJre1, nullptr);
  Answer(Manifest(&kLauncher2, &kJre1, &kUpdater2));
  host.SetConfirmSelfUpdate(false);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_EQ(calls().back(), "ConfirmSelfUpdate(1.1.0)");
  EXPECT_THAT(log.lines(),
              ElementsAre("[INFO] Updater update available: 1.1.0 (package sha256 none -> " +
                              kUpdater2.shortHash() + ")",
                          "[INFO] The user declined the updater update"));
}

TEST_F(UpdateRunTest, DecliningTheComponentUpdatesCancelsTheRun) {
  Record(&kLauncher1, &kJre1, &kUpdater1);
  Answer(Manifest(&kLauncher2, &kJre2, &kUpdater1));
  host.SetConfirmUpdates(false);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_EQ(calls().back(), "ConfirmUpdates(Launcher:1.0.0->2.0.0,Jre:17.0.1->17.0.2)");
  EXPECT_EQ(log.lines().back(), "[INFO] The user declined the component updates");
  EXPECT_EQ(Recorded().launcher.sha256, kLauncher1.sha256());
}

TEST_F(UpdateRunTest, CancelledDuringTheManifestFetch) {
  host.SetManifestAnswers({std::unexpected("aborted by the user")});
  host.downloader().CancelAt("FetchManifest()");

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_THAT(calls(),
              ElementsAreArray(Concat(
                  {kPrologue, {"Cancelled()", "FetchManifest()", "Cancelled()", "Cancelled()"}})));
  EXPECT_THAT(log.lines(),
              ElementsAre("[WARN] Manifest download failed (attempt 1/4): aborted by the user"));
}

TEST_F(UpdateRunTest, CancelledDuringTheManifestRetryPause) {
  host.SetManifestAnswers({std::unexpected("HTTP 502")});
  host.downloader().CancelAt("WaitBeforeRetry(500)");

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_THAT(calls(), ElementsAreArray(Concat({kPrologue,
                                                {"Cancelled()", "FetchManifest()", "Cancelled()",
                                                 "WaitBeforeRetry(500)", "Cancelled()"}})));
  EXPECT_THAT(log.WithPrefix("[ERROR] "), ElementsAre());
}

class UpdateRunComponentTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    Record(&kLauncher1, &kJre1, &kUpdater1);
    Answer(Manifest(&kLauncher2, &kJre1, &kUpdater1));
  }

  // The calls after the launcher package was asked for.
  Calls CallsAfterDownloadProgress() {
    const Calls& all = calls();
    const auto from = std::ranges::find(all, "DownloadProgress(Launcher,15,28)");
    return from == all.end() ? Calls{} : Calls(from + 1, all.end());
  }

  void ExpectNothingRecordedOrLeftBehind() {
    EXPECT_EQ(Recorded().launcher.sha256, kLauncher1.sha256());
    EXPECT_FALSE(fs::exists(Temp("launcher-package.zip")));
  }
};

TEST_F(UpdateRunComponentTest, CancelledDuringTheDownload) {
  host.downloader().CancelAt(CdnAttempt(kLauncher2, "launcher-package.zip"));

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_THAT(CallsAfterDownloadProgress(),
              ElementsAre("Cancelled()", CdnAttempt(kLauncher2, "launcher-package.zip"),
                          "Cancelled()", "ReportStep(ComponentsFinished,-,15)"));
  ExpectNothingRecordedOrLeftBehind();
}

TEST_F(UpdateRunComponentTest, CancelledWhileTheDownloadIsHashed) {
  Serve(kLauncher2);
  host.downloader().CancelAt(Progress("Launcher", kLauncher2));

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_THAT(CallsAfterDownloadProgress(),
              ElementsAre("Cancelled()", CdnAttempt(kLauncher2, "launcher-package.zip"),
                          Progress("Launcher", kLauncher2), "Cancelled()", "Cancelled()",
                          "ReportStep(ComponentsFinished,-,15)"));
  EXPECT_THAT(log.WithPrefix("[WARN] "), ElementsAre());
  ExpectNothingRecordedOrLeftBehind();
}

TEST_F(UpdateRunComponentTest, CancelledDuringTheInstallation) {
  Serve(kLauncher2);
  host.SetInstallResult(Component::Launcher, std::unexpected("tar was interrupted"));
  host.downloader().CancelAt("InstallComponent(Launcher,temp/launcher-package.zip,43,12)");

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);

  EXPECT_THAT(Calls(calls().end() - 3, calls().end()),
              ElementsAre("InstallComponent(Launcher,temp/launcher-package.zip,43,12)",
                          "ReportStep(ComponentsFinished,-,15)", "Cancelled()"));
  EXPECT_THAT(log.WithPrefix("[ERROR] "), ElementsAre());
  EXPECT_EQ(Recorded().launcher.sha256, kLauncher1.sha256());
}

TEST_F(UpdateRunComponentTest, CancelledAfterTheLastInstallation) {
  Serve(kLauncher2);
  host.downloader().CancelAt("ReportStep(RemovingTempFiles,-,96)");

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Cancelled);
  EXPECT_EQ(Recorded().launcher.sha256, kLauncher2.sha256());
}

TEST_F(UpdateRunComponentTest, FailedDownloadIsReportedAsSuch) {
  host.downloader().Script(kLauncher2.url, {DownloadAttempt::Fatal("HTTP 404", "not found")});

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Failed);

  EXPECT_THAT(
      Calls(calls().end() - 2, calls().end()),
      ElementsAre("ReportStep(ComponentsFinished,-,15)", "ReportFailure(DownloadFailed,Launcher)"));
  ExpectNothingRecordedOrLeftBehind();
}

TEST_F(UpdateRunComponentTest, FailedVerificationIsReportedAsSuch) {
  host.downloader().Script(kLauncher2.url, {DownloadAttempt::Serve("not the launcher package")});

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Failed);

  EXPECT_THAT(Calls(calls().end() - 2, calls().end()),
              ElementsAre("ReportStep(ComponentsFinished,-,15)",
                          "ReportFailure(VerificationFailed,Launcher)"));
  EXPECT_EQ(host.record().Count(CdnAttempt(kLauncher2, "launcher-package.zip")), 1);
  ExpectNothingRecordedOrLeftBehind();
}

TEST_F(UpdateRunTest, FailedRuntimeInstallationKeepsTheNewLauncherRecord) {
  Record(&kLauncher1, &kJre1, &kUpdater1);
  Answer(Manifest(&kLauncher2, &kJre2, &kUpdater1));
  Serve(kLauncher2);
  Serve(kJre2);
  host.SetInstallResult(Component::Jre, std::unexpected("disk full"));

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Failed);

  EXPECT_THAT(Calls(calls().end() - 4, calls().end()),
              ElementsAre("InstallComponent(Jre,temp/jre-package,83,12)",
                          "ReportStep(ComponentsFinished,-,55)", "Cancelled()",
                          "ReportFailure(InstallFailed,Jre)"));
  EXPECT_THAT(log.WithPrefix("[ERROR] "), ElementsAre("[ERROR] Installing JRE failed: disk full"));
  const LocalVersions after = Recorded();
  EXPECT_EQ(after.launcher.version, "2.0.0");
  EXPECT_EQ(after.launcher.sha256, kLauncher2.sha256());
  EXPECT_EQ(after.jre.version, "17.0.1");
  EXPECT_EQ(after.jre.sha256, kJre1.sha256());
  EXPECT_FALSE(fs::exists(Temp("launcher-package.zip")));
}

class UpdateRunSelfUpdateTest : public UpdateRunTest {
 protected:
  void SetUp() override {
    Record(&kLauncher1, &kJre1, &kUpdater1);
    Answer(Manifest(&kLauncher1, &kJre1, &kUpdater2));
    host.record().OnCall("ApplySelfUpdate(temp/updater-package.zip)", 1,
                         [this] { digestWhileApplying = Recorded().updater_archive_sha256; });
  }

  std::string digestWhileApplying;
};

TEST_F(UpdateRunSelfUpdateTest, AcceptedUpdateRecordsTheDigestBeforeHandingOver) {
  Serve(kUpdater2);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::SelfUpdated);

  EXPECT_THAT(
      calls(),
      ElementsAreArray(Concat(
          {kPrologue,
           {"Cancelled()", "FetchManifest()", "Cancelled()", "ConfirmSelfUpdate(1.1.0)",
            "ReportStep(DownloadingUpdater,-,10)", "GetDownloader()", "DownloadProgress(-,10,70)",
            "Cancelled()", CdnAttempt(kUpdater2, "updater-package.zip"), Progress("-", kUpdater2),
            "Cancelled()", "ReportStep(InstallingUpdater,-,95)",
            "ApplySelfUpdate(temp/updater-package.zip)"}})));
  EXPECT_EQ(digestWhileApplying, kUpdater2.sha256());
  EXPECT_EQ(Recorded().updater_archive_sha256, kUpdater2.sha256());
  EXPECT_EQ(host.packagesSeen().at("temp/updater-package.zip"), kUpdater2.bytes);
  EXPECT_EQ(log.lines().front(), std::format("[INFO] Updater update available: 1.1.0 (package "
                                             "sha256 {} -> {})",
                                             kUpdater1.shortHash(), kUpdater2.shortHash()));
}

TEST_F(UpdateRunSelfUpdateTest, UnobtainableUpdateIsSkipped) {
  host.downloader().Script(kUpdater2.url, {DownloadAttempt::Fatal("HTTP 403")});

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_THAT(log.WithPrefix("[WARN] Couldn't"),
              ElementsAre("[WARN] Couldn't get the updater update; continuing with the current "
                          "version"));
  EXPECT_EQ(host.record().Count("ReportStep(ManifestReceived,-,15)"), 1);
  EXPECT_EQ(host.record().Count("ReportStep(InstallingUpdater,-,95)"), 0);
  EXPECT_EQ(Recorded().updater_archive_sha256, kUpdater1.sha256());
}

TEST_F(UpdateRunSelfUpdateTest, UpdateThatCannotBeAppliedRestoresTheOldDigest) {
  Serve(kUpdater2);
  host.SetSelfUpdateResult(false);

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);

  EXPECT_EQ(digestWhileApplying, kUpdater2.sha256());
  EXPECT_EQ(Recorded().updater_archive_sha256, kUpdater1.sha256());
  EXPECT_THAT(log.WithPrefix("[WARN] "),
              ElementsAre("[WARN] Couldn't apply the updater update; continuing with the current "
                          "version"));
  const Calls& all = calls();
  const auto applied = std::ranges::find(all, "ApplySelfUpdate(temp/updater-package.zip)");
  ASSERT_NE(applied, all.end());
  EXPECT_EQ(*(applied + 1), "ReportStep(ManifestReceived,-,15)");
}

TEST_F(UpdateRunTest, TempThatIsALinkIsRemovedWithoutEmptyingItsTarget) {
  test::WriteFile(dir / "elsewhere" / "keep.txt", "the user's");
  fs::create_directory_symlink(dir / "elsewhere", dir / "temp");
  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);  // offline, both components installed
  EXPECT_EQ(test::ReadFile(dir / "elsewhere" / "keep.txt"), "the user's");
  EXPECT_FALSE(fs::is_symlink(dir / "temp"));
}

// A crash mid-swap left components only in their backups; the next start is offline.
TEST_F(UpdateRunTest, ComponentsLeftOnlyInABackupAreRestoredOffline) {
  test::WriteFile(Temp("backup-Contents/MacOS/EmberdaleLauncher"), "old launcher");
  test::WriteFile(Temp("backup-jre/bin/java"), "old java");
  test::WriteFile(Temp("backup-Resources/icon"), "old icon");  // swapped in completely
  test::WriteFile(dir / "Resources" / "icon", "new icon");
  test::WriteFile(Temp("backup-Frameworks/runtime/lib"), "runtime not yet carried over");
  test::WriteFile(dir / "Frameworks" / "new", "new item");

  EXPECT_EQ(RunUpdate(host), UpdateOutcome::Ready);
  EXPECT_EQ(test::ReadFile(dir / "Contents" / "MacOS" / "EmberdaleLauncher"), "old launcher");
  EXPECT_EQ(test::ReadFile(dir / "Contents/runtime/Contents/Home/bin/java"), "old java");
  EXPECT_EQ(test::ReadFile(dir / "Resources" / "icon"), "new icon");
  EXPECT_EQ(test::ReadFile(dir / "Frameworks" / "runtime" / "lib"), "runtime not yet carried over");
  EXPECT_TRUE(fs::is_empty(dir / "temp"));
  const auto restored = [this](const fs::path& target) {
    return "[WARN] Restored " + (dir.path() / target).string() + " from an interrupted update";
  };
  ASSERT_GE(log.lines().size(), 3u);
  EXPECT_THAT(
      Calls(log.lines().begin(), log.lines().begin() + 2),
      ::testing::UnorderedElementsAre(restored("Contents"), restored("Frameworks/runtime")));
  EXPECT_EQ(log.lines()[2], restored("Contents/runtime/Contents/Home")) << "after its parent";
}

TEST(UpdateRunRulesTest, EvaluateComponentDecidesByDigestOnly) {
  const std::string digest = Sha256Hex("package");
  UpdateInfo entry{true, "2.0.0", CdnUrl("p.zip"), "", digest, 7};
  std::string upper = digest;
  std::ranges::transform(upper, upper.begin(), [](char c) { return std::toupper(c); });

  EXPECT_EQ(EvaluateComponent({"1.0.0", upper}, true, &entry), ComponentDecision::UpToDate);
  EXPECT_EQ(EvaluateComponent({"1.0.0", digest}, false, &entry), ComponentDecision::UpdateNeeded);
  EXPECT_EQ(EvaluateComponent({"2.0.0", ""}, true, &entry), ComponentDecision::UpdateNeeded);
  EXPECT_EQ(EvaluateComponent({"2.0.0", digest.substr(1)}, true, &entry),
            ComponentDecision::UpdateNeeded);
  EXPECT_EQ(EvaluateComponent({}, true, nullptr), ComponentDecision::UseInstalled);
  EXPECT_EQ(EvaluateComponent({}, false, nullptr), ComponentDecision::Unavailable);
  entry.size = 0;
  EXPECT_EQ(EvaluateComponent({"1.0.0", digest}, true, &entry), ComponentDecision::UseInstalled);
}

TEST(UpdateRunRulesTest, NeedsSelfUpdateOnlyForAValidDifferentPackage) {
  const std::string digest = Sha256Hex("updater");
  const UpdateInfo updater{true, "1.1.0", CdnUrl("u.zip"), "", digest, 7};
  EXPECT_TRUE(NeedsSelfUpdate("", updater));
  EXPECT_TRUE(NeedsSelfUpdate(Sha256Hex("other"), updater));
  EXPECT_FALSE(NeedsSelfUpdate(digest, updater));
  EXPECT_FALSE(NeedsSelfUpdate("", UpdateInfo{}));
}

TEST(UpdateRunRulesTest, PackageExtensionAndLogNames) {
  EXPECT_EQ(PackageExtension("https://h/a/JRE.TAR.GZ"), ".tar.gz");
  EXPECT_EQ(PackageExtension("https://h/a/x.zip?sig=1"), ".zip");
  EXPECT_EQ(PackageExtension("https://h/a/x.tgz#part"), ".tgz");
  EXPECT_EQ(PackageExtension("https://h/a/x.gz"), ".gz");
  EXPECT_EQ(PackageExtension("https://h/a/x.tar.bz2"), "");
  EXPECT_EQ(PackageExtension("https://h/download"), "");
  EXPECT_EQ(PackageExtension("x.ZIP"), ".zip");
  // The cut applies to paths too: a '?' in a folder name hides the file name.
  EXPECT_EQ(PackageExtension("/tmp/odd?dir/updater-package.zip"), "");
  EXPECT_EQ(ComponentLogName(Component::Launcher), "Launcher");
  EXPECT_EQ(ComponentLogName(Component::Jre), "JRE");
}

}  // namespace
}  // namespace emberdale::core
