// CRC-32 by folding: a carry-less multiply by x^k mod P moves a block of the
// message k bits towards its end without changing the remainder, so 64 bytes
// are carried along in four independent registers and only the last block
// meets the table path.
#include "crc/crc32_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#define KUVO_PCLMUL __attribute__((target("pclmul,sse4.1")))

namespace kuvo {
namespace {

// Four blocks in flight: each moves over the other three and itself.
constexpr crc32_math::FoldPair kFold512 = crc32_math::fold_pair(512);  // x^544, x^480
// One block onto the next.
constexpr crc32_math::FoldPair kFold128 = crc32_math::fold_pair(128);  // x^160, x^96

KUVO_PCLMUL inline __m128i constants(crc32_math::FoldPair pair) {
  return _mm_set_epi64x(static_cast<long long>(pair.last), static_cast<long long>(pair.first));
}

KUVO_PCLMUL inline __m128i load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// `block` carried forward by the distance `multipliers` stand for, plus `next`.
KUVO_PCLMUL inline __m128i fold(__m128i block, __m128i multipliers, __m128i next) {
  __m128i first = _mm_clmulepi64_si128(block, multipliers, 0x00);
  __m128i last = _mm_clmulepi64_si128(block, multipliers, 0x11);
  return _mm_xor_si128(_mm_xor_si128(first, last), next);
}

}  // namespace

KUVO_PCLMUL std::uint32_t crc32_x86_pclmul(std::uint32_t crc, const unsigned char* data,
                                           std::size_t size) {
  if (size < 64) return crc32_slice16(crc, data, size);
  __m128i x0 = load(data);
  __m128i x1 = load(data + 16);
  __m128i x2 = load(data + 32);
  __m128i x3 = load(data + 48);
  // The register's starting value acts on the message's first 32 bits.
  x0 = _mm_xor_si128(x0, _mm_cvtsi32_si128(static_cast<int>(~crc)));
  data += 64;
  size -= 64;

  const __m128i by512 = constants(kFold512);
  for (; size >= 64; data += 64, size -= 64) {
    x0 = fold(x0, by512, load(data));
    x1 = fold(x1, by512, load(data + 16));
    x2 = fold(x2, by512, load(data + 32));
    x3 = fold(x3, by512, load(data + 48));
  }
  const __m128i by128 = constants(kFold128);
  __m128i x = fold(fold(fold(x0, by128, x1), by128, x2), by128, x3);
  for (; size >= 16; data += 16, size -= 16) x = fold(x, by128, load(data));

  // What is left, the folded block and the tail, is an ordinary message whose
  // register starts at 0 (the finished value ~0).
  unsigned char rest[32];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x);
  std::memcpy(rest + 16, data, size);
  return crc32_slice16(~std::uint32_t{0}, rest, 16 + size);
}

}  // namespace kuvo

#endif
