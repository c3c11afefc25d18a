// The update run with its package acquisition: situations and what the user, log and disk show.
#include "core/update_run.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "core/local_versions.h"
#include "core/package_acquisition.h"
#include "core/sha256.h"
#include "tests/support/log_capture.h"
#include "tests/support/mocks.h"
#include "tests/support/temp_dir.h"

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
const std::string kVendor = std::format("https://{}/l3.zip", kSourceHost);
const Package L1{"L1", "1.0.0", kCdn + "l1.zip"}, L2{"L2", "2.0.0", kCdn + "l2.zip"},
    L3{"L3", "3.0.0", kCdn + "l3.zip"}, J1{"J1", "17.0.1", kCdn + "j1.tar.gz"},
    J2{"J2", "17.0.2", kCdn + "jre?os=mac"}, U1{"U1", "1.0.0", kCdn + "u1.zip"},
    U2{"U2", "1.1.0", kCdn + "u2.zip"};
const Package* const kPackages[] = {&L1, &L2, &L3, &J1, &J2, &U1, &U2};

std::string Upper(std::string hex) {
  for (char& c : hex) c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
  return hex;
}

// A digest as its package's name; in the log ("1a2b3c4d...") too.
std::string Named(std::string text) {
  for (const Package* p : kPackages) {
    if (Sha256Equals(text, p->Sha())) return p->name;
    for (const std::string& hex : {p->Sha(), Upper(p->Sha())}) {
      const std::string shown = hex.substr(0, 8) + "...";
      for (std::size_t at; (at = text.find(shown)) != std::string::npos;)
        text.replace(at, 11, p->name);
    }
  }
  return text.empty() ? "none" : text;
}

// L3, the package with a vendor source, and J1 are announced with their digests in upper case.
std::string Manifest(const Package* launcher, const Package* jre, const Package* updater) {
  nlohmann::json mac = nlohmann::json::object();
  for (const auto& [key, p] :
       {std::pair{"launcher", launcher}, {"jre", jre}, {"updater", updater}}) {
    if (!p) continue;
    const std::string sha = p == &L3 || p == &J1 ? Upper(p->Sha()) : p->Sha();
    mac[key] = {{"version", p->version}, {"url", p->url}, {"sha256", sha}, {"size", 10}};
    if (p == &L3) mac[key]["vendorUrl"] = kVendor;
  }
  return nlohmann::json{{"mac", mac}}.dump();
}

LocalVersions Rec(const Package* launcher, const Package* jre, const Package* updater) {
  const auto of = [](const Package* p) {
    return p ? ComponentVersion{p->version, p->Sha()} : ComponentVersion{};
  };
  return {of(launcher), of(jre), updater ? updater->Sha() : ""};
}

using Attempt = std::pair<std::string, std::optional<DownloadError>>;  // bytes, error

// One row's doubles: they answer from its situation and write what happened to the trace.
struct Doubles {
  Doubles() {
    using testing::Return;
    ON_CALL(host, InstallRoot).WillByDefault(Return(root.path()));
    ON_CALL(host, GetDownloader).WillByDefault(testing::ReturnRef(downloader));
    ON_CALL(host, IsInstalled).WillByDefault(Return(true));
    ON_CALL(host, UnpackComponent).WillByDefault(Return(std::expected<void, std::string>()));
    for (const Package* p : kPackages) served[p->url] = {p->Bytes(), {}};
    ON_CALL(host, FetchManifest).WillByDefault([this] {
      return Note("fetch", false), manifests.at(std::min(fetches++, manifests.size() - 1));
    });
    ON_CALL(host, ReportStep).WillByDefault([this](Step step, auto...) {
      if (step == Step::RemovingTempFiles) Note("cleaning", false);
    });
    ON_CALL(host, DownloadProgress).WillByDefault([this](auto...) -> ProgressCallback {
      return [this](auto...) { Note("progress", false); };
    });
    ON_CALL(host, ConfirmSelfUpdate).WillByDefault([this](const UpdateInfo& update) {
      return Note("ask updater " + update.version), acceptSelf;
    });
    ON_CALL(host, ConfirmUpdates).WillByDefault([this](const std::vector<PendingUpdate>& list) {
      std::string asked = "ask";
      for (const PendingUpdate& u : list) {
        asked += std::format(" {} {}>{}", ComponentLogName(u.component), u.installedVersion,
                             u.target.version);
      }
      return Note(asked), acceptComponents;
    });
    ON_CALL(host, InstallComponent)
        .WillByDefault([this](Component c, const fs::path& file, auto...) {
          Note(std::format("install {}={}", file.filename().native(), test::ReadFile(file)));
          return installErrors.contains(c) ? std::unexpected("no")
                                           : std::expected<void, std::string>();
        });
    ON_CALL(host, ApplySelfUpdate).WillByDefault([this](const fs::path& file, auto& replaced) {
      Note(std::format("apply {}={}, saved {}", file.filename().native(), test::ReadFile(file),
                       Named(ReadLocalVersions(root.path()).updater_archive_sha256)));
      return replaced(), applies;
    });
    ON_CALL(host, ReportFailure).WillByDefault([this](Failure f, std::optional<Component> c) {
      constexpr const char* kFailures[] = {"Unavailable", "Download", "Verification", "Install"};
      Note(std::format("FAILED {} {}", kFailures[static_cast<int>(f)], ComponentLogName(*c)));
    });
    ON_CALL(downloader, Cancelled).WillByDefault([this] { return cancelled.load(); });
    ON_CALL(downloader, WaitBeforeRetry).WillByDefault([this](std::chrono::milliseconds delay) {
      return Note(std::format("wait {}", delay.count())), !cancelled;
    });
    ON_CALL(downloader, DownloadOnce)
        .WillByDefault(
            [this](const std::string& url, const fs::path& to, auto&, const auto& progress) {
              const auto [bytes, error] =
                  cancelled ? Attempt{"part", DownloadError{"cancelled"}} : served[url];
              test::WriteFile(to, bytes);
              if (progress) progress(bytes.size(), bytes.size());
              Note("got " + url, false);
              return error ? std::unexpected(*error)
                           : std::expected<std::string, DownloadError>(Sha256Hex(bytes));
            });
  }

  // Adds an event to the trace unless hidden, the install folder as "~"; cancelAt starts a cancel.
  void Note(std::string event, bool shown = true) {
    if (const auto at = event.find(root.path().native()); at != std::string::npos)
      event.replace(at, root.path().native().size(), "~");
    if (!cancelAt.empty() && event.starts_with(cancelAt)) cancelled = true;
    if (shown && !(quiet && event.starts_with("[INFO] Download"))) trace.push_back(Named(event));
  }
  void Missing(Component c) { ON_CALL(host, IsInstalled(c)).WillByDefault(testing::Return(false)); }

  test::TempDir root;
  testing::NiceMock<test::MockDownloader> downloader;
  testing::NiceMock<test::MockUpdaterHost> host;
  std::vector<Answer> manifests;
  std::size_t fetches = 0;
  std::map<std::string, Attempt> served;
  std::set<Component> installErrors;
  bool acceptSelf = true, acceptComponents = true, applies = true;
  std::atomic<bool> cancelled = false;  // also set and read by the run's worker threads
  bool quiet = true;                    // leaves the acquisition's "[INFO] Download..." lines out
  std::string cancelAt;
  Lines trace;
  test::LogCapture log{[this](std::string line) { Note(std::move(line)); }};  // uses the above
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
  Lines trace;
};

TEST(UpdateRunTest, OutcomesBySituation) {
  const LocalVersions now = Rec(&L1, &J1, &U1);
  const std::vector<Answer> newL = {Manifest(&L2, &J1, &U1)}, newU = {Manifest(&L1, &J1, &U2)};
  const std::vector<Answer> newV = {Manifest(&L3, &J1, &U1)};
  const Attempt timeout{"part", DownloadError{"timed out", true}};
  const std::string sameU = "[INFO] Updater is up to date (package sha256 U1)";
  const std::string sameL = "[INFO] Launcher: 1.0.0 -> up to date";
  const std::string sameJ = "[INFO] JRE: 17.0.1 -> up to date",
                    same = "saved 1.0.0 L1 | 17.0.1 J1 | U1";
  const std::string needL =
      "[INFO] Launcher: 1.0.0 (sha256 L1) -> 2.0.0 (sha256 L2): update needed";
  const std::string needJ = "[INFO] JRE: 17.0.1 (sha256 J1) -> 17.0.2 (sha256 J2): update needed";
  const std::string installL = "install launcher-package.zip=L2 package";
  const std::string installJ = "install jre-package=J2 package",
                    doneJ = "[INFO] JRE 17.0.2 installed";
  const std::string doneL = "[INFO] Launcher 2.0.0 installed";
  const std::string askLJ = "ask Launcher 1.0.0>2.0.0 JRE 17.0.1>17.0.2";
  const std::string failed1 = "[WARN] Manifest download failed (attempt 1/4): HTTP 503";
  const std::string next = "[INFO] Falling back to the next source";
  const std::string cdn = "[INFO] Downloading from CDN: " + L2.url,
                    cdn3 = "[INFO] Downloading from CDN: " + L3.url;
  const std::string timedOut = "[WARN] Download from CDN failed: timed out";
  const auto retry = [](int ms, int n) {
    return std::format("[WARN] Retrying CDN download in {} ms (attempt {}/4)", ms, n);
  };
  const auto restored = [](const std::string& target) {
    return "[WARN] Restored ~/" + target + " from an interrupted update";
  };
  const Lines askL = {sameU, needL, sameJ, "ask Launcher 1.0.0>2.0.0"};
  const Lines askU = {"[INFO] Updater update available: 1.1.0 (package sha256 U1 -> U2)",
                      "ask updater 1.1.0"};
  const Lines askV = {
      sameU, "[INFO] Launcher: 1.0.0 (sha256 L1) -> 3.0.0 (sha256 L3): update needed", sameJ,
      "ask Launcher 1.0.0>3.0.0", "[INFO] Downloading from vendor: " + kVendor};
  // clang-format off
  const RunRow rows[] = {
    {"all current; a digest announced in upper case is the same; of a crash's backups, the runtime "
     "kept with the launcher is carried over, not the older one", now, {Manifest(&L1, &J1, &U1)},
     [](Doubles& d) {
       fs::create_directories(d.root / "Contents");
       test::WriteFile(d.root / "temp/backup-Contents/runtime/Contents/Home/java", "old");
       test::WriteFile(d.root / "temp/backup-jre/java", "older");
     },
     UpdateOutcome::Ready, {restored("Contents/runtime"), sameU, sameL, sameJ, same,
                            "Contents/runtime/Contents/Home/java=old"}},
    {"a temp linked to the config folder is replaced, not emptied", now, {Manifest(&L1, &J1, &U1)},
     [](Doubles& d) { fs::create_directory_symlink(d.root / "config", d.root / "temp"); },
     UpdateOutcome::Ready, {sameU, sameL, sameJ, same}},
    {"launcher gone from disk, runtime never recorded; cancelled at the end, both stay recorded",
     Rec(&L2, nullptr, nullptr), {Manifest(&L2, &J2, nullptr)},
     [](Doubles& d) { d.Missing(Component::Launcher), d.cancelAt = "cleaning"; },
     UpdateOutcome::Cancelled,
     {"[INFO] Updater is up to date (package sha256 none)",
      "[INFO] Launcher: 2.0.0 (sha256 L2) -> 2.0.0 (sha256 L2): update needed",
      "[INFO] JRE: none (sha256 none) -> 17.0.2 (sha256 J2): update needed",
      "ask Launcher 2.0.0>2.0.0 JRE >17.0.2", installL, doneL, installJ, doneJ,
      "saved 2.0.0 L2 | 17.0.2 J2 | none"}},
    {"offline, first the components a crash left only in a backup are put back where missing; no "
     "usable manifest after four attempts: the installed components are used", now,
     {std::unexpected("HTTP 503"), "[]", "{}", R"({"mac": {"jre": null}})"},
     [](Doubles& d) {
       for (std::string item : {"Contents/Info.plist", "jre/bin/java", "Resources/icon"})
         test::WriteFile(d.root / ("temp/backup-" + item), "old");
       test::WriteFile(d.root / "Resources/icon", "new");
     },
     UpdateOutcome::Ready,
     {restored("Contents"), restored("Contents/runtime/Contents/Home"), failed1, "wait 500",
      "[WARN] Invalid manifest (attempt 2/4): manifest is not a JSON object", "wait 1500",
      "[WARN] Invalid manifest (attempt 3/4): manifest has no \"mac\" object", "wait 3000",
      "[WARN] Invalid manifest (attempt 4/4): launcher entry is missing or invalid",
      "[ERROR] Manifest unavailable after 4 attempts",
      "[INFO] Launcher: 1.0.0, no usable manifest entry -> using the installed copy",
      "[INFO] JRE: 17.0.1, no usable manifest entry -> using the installed copy", same,
      "Contents/Info.plist=old", "Contents/runtime/Contents/Home/bin/java=old",
      "Resources/icon=new"}},
    {"cancelled in a retry pause", now, {std::unexpected("HTTP 503")},
     [](Doubles& d) { d.cancelAt = "wait"; }, UpdateOutcome::Cancelled,
     {failed1, "wait 500", same}},
    {"runtime neither in the manifest nor on disk fails before asking", Rec(&L1, nullptr, &U1),
     {Manifest(&L2, nullptr, &U1)}, [](Doubles& d) { d.Missing(Component::Jre); },
     UpdateOutcome::Failed,
     {sameU, needL, "[ERROR] JRE: no usable manifest entry and not installed",
      "FAILED Unavailable JRE", "saved 1.0.0 L1 |  none | U1"}},
    {"cancelled during the installation", now, newL,
     [](Doubles& d) { d.cancelAt = "install", d.installErrors = {Component::Launcher}; },
     UpdateOutcome::Cancelled, askL + Lines{installL, "left launcher-package.zip", same}},
    {"failed runtime installation keeps the new launcher record", now, {Manifest(&L2, &J2, &U1)},
     [](Doubles& d) { d.installErrors = {Component::Jre}; }, UpdateOutcome::Failed,
     {sameU, needL, needJ, askLJ, installL, doneL, installJ, "[ERROR] Installing JRE failed: no",
      "FAILED Install JRE", "left jre-package", "saved 2.0.0 L2 | 17.0.1 J1 | U1"}},
    {"accepted updater update is recorded once in place, before it takes over", now, newU, nullptr,
     UpdateOutcome::SelfUpdated,
     askU + Lines{"apply updater-package.zip=U2 package, saved U1", "left updater-package.zip",
                  "saved 1.0.0 L1 | 17.0.1 J1 | U2"}},
    {"declined updater update ends the run", now, newU, [](Doubles& d) { d.acceptSelf = false; },
     UpdateOutcome::Cancelled, askU + Lines{"[INFO] The user declined the updater update", same}},
    {"updater update that can't be applied puts the old digest back", now, newU,
     [](Doubles& d) { d.applies = false; }, UpdateOutcome::Ready,
     askU + Lines{"apply updater-package.zip=U2 package, saved U1",
                  "[WARN] Couldn't apply the updater update; continuing with the current version",
                  sameL, sameJ, same}},
    {"a vendor attempt is not retried; the CDN follows", now, newV,
     [](Doubles& d) { d.quiet = false, d.served[kVendor] = {"", DownloadError{"HTTP 503", true}}; },
     UpdateOutcome::Ready,
     askV + Lines{"[WARN] Download from vendor failed: HTTP 503", next, cdn3,
                  "[INFO] Downloaded and verified launcher-package.zip from CDN",
                  "install launcher-package.zip=L3 package", "[INFO] Launcher 3.0.0 installed",
                  "saved 3.0.0 L3 | 17.0.1 J1 | U1"}},
    {"the CDN is tried four times with growing pauses", now, newL,
     [=](Doubles& d) { d.quiet = false, d.served[L2.url] = timeout; }, UpdateOutcome::Failed,
     askL + Lines{cdn, timedOut, retry(1000, 2), "wait 1000", cdn, timedOut,
                  retry(3000, 3), "wait 3000", cdn, timedOut, retry(5000, 4),
                  "wait 5000", cdn, timedOut, "FAILED Download Launcher", same}},
    {"wrong size from the vendor, wrong digest from the CDN, which is not asked again", now, newV,
     [=](Doubles& d) {
       d.quiet = false, d.served[kVendor] = {"L3 package!", {}};
       d.served[L3.url] = {"0123456789", {}};
     },
     UpdateOutcome::Failed,
     askV + Lines{"[WARN] File from vendor failed verification: size 11 != expected 10", next, cdn3,
                  std::format("[WARN] File from CDN failed verification: sha256 {} != expected {}",
                              Sha256Hex("0123456789"), Upper(L3.Sha())),
                  "FAILED Verification Launcher", same}},
    {"cancelled as the download ends, before it is verified", now, newL,
     [](Doubles& d) { d.quiet = false, d.cancelAt = "got"; }, UpdateOutcome::Cancelled,
     askL + Lines{cdn, same}},
  };
  // clang-format on
  for (const RunRow& row : rows) {
    SCOPED_TRACE(row.name);
    Doubles d;
    ASSERT_TRUE(SaveLocalVersions(d.root.path(), row.before));
    d.manifests = row.manifests;
    if (row.situation) row.situation(d);
    test::WriteFile(TempDir(d.root.path()) / "old/jre-package", "left by an earlier run");

    EXPECT_EQ(RunUpdate(d.host), row.outcome);

    for (const auto& entry : fs::directory_iterator(TempDir(d.root.path())))
      d.trace.push_back("left " + entry.path().filename().native());
    const LocalVersions v = ReadLocalVersions(d.root.path());
    d.trace.push_back(std::format("saved {} {} | {} {} | {}", v.launcher.version,
                                  Named(v.launcher.sha256), v.jre.version, Named(v.jre.sha256),
                                  Named(v.updater_archive_sha256)));
    for (const auto& [path, content] : test::ReadTree(d.root.path()))
      if (content != "<dir>" && !path.starts_with("config/") && !path.starts_with("temp/"))
        d.trace.push_back(path + "=" + content);
    EXPECT_EQ(d.trace, row.trace);
  }
}

}  // namespace
}  // namespace emberdale::core
