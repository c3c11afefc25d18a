#include "posix/install_pointer.h"

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::posix::ReadInstallPointer;
using emberdale::posix::WriteInstallPointer;
using emberdale::test::ReadFile;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

class InstallPointerTest : public ::testing::Test {
 protected:
  std::optional<std::string> ReadContent(std::string_view content) {
    WriteFile(pointer_, content);
    return ReadInstallPointer(pointer_);
  }

  TempDir dir_;
  const fs::path pointer_ = dir_ / "install-path";
};

TEST_F(InstallPointerTest, FirstLineWithoutTrailingSlashesSpacesAndCarriageReturns) {
  EXPECT_EQ(ReadContent("/Users/x/Games/Emberdale/\n"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(ReadContent("/Users/x/Games/Emberdale/\r\n"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(ReadContent("/Users/x/Games/Emberdale"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(ReadContent("/Users/x/My Games/ \r/ \n"), "/Users/x/My Games");
  EXPECT_EQ(ReadContent("/first\n/second\n"), "/first");
  EXPECT_EQ(ReadContent("/tab\t\n"), "/tab\t") << "only CR, space and slash are removed";
  EXPECT_EQ(ReadContent(" /leading/space\n"), std::nullopt);
}

TEST_F(InstallPointerTest, NoPointerUnlessAnAbsolutePathRemains) {
  EXPECT_EQ(ReadContent("/\n"), std::nullopt);
  EXPECT_EQ(ReadContent("///  \r\n"), std::nullopt);
  EXPECT_EQ(ReadContent("Games/Emberdale\n"), std::nullopt);
  EXPECT_EQ(ReadContent(""), std::nullopt);
  EXPECT_EQ(ReadContent("\n/second/line\n"), std::nullopt);
  EXPECT_EQ(ReadInstallPointer(dir_ / "missing"), std::nullopt);
  EXPECT_EQ(ReadInstallPointer(dir_.path()), std::nullopt) << "a folder";
}

TEST_F(InstallPointerTest, BytesArePathBytesButANulByteIsRefused) {
  const std::string latin1 = "/Users/x/Spiele/\xE9\xFF\xFE";
  EXPECT_EQ(ReadContent(latin1 + "\n"), latin1);
  // A NUL byte would cut the path short at the first file-system call.
  EXPECT_EQ(ReadContent(std::string("/Users/x\0/etc\n", 14)), std::nullopt);
}

TEST_F(InstallPointerTest, WriteCreatesMissingFoldersAndEndsWithALineFeed) {
  const fs::path pointer =
      dir_ / "home" / "Library" / "Application Support" / "dev.quillfen.updater" / "install-path";
  ASSERT_TRUE(WriteInstallPointer(pointer, "/Users/x/Games/Emberdale"));
  EXPECT_EQ(ReadFile(pointer), "/Users/x/Games/Emberdale\n");
  EXPECT_EQ(ReadInstallPointer(pointer), "/Users/x/Games/Emberdale");
  EXPECT_FALSE(fs::exists(pointer.string() + ".tmp"));
}

TEST_F(InstallPointerTest, WriteReplacesTheOldPointerAndAStaleTempFile) {
  WriteFile(pointer_, "/old/place\n");
  WriteFile(pointer_.string() + ".tmp", "/half writ");
  ASSERT_TRUE(WriteInstallPointer(pointer_, "/new/place"));
  EXPECT_EQ(ReadFile(pointer_), "/new/place\n");
  EXPECT_FALSE(fs::exists(pointer_.string() + ".tmp"));
}

TEST_F(InstallPointerTest, WriteFailuresAreReportedAsFalse) {
  WriteFile(dir_ / "file", "");
  EXPECT_FALSE(WriteInstallPointer(dir_ / "file" / "install-path", "/x")) << "parent is a file";

  fs::create_directories(pointer_ / "occupied");
  EXPECT_FALSE(WriteInstallPointer(pointer_, "/x")) << "a non-empty folder can't be replaced";
  EXPECT_TRUE(fs::is_directory(pointer_ / "occupied"));
}

// A reader never sees a half-written pointer while the pointer is being rewritten.
TEST_F(InstallPointerTest, ReadersSeeTheOldOrTheNewPointerNeverAPart) {
  constexpr int kWrites = 300;
  const std::string first = "/Users/x/" + std::string(3000, 'a');
  const std::string second = "/Users/x/" + std::string(5000, 'b');
  ASSERT_TRUE(WriteInstallPointer(pointer_, first));
  std::atomic<bool> done = false;
  std::atomic<int> reads = 0;
  std::atomic<int> bad = 0;
  std::thread reader([&] {
    while (!done) {
      const auto value = ReadInstallPointer(pointer_);
      if (value != first && value != second) ++bad;
      ++reads;
    }
  });
  int failedWrites = 0;
  for (int i = 0; i < kWrites; ++i) {
    if (!WriteInstallPointer(pointer_, i % 2 == 0 ? second : first)) ++failedWrites;
  }
  done = true;
  reader.join();
  EXPECT_EQ(failedWrites, 0);
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
}

}  // namespace
