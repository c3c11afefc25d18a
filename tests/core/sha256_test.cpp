#include "core/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/sha256_compress.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

constexpr std::size_t kMiB = 1024 * 1024;

constexpr std::string_view kEmptyDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr std::string_view kAbcDigest =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr std::string_view k448BitMessage =
    "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
constexpr std::string_view k448BitDigest =
    "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";

std::string RandomBytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string Hex(const std::array<std::uint8_t, 32>& digest) {
  std::string hex;
  for (const std::uint8_t byte : digest) hex += std::format("{:02x}", byte);
  return hex;
}

std::string HexOfState(const Sha256State& state) {
  std::string hex;
  for (const std::uint32_t word : state) hex += std::format("{:08x}", word);
  return hex;
}

// Pads a short message into whole blocks by hand, so that the block functions can be checked on
// their own against published digests.
std::vector<std::uint8_t> PaddedMessage(std::string_view message) {
  std::vector<std::uint8_t> bytes(message.begin(), message.end());
  bytes.push_back(0x80);
  while (bytes.size() % 64 != 56) bytes.push_back(0);
  const std::uint64_t bits = message.size() * 8;
  for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  return bytes;
}

constexpr Sha256State kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

TEST(Sha256Test, PublishedVectors) {
  EXPECT_EQ(Sha256Hex(""), kEmptyDigest);
  EXPECT_EQ(Sha256Hex("abc"), kAbcDigest);
  EXPECT_EQ(Sha256Hex(k448BitMessage), k448BitDigest);
  EXPECT_EQ(Sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklm"
                      "nopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(Sha256Hex(std::string(1'000'000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, PaddingWithOneAndTwoFinalBlocks) {
  EXPECT_EQ(Sha256Hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(Sha256Hex(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(Sha256Hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

TEST(Sha256Test, FeedingInPiecesGivesTheSameDigest) {
  const std::string message = RandomBytes(1000, 1);
  const std::string whole = Sha256Hex(message);
  for (const std::size_t piece : {1u, 63u, 64u, 65u, 127u}) {
    Sha256 hasher;
    for (std::size_t offset = 0; offset < message.size(); offset += piece) {
      const std::string_view part = std::string_view(message).substr(offset, piece);
      // Alternate the two overloads; they must behave the same.
      if ((offset / piece) % 2 == 0) {
        hasher.Update(part);
      } else {
        hasher.Update(std::as_bytes(std::span(part.data(), part.size())));
      }
    }
    EXPECT_EQ(hasher.FinishHex(), whole) << "pieces of " << piece;
  }

  Sha256 withEmptyUpdates;
  withEmptyUpdates.Update("");
  withEmptyUpdates.Update("ab");
  withEmptyUpdates.Update(std::span<const std::byte>());
  withEmptyUpdates.Update("c");
  EXPECT_EQ(Hex(withEmptyUpdates.Finish()), kAbcDigest);
}

TEST(Sha256BlocksTest, BothImplementationsMatchPublishedDigests) {
  for (const auto& [message, digest] :
       {std::pair{std::string_view("abc"), kAbcDigest}, std::pair{k448BitMessage, k448BitDigest}}) {
    const std::vector<std::uint8_t> padded = PaddedMessage(message);
    Sha256State portable = kInitialState;
    CompressSha256BlocksPortable(portable, padded.data(), padded.size() / 64);
    EXPECT_EQ(HexOfState(portable), digest);

    Sha256State dispatched = kInitialState;
    CompressSha256Blocks(dispatched, padded.data(), padded.size() / 64);
    EXPECT_EQ(HexOfState(dispatched), digest);
  }
}

TEST(Sha256BlocksTest, AcceleratedAgreesWithPortableOnRandomData) {
  if (!Sha256AccelerationAvailable()) {
    GTEST_SKIP() << "this processor has no SHA extensions; only the portable path exists";
  }
  std::mt19937_64 random(7);
  const std::string data = RandomBytes(64 * 300 + 1, 2);
  for (int round = 0; round < 200; ++round) {
    Sha256State start;
    for (std::uint32_t& word : start) word = static_cast<std::uint32_t>(random());
    const std::size_t blocks = 1 + random() % 300;
    // Odd offsets check that the input needs no alignment.
    const auto* input = reinterpret_cast<const std::uint8_t*>(data.data()) + round % 2;

    Sha256State portable = start;
    Sha256State accelerated = start;
    CompressSha256BlocksPortable(portable, input, blocks);
    CompressSha256BlocksAccelerated(accelerated, input, blocks);
    ASSERT_EQ(accelerated, portable) << "round " << round << ", " << blocks << " blocks";
  }
}

// Digests of the given files computed by the system's sha256sum, in the same order.
std::vector<std::string> Sha256sumOf(const std::vector<fs::path>& files) {
  std::string command = "sha256sum";
  for (const fs::path& file : files) command += " '" + file.string() + "'";
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return {};
  std::string output;
  char buffer[4096];
  while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
    output.append(buffer, got);
  }
  std::vector<std::string> digests;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) digests.push_back(line.substr(0, 64));
  return digests;
}

TEST(FileSha256Test, AgreesWithSha256sumAcrossChunkAndBlockBoundaries) {
  if (std::system("command -v sha256sum >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "sha256sum is not installed";
  }
  TempDir dir;
  const std::vector<std::size_t> sizes = {0,        1,         55,        56,       63,
                                          64,       65,        4096,      kMiB - 1, kMiB,
                                          kMiB + 1, kMiB + 63, kMiB + 64, 2 * kMiB, 3 * kMiB + 17};
  std::vector<fs::path> files;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    files.push_back(dir / std::format("file-{}.bin", sizes[i]));
    WriteFile(files.back(), RandomBytes(sizes[i], 100 + i));
  }
  const std::vector<std::string> expected = Sha256sumOf(files);
  ASSERT_EQ(expected.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto digest = FileSha256(files[i], {});
    ASSERT_TRUE(digest.has_value()) << digest.error();
    EXPECT_EQ(*digest, expected[i]) << sizes[i] << " bytes";
  }
}

TEST(FileSha256Test, AsksThePredicateBeforeEveryRead) {
  TempDir dir;
  struct Case {
    std::size_t size;
    int expectedCalls;
  };
  // One read per full chunk, plus the read that finds the end of the file.
  for (const Case& c : {Case{0, 1}, Case{10, 1}, Case{kMiB - 1, 1}, Case{kMiB, 2},
                        Case{kMiB + 1, 2}, Case{2 * kMiB, 3}}) {
    const fs::path file = dir / "data.bin";
    const std::string content = RandomBytes(c.size, c.size);
    WriteFile(file, content);
    int calls = 0;
    const auto digest = FileSha256(file, [&] {
      ++calls;
      return false;
    });
    ASSERT_TRUE(digest.has_value()) << digest.error();
    EXPECT_EQ(*digest, Sha256Hex(content)) << c.size << " bytes";
    EXPECT_EQ(calls, c.expectedCalls) << c.size << " bytes";
  }
  EXPECT_EQ(FileSha256(dir / "data.bin", {}).value(),
            FileSha256(dir / "data.bin", nullptr).value());
}

TEST(FileSha256Test, StopsWhenCancelled) {
  TempDir dir;
  WriteFile(dir / "tiny", "x");
  int calls = 0;
  auto result = FileSha256(dir / "tiny", [&] { return ++calls >= 1; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "cancelled");
  EXPECT_EQ(calls, 1);

  // Cancelled after the first chunk: the second chunk is never read.
  WriteFile(dir / "large", RandomBytes(3 * kMiB, 3));
  calls = 0;
  result = FileSha256(dir / "large", [&] { return ++calls >= 2; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "cancelled");
  EXPECT_EQ(calls, 2);
}

TEST(FileSha256Test, ReportsWhatCannotBeRead) {
  TempDir dir;
  const fs::path missing = dir / "no such file";
  auto result = FileSha256(missing, [] { return false; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "can't open " + missing.string());

  fs::create_directory(dir / "folder");
  int calls = 0;
  result = FileSha256(dir / "folder", [&] {
    ++calls;
    return false;
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "can't open " + (dir / "folder").string());
  EXPECT_EQ(calls, 0);
}

TEST(FileSha256Test, ReportsAHardReadError) {
  // Reading this process's memory from offset 0 opens fine and then fails with EIO.
  const fs::path memory = "/proc/self/mem";
  if (!fs::exists(memory)) GTEST_SKIP() << "no /proc/self/mem to produce a read error with";
  const auto result = FileSha256(memory, {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "read error on /proc/self/mem");
}

}  // namespace
}  // namespace emberdale::core
