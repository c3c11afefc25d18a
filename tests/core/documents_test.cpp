// The JSON the engine reads: the manifest from the network and the versions file on disk.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "core/local_versions.h"
#include "core/manifest.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

// Each fsync only notes the path it would make durable and the content found there then.
std::vector<std::string> g_synced;
extern "C" int fsync(int fd) {
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
  g_synced.push_back(path.native() + ": " + emberdale::test::ReadFile(path));
  return 0;
}

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
const std::string kDigest(64, 'a');

// The manifest with its launcher entry's `key` set to the JSON `value` ("-": removed).
std::string With(const std::string& key = "", const std::string& value = "-") {
  nlohmann::json entry = {{"version", "1.2.3"}, {"sha256", kDigest}, {"size", 1024}};
  entry["url"] = std::format("https://{}/l", kCdnHost);
  value == "-" ? void(entry.erase(key)) : void(entry[key] = nlohmann::json::parse(value));
  return nlohmann::json{{"windows", {}}, {"mac", {{"launcher", entry}}}}.dump();
}
std::string Url(std::string_view form, std::string_view host) {
  return '"' + std::vformat(form, std::make_format_args(host)) + '"';
}

TEST(ManifestTest, AcceptsOnlyStrictEntries) {
  const std::string entry = nlohmann::json::parse(With())["mac"]["launcher"].dump();
  const std::string vendor = "vendorUrl";
  const std::string_view cdn = kCdnHost, source = kSourceHost, runtime = kRuntimeVendorHost;
  const auto deep = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  // clang-format off
  const std::map<std::string, std::vector<std::string>> rows = {
    {"accepted", {With(), With("size", "10737418240"), With("size", "1"), With("pad", deep(97)),
          With("sha256", Url("{}", std::string(64, 'F'))), With("version", R"("1.2.3-rc1")"),
          With(vendor, Url("https://{}/l", source)), With(vendor, Url("https://{}/l", runtime)),
          With("pad", Url("{}", std::string(300, '[')))}},
    {"launcher entry is missing or invalid",
     {R"({"mac":{}})", R"({"mac":{"launcher":null}})", With("size", "10737418241"), With("size"),
      With("size", "0"), With("size", "-1"), With("size", "1.5"), With("size", R"("12")"),
      With("sha256", Url("{}", std::string(63, 'a'))),
      With("sha256", Url("{}", std::string(65, 'a'))),
      With("sha256", Url("{}g", std::string(63, 'a'))), With("version", R"("1.2")"),
      With("version", R"("v1.2.3")"), With("version", R"("1.2.x")"),
      With("url", Url("http://{}/l", cdn)), With("url", Url("https://{}:443/l", cdn)),
      With("url", Url("https://user@{}/l", cdn)), With("url", Url("https://{}.evil.test/l", cdn)),
      With("url", Url("https://{}x/l", cdn)), With("url", Url("https://{}/l", source)),
      With(vendor, Url("https://{}/l", cdn)), With(vendor, Url("http://{}/l", source)),
      With(vendor, Url("https://{}.evil.test/", runtime))}},
    {"jre entry is invalid", {R"({"mac":{"launcher":)" + entry + R"(,"jre":null}})"}},
    {"updater entry is invalid", {R"({"mac":{"launcher":)" + entry + R"(,"updater":"1.0.0"}})"}},
    {"empty document", {""}}, {"manifest is not a JSON object", {"[]"}},
    {R"(manifest has no "mac" object)", {R"({"windows":{}})", R"({"mac":[]})"}},
    {"JSON nested too deeply", {With("pad", deep(98)), std::string(101, '[') + "x"}},
    {"malformed JSON: ", {With() + " x", "// note\n" + With()}}};
  // clang-format on
  for (const auto& [error, texts] : rows) {
    for (const std::string& text : texts) {
      const auto manifest = ParseLauncherManifest(text, CurrentManifestOsKey());
      EXPECT_EQ(manifest ? "accepted" : manifest.error().substr(0, error.size()), error) << text;
    }
  }
}

// Damaged text reads as empty, value by value.
TEST(LocalVersionsTest, ReadsWhatItCanAndSavesTheKnownFormat) {
  const LocalVersions record{{"2.4.1", kDigest}, {"17 \xd0\xb1", "a\"b\\c"}, "u"};
  // clang-format off
  const std::pair<std::string, LocalVersions> rows[] = {
    {SerializeLocalVersions(record), record}, {"[]", {}}, {"{} x", {}}, {"{} // note", {}},
    {std::string(101, '[') + std::string(101, ']'), {}}, {"{\"jre\":{\"version\":\"\xff\"}}", {}},
    {R"({"launcher":"2","jre":{"version":"17","sha256":"s"},"updater_archive_sha256":"u"})",
     {{}, {"17", "s"}, "u"}},
    {R"({"launcher":{"version":241,"sha256":"s"},"jre":[],"updater_archive_sha256":{}})",
     {{"", "s"}, {}, ""}}};
  // clang-format on
  for (const auto& [text, expected] : rows) {
    EXPECT_EQ(SerializeLocalVersions(ParseLocalVersions(text)), SerializeLocalVersions(expected));
  }

  // A save that can't write its temporary file keeps the old file.
  test::TempDir dir;
  test::LogCapture log;
  const fs::path file = dir / "config/versions.json", tmp = dir / "config/versions.json.tmp";
  test::WriteFile(file, "old");
  fs::create_directories(tmp / "in the way");
  EXPECT_FALSE(SaveLocalVersions(dir.path(), {}));
  EXPECT_EQ(test::ReadFile(file), "old");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[ERROR] Can't write " + tmp.native()});

  // A power loss finds the new content: the file is synced before the rename, the folder after.
  fs::remove_all(tmp), g_synced.clear();
  ASSERT_TRUE(SaveLocalVersions(dir.path(), record));
  EXPECT_EQ(g_synced, (std::vector<std::string>{tmp.native() + ": " + test::ReadFile(file),
                                                file.parent_path().native() + ": "}));
}

}  // namespace
}  // namespace emberdale::core
