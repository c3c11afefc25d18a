#include "core/sha256_compress.h"

#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define EMBERDALE_SHA256_X86 1
#else
#define EMBERDALE_SHA256_X86 0
#endif

namespace emberdale::core {
namespace {

// The 64 round constants: the first 32 bits of the fractional parts of the cube roots of the
// first 64 primes.
alignas(16) constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

std::uint32_t LoadBigEndian32(const std::uint8_t* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

void CompressOnePortable(Sha256State& state, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian32(block + 4 * t);
  for (int t = 16; t < 64; ++t) {
    const std::uint32_t s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const std::uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    const std::uint32_t bigSigma1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
    const std::uint32_t choose = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + bigSigma1 + choose + K[t] + w[t];
    const std::uint32_t bigSigma0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = bigSigma0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#if EMBERDALE_SHA256_X86

// The SHA extensions keep the working variables as two vectors, ABEF and CDGH (most significant
// lane first), and do two rounds per sha256rnds2. Each loop step below does four rounds and, in
// the same step, advances the message schedule held in four vectors of four words each.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressShaNi(Sha256State& state,
                                                               const std::uint8_t* blocks,
                                                               std::size_t count) {
  // Byte order of each 32-bit word reversed: the message words are big-endian.
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; count > 0; --count, blocks += kSha256BlockSize) {
    const __m128i abefSaved = abef;
    const __m128i cdghSaved = cdgh;
    __m128i msg[4];
#pragma clang loop unroll(full)
    for (int quad = 0; quad < 16; ++quad) {
      __m128i& current = msg[quad & 3];
      if (quad < 4) {
        current = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * quad)), byteSwap);
      }
      __m128i wk =
          _mm_add_epi32(current, _mm_load_si128(reinterpret_cast<const __m128i*>(&K[4 * quad])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      __m128i& previous = msg[(quad + 3) & 3];
      if (quad >= 3 && quad < 15) {
        // Finish the words of the next quad: add W[t-7] and sigma1 of W[t-2].
        __m128i& next = msg[(quad + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, previous, 4));
        next = _mm_sha256msg2_epu32(next, current);
      }
      wk = _mm_shuffle_epi32(wk, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
      if (quad >= 1 && quad < 13) {
        // Start the words three quads ahead: W[t-16] plus sigma0 of W[t-15].
        previous = _mm_sha256msg1_epu32(previous, current);
      }
    }
    abef = _mm_add_epi32(abef, abefSaved);
    cdgh = _mm_add_epi32(cdgh, cdghSaved);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

bool DetectShaExtensions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1") &&
         __builtin_cpu_supports("ssse3");
}

#endif  // EMBERDALE_SHA256_X86

using CompressFunction = void (*)(Sha256State&, const std::uint8_t*, std::size_t);

CompressFunction ChooseCompressFunction() {
  return Sha256AccelerationAvailable() ? CompressSha256BlocksAccelerated
                                       : CompressSha256BlocksPortable;
}

}  // namespace

void CompressSha256BlocksPortable(Sha256State& state, const std::uint8_t* blocks,
                                  std::size_t count) {
  for (; count > 0; --count, blocks += kSha256BlockSize) CompressOnePortable(state, blocks);
}

bool Sha256AccelerationAvailable() {
#if EMBERDALE_SHA256_X86
  static const bool available = DetectShaExtensions();
  return available;
#else
  return false;
#endif
}

void CompressSha256BlocksAccelerated(Sha256State& state, const std::uint8_t* blocks,
                                     std::size_t count) {
#if EMBERDALE_SHA256_X86
  if (Sha256AccelerationAvailable()) {
    CompressShaNi(state, blocks, count);
    return;
  }
#endif
  CompressSha256BlocksPortable(state, blocks, count);
}

void CompressSha256Blocks(Sha256State& state, const std::uint8_t* blocks, std::size_t count) {
  static const CompressFunction compress = ChooseCompressFunction();
  compress(state, blocks, count);
}

}  // namespace emberdale::core
