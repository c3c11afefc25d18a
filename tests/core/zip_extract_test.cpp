// ctest-labels: slow
// Safe ZIP extraction of hostile archives written byte by byte: refused before anything is
// written, or stopped without writing more than declared, and never outside the destination.
#include "core/zip_extract.h"

#include <gtest/gtest.h>

#include <format>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using test::RawZipEntry, test::StoredEntry, test::Tree;
constexpr std::uint64_t kMiB = 1024 * 1024;

// An entry declaring `size` bytes deflated into `packed`; its data is a hole that does not inflate.
RawZipEntry Declared(std::string name, std::uint64_t size, std::uint64_t packed) {
  return {std::move(name), "", 8, 0, packed, size};
}

RawZipEntry Lying(RawZipEntry e, std::int64_t sizeDelta, std::uint32_t crcXor,
                  std::uint32_t attributes = 0) {
  e.uncompressedSize += sizeDelta, e.crc ^= crcXor, e.externalAttributes = attributes;
  return e;
}

struct ZipRow {
  std::string name;
  std::vector<RawZipEntry> entries;
  std::string error;  // empty: success
  Tree tree = {};     // the destination afterwards: nothing written before a refusal
};

TEST(ZipExtractTest, HostileAndEdgeArchives) {
  test::TempDir temp;
  const fs::path archive = temp / "in.zip", destination = temp / "work" / "dest";
  const RawZipEntry good = StoredEntry("good.txt", "fine");
  std::string deepName;
  Tree deepTree;
  for (int i = 0; i < 511; ++i) deepTree[deepName += (i ? "/d" : "d")] = "<dir>";
  deepTree[deepName + "/ff"] = "deep";
  std::vector<RawZipEntry> total(6, Declared("part.bin", 500 * kMiB, 5 * kMiB + 1));
  total.push_back(Declared("last.bin", 72 * kMiB, kMiB));
  std::vector<RawZipEntry> overTotal = total;
  overTotal.back().uncompressedSize += 1;
  const std::string evil = (temp / "evil.txt").native();

  // clang-format off
  const ZipRow rows[] = {
    {"parent folder", {good, StoredEntry("../evil.txt", "x")}, "unsafe entry path in archive: ../evil.txt"},
    {"parent through backslashes", {good, StoredEntry("a\\..\\..\\x", "x")}, "unsafe entry path in archive: a\\..\\..\\x"},
    {"absolute name", {good, StoredEntry(evil, "x")}, "unsafe entry path in archive: " + evil},
    {"drive letter", {good, StoredEntry("C:\\evil.txt", "x")}, "unsafe entry path in archive: C:\\evil.txt"},
    {"path of 1025 bytes", {good, StoredEntry(deepName + "/fff", "x")}, "entry path too long (1025 chars)"},
    {"path of 1024 bytes", {StoredEntry(deepName + "/ff", "deep")}, "", deepTree},
    {"entry of 500 MiB + 1", {good, Declared("big.bin", 500 * kMiB + 1, 6 * kMiB)}, "entry too large (500 MiB): big.bin"},
    {"entry of 500 MiB passes the plan", {Declared("big.bin", 500 * kMiB, 6 * kMiB)}, "failed to extract big.bin", {{"big.bin", ""}}},
    {"compression ratio 101", {good, Declared("r.bin", 1010, 10)}, "suspicious compression ratio for r.bin"},
    {"compression ratio 100 passes the plan", {Declared("r.bin", 1000, 10)}, "failed to extract r.bin", {{"r.bin", ""}}},
    {"3072 MiB + 1 in all", overTotal, "extracted size exceeds 3072 MiB"},
    {"3072 MiB in all passes the plan", total, "failed to extract part.bin", {{"part.bin", ""}}},
    {"no entries", {}, "archive is empty: " + archive.native()},
    {"inflates past its declared size", {Lying(test::DeflatedEntry("lie", std::string(200'000, 'x')), -199'000, 0)}, "failed to extract lie", {{"lie", ""}}},
    {"inflates short of its declared size", {Lying(test::DeflatedEntry("short", "only this"), 10, 0)}, "extracted size mismatch for short", {{"short", "only this"}}},
    {"wrong CRC", {Lying(StoredEntry("crc.txt", "payload"), 0, 1)}, "failed to extract crc.txt", {{"crc.txt", ""}}},
    {"a symbolic link entry is a plain file", {Lying(StoredEntry("link", "/etc/passwd"), 0, 0, 0120777u << 16)}, "", {{"link", "/etc/passwd"}}},
    {"names normalised, junk dropped",
     {StoredEntry("dir//sub\\f.txt", "f"), Lying(StoredEntry("attrdir", ""), 0, 0, 0x10), StoredEntry("META-INF/MANIFEST.MF", "j"),
      StoredEntry("lib/META-INF/x", "kept"), StoredEntry("a/.DS_Store", "j"), StoredEntry("__MACOSX/._f", "j"),
      StoredEntry("dir/./x", "j"), StoredEntry("x.", "j"), StoredEntry("ab:c", "j"), test::DeflatedEntry("z", "zipped")},
     "", {{"dir", "<dir>"}, {"dir/sub", "<dir>"}, {"dir/sub/f.txt", "f"}, {"attrdir", "<dir>"}, {"lib", "<dir>"},
          {"lib/META-INF", "<dir>"}, {"lib/META-INF/x", "kept"}, {"z", "zipped"}}},
  };
  // clang-format on
  for (const ZipRow& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(temp / "work");
    test::WriteFile(temp / "work" / "beside" / "keep", "untouched");
    test::WriteRawZip(archive, row.entries);
    fs::create_directories(destination);  // a refusal must leave it as it was
    test::LogCapture log;

    const auto result = ExtractZip(archive, destination, {});

    EXPECT_EQ(result ? "" : result.error(), row.error);
    Tree work = {{"beside", "<dir>"}, {"beside/keep", "untouched"}, {"dest", "<dir>"}};
    for (const auto& [path, content] : row.tree) work["dest/" + path] = content;
    EXPECT_EQ(test::ReadTree(temp / "work"), work);
    EXPECT_FALSE(fs::exists(evil));
    if (result) {
      const auto files =
          std::ranges::count_if(row.tree, [](auto& e) { return e.second != "<dir>"; });
      EXPECT_EQ(log.lines().back(), std::format("[INFO] Extracted {} ({} files) to {}",
                                                archive.native(), files, destination.native()));
    }
  }
}

}  // namespace
}  // namespace emberdale::core
