// ctest-labels: slow;root
#include "core/zip_extract.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/logging.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using test::DeflatedEntry;
using test::DirectoryEntry;
using test::RawZipEntry;
using test::StoredEntry;
using test::WriteRawZip;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kMaxEntryBytes = 500 * kMiB;

using test::ReadTree;
using test::Tree;

// Text that compresses about as well as source code does (far below the ratio limit).
std::string NumberedLines(int count) {
  std::string text;
  std::mt19937 random(count);
  for (int i = 0; i < count; ++i) text += std::format("line {} says {}\n", i, random());
  return text;
}

std::string Repeat(std::string_view unit, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

// A deflated entry of zeros whose uncompressed / compressed size is exactly `ratio`. Zeros
// compress far better than any ratio of interest, so they are compressed in many separately
// flushed blocks, which makes the compressed form large enough.
RawZipEntry EntryWithRatio(std::string name, std::uint64_t ratio) {
  std::size_t size = 100'000;
  for (int attempt = 0; attempt < 50; ++attempt) {
    RawZipEntry entry = DeflatedEntry(name, std::string(size, '\0'), 150);
    if (entry.uncompressedSize / entry.compressedSize == ratio) return entry;
    size = ratio * entry.compressedSize + entry.compressedSize / 2;
  }
  ADD_FAILURE() << "no entry with ratio " << ratio;
  return {};
}

// An entry whose headers declare `declaredSize` bytes compressed into `compressedSize`; the data
// region is a hole the extractor must never need to read.
RawZipEntry DeclaredOnly(std::string name, std::uint64_t declaredSize,
                         std::uint64_t compressedSize) {
  RawZipEntry entry;
  entry.name = std::move(name);
  entry.method = 8;
  entry.compressedSize = compressedSize;
  entry.uncompressedSize = declaredSize;
  return entry;
}

class ZipExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(sentinel_);
    test::WriteFile(sentinel_ / "keep.txt", "untouched");
    SetLogSink([this](LogLevel, std::string_view line) { log_.emplace_back(line); });
  }
  void TearDown() override { SetLogSink(nullptr); }

  std::expected<void, std::string> Extract(const std::vector<RawZipEntry>& entries,
                                           const ZipExtractOptions& options = {}) {
    WriteRawZip(archive_, entries);
    return ExtractZip(archive_, destination_, options);
  }

  // Nothing may appear beside the destination: the parent holds only the sentinel folder (and
  // the destination), whose content is unchanged, and the test's own folder only the archive.
  void ExpectNothingOutsideDestination() {
    for (const auto& item : fs::directory_iterator(work_)) {
      EXPECT_TRUE(item.path() == destination_ || item.path() == sentinel_) << item.path();
    }
    EXPECT_EQ(ReadTree(sentinel_), (Tree{{"keep.txt", "untouched"}}));
    for (const auto& item : fs::directory_iterator(temp_.path())) {
      EXPECT_TRUE(item.path() == archive_ || item.path() == work_) << item.path();
    }
  }

  std::string ArchiveText() const { return archive_.native(); }

  test::TempDir temp_;
  fs::path archive_ = temp_ / "in.zip";
  fs::path work_ = temp_ / "work";
  fs::path destination_ = work_ / "dest";
  fs::path sentinel_ = work_ / "sentinel";
  std::vector<std::string> log_;
};

TEST(ClassifyZipEntryTest, DecidesEveryNameRule) {
  struct Case {
    std::string name;
    ZipEntryKind kind;
    std::string normalised;
  };
  const std::vector<Case> cases = {
      {"a.txt", ZipEntryKind::Extract, "a.txt"},
      {"dir//file/", ZipEntryKind::Extract, "dir/file"},
      {"dir\\sub\\file.txt", ZipEntryKind::Extract, "dir/sub/file.txt"},
      {"Contents/MacOS/Launcher", ZipEntryKind::Extract, "Contents/MacOS/Launcher"},
      {"lib/META-INF/x", ZipEntryKind::Extract, "lib/META-INF/x"},
      {".hidden", ZipEntryKind::Extract, ".hidden"},
      {"a/..b/c..d", ZipEntryKind::Extract, "a/..b/c..d"},
      {"", ZipEntryKind::Skip, ""},
      {"/", ZipEntryKind::Unsafe, ""},
      {"//", ZipEntryKind::Unsafe, ""},
      {"\\\\server\\share\\x", ZipEntryKind::Unsafe, ""},
      {"\\x", ZipEntryKind::Unsafe, ""},
      {"/etc/passwd", ZipEntryKind::Unsafe, ""},
      {"..", ZipEntryKind::Unsafe, ""},
      {"../evil.txt", ZipEntryKind::Unsafe, ""},
      {"..\\evil.txt", ZipEntryKind::Unsafe, ""},
      {"dir/../x", ZipEntryKind::Unsafe, ""},
      {"__MACOSX/../../x", ZipEntryKind::Unsafe, ""},
      {"META-INF/../../x", ZipEntryKind::Unsafe, ""},
      {"C:\\x", ZipEntryKind::Unsafe, ""},
      {"c:/x", ZipEntryKind::Unsafe, ""},
      {"a:b/c", ZipEntryKind::Unsafe, ""},
      {"ab:c/d", ZipEntryKind::Skip, ""},
      {"dir/file:stream", ZipEntryKind::Skip, ""},
      {"1:x", ZipEntryKind::Skip, ""},
      {"./a", ZipEntryKind::Skip, ""},
      {"dir/./file", ZipEntryKind::Skip, ""},
      {"dir/file.", ZipEntryKind::Skip, ""},
      {"dir./file", ZipEntryKind::Skip, ""},
      {"META-INF/MANIFEST.MF", ZipEntryKind::Skip, ""},
      {"Meta-Inf/x", ZipEntryKind::Skip, ""},
      {"meta-inf", ZipEntryKind::Skip, ""},
      {"docs/__MACOSX/x", ZipEntryKind::Skip, ""},
      {"__macosx/._a", ZipEntryKind::Skip, ""},
      {"a/Thumbs.DB", ZipEntryKind::Skip, ""},
      {"x/.DS_Store", ZipEntryKind::Skip, ""},
      {"Desktop.ini", ZipEntryKind::Skip, ""},
      {"///", ZipEntryKind::Unsafe, ""},
  };
  for (const Case& c : cases) {
    std::string normalised = "left over";
    EXPECT_EQ(ClassifyZipEntry(c.name, normalised), c.kind) << c.name;
    if (c.kind == ZipEntryKind::Extract) EXPECT_EQ(normalised, c.normalised) << c.name;
  }
}

// Hostile archives, each refused with its message. "Refused at planning" archives must leave the
// destination empty; the others may leave what they wrote inside it, never anything outside.
TEST_F(ZipExtractTest, RefusesHostileArchivesWithoutWritingOutsideTheDestination) {
  const RawZipEntry good = StoredEntry("good.txt", "fine");
  RawZipEntry inflatesTooMuch = DeflatedEntry("lying.txt", std::string(200'000, 'x'));
  inflatesTooMuch.uncompressedSize = 1000;
  RawZipEntry inflatesTooLittle = DeflatedEntry("short.txt", "only this");
  inflatesTooLittle.uncompressedSize += 10;
  RawZipEntry storedLongerThanDeclared = StoredEntry("stored.txt", "0123456789");
  storedLongerThanDeclared.uncompressedSize = 4;  // stored: compressed 10, declared 4
  RawZipEntry wrongCrc = StoredEntry("crc.txt", "payload");
  wrongCrc.crc ^= 1;
  RawZipEntry cutStream = DeflatedEntry("cut.txt", NumberedLines(2000));
  cutStream.payload.resize(cutStream.payload.size() / 2);
  cutStream.compressedSize = cutStream.payload.size();
  const RawZipEntry noCompressedBytes = DeclaredOnly("zero.bin", 5, 0);
  std::vector<RawZipEntry> overTotal = {good};
  for (int i = 0; i < 7; ++i) {
    overTotal.push_back(DeclaredOnly(std::format("part{}.bin", i), kMaxEntryBytes, 5 * kMiB + 1));
  }

  struct Case {
    std::string label;
    std::vector<RawZipEntry> entries;
    std::string message;
    bool refusedAtPlanning;
  };
  const std::vector<Case> cases = {
      {"parent",
       {good, StoredEntry("../evil.txt", "x")},
       "unsafe entry path in archive: ../evil.txt",
       true},
      {"backslash parent",
       {good, StoredEntry("..\\evil.txt", "x")},
       "unsafe entry path in archive: ..\\evil.txt",
       true},
      {"inner parent",
       {good, StoredEntry("dir/../../x", "x")},
       "unsafe entry path in archive: dir/../../x",
       true},
      {"absolute",
       {good, StoredEntry((temp_ / "evil.txt").native(), "x")},
       "unsafe entry path in archive: " + (temp_ / "evil.txt").native(),
       true},
      {"drive",
       {good, StoredEntry("C:\\evil.txt", "x")},
       "unsafe entry path in archive: C:\\evil.txt",
       true},
      {"drive slash",
       {good, StoredEntry("c:/evil.txt", "x")},
       "unsafe entry path in archive: c:/evil.txt",
       true},
      {"path too long",
       {good, StoredEntry(Repeat("d/", 512) + "f", "x")},
       "entry path too long (1025 chars)",
       true},
      {"entry too large",
       {good, DeclaredOnly("big.bin", kMaxEntryBytes + 1, 10)},
       "entry too large (500 MiB): big.bin",
       true},
      {"ratio 101",
       {good, EntryWithRatio("r.bin", 101)},
       "suspicious compression ratio for r.bin",
       true},
      {"total over 3 GiB", overTotal, "extracted size exceeds 3072 MiB", true},
      {"inflates past declared size", {inflatesTooMuch}, "failed to extract lying.txt", false},
      {"inflates short of declared size",
       {inflatesTooLittle},
       "extracted size mismatch for short.txt",
       false},
      {"stored data longer than declared",
       {storedLongerThanDeclared},
       "failed to extract stored.txt",
       false},
      {"wrong CRC", {wrongCrc}, "failed to extract crc.txt", false},
      {"cut deflate stream", {cutStream}, "failed to extract cut.txt", false},
      {"no compressed bytes is not a ratio",
       {noCompressedBytes},
       "extracted size mismatch for zero.bin",
       false},
      {"file then folder of the same name",
       {StoredEntry("a", "file"), StoredEntry("a/b", "inner")},
       std::format("can't create {}: File exists", (destination_ / "a").native()),
       false},
      {"file in the way of a deeper folder",
       {StoredEntry("a", "file"), StoredEntry("a/b/c", "inner")},
       std::format("can't create {}: Not a directory", (destination_ / "a/b").native()),
       false},
      {"folder then file of the same name",
       {StoredEntry("a/b", "inner"), StoredEntry("a", "file")},
       std::format("can't write {}", (destination_ / "a").native()),
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(destination_);
    const auto result = Extract(c.entries);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), c.message);
    ExpectNothingOutsideDestination();
    if (c.refusedAtPlanning) {
      EXPECT_TRUE(fs::is_directory(destination_));
      EXPECT_TRUE(fs::is_empty(destination_));
    }
    for (const auto& item : fs::recursive_directory_iterator(destination_)) {
      if (item.is_regular_file()) EXPECT_LE(item.file_size(), 1000u) << item.path();
    }
  }
}

TEST_F(ZipExtractTest, RefusesFilesThatAreNoUsableArchive) {
  const auto expectRefused = [&](const std::string& message) {
    const auto result = ExtractZip(archive_, destination_, {});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), message);
    ExpectNothingOutsideDestination();
  };
  expectRefused("can't read " + ArchiveText());  // missing
  test::WriteFile(archive_, "");
  expectRefused("can't read " + ArchiveText());
  test::WriteFile(archive_, "this is not a zip archive at all");
  expectRefused("not a valid ZIP archive: " + ArchiveText());
  WriteRawZip(archive_, {});
  expectRefused("archive is empty: " + ArchiveText());
  WriteRawZip(archive_, {StoredEntry("a.txt", Repeat("text ", 1000)), StoredEntry("b", "b")});
  fs::resize_file(archive_, fs::file_size(archive_) / 2);
  expectRefused("not a valid ZIP archive: " + ArchiveText());
  fs::remove(archive_);
  fs::create_directory(archive_);
  expectRefused("can't read " + ArchiveText());
  fs::remove(archive_);
  test::WriteFile(archive_, "x");
  test::WriteFile(work_ / "blocker", "a file where a folder should be");
  const auto result = ExtractZip(archive_, work_ / "blocker" / "dest", {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            std::format("can't create {}: Not a directory", (work_ / "blocker" / "dest").native()));
}

TEST_F(ZipExtractTest, ExtractsAcceptedArchivesToTheirTree) {
  const RawZipEntry ratio100 = EntryWithRatio("r.bin", 100);
  RawZipEntry directoryByAttribute = StoredEntry("attrdir", "");
  directoryByAttribute.externalAttributes = 0x10;
  struct Case {
    std::string label;
    std::vector<RawZipEntry> entries;
    Tree tree;
    int files;
  };
  const std::vector<Case> cases = {
      {"junk only",
       {StoredEntry("__MACOSX/._a", "x"), StoredEntry(".DS_Store", "x"), DirectoryEntry("./")},
       {},
       0},
      {"names normalised, junk dropped",
       {DirectoryEntry("dir//file/"), StoredEntry("dir\\sub\\f.txt", "sub"),
        StoredEntry("META-INF/MANIFEST.MF", "m"), StoredEntry("Meta-Inf/x", "m"),
        StoredEntry("lib/META-INF/x", "kept"), StoredEntry("docs/__MACOSX/x", "j"),
        StoredEntry("a/Thumbs.DB", "j"), StoredEntry("dir/./file2", "j"),
        StoredEntry("dir/file.", "j"), StoredEntry("ab:c/d", "j"), StoredEntry("", "j")},
       {{"dir", "<dir>"},
        {"dir/file", "<dir>"},
        {"dir/sub", "<dir>"},
        {"dir/sub/f.txt", "sub"},
        {"lib", "<dir>"},
        {"lib/META-INF", "<dir>"},
        {"lib/META-INF/x", "kept"}},
       2},
      {"deflated, empty and binary files",
       {DeflatedEntry("text.txt", NumberedLines(20'000)), StoredEntry("empty", ""),
        DeflatedEntry("empty.z", ""), StoredEntry("bin", std::string("\0\1\2\xff", 4))},
       {{"text.txt", NumberedLines(20'000)},
        {"empty", ""},
        {"empty.z", ""},
        {"bin", std::string("\0\1\2\xff", 4)}},
       4},
      {"directory by its DOS attribute", {directoryByAttribute}, {{"attrdir", "<dir>"}}, 0},
      {"later duplicate wins",
       {StoredEntry("a.txt", "one"), StoredEntry("a.txt", "two")},
       {{"a.txt", "two"}},
       2},
      {"path of 1024 bytes",
       {StoredEntry(Repeat("d/", 511) + "ff", "deep")},
       [] {
         Tree tree;
         std::string path = "d";
         for (int i = 0; i < 511; ++i, path += "/d") tree[path] = "<dir>";
         tree[Repeat("d/", 511) + "ff"] = "deep";
         return tree;
       }(),
       1},
      {"ratio 100", {ratio100}, {{"r.bin", std::string(ratio100.uncompressedSize, '\0')}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(destination_);
    log_.clear();
    const auto result = Extract(c.entries);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(ReadTree(destination_), c.tree);
    EXPECT_EQ(log_,
              (std::vector<std::string>{std::format("Extracted {} ({} files) to {}", ArchiveText(),
                                                    c.files, destination_.native())}));
    ExpectNothingOutsideDestination();
  }
}

TEST_F(ZipExtractTest, AcceptsOneHundredThousandEntriesButNotOneMore) {
  std::vector<RawZipEntry> entries(100'000, StoredEntry("__MACOSX/x", ""));
  entries.back() = StoredEntry("last.txt", "last");
  ASSERT_TRUE(Extract(entries).has_value());
  EXPECT_EQ(ReadTree(destination_), (Tree{{"last.txt", "last"}}));

  fs::remove_all(destination_);
  entries.push_back(StoredEntry("more.txt", "more"));
  const auto result = Extract(entries);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "archive has too many entries (100001)");
  EXPECT_TRUE(fs::is_empty(destination_));
  ExpectNothingOutsideDestination();
}

TEST_F(ZipExtractTest, AcceptsAnEntryOfExactlyTheSizeLimit) {
  // 500 MiB of zeros, stored; the archive keeps them as a hole, the extraction writes them.
  RawZipEntry entry;
  entry.name = "big.bin";
  entry.compressedSize = entry.uncompressedSize = kMaxEntryBytes;
  const std::string zeros(kMiB, '\0');
  for (std::uint64_t done = 0; done < kMaxEntryBytes; done += kMiB) {
    entry.crc = test::Crc32(zeros, entry.crc);
  }
  const auto result = Extract({entry});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(fs::file_size(destination_ / "big.bin"), kMaxEntryBytes);
}

// The archive size limit is 2048 MiB inclusive. The archives are sparse: a hole, then a small
// archive whose offsets account for the hole.
TEST_F(ZipExtractTest, AcceptsAnArchiveOfExactlyTwoGibibytesButNotOneByteMore) {
  struct statvfs volume {};
  ASSERT_EQ(statvfs(temp_.path().c_str(), &volume), 0);
  if (static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize < 7 * 1024 * kMiB) {
    GTEST_SKIP() << "needs 7 GiB free for the 3x free-space rule of a 2 GiB archive";
  }
  const std::vector<RawZipEntry> entries = {StoredEntry("inside.txt", "at the end")};
  WriteRawZip(archive_, entries);
  const std::uint64_t tail = fs::file_size(archive_);
  const std::uint64_t limit = 2048 * kMiB;

  WriteRawZip(archive_, entries, limit - tail);
  ASSERT_EQ(fs::file_size(archive_), limit);
  struct stat info {};
  ASSERT_EQ(stat(archive_.c_str(), &info), 0);
  if (static_cast<std::uint64_t>(info.st_blocks) * 512 > 64 * kMiB) {
    GTEST_SKIP() << "this file system does not keep sparse files";
  }
  const auto accepted = ExtractZip(archive_, destination_, {});
  ASSERT_TRUE(accepted.has_value()) << accepted.error();
  EXPECT_EQ(ReadTree(destination_), (Tree{{"inside.txt", "at the end"}}));

  fs::remove_all(destination_);
  WriteRawZip(archive_, entries, limit - tail + 1);
  const auto refused = ExtractZip(archive_, destination_, {});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), "archive too large (2048 MiB): " + ArchiveText());
  EXPECT_FALSE(fs::exists(destination_));
}

TEST_F(ZipExtractTest, StripsOnlyACommonTopLevelFolder) {
  ZipExtractOptions strip;
  strip.stripTopLevelFolder = true;
  const std::string stripped =
      std::format("Extracting {} without its top-level folder \"app\"", ArchiveText());

  ASSERT_TRUE(
      Extract({DirectoryEntry("app/"), StoredEntry("app/a", "a"), StoredEntry("app/b/c", "c")},
              strip)
          .has_value());
  EXPECT_EQ(ReadTree(destination_), (Tree{{"a", "a"}, {"b", "<dir>"}, {"b/c", "c"}}));
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_EQ(log_[0], stripped);

  fs::remove_all(destination_);
  log_.clear();
  ASSERT_TRUE(Extract({StoredEntry("app/a", "a"), StoredEntry("other", "o")}, strip).has_value());
  EXPECT_EQ(ReadTree(destination_), (Tree{{"app", "<dir>"}, {"app/a", "a"}, {"other", "o"}}));
  EXPECT_EQ(log_.size(), 1u);

  fs::remove_all(destination_);
  log_.clear();
  ASSERT_TRUE(Extract({StoredEntry("app", "just a file")}, strip).has_value());
  EXPECT_EQ(ReadTree(destination_), (Tree{{"app", "just a file"}}));
  EXPECT_EQ(log_.size(), 1u);

  fs::remove_all(destination_);
  ASSERT_TRUE(Extract({DirectoryEntry("app/"), StoredEntry("app/a", "a")}).has_value());
  EXPECT_EQ(ReadTree(destination_), (Tree{{"app", "<dir>"}, {"app/a", "a"}}));
}

TEST_F(ZipExtractTest, ExtractsASingleFileByItsLastNameComponent) {
  ZipExtractOptions options;
  options.singleFile = "java";
  const std::vector<RawZipEntry> entries = {
      DirectoryEntry("jre/bin/java/"), StoredEntry("jre/lib/x", "x"),
      StoredEntry("jre/bin/JAVA", "first"), StoredEntry("java", "second"),
      DeclaredOnly("huge/java", kMaxEntryBytes + 1, 10)};  // never reached, so never refused
  int progressCalls = 0;
  options.progress = [&](std::uint64_t written, std::uint64_t planned) {
    ++progressCalls;
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(planned, 5u);
  };
  ASSERT_TRUE(Extract(entries, options).has_value());
  EXPECT_EQ(ReadTree(destination_), (Tree{{"java", "first"}}));
  EXPECT_EQ(progressCalls, 1);

  fs::remove_all(destination_);
  const auto result = Extract({DirectoryEntry("java/"), StoredEntry("javac", "x")}, options);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "java not found in " + ArchiveText());
  EXPECT_TRUE(fs::is_empty(destination_));
}

TEST_F(ZipExtractTest, ReportsProgressPerFileAndStopsWhenCancelled) {
  const std::vector<RawZipEntry> entries = {DirectoryEntry("d/"), StoredEntry("d/a", "a"),
                                            StoredEntry("d/b", "b"), StoredEntry("c", "c")};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
  ZipExtractOptions options;
  options.progress = [&](std::uint64_t written, std::uint64_t planned) {
    progress.emplace_back(written, planned);
  };
  ASSERT_TRUE(Extract(entries, options).has_value());
  EXPECT_EQ(progress,
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 4}, {2, 4}, {3, 4}}));

  fs::remove_all(destination_);
  int asked = 0;
  options.cancelled = [&] { return ++asked == 1; };
  auto result = Extract(entries, options);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "cancelled");
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(fs::is_empty(destination_));

  fs::remove_all(destination_);
  asked = 0;
  options.cancelled = [&] { return ++asked == 3; };  // asked before d/, d/a, then d/b
  result = Extract(entries, options);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "cancelled");
  EXPECT_EQ(ReadTree(destination_), (Tree{{"d", "<dir>"}, {"d/a", "a"}}));
}

// Archives made by real archivers extract to the tree they were made from.
TEST_F(ZipExtractTest, ExtractsArchivesOfRealToolsToTheSourceTree) {
  const fs::path source = temp_ / "source";
  std::mt19937 random(7);
  std::string noise(300'000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  test::WriteFile(source / "Contents/MacOS/EmberdaleLauncher", "#!/bin/sh\necho hi\n");
  test::WriteFile(source / "Contents/Resources/big text.txt", NumberedLines(30'000));
  test::WriteFile(source / "Contents/Resources/noise.bin", noise);
  test::WriteFile(source / "Contents/Resources/data/empty", "");
  test::WriteFile(source / "Contents/Resources/data/\xc3\xbcml\xc3\xa4ut.txt", "umlaut");
  test::WriteFile(source / ".hidden", "hidden");
  fs::create_directories(source / "Contents/Plugins/empty folder");
  const Tree expected = ReadTree(source);

  struct Tool {
    std::string program;
    std::string command;  // run in the source folder, archive path appended after {}
  };
  const std::vector<Tool> tools = {
      {"zip", "zip -q -r {} Contents .hidden"},
      {"7z", "7z a -tzip -bso0 -bsp0 {} Contents .hidden"},
      {"bsdtar", "bsdtar -a -cf {} Contents .hidden"},
      {"jar", "jar cf {} Contents .hidden"},
  };
  for (const Tool& tool : tools) {
    SCOPED_TRACE(tool.program);
    if (std::system(("command -v " + tool.program + " >/dev/null").c_str()) != 0) {
      ADD_FAILURE() << tool.program << " is missing: run scripts/setup.sh";
      continue;
    }
    const fs::path made = temp_ / (tool.program + ".zip");
    const std::string command = std::format("cd '{}' && LC_ALL=C.UTF-8 ", source.native()) +
                                std::vformat(tool.command, std::make_format_args(made.native()));
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const fs::path into = temp_ / ("out-" + tool.program);
    const auto result = ExtractZip(made, into, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(ReadTree(into), expected);
  }
}

// The free-space rule needs a small volume: a 1 MiB tmpfs in a private mount namespace, made in
// a child process so the test process keeps its own view.
TEST_F(ZipExtractTest, RefusesWhenTheDestinationVolumeIsTooSmall) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  WriteRawZip(archive_, {StoredEntry("noise.bin", std::string(800 * 1024, 'n'))});
  const fs::path mountPoint = temp_ / "small";
  fs::create_directory(mountPoint);
  const fs::path report = temp_ / "report.txt";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
      _exit(77);
    }
    const auto result = ExtractZip(archive_, mountPoint / "dest", {});
    std::ofstream(report) << (result ? "success" : result.error());
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "mount namespaces or tmpfs are not available";
  EXPECT_EQ(test::ReadFile(report), "not enough disk space (need 2 MiB, have 1 MiB)");
}

}  // namespace
}  // namespace emberdale::core
