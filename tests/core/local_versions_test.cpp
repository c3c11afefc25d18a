#include "core/local_versions.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/logging.h"
#include "tests/support/temp_dir.h"

// Each fsync notes what it made durable: a file with its content, or a folder.
std::vector<std::string> g_synced;
extern "C" int fsync(int fd) {
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
  const bool file = std::filesystem::is_regular_file(path);
  g_synced.push_back(path.string() + (file ? ": " + emberdale::test::ReadFile(path) : ""));
  return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace emberdale::core {

// Comparison and printing for the test's assertions.
bool operator==(const ComponentVersion& a, const ComponentVersion& b) {
  return a.version == b.version && a.sha256 == b.sha256;
}

bool operator==(const LocalVersions& a, const LocalVersions& b) {
  return a.launcher == b.launcher && a.jre == b.jre &&
         a.updater_archive_sha256 == b.updater_archive_sha256;
}

void PrintTo(const LocalVersions& v, std::ostream* os) {
  *os << SerializeLocalVersions(v);
}

namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');

LocalVersions Versions(ComponentVersion launcher, ComponentVersion jre, std::string updater) {
  LocalVersions versions;
  versions.launcher = std::move(launcher);
  versions.jre = std::move(jre);
  versions.updater_archive_sha256 = std::move(updater);
  return versions;
}

LocalVersions Recorded() {
  return Versions({"2.4.1", kDigestA}, {"17.0.9", kDigestB}, kDigestA);
}

class LocalVersionsTest : public testing::Test {
 protected:
  void SetUp() override {
    SetLogSink([this](LogLevel level, std::string_view text) {
      errors_.emplace_back(level == LogLevel::Error ? "" : "not an error: ");
      errors_.back() += text;
    });
  }
  void TearDown() override { SetLogSink(nullptr); }

  fs::path File() const { return dir_ / "config" / "versions.json"; }
  fs::path Tmp() const { return dir_ / "config" / "versions.json.tmp"; }

  test::TempDir dir_;
  std::vector<std::string> errors_;
};

TEST_F(LocalVersionsTest, SerialisesEveryValueInByteOrderWithTwoSpaceIndent) {
  const LocalVersions launcherOnly = Versions({"1.4.0", kDigestA}, {}, "");
  EXPECT_EQ(SerializeLocalVersions(launcherOnly),
            "{\n"
            "  \"jre\": {\n"
            "    \"sha256\": \"\",\n"
            "    \"version\": \"\"\n"
            "  },\n"
            "  \"launcher\": {\n"
            "    \"sha256\": \"" +
                kDigestA +
                "\",\n"
                "    \"version\": \"1.4.0\"\n"
                "  },\n"
                "  \"updater_archive_sha256\": \"\"\n"
                "}");

  // Non-ASCII stays UTF-8; quotes, backslashes and control characters are escaped.
  const LocalVersions odd = Versions(
      {}, {"17 \xe2\x80\x9c\xd0\xb1\xd0\xb5\xd1\x82\xd0\xb0\xe2\x80\x9d", "a\"b\\c\td\n\x01"}, "");
  EXPECT_EQ(SerializeLocalVersions(odd),
            "{\n"
            "  \"jre\": {\n"
            "    \"sha256\": \"a\\\"b\\\\c\\td\\n\\u0001\",\n"
            "    \"version\": \"17 \xe2\x80\x9c\xd0\xb1\xd0\xb5\xd1\x82\xd0\xb0\xe2\x80\x9d\"\n"
            "  },\n"
            "  \"launcher\": {\n"
            "    \"sha256\": \"\",\n"
            "    \"version\": \"\"\n"
            "  },\n"
            "  \"updater_archive_sha256\": \"\"\n"
            "}");
  EXPECT_EQ(ParseLocalVersions(SerializeLocalVersions(odd)), odd);
}

TEST_F(LocalVersionsTest, FirstSaveCreatesTheConfigFolderAndReadsBack) {
  ASSERT_FALSE(fs::exists(dir_ / "config"));
  EXPECT_EQ(ReadLocalVersions(dir_.path()), LocalVersions{});

  ASSERT_TRUE(SaveLocalVersions(dir_.path(), Recorded()));
  EXPECT_EQ(ReadFile(File()), SerializeLocalVersions(Recorded()) + "\n");
  EXPECT_FALSE(fs::exists(Tmp()));
  EXPECT_EQ(ReadLocalVersions(dir_.path()), Recorded());

  ASSERT_TRUE(SaveLocalVersions(dir_.path(), LocalVersions{}));
  EXPECT_EQ(ReadFile(File()), SerializeLocalVersions(LocalVersions{}) + "\n");
  EXPECT_EQ(ReadLocalVersions(dir_.path()), LocalVersions{});
  EXPECT_TRUE(errors_.empty());
}

TEST_F(LocalVersionsTest, DamagedContentReadsAsEmptyMemberByMember) {
  const LocalVersions empty;
  for (const std::string& text : std::vector<std::string>{
           "", "[]", "{", "null", "\"text\"", "7", "{} x", "{\"launcher\":{}} // note",
           "{\"launcher\":{\"version\":\"\xff\"}}", "{\"jre\":{\"version\":1e400}}",
           std::string(101, '[') + std::string(101, ']'), std::string(5 * 1024 * 1024, '{')}) {
    EXPECT_EQ(ParseLocalVersions(text), empty) << text.substr(0, 40);
  }

  // A wrong type empties only that value.
  EXPECT_EQ(ParseLocalVersions(R"({"launcher":"2.4.1","jre":{"version":"17.0.9","sha256":")" +
                               kDigestB + R"("},"updater_archive_sha256":")" + kDigestA + "\"}"),
            Versions({}, {"17.0.9", kDigestB}, kDigestA));
  EXPECT_EQ(
      ParseLocalVersions(
          R"({"launcher":{"version":241,"sha256":null,"x":1},"jre":[],"updater_archive_sha256":{}})"),
      empty);
  EXPECT_EQ(ParseLocalVersions(
                R"({"launcher":{"version":"2.4.1","sha256":99999999999999999999999},"other":[1]})"),
            Versions({"2.4.1", ""}, {}, ""));

  // A well-formed 5 MiB document is read (only the file read is bounded).
  const std::string big(5 * 1024 * 1024, 'v');
  EXPECT_EQ(ParseLocalVersions(R"({"launcher":{"version":")" + big + "\"}}").launcher.version, big);
}

TEST_F(LocalVersionsTest, DamagedFileReadsAsEmptyAndTheNextSaveRepairsIt) {
  for (const char* text : {"[]", "{"}) {
    WriteFile(File(), text);
    EXPECT_EQ(ReadLocalVersions(dir_.path()), LocalVersions{}) << text;
    ASSERT_TRUE(SaveLocalVersions(dir_.path(), Recorded()));
    EXPECT_EQ(ReadFile(File()), SerializeLocalVersions(Recorded()) + "\n");
  }
}

TEST_F(LocalVersionsTest, OversizedFileReadsAsEmpty) {
  const std::string record = SerializeLocalVersions(Recorded());
  WriteFile(File(), record + std::string(kMaxVersionsFileBytes - record.size(), ' '));
  EXPECT_EQ(ReadLocalVersions(dir_.path()), Recorded());
  WriteFile(File(), record + std::string(kMaxVersionsFileBytes - record.size() + 1, ' '));
  EXPECT_EQ(ReadLocalVersions(dir_.path()), LocalVersions{});

  // A folder in place of the file reads as empty too.
  fs::remove(File());
  fs::create_directories(File());
  EXPECT_EQ(ReadLocalVersions(dir_.path()), LocalVersions{});
}

TEST_F(LocalVersionsTest, FailedWriteKeepsTheOldFile) {
  ASSERT_TRUE(SaveLocalVersions(dir_.path(), Recorded()));
  const std::string old = ReadFile(File());
  fs::create_directories(Tmp() / "occupied");

  EXPECT_FALSE(SaveLocalVersions(dir_.path(), LocalVersions{}));
  EXPECT_EQ(errors_, std::vector<std::string>{"Can't write " + Tmp().string()});
  EXPECT_EQ(ReadFile(File()), old);
}

TEST_F(LocalVersionsTest, FailedRenameKeepsTheFolderInTheWay) {
  fs::create_directories(File());
  WriteFile(File() / "inside", "kept");

  EXPECT_FALSE(SaveLocalVersions(dir_.path(), Recorded()));
  ASSERT_EQ(errors_.size(), 1u);
  const std::string prefix = "Can't replace " + File().string() + ": ";
  EXPECT_TRUE(errors_[0].starts_with(prefix)) << errors_[0];
  EXPECT_GT(errors_[0].size(), prefix.size()) << "the system's message is missing";
  EXPECT_TRUE(fs::is_directory(File()));
  EXPECT_EQ(ReadFile(File() / "inside"), "kept");
}

// A power loss after the rename must find the new content, not an empty file.
TEST_F(LocalVersionsTest, SaveSyncsTheWrittenFileBeforeTheRenameAndTheFolderAfterIt) {
  g_synced.clear();
  ASSERT_TRUE(SaveLocalVersions(dir_.path(), Recorded()));
  EXPECT_EQ(g_synced, (std::vector<std::string>{Tmp().string() + ": " + ReadFile(File()),
                                                (dir_ / "config").string()}));
}

TEST_F(LocalVersionsTest, ReusesALeftoverTemporaryFile) {
  WriteFile(File(), "old");
  WriteFile(Tmp(), std::string(4096, 'x'));

  ASSERT_TRUE(SaveLocalVersions(dir_.path(), Recorded()));
  EXPECT_EQ(ReadFile(File()), SerializeLocalVersions(Recorded()) + "\n");
  EXPECT_FALSE(fs::exists(Tmp()));
}

TEST_F(LocalVersionsTest, InvalidUtf8IsReplacedSoTheRestIsStillSaved) {
  LocalVersions versions = Recorded();
  versions.updater_archive_sha256 = "ab\xff\xc3";  // e.g. raw bytes read from a damaged file
  versions.jre.version = "17\xe2\x82";

  const std::string text = SerializeLocalVersions(versions);
  EXPECT_NE(text.find("\"ab\xef\xbf\xbd\xef\xbf\xbd\""), std::string::npos) << text;

  ASSERT_TRUE(SaveLocalVersions(dir_.path(), versions));
  const LocalVersions read = ReadLocalVersions(dir_.path());
  EXPECT_EQ(read.launcher, Recorded().launcher);
  EXPECT_EQ(read.jre.sha256, kDigestB);
  EXPECT_EQ(read.updater_archive_sha256, "ab\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_TRUE(read.jre.version.starts_with("17\xef\xbf\xbd")) << read.jre.version;
}

}  // namespace
}  // namespace emberdale::core
