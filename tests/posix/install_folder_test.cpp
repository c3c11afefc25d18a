// ctest-labels: quick;root
// Where the install folder is remembered, and whether its volume can hold the Java runtime. The
// volume rows mount real file systems (root, private mount namespace); skipped without root.
#include <gtest/gtest.h>
#include <unistd.h>

#include "posix/install_pointer.h"
#include "posix/install_volume.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;

TEST(InstallPointerTest, IsReadAsAnAbsoluteFirstLineAndReplacedWhole) {
  test::TempDir dir;
  const std::string latin1 = "/Users/x/Spiele/\xE9\xFF", none = "<none>";
  // clang-format off
  for (const auto& [content, read] : std::vector<std::pair<std::string, std::string>>{
           {"/Users/x/My Games/ \r/ \r\n/second\n", "/Users/x/My Games"}, {"/tab\t\n", "/tab\t"},
           {"/Games/Emberdale", "/Games/Emberdale"}, {latin1 + "\n", latin1}, {"", none},
           {" /leading/space\n", none}, {"///  \r\n", none}, {"Games/Emberdale\n", none},
           {"\n/second/line\n", none}, {std::string("/a\0/etc\n", 8), none}, {"<dir>", none},
           {"<missing>", none}}) {
    // clang-format on
    fs::remove_all(dir / "pointer");
    if (content == "<dir>") fs::create_directory(dir / "pointer");
    if (!content.starts_with("<")) test::WriteFile(dir / "pointer", content);
    EXPECT_EQ(ReadInstallPointer(dir / "pointer").value_or(none), read) << content;
  }
  // The pointer is replaced by a rename, so a reader of the old file still finds it whole.
  const fs::path pointer = dir / "Application Support/dev.quillfen.updater/install-path";
  ASSERT_TRUE(WriteInstallPointer(pointer, "/old/place"));
  fs::create_hard_link(pointer, dir / "reader");
  test::WriteFile(pointer.native() + ".tmp", "/half writ");
  ASSERT_TRUE(WriteInstallPointer(pointer, "/new/place"));
  EXPECT_EQ(test::ReadFile(pointer), "/new/place\n");
  EXPECT_EQ(test::ReadFile(dir / "reader"), "/old/place\n");
  EXPECT_FALSE(WriteInstallPointer(dir / "reader" / "install-path", "/x")) << "a file as folder";
}

TEST(InstallVolumeTest, FindsWhatMakesAVolumeUnfitAndLeavesNoProbe) {
  test::TempDir dir;
  enum Volume { kPlain, kStaleProbe, kMissing, kNoExec, kReadOnly, kExfat };
  // clang-format off
  for (const auto& [volume, problem] : std::vector<std::pair<Volume, std::optional<VolumeProblem>>>{
           {kPlain, {}}, {kStaleProbe, {}}, {kMissing, {}}, {kNoExec, VolumeProblem::NoExec},
           {kReadOnly, {}}, {kExfat, VolumeProblem::NoSymlinks}}) {
    // clang-format on
    SCOPED_TRACE(volume);
    const fs::path folder = dir / std::to_string(volume);
    std::unique_ptr<test::ScopedMount> mount;
    if (volume == kExfat) mount = std::make_unique<test::ExfatMount>(folder);
    if (volume == kNoExec || volume == kReadOnly) {
      mount = std::make_unique<test::TmpfsMount>(folder, volume == kNoExec ? MS_NOEXEC : MS_RDONLY);
    }
    if (mount && !mount->error().empty()) GTEST_SKIP() << "can't mount: " << mount->error();
    if (volume < kMissing) fs::create_directory(folder);
    const fs::path probe = folder / std::format(".emberdale-link-check-{}", getpid());
    if (volume == kStaleProbe) fs::create_symlink("elsewhere", probe);
    EXPECT_EQ(CheckInstallVolume(folder), problem);
    EXPECT_TRUE(volume == kMissing ? !fs::exists(folder) : fs::is_empty(folder));
  }
}

}  // namespace
}  // namespace emberdale::posix
