// SHA-256 (FIPS 180-4) of byte strings and files, written here without any cryptographic
// library. Digests are exchanged as 64 lower-case hexadecimal digits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace emberdale::core {

// Incremental hasher for one message. After Finish or FinishHex the object is spent and must not
// be used again.
class Sha256 {
 public:
  // Starts an empty message.
  Sha256();

  // Appends bytes to the message; both overloads behave identically.
  void Update(std::span<const std::byte> data);
  void Update(std::string_view data);

  // Pads the message and returns the digest, big-endian byte order.
  [[nodiscard]] std::array<std::uint8_t, 32> Finish();
  // Finish() as 64 lower-case hexadecimal digits.
  [[nodiscard]] std::string FinishHex();

 private:
  void Update(const std::uint8_t* data, std::size_t size);
  // Processes one 64-byte block into the state.
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> block_{};
  std::uint64_t blockLength_ = 0;
  std::uint64_t totalLength_ = 0;
};

// The hex digest of `data` in one call.
[[nodiscard]] std::string Sha256Hex(std::string_view data);

// The hex digest of the file's contents, read in 1 MiB chunks. `cancelled` (when non-empty) is
// asked before every read, the first included. Errors: "can't open {path}" (missing, a
// directory, unreadable), "cancelled", "read error on {path}".
[[nodiscard]] std::expected<std::string, std::string> FileSha256(
    const std::filesystem::path& file, const std::function<bool()>& cancelled);

}  // namespace emberdale::core
