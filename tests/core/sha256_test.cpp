#include "core/sha256.h"

#include <gtest/gtest.h>

#include <random>

#include "core/sha256_compress.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

std::string RandomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::mt19937_64 random(size);
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// Published vectors; files around block and 1 MiB chunk boundaries against sha256sum; this
// processor's accelerated blocks against the portable ones that other processors run.
TEST(Sha256Test, AgreesWithPublishedVectorsAndSha256sum) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  test::TempDir dir;
  for (const std::size_t size : {0ul, 55ul, 56ul, 64ul, 65ul, kMiB - 1, kMiB, 2 * kMiB + 17}) {
    test::WriteFile(dir / "f", RandomBytes(size));
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(("sha256sum " + (dir / "f").native()).c_str(), "r"), pclose);
    char expected[65] = {};
    ASSERT_EQ(std::fread(expected, 1, 64, pipe.get()), 64u);
    EXPECT_EQ(FileSha256(dir / "f", {}).value_or("error"), expected) << size << " bytes";
  }
  const std::string data = RandomBytes(64 * 301);  // unaligned blocks
  Sha256State portable{1, 2, 3, 4, 5, 6, 7, 8}, dispatched = portable;
  CompressSha256BlocksPortable(portable, reinterpret_cast<const std::uint8_t*>(data.data()) + 1,
                               300);
  CompressSha256Blocks(dispatched, reinterpret_cast<const std::uint8_t*>(data.data()) + 1, 300);
  EXPECT_EQ(dispatched, portable);
}

// The predicate is asked before every 1 MiB read: cancelling at the n-th question stops there.
TEST(Sha256Test, FileHashingStopsWhenCancelled) {
  test::TempDir dir;
  test::WriteFile(dir / "f", RandomBytes(2 * kMiB));
  for (const int at : {1, 3}) {
    int asked = 0;
    EXPECT_EQ(FileSha256(dir / "f", [&] { return ++asked == at; }).error_or(""), "cancelled");
    EXPECT_EQ(asked, at);
  }
  EXPECT_EQ(FileSha256(dir / "no", {}).error_or(""), "can't open " + (dir / "no").native());
}

}  // namespace
}  // namespace emberdale::core
