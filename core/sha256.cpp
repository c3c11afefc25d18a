#include "core/sha256.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <format>
#include <memory>
#include <optional>
#include <utility>

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

// An open file descriptor, closed when the object dies.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd& operator=(OwnedFd&&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens a regular file (or anything else readable that is not a directory) for reading.
OwnedFd OpenForReading(const std::filesystem::path& file) {
  OwnedFd fd(::open(ExtendedLengthPath(file).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode)) return OwnedFd(-1);
  return fd;
}

// Reads until `buffer` is full or the end of the file is reached, as a stream read does.
// Returns the number of bytes read (less than the buffer only at the end of the file), or
// nothing on a read error.
std::optional<std::size_t> ReadFull(int fd, std::span<std::byte> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

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
  const OwnedFd fd = OpenForReading(file);
  if (!fd.valid()) return std::unexpected(std::format("can't open {}", PathToUtf8(file)));

  const auto buffer = std::make_unique<std::byte[]>(kFileChunkSize);
  const std::span<std::byte> chunk(buffer.get(), kFileChunkSize);
  Sha256 hasher;
  while (true) {
    if (cancelled && cancelled()) return std::unexpected("cancelled");
    const std::optional<std::size_t> got = ReadFull(fd.get(), chunk);
    if (!got) return std::unexpected(std::format("read error on {}", PathToUtf8(file)));
    hasher.Update(chunk.first(*got));
    if (*got < chunk.size()) break;
  }
  return hasher.FinishHex();
}

}  // namespace emberdale::core
