// The two JSON documents the engine reads: the launcher manifest (untrusted, from the network) and
// config/versions.json (written by the updater, possibly damaged).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "core/local_versions.h"
#include "core/manifest.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
const std::string kDigest(64, 'a');

// A manifest whose launcher entry has `key` replaced by the JSON `value`, or removed for "-".
std::string LauncherWith(const std::string& key = "", const std::string& value = "-") {
  nlohmann::json entry = {{"version", "1.2.3"},
                          {"url", std::format("https://{}/l.zip", kCdnHost)},
                          {"sha256", kDigest},
                          {"size", 1024}};
  if (value == "-")
    entry.erase(key);
  else
    entry[key] = nlohmann::json::parse(value);
  return nlohmann::json{{"windows", {}}, {"mac", {{"launcher", entry}}}}.dump();
}

std::string Quoted(std::string_view text) {
  return nlohmann::json(text).dump();
}

TEST(ManifestTest, AcceptsOnlyStrictEntries) {
  const std::string bad = "launcher entry is missing or invalid";
  const std::string entry = nlohmann::json::parse(LauncherWith())["mac"]["launcher"].dump();
  // clang-format off
  const std::pair<std::string, std::string> rows[] = {
    {LauncherWith(), ""}, {"", "empty document"}, {"[]", "manifest is not a JSON object"},
    {R"({"windows":{}})", R"(manifest has no "mac" object)"}, {R"({"mac":[]})", R"(manifest has no "mac" object)"},
    {R"({"mac":{}})", bad}, {R"({"mac":{"launcher":null}})", bad},
    {R"({"mac":{"launcher":)" + entry + R"(,"jre":null}})", "jre entry is invalid"},
    {R"({"mac":{"launcher":)" + entry + R"(,"updater":"1.0.0"}})", "updater entry is invalid"},
    {LauncherWith("size", "10737418240"), ""}, {LauncherWith("size", "10737418241"), bad},
    {LauncherWith("size", "1"), ""}, {LauncherWith("size", "0"), bad}, {LauncherWith("size", "-1"), bad},
    {LauncherWith("size", "1.5"), bad}, {LauncherWith("size", "\"12\""), bad}, {LauncherWith("size"), bad},
    {LauncherWith("sha256", Quoted(std::string(64, 'F'))), ""}, {LauncherWith("sha256", Quoted(std::string(63, 'a'))), bad},
    {LauncherWith("sha256", Quoted(std::string(65, 'a'))), bad}, {LauncherWith("sha256", Quoted(std::string(63, 'a') + "g")), bad},
    {LauncherWith("version", "\"1.2.3-rc1\""), ""}, {LauncherWith("version", "\"1.2\""), bad},
    {LauncherWith("version", "\"v1.2.3\""), bad}, {LauncherWith("version", "\"1.2.x\""), bad},
    {LauncherWith("url", Quoted(std::format("http://{}/l.zip", kCdnHost))), bad},
    {LauncherWith("url", Quoted(std::format("https://{}:443/l.zip", kCdnHost))), bad},
    {LauncherWith("url", Quoted(std::format("https://user@{}/l.zip", kCdnHost))), bad},
    {LauncherWith("url", Quoted(std::format("https://{}.evil.test/l.zip", kCdnHost))), bad},
    {LauncherWith("url", Quoted(std::format("https://{}x/l.zip", kCdnHost))), bad},
    {LauncherWith("url", Quoted(std::format("https://{}/l.zip", kSourceHost))), bad},
    {LauncherWith("vendorUrl", Quoted(std::format("https://{}/l.zip", kSourceHost))), ""},
    {LauncherWith("vendorUrl", Quoted(std::format("https://{}/l.zip", kRuntimeVendorHost))), ""},
    {LauncherWith("vendorUrl", Quoted(std::format("https://{}/l.zip", kCdnHost))), bad},
    {LauncherWith("vendorUrl", Quoted(std::format("http://{}/l.zip", kSourceHost))), bad},
    {LauncherWith("vendorUrl", Quoted(std::format("https://{}.evil.test/", kRuntimeVendorHost))), bad},
    {LauncherWith("pad", std::string(97, '[') + std::string(97, ']')), ""},
    {LauncherWith("pad", std::string(98, '[') + std::string(98, ']')), "JSON nested too deeply"},
    {std::string(101, '[') + "garbage", "JSON nested too deeply"},
    {LauncherWith("pad", Quoted(std::string(300, '['))), ""},
    {LauncherWith() + " x", "malformed JSON: "}, {"// note\n" + LauncherWith(), "malformed JSON: "},
  };
  // clang-format on
  for (const auto& [text, error] : rows) {
    const auto manifest = ParseLauncherManifest(text, CurrentManifestOsKey());
    EXPECT_TRUE(manifest ? error.empty() : manifest.error().starts_with(error) && !error.empty())
        << text.substr(0, 200) << " -> " << (manifest ? "accepted" : manifest.error());
  }
}

TEST(ManifestTest, KeepsTheEntriesItAccepted) {
  const std::string vendor = std::format("https://{}/jre.tar.gz", kRuntimeVendorHost);
  nlohmann::json text = nlohmann::json::parse(LauncherWith("vendorUrl", Quoted(vendor)));
  text["mac"]["jre"] = text["mac"]["launcher"];
  const auto manifest = ParseLauncherManifest(text.dump(), "mac");
  ASSERT_TRUE(manifest) << manifest.error();
  for (const UpdateInfo& info : {manifest->launcher, manifest->jre}) {
    EXPECT_EQ(
        std::tuple(info.present, info.version, info.url, info.vendorUrl, info.sha256, info.size),
        std::tuple(true, "1.2.3", std::format("https://{}/l.zip", kCdnHost), vendor, kDigest,
                   1024u));
  }
  EXPECT_FALSE(manifest->updater.present);
}

std::string Shown(const LocalVersions& v) {
  return SerializeLocalVersions(v);
}

TEST(LocalVersionsTest, DamagedTextReadsAsEmptyValueByValue) {
  const LocalVersions record{
      {"2.4.1", kDigest}, {"17 \xd0\xb1\xd0\xb5\xd1\x82\xd0\xb0", "a\"b\\c"}, "u"};
  // clang-format off
  const std::pair<std::string, LocalVersions> rows[] = {
    {SerializeLocalVersions(record), record}, {"", {}}, {"[]", {}}, {"{", {}}, {"{} x", {}}, {"{} // note", {}},
    {std::string(101, '[') + std::string(101, ']'), {}}, {"{\"launcher\":{\"version\":\"\xff\"}}", {}},
    {R"({"launcher":"2.4.1","jre":{"version":"17","sha256":"s"},"updater_archive_sha256":"u"})", {{}, {"17", "s"}, "u"}},
    {R"({"launcher":{"version":241,"sha256":"s"},"jre":[],"updater_archive_sha256":{}})", {{"", "s"}, {}, ""}},
  };
  // clang-format on
  for (const auto& [text, expected] : rows)
    EXPECT_EQ(Shown(ParseLocalVersions(text)), Shown(expected)) << text;
  EXPECT_EQ(
      SerializeLocalVersions({{"1.4.0", "a"}, {}, ""}),
      "{\n  \"jre\": {\n    \"sha256\": \"\",\n    \"version\": \"\"\n  },\n  \"launcher\": {\n"
      "    \"sha256\": \"a\",\n    \"version\": \"1.4.0\"\n  },\n  \"updater_archive_sha256\": "
      "\"\"\n}");
  EXPECT_EQ(ParseLocalVersions(SerializeLocalVersions({{}, {}, "ab\xff"})).updater_archive_sha256,
            "ab\xef\xbf\xbd");
}

TEST(LocalVersionsTest, SavesAtomicallyAndReadsBackBoundedFiles) {
  test::TempDir dir;
  test::LogCapture log;
  const fs::path file = dir / "config/versions.json", tmp = dir / "config/versions.json.tmp";
  const LocalVersions record{{"2.4.1", kDigest}, {"17.0.9", kDigest}, kDigest};
  ASSERT_TRUE(SaveLocalVersions(dir.path(), record));  // creates config/
  EXPECT_EQ(test::ReadFile(file), SerializeLocalVersions(record) + "\n");
  EXPECT_FALSE(fs::exists(tmp));
  const std::string text = SerializeLocalVersions(record);
  test::WriteFile(file, text + std::string(kMaxVersionsFileBytes - text.size(), ' '));
  EXPECT_EQ(Shown(ReadLocalVersions(dir.path())), Shown(record));
  test::WriteFile(file, text + std::string(kMaxVersionsFileBytes - text.size() + 1, ' '));
  EXPECT_EQ(Shown(ReadLocalVersions(dir.path())), Shown({}));

  test::WriteFile(tmp, std::string(4096, 'x'));  // a leftover of a failed save is reused
  ASSERT_TRUE(SaveLocalVersions(dir.path(), record));
  EXPECT_EQ(test::ReadFile(file), SerializeLocalVersions(record) + "\n");
  fs::create_directories(tmp / "occupied");
  EXPECT_FALSE(SaveLocalVersions(dir.path(), {}));
  EXPECT_EQ(test::ReadFile(file), SerializeLocalVersions(record) + "\n");
  fs::remove_all(tmp), fs::remove(file), fs::create_directories(file / "inside");
  EXPECT_FALSE(SaveLocalVersions(dir.path(), record));
  EXPECT_TRUE(fs::exists(file / "inside"));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "[ERROR] Can't write " + tmp.native(),
                             "[ERROR] Can't replace " + file.native() + ": " +
                                 std::make_error_code(std::errc::is_a_directory).message()}));
}

}  // namespace
}  // namespace emberdale::core
