// The SHA-256 block function (FIPS 180-4): folds whole 64-byte blocks into the eight-word running
// hash value. A portable implementation is always present; on x86-64 processors with the SHA
// extensions an accelerated one is chosen once, at first use. Sha256 calls
// CompressSha256Blocks; the two implementations are exposed so that they can be checked against
// each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace emberdale::core {

inline constexpr std::size_t kSha256BlockSize = 64;

using Sha256State = std::array<std::uint32_t, 8>;

// Processes `count` consecutive 64-byte blocks starting at `blocks` into `state`, with the
// fastest implementation this processor supports. `blocks` needs no particular alignment.
void CompressSha256Blocks(Sha256State& state, const std::uint8_t* blocks, std::size_t count);

// The plain C++ implementation, available everywhere.
void CompressSha256BlocksPortable(Sha256State& state, const std::uint8_t* blocks,
                                  std::size_t count);

// Whether this build and processor have the accelerated implementation (x86 SHA extensions
// with SSSE3 and SSE4.1).
[[nodiscard]] bool Sha256AccelerationAvailable();

// The accelerated implementation. Call it only when Sha256AccelerationAvailable() is true; in a
// build without it, it falls back to the portable implementation.
void CompressSha256BlocksAccelerated(Sha256State& state, const std::uint8_t* blocks,
                                     std::size_t count);

}  // namespace emberdale::core
