#include "core/sha256.h"

#include <gtest/gtest.h>

#include <random>

#include "core/sha256_compress.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

TEST(Sha256Test, AgreesWithSha256sumAroundBlockAndChunkEdgesAndOnEveryProcessor) {
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  test::TempDir dir;
  std::mt19937_64 random(1);
  std::string data(3 << 20, '\0');
  for (char& byte : data) byte = static_cast<char>(random());
  for (const std::size_t size : {0, 55, 56, 64, 65, (1 << 20) - 1, 1 << 20, (2 << 20) + 17}) {
    test::WriteFile(dir / "f", data.substr(0, size));
    std::string expected;  // the digest, then the file's name
    ASSERT_TRUE(test::Shell("sha256sum " + (dir / "f").native(), &expected));
    EXPECT_EQ(FileSha256(dir / "f", {}).value_or("error"), expected.substr(0, 64)) << size;
  }
  Sha256State portable{1, 2, 3, 4, 5, 6, 7, 8}, dispatched = portable;
  const auto* unaligned = reinterpret_cast<const std::uint8_t*>(data.data()) + 1;
  CompressSha256BlocksPortable(portable, unaligned, 300);
  CompressSha256Blocks(dispatched, unaligned, 300);
  EXPECT_EQ(dispatched, portable);
}

}  // namespace
}  // namespace emberdale::core
