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

// Published vectors; files around block and 1 MiB chunk boundaries against sha256sum; the
// processor's accelerated blocks against the portable ones (which other processors run).
TEST(Sha256Test, AgreesWithPublishedVectorsAndSha256sum) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(std::string(1'000'000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  test::TempDir dir;
  for (const std::size_t size : {0ul, 55ul, 56ul, 64ul, 65ul, kMiB - 1, kMiB, 2 * kMiB + 17}) {
    test::WriteFile(dir / "f", RandomBytes(size));
    FILE* pipe = popen(("sha256sum " + (dir / "f").native()).c_str(), "r");
    char expected[65] = {};
    ASSERT_EQ(std::fread(expected, 1, 64, pipe), 64u);
    pclose(pipe);
    EXPECT_EQ(FileSha256(dir / "f", {}).value_or("error"), expected) << size << " bytes";
  }
  if (!Sha256AccelerationAvailable()) return;
  const std::string data = RandomBytes(64 * 301);
  Sha256State portable{1, 2, 3, 4, 5, 6, 7, 8}, accelerated = portable;
  const auto* unaligned = reinterpret_cast<const std::uint8_t*>(data.data()) + 1;
  CompressSha256BlocksPortable(portable, unaligned, 300);
  CompressSha256BlocksAccelerated(accelerated, unaligned, 300);
  EXPECT_EQ(accelerated, portable);
}

// The predicate is asked before every 1 MiB read: cancelling at the n-th question stops there.
TEST(Sha256Test, FileHashingStopsWhenCancelledAndReportsWhatCantBeRead) {
  test::TempDir dir;
  test::WriteFile(dir / "f", RandomBytes(2 * kMiB));
  for (const int at : {1, 2, 3}) {
    int asked = 0;
    EXPECT_EQ(FileSha256(dir / "f", [&] { return ++asked == at; }).error_or(""), "cancelled");
    EXPECT_EQ(asked, at);
  }
  EXPECT_EQ(FileSha256(dir / "no", {}).error_or(""), "can't open " + (dir / "no").native());
  EXPECT_EQ(FileSha256("/proc/self/mem", {}).error_or(""), "read error on /proc/self/mem");
}

}  // namespace
}  // namespace emberdale::core
