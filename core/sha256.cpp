#include "core/sha256.h"

#include <algorithm>
#include <format>
#include <memory>

#include "core/input_file.h"
#include "core/paths.h"
#include "core/sha256_compress.h"

namespace emberdale::core {
namespace {

// Files are hashed in chunks of this size, read into one buffer allocated once per file.
constexpr std::size_t kFileChunkSize = 1024 * 1024;

// Padding starts with this byte; the length field takes the last 8 bytes of the final block.
constexpr std::uint8_t kPaddingStart = 0x80;
constexpr std::size_t kLengthFieldOffset = 56;

constexpr Sha256State kInitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

Sha256::Sha256() : state_(kInitialState) {}

void Sha256::Update(std::span<const std::byte> data) {
  Update(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

void Sha256::Update(std::string_view data) {
  Update(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

void Sha256::Update(const std::uint8_t* data, std::size_t size) {
  totalLength_ += size;
  if (blockLength_ > 0) {
    const std::size_t take = std::min<std::size_t>(kSha256BlockSize - blockLength_, size);
    std::copy_n(data, take, block_.begin() + blockLength_);
    blockLength_ += take;
    data += take;
    size -= take;
    if (blockLength_ < kSha256BlockSize) return;
    Compress(block_.data());
    blockLength_ = 0;
  }
  const std::size_t wholeBlocks = size / kSha256BlockSize;
  if (wholeBlocks > 0) CompressSha256Blocks(state_, data, wholeBlocks);
  data += wholeBlocks * kSha256BlockSize;
  size -= wholeBlocks * kSha256BlockSize;
  std::copy_n(data, size, block_.begin());
  blockLength_ = size;
}

std::array<std::uint8_t, 32> Sha256::Finish() {
  const std::uint64_t bitLength = totalLength_ * 8;
  block_[blockLength_++] = kPaddingStart;
  if (blockLength_ > kLengthFieldOffset) {
    std::fill(block_.begin() + blockLength_, block_.end(), 0);
    Compress(block_.data());
    blockLength_ = 0;
  }
  std::fill(block_.begin() + blockLength_, block_.begin() + kLengthFieldOffset, 0);
  for (int i = 0; i < 8; ++i) {
    block_[kLengthFieldOffset + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
  }
  Compress(block_.data());

  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < state_.size(); ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

std::string Sha256::FinishHex() {
  std::string hex;
  hex.reserve(64);
  for (const std::uint8_t byte : Finish()) std::format_to(std::back_inserter(hex), "{:02x}", byte);
  return hex;
}

void Sha256::Compress(const std::uint8_t* block) {
  CompressSha256Blocks(state_, block, 1);
}

std::string Sha256Hex(std::string_view data) {
  Sha256 hasher;
  hasher.Update(data);
  return hasher.FinishHex();
}

std::expected<std::string, std::string> FileSha256(const std::filesystem::path& file,
                                                   const std::function<bool()>& cancelled) {
  InputFile in;
  if (!in.Open(ExtendedLengthPath(file))) {
    return std::unexpected(std::format("can't open {}", PathToUtf8(file)));
  }

  const auto buffer = std::make_unique<char[]>(kFileChunkSize);
  Sha256 hasher;
  while (true) {
    if (cancelled && cancelled()) return std::unexpected("cancelled");
    const std::int64_t got = in.Read(buffer.get(), kFileChunkSize);
    if (got < 0) return std::unexpected(std::format("read error on {}", PathToUtf8(file)));
    hasher.Update(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    if (static_cast<std::size_t>(got) < kFileChunkSize) break;
  }
  return hasher.FinishHex();
}

}  // namespace emberdale::core
