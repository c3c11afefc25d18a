// ctest-labels: slow
// Hostile archives are refused before anything is written, or stopped without writing more than
// they declare, and nothing lands outside the destination.
#include "core/zip_extract.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using test::RawZipEntry, test::Tree;
constexpr std::uint64_t kMiB = 1024 * 1024;

// An entry declaring `size` bytes deflated into `packed`; its data is a hole that does not inflate.
RawZipEntry Declared(std::string name, std::uint64_t size, std::uint64_t packed) {
  return {std::move(name), "", 8, 0, packed, size};
}

RawZipEntry Lie(RawZipEntry e, std::int64_t size, std::uint32_t crcXor = 0,
                std::uint32_t attr = 0) {
  e.uncompressedSize += size, e.crc ^= crcXor, e.externalAttributes = attr;
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
  const RawZipEntry good = test::StoredEntry("good.txt", "fine");
  std::string deep;
  Tree deepTree;
  for (int i = 0; i < 511; ++i) deepTree[deep += (i ? "/d" : "d")] = "<dir>";
  deepTree[deep + "/ff"] = "deep";
  const std::uint64_t kMax = 500 * kMiB;
  std::vector<RawZipEntry> total(6, Declared("part", kMax, 5 * kMiB + 1));
  total.push_back(Declared("last", 72 * kMiB, kMiB));
  std::vector<RawZipEntry> overTotal = total;
  overTotal.back().uncompressedSize += 1;
  const std::string evil = (temp / "evil.txt").native(), unsafe = "unsafe entry path in archive: ";
  const std::string failed = "failed to extract ";
  const auto File = test::StoredEntry;
  std::string digits;  // deflates about two to one, in pieces larger than any copy buffer
  for (std::uint32_t i = 1; digits.size() < 1'500'000; i = i * 1103515245u + 12345u) {
    digits += std::to_string(i >> 8);
  }

  // clang-format off
  const ZipRow rows[] = {
    {"parent folder", {good, File("../evil.txt", "x")}, unsafe + "../evil.txt"},
    {"absolute name", {good, File(evil, "x")}, unsafe + evil},
    {"path of 1025 bytes", {good, File(deep + "/fff", "x")}, "entry path too long (1025 chars)"},
    {"path of 1024 bytes", {File(deep + "/ff", "deep")}, "", deepTree},
    {"entry of 500 MiB + 1", {good, Declared("big", kMax + 1, 6 * kMiB)},
     "entry too large (500 MiB): big"},
    {"entry of 500 MiB passes the plan", {Declared("big", kMax, 6 * kMiB)}, failed + "big",
     {{"big", ""}}},
    {"ratio 101", {good, Declared("r", 1010, 10)}, "suspicious compression ratio for r"},
    {"ratio 100 passes the plan", {Declared("r", 1000, 10)}, failed + "r", {{"r", ""}}},
    {"3072 MiB + 1 in all", overTotal, "extracted size exceeds 3072 MiB"},
    {"3072 MiB in all passes the plan", total, failed + "part", {{"part", ""}}},
    {"inflates past its declared size",
     {Lie(test::DeflatedEntry("lie", std::string(2000, 'x')), -1000)}, failed + "lie",
     {{"lie", ""}}},
    {"inflates short of its declared size", {Lie(test::DeflatedEntry("short", "only this"), 10)},
     "extracted size mismatch for short", {{"short", "only this"}}},
    {"wrong CRC", {Lie(File("crc", "payload"), 0, 1)}, failed + "crc", {{"crc", ""}}},
    {"a symbolic link entry is a plain file", {Lie(File("link", "/etc"), 0, 0, 0120777u << 16)},
     "", {{"link", "/etc"}}},
    {"backslashes separate, junk is dropped", {File("dir\\f", "f"), File("__MACOSX/._f", "j")}, "",
     {{"dir", "<dir>"}, {"dir/f", "f"}}},
    {"large entries", {test::DeflatedEntry("a", digits), File("b", "f"),
     test::DeflatedEntry("c", digits)}, "", {{"a", digits}, {"b", "f"}, {"c", digits}}},
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
    const auto files = std::ranges::count_if(row.tree, [](auto& e) { return e.second != "<dir>"; });
    if (result)
      EXPECT_EQ(log.lines().back(), std::format("[INFO] Extracted {} ({} files) to {}",
                                                archive.native(), files, destination.native()));
  }
}

}  // namespace
}  // namespace emberdale::core
