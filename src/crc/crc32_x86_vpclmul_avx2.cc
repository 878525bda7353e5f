// CRC-32 by folding, as in the 128-bit kernel, four 256-bit registers at a
// time: 128 bytes per round, for CPUs that have VPCLMULQDQ but not AVX-512.
#include "crc/crc32_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#define KUVO_VPCLMUL_AVX2 __attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1")))

namespace kuvo {
namespace {

// Four registers in flight: each moves over the other three and itself.
constexpr crc32_math::FoldPair kFold1024 = crc32_math::fold_pair(1024);  // x^1056, x^992
// One register onto the next.
constexpr crc32_math::FoldPair kFold256 = crc32_math::fold_pair(256);  // x^288, x^224

KUVO_VPCLMUL_AVX2 inline __m256i constants(crc32_math::FoldPair pair) {
  auto first = static_cast<long long>(pair.first);
  auto last = static_cast<long long>(pair.last);
  return _mm256_set_epi64x(last, first, last, first);
}

KUVO_VPCLMUL_AVX2 inline __m256i load(const unsigned char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Each 128-bit lane of `block` carried forward by the distance `multipliers`
// stand for, plus `next`.
KUVO_VPCLMUL_AVX2 inline __m256i fold(__m256i block, __m256i multipliers, __m256i next) {
  __m256i first = _mm256_clmulepi64_epi128(block, multipliers, 0x00);
  __m256i last = _mm256_clmulepi64_epi128(block, multipliers, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(first, last), next);
}

}  // namespace

KUVO_VPCLMUL_AVX2 std::uint32_t crc32_x86_vpclmul_avx2(std::uint32_t crc, const unsigned char* data,
                                                       std::size_t size) {
  if (size < 128) return crc32_x86_pclmul(crc, data, size);
  __m256i y0 = load(data);
  __m256i y1 = load(data + 32);
  __m256i y2 = load(data + 64);
  __m256i y3 = load(data + 96);
  // The register's starting value acts on the message's first 32 bits.
  y0 = _mm256_xor_si256(y0, _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(~crc))));
  data += 128;
  size -= 128;

  const __m256i by1024 = constants(kFold1024);
  for (; size >= 128; data += 128, size -= 128) {
    y0 = fold(y0, by1024, load(data));
    y1 = fold(y1, by1024, load(data + 32));
    y2 = fold(y2, by1024, load(data + 64));
    y3 = fold(y3, by1024, load(data + 96));
  }
  const __m256i by256 = constants(kFold256);
  __m256i y = fold(fold(fold(y0, by256, y1), by256, y2), by256, y3);
  for (; size >= 32; data += 32, size -= 32) y = fold(y, by256, load(data));

  // What is left, the folded 32 bytes and the tail, is an ordinary message
  // whose register starts at 0 (the finished value ~0).
  unsigned char rest[64];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(rest), y);
  std::memcpy(rest + 32, data, size);
  return crc32_x86_pclmul(~std::uint32_t{0}, rest, 32 + size);
}

}  // namespace kuvo

#endif
