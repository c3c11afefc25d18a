// The update run and package acquisition through gmock doubles of the host and the downloader.
// Each row is one situation and the trace a user or the log would see: log lines, retry pauses,
// questions, installed packages, reported failures, what stays in the temp folder and what the
// versions file records; and the progress steps with their percents. Digests show as the name of
// their package ("L2" for the launcher 2.0.0 package).
#include "core/update_run.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "core/local_versions.h"
#include "core/logging.h"
#include "core/package_acquisition.h"
#include "core/sha256.h"
#include "tests/support/mocks.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using Answer = std::expected<std::string, std::string>;
using Lines = std::vector<std::string>;

struct Package {
  std::string name, version, url;
  std::string Bytes() const { return name + " package"; }
  std::string Sha() const { return Sha256Hex(Bytes()); }
};
const std::string kCdn = std::format("https://{}/", kCdnHost);
const std::string kVendor = std::format("https://{}/l2.zip", kSourceHost);
const Package L1{"L1", "1.0.0", kCdn + "l1.zip"}, L2{"L2", "2.0.0", kCdn + "l2.zip"},
    J1{"J1", "17.0.1", kCdn + "j1.tar.gz"}, J2{"J2", "17.0.2", kCdn + "jre?os=mac"},
    U1{"U1", "1.0.0", kCdn + "u1.zip"}, U2{"U2", "1.1.0", kCdn + "u2.zip"};
const Package* const kPackages[] = {&L1, &L2, &J1, &J2, &U1, &U2};

std::string Case(std::string hex, char from) {  // hex digits in upper case ('a') or lower ('A')
  for (char& c : hex) c = (c >= from && c < from + 6) ? static_cast<char>(c ^ 0x20) : c;
  return hex;
}

// The log's short form of a digest, as the name of its package when it is one.
std::string Short(const std::string& hash) {
  for (const Package* p : kPackages)
    if (Case(hash, 'A') == p->Sha()) return p->name;
  return hash.empty() ? "none" : hash.substr(0, 8) + "...";
}

std::string Manifest(const Package* launcher, const Package* jre, const Package* updater) {
  nlohmann::json mac = nlohmann::json::object();
  for (const auto& [key, p] :
       {std::pair{"launcher", launcher}, {"jre", jre}, {"updater", updater}}) {
    if (p)
      mac[key] = {{"version", p->version}, {"url", p->url}, {"sha256", p->Sha()}, {"size", 10}};
  }
  return nlohmann::json{{"mac", mac}}.dump();
}

LocalVersions Rec(const Package* launcher, const Package* jre, const Package* updater) {
  return {launcher ? ComponentVersion{launcher->version, launcher->Sha()} : ComponentVersion{},
          jre ? ComponentVersion{jre->version, jre->Sha()} : ComponentVersion{},
          updater ? updater->Sha() : ""};
}

struct Attempt {
  std::string bytes;
  std::optional<DownloadError> error = {};
};

constexpr const char* kSteps[] = {
    "Preparing",          "Checking",          "Received", "Unavailable", "Components",
    "DownloadingUpdater", "InstallingUpdater", "Updating", "Downloading", "Installing",
    "Finished",           "NoUpdates",         "Cleaning"};
constexpr const char* kFailures[] = {"ComponentUnavailable", "DownloadFailed", "VerificationFailed",
                                     "InstallFailed"};

// The doubles of one row: they answer from the row's situation and write the trace.
struct Doubles : test::EngineMocks {
  Doubles() {
    SetLogSink([this](LogLevel level, std::string_view text) {
      Note(std::array{"[INFO] ", "[WARN] ", "[ERROR] "}[static_cast<int>(level)] +
           std::string(text));
    });
    for (const Package* p : kPackages) served[p->url] = {p->Bytes()};
    ON_CALL(host, FetchManifest).WillByDefault([this] {
      Note("fetch", false);
      return manifests.at(std::min(fetches++, manifests.size() - 1));
    });
    ON_CALL(host, ReportStep)
        .WillByDefault([this](Step step, std::optional<Component> c, int percent) {
          Note(kSteps[static_cast<int>(step)], false);
          steps += std::format(" {}{}{}/{}", kSteps[static_cast<int>(step)], c ? ":" : "",
                               c ? ComponentLogName(*c) : "", percent);
        });
    ON_CALL(host, DownloadProgress).WillByDefault([this](auto...) -> ProgressCallback {
      return [this](auto...) { Note("progress", false); };
    });
    ON_CALL(host, ConfirmSelfUpdate).WillByDefault([this](const UpdateInfo& update) {
      return Note("ask updater " + update.version), acceptSelf;
    });
    ON_CALL(host, ConfirmUpdates).WillByDefault([this](const std::vector<PendingUpdate>& updates) {
      std::string asked = "ask";
      for (const PendingUpdate& u : updates) {
        asked += std::format(" {} {}>{}", ComponentLogName(u.component), u.installedVersion,
                             u.target.version);
      }
      return Note(asked), acceptComponents;
    });
    ON_CALL(host, InstallComponent)
        .WillByDefault([this](Component c, const fs::path& package, auto...) {
          Note(std::format("install {}={}", package.filename().native(), test::ReadFile(package)));
          return installErrors.contains(c) ? std::unexpected(installErrors[c])
                                           : std::expected<void, std::string>();
        });
    ON_CALL(host, ApplySelfUpdate).WillByDefault([this](const fs::path& package) {
      Note(std::format("apply {}={}, saved {}", package.filename().native(),
                       test::ReadFile(package),
                       Short(ReadLocalVersions(root.path()).updater_archive_sha256)));
      return applies;
    });
    ON_CALL(host, ReportFailure).WillByDefault([this](Failure failure, std::optional<Component> c) {
      Note(std::format("FAILED {} {}", kFailures[static_cast<int>(failure)], ComponentLogName(*c)));
    });
    ON_CALL(downloader, Cancelled).WillByDefault([this] { return cancelled; });
    ON_CALL(downloader, WaitBeforeRetry).WillByDefault([this](std::chrono::milliseconds delay) {
      return Note(std::format("wait {}", delay.count())), !cancelled;
    });
    ON_CALL(downloader, DownloadOnce).WillByDefault([this](const std::string& url, auto&&... rest) {
      Note("get " + url, false);
      const Attempt a =
          cancelled ? Attempt{"part", DownloadError{"cancelled", false}} : served[url];
      return test::Serve(a.bytes, a.error)(url, rest...);
    });
  }
  ~Doubles() { SetLogSink(nullptr); }

  // Adds an event to the trace unless hidden; cancellation begins at the event named cancelAt.
  void Note(std::string event, bool shown = true) {
    if (!cancelAt.empty() && event.starts_with(cancelAt)) cancelled = true;
    for (const Package* p : kPackages) {
      const std::string shortHash = p->Sha().substr(0, 8) + "...";
      if (const auto at = event.find(shortHash); at != std::string::npos) event.replace(at, 11, p->name);
      if (const auto at = event.find(shortHash); at != std::string::npos) event.replace(at, 11, p->name);
    }
    if (shown && !(quietDownloads && event.starts_with("[INFO] Download"))) trace.push_back(event);
  }
  void Missing(Component c) {
    ON_CALL(host, IsInstalled(c)).WillByDefault(::testing::Return(false));
  }

  std::vector<Answer> manifests;
  std::size_t fetches = 0;
  std::map<std::string, Attempt> served;
  std::map<Component, std::string> installErrors;
  bool acceptSelf = true, acceptComponents = true, applies = true, cancelled = false;
  bool quietDownloads = false;  // the acquisition's own lines are checked by its own table
  std::string cancelAt, steps;
  Lines trace;
};

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct RunRow {
  std::string name;
  LocalVersions before;
  std::vector<Answer> manifests;  // successive answers, the last one repeating
  std::function<void(Doubles&)> situation;
  UpdateOutcome outcome;
  std::string steps;
  Lines trace;
};

TEST(UpdateRunTest, OutcomesBySituation) {
  const LocalVersions current = Rec(&L1, &J1, &U1);
  LocalVersions upperJre = current;
  upperJre.jre.sha256 = Case(upperJre.jre.sha256, 'a');
  const std::vector<Answer> newL = {Manifest(&L2, &J1, &U1)}, newU = {Manifest(&L1, &J1, &U2)};
  const std::string checked = "Preparing/0 Checking/10 Received/15 Components/20";
  const std::string getL = checked + " Updating/15 Downloading:Launcher/15";
  const std::string getBoth = getL + " Installing:Launcher/43 Downloading:JRE/55 Installing:JRE/83";
  const std::string done = " Finished/95 Cleaning/96", noUpdates = " NoUpdates/95 Cleaning/96";
  const std::string selfUpdate = "Preparing/0 Checking/10 DownloadingUpdater/10";
  const std::string sameU = "[INFO] Updater is up to date (package sha256 U1)";
  const std::string sameL = "[INFO] Launcher: 1.0.0 -> up to date",
                    sameJ = "[INFO] JRE: 17.0.1 -> up to date";
  const std::string needL =
      "[INFO] Launcher: 1.0.0 (sha256 L1) -> 2.0.0 (sha256 L2): update needed";
  const std::string needJ = "[INFO] JRE: 17.0.1 (sha256 J1) -> 17.0.2 (sha256 J2): update needed";
  const std::string installL = "install launcher-package.zip=L2 package",
                    installedL = "[INFO] Launcher 2.0.0 installed";
  const std::string installJ = "install jre-package=J2 package",
                    installedJ = "[INFO] JRE 17.0.2 installed";
  const Lines askL = {sameU, needL, sameJ, "ask Launcher 1.0.0>2.0.0"};
  const Lines askU = {"[INFO] Updater update available: 1.1.0 (package sha256 U1 -> U2)",
                      "ask updater 1.1.0"};
  const std::string askLJ = "ask Launcher 1.0.0>2.0.0 JRE 17.0.1>17.0.2",
                    unchanged = "saved 1.0.0 L1 | 17.0.1 J1 | U1";
  const std::string retry = "[WARN] Manifest download failed (attempt 1/4): HTTP 503";
  // clang-format off
  const RunRow rows[] = {
    {"all current; a recorded digest in upper case is the same", upperJre, {Manifest(&L1, &J1, &U1)}, nullptr,
     UpdateOutcome::Ready, checked + noUpdates, {sameU, sameL, sameJ, unchanged}},
    {"outdated launcher is asked for, installed and recorded", current, newL, nullptr,
     UpdateOutcome::Ready, getL + " Installing:Launcher/43" + done,
     askL + Lines{installL, installedL, "saved 2.0.0 L2 | 17.0.1 J1 | U1"}},
    {"launcher gone from disk, runtime never recorded", Rec(&L2, nullptr, nullptr), {Manifest(&L2, &J2, nullptr)},
     [](Doubles& r) { r.Missing(Component::Launcher); }, UpdateOutcome::Ready, getBoth + done,
     {"[INFO] Updater is up to date (package sha256 none)", "[INFO] Launcher: 2.0.0 (sha256 L2) -> 2.0.0 (sha256 L2): update needed",
      "[INFO] JRE: none (sha256 none) -> 17.0.2 (sha256 J2): update needed", "ask Launcher 2.0.0>2.0.0 JRE >17.0.2",
      installL, installedL, installJ, installedJ, "saved 2.0.0 L2 | 17.0.2 J2 | none"}},
    {"only the runtime pending starts at 55; cancelled at the end it stays recorded", current, {Manifest(&L1, &J2, &U1)},
     [](Doubles& r) { r.cancelAt = "Cleaning"; }, UpdateOutcome::Cancelled,
     checked + " Updating/55 Downloading:JRE/55 Installing:JRE/83" + done,
     {sameU, sameL, needJ, "ask JRE 17.0.1>17.0.2", installJ, installedJ, "saved 1.0.0 L1 | 17.0.2 J2 | U1"}},
    {"manifest failing three times is retried with growing pauses", current,
     {std::unexpected("HTTP 503"), "[]", std::unexpected("timed out"), Manifest(&L1, &J1, &U1)}, nullptr,
     UpdateOutcome::Ready, checked + noUpdates,
     {retry, "wait 500", "[WARN] Invalid manifest (attempt 2/4): manifest is not a JSON object", "wait 1500",
      "[WARN] Manifest download failed (attempt 3/4): timed out", "wait 3000", sameU, sameL, sameJ, unchanged}},
    {"no usable manifest: the installed components are used", current,
     {std::unexpected("HTTP 503"), "{}", R"({"mac": {"jre": null}})"}, nullptr, UpdateOutcome::Ready,
     "Preparing/0 Checking/10 Unavailable/15 Components/20" + noUpdates,
     {retry, "wait 500", "[WARN] Invalid manifest (attempt 2/4): manifest has no \"mac\" object", "wait 1500",
      "[WARN] Invalid manifest (attempt 3/4): launcher entry is missing or invalid", "wait 3000",
      "[WARN] Invalid manifest (attempt 4/4): launcher entry is missing or invalid", "[ERROR] Manifest unavailable after 4 attempts",
      "[INFO] Launcher: 1.0.0, no usable manifest entry -> using the installed copy",
      "[INFO] JRE: 17.0.1, no usable manifest entry -> using the installed copy", unchanged}},
    {"runtime neither in the manifest nor on disk fails before asking", Rec(&L1, nullptr, &U1), {Manifest(&L2, nullptr, &U1)},
     [](Doubles& r) { r.Missing(Component::Jre); }, UpdateOutcome::Failed, checked,
     {sameU, needL, "[ERROR] JRE: no usable manifest entry and not installed", "FAILED ComponentUnavailable JRE",
      "saved 1.0.0 L1 |  none | U1"}},
    {"declining the updater update", Rec(&L1, &J1, nullptr), {Manifest(&L2, &J1, &U2)}, [](Doubles& r) { r.acceptSelf = false; },
     UpdateOutcome::Cancelled, "Preparing/0 Checking/10",
     {"[INFO] Updater update available: 1.1.0 (package sha256 none -> U2)", "ask updater 1.1.0",
      "[INFO] The user declined the updater update", "saved 1.0.0 L1 | 17.0.1 J1 | none"}},
    {"declining the component updates", current, {Manifest(&L2, &J2, &U1)}, [](Doubles& r) { r.acceptComponents = false; },
     UpdateOutcome::Cancelled, checked, {sameU, needL, needJ, askLJ, "[INFO] The user declined the component updates", unchanged}},
    {"cancelled during the manifest fetch", current, {std::unexpected("HTTP 503")}, [](Doubles& r) { r.cancelAt = "fetch"; },
     UpdateOutcome::Cancelled, "Preparing/0 Checking/10", {retry, unchanged}},
    {"cancelled during a manifest retry pause", current, {std::unexpected("HTTP 503")}, [](Doubles& r) { r.cancelAt = "wait"; },
     UpdateOutcome::Cancelled, "Preparing/0 Checking/10", {retry, "wait 500", unchanged}},
    {"cancelled during the download", current, newL, [](Doubles& r) { r.cancelAt = "get"; }, UpdateOutcome::Cancelled,
     getL + " Finished/15", askL + Lines{"[WARN] Download from CDN failed: cancelled", unchanged}},
    {"cancelled during the installation", current, newL,
     [](Doubles& r) { r.cancelAt = "install", r.installErrors[Component::Launcher] = "interrupted"; }, UpdateOutcome::Cancelled,
     getL + " Installing:Launcher/43 Finished/15", askL + Lines{installL, "left launcher-package.zip", unchanged}},
    {"failed download", current, newL, [](Doubles& r) { r.served[L2.url] = {"<html>", DownloadError{"HTTP 404", false}}; },
     UpdateOutcome::Failed, getL + " Finished/15",
     askL + Lines{"[WARN] Download from CDN failed: HTTP 404", "FAILED DownloadFailed Launcher", unchanged}},
    {"failed verification", current, newL, [](Doubles& r) { r.served[L2.url] = {"wrong bytes"}; }, UpdateOutcome::Failed,
     getL + " Finished/15", askL + Lines{"[WARN] File from CDN failed verification: size 11 != expected 10",
                                           "FAILED VerificationFailed Launcher", unchanged}},
    {"failed runtime installation keeps the new launcher record", current, {Manifest(&L2, &J2, &U1)},
     [](Doubles& r) { r.installErrors[Component::Jre] = "disk full"; }, UpdateOutcome::Failed, getBoth + " Finished/55",
     {sameU, needL, needJ, askLJ, installL, installedL, installJ, "[ERROR] Installing JRE failed: disk full",
      "FAILED InstallFailed JRE", "left jre-package", "saved 2.0.0 L2 | 17.0.1 J1 | U1"}},
    {"accepted updater update is recorded before it takes over", current, newU, nullptr, UpdateOutcome::SelfUpdated,
     selfUpdate + " InstallingUpdater/95",
     askU + Lines{"apply updater-package.zip=U2 package, saved U2", "left updater-package.zip", "saved 1.0.0 L1 | 17.0.1 J1 | U2"}},
    {"updater update that can't be fetched is skipped", current, newU,
     [](Doubles& r) { r.served[U2.url] = {"", DownloadError{"HTTP 403", false}}; }, UpdateOutcome::Ready,
     selfUpdate + " Received/15 Components/20" + noUpdates,
     askU + Lines{"[WARN] Download from CDN failed: HTTP 403",
                  "[WARN] Couldn't get the updater update; continuing with the current version", sameL, sameJ, unchanged}},
    {"updater update that can't be applied puts the old digest back", current, newU, [](Doubles& r) { r.applies = false; },
     UpdateOutcome::Ready, selfUpdate + " InstallingUpdater/95 Received/15 Components/20" + noUpdates,
     askU + Lines{"apply updater-package.zip=U2 package, saved U2",
                  "[WARN] Couldn't apply the updater update; continuing with the current version", sameL, sameJ, unchanged}},
  };
  // clang-format on
  for (const RunRow& row : rows) {
    SCOPED_TRACE(row.name);
    Doubles run;
    ASSERT_TRUE(SaveLocalVersions(run.root.path(), row.before));
    test::WriteFile(TempDir(run.root.path()) / "old/jre-package", "left by an earlier run");
    run.manifests = row.manifests;
    run.quietDownloads = true;
    if (row.situation) row.situation(run);

    EXPECT_EQ(RunUpdate(run.host), row.outcome);

    for (const auto& entry : fs::directory_iterator(TempDir(run.root.path()))) {
      run.trace.push_back("left " + entry.path().filename().native());
    }
    const LocalVersions v = ReadLocalVersions(run.root.path());
    run.trace.push_back(std::format("saved {} {} | {} {} | {}", v.launcher.version,
                                    Short(v.launcher.sha256), v.jre.version, Short(v.jre.sha256),
                                    Short(v.updater_archive_sha256)));
    EXPECT_EQ(run.trace, row.trace);
    EXPECT_EQ(run.steps, " " + row.steps);
  }
}

TEST(UpdateRunTest, PackageExtensionNamesThePackageType) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"https://h/a/JRE.TAR.GZ", ".tar.gz"}, {"https://h/a/x.zip?sig=1", ".zip"},
      {"https://h/x.tgz#p", ".tgz"},         {"https://h/a/x.gz", ".gz"},
      {"https://h/a/x.tar.bz2", ""},         {"/tmp/odd?dir/updater-package.zip", ""}};
  for (const auto& [url, extension] : cases) EXPECT_EQ(PackageExtension(url), extension) << url;
}

struct AcquireRow {
  std::string name;
  std::map<std::string, Attempt>
      served;            // by URL; without the vendor URL there is no vendor source
  std::string cancelAt;  // "now": cancelled from the start
  std::expected<void, AcquireError> result;
  Lines trace;
};

TEST(PackageAcquisitionTest, SourcesRetriesAndVerification) {
  const std::string wrong(10, 'x'), upper = Case(L2.Sha(), 'a'), good = L2.Bytes();
  const std::string vendor = "[INFO] Downloading from vendor: " + kVendor,
                    cdn = "[INFO] Downloading from CDN: " + L2.url;
  const std::string fallBack = "[INFO] Falling back to the next source",
                    timedOut = "[WARN] Download from CDN failed: timed out";
  const Attempt retryable{"part", DownloadError{"timed out", true}},
      notFound{"", DownloadError{"HTTP 404", false}};
  const auto failed = [](AcquireError e) {
    return std::expected<void, AcquireError>(std::unexpected(e));
  };
  // clang-format off
  const AcquireRow rows[] = {
    {"a vendor attempt is not retried: the CDN follows", {{kVendor, {"", DownloadError{"HTTP 503", true}}}, {L2.url, {good}}}, "", {},
     {vendor, "[WARN] Download from vendor failed: HTTP 503", fallBack, cdn, "[INFO] Downloaded and verified launcher-package.zip from CDN"}},
    {"the CDN is tried four times with growing pauses", {{L2.url, retryable}}, "", failed(AcquireError::DownloadFailed),
     {cdn, timedOut, "[WARN] Retrying CDN download in 1000 ms (attempt 2/4)", "wait 1000", cdn, timedOut,
      "[WARN] Retrying CDN download in 3000 ms (attempt 3/4)", "wait 3000", cdn, timedOut,
      "[WARN] Retrying CDN download in 5000 ms (attempt 4/4)", "wait 5000", cdn, timedOut}},
    {"wrong size, then wrong digest; the CDN file is not fetched again", {{kVendor, {good + "!"}}, {L2.url, {wrong}}}, "",
     failed(AcquireError::VerificationFailed),
     {vendor, "[WARN] File from vendor failed verification: size 11 != expected 10", fallBack, cdn,
      std::format("[WARN] File from CDN failed verification: sha256 {} != expected {}", Sha256Hex(wrong), upper)}},
    {"the last source's failure decides", {{kVendor, {"short"}}, {L2.url, notFound}}, "", failed(AcquireError::DownloadFailed),
     {vendor, "[WARN] File from vendor failed verification: size 5 != expected 10", fallBack, cdn,
      "[WARN] Download from CDN failed: HTTP 404"}},
    {"cancelled before the first attempt", {{L2.url, {good}}}, "now", failed(AcquireError::Cancelled), {}},
    {"cancelled in a retry pause", {{L2.url, retryable}}, "wait", failed(AcquireError::Cancelled),
     {cdn, timedOut, "[WARN] Retrying CDN download in 1000 ms (attempt 2/4)", "wait 1000"}},
    {"cancelled while hashing", {{L2.url, {good}}}, "progress", failed(AcquireError::Cancelled), {cdn}},
    {"a transfer aborted by the user on the last source is a cancellation", {{kVendor, notFound}, {L2.url, {good}}},
     "get " + L2.url, failed(AcquireError::Cancelled),
     {vendor, "[WARN] Download from vendor failed: HTTP 404", fallBack, cdn, "[WARN] Download from CDN failed: cancelled"}},
  };
  // clang-format on
  for (const AcquireRow& row : rows) {
    SCOPED_TRACE(row.name);
    Doubles run;
    run.served = row.served;
    run.cancelAt = row.cancelAt;
    run.cancelled = row.cancelAt == "now";
    const std::string vendorUrl = row.served.contains(kVendor) ? kVendor : "";
    const fs::path destination = run.root / "launcher-package.zip";
    test::WriteFile(destination, "left by an earlier run");

    EXPECT_EQ(AcquirePackage({true, L2.version, L2.url, vendorUrl, upper, 10}, destination,
                             run.downloader, [&run](auto...) { run.Note("progress", false); }),
              row.result);

    EXPECT_EQ(run.trace, row.trace);
    EXPECT_EQ(fs::exists(destination) ? test::ReadFile(destination) : "none",
              row.result ? good : "none");
  }
}

}  // namespace
}  // namespace emberdale::core
