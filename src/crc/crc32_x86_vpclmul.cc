// CRC-32 by folding, as in the 128-bit kernel, four 512-bit registers at a
// time: 256 bytes per round.
#include "crc/crc32_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#define KUVO_VPCLMUL __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.1")))

namespace kuvo {
namespace {

// Four registers in flight: each moves over the other three and itself.
constexpr crc32_math::FoldPair kFold2048 = crc32_math::fold_pair(2048);  // x^2080, x^2016
// One register onto the next.
constexpr crc32_math::FoldPair kFold512 = crc32_math::fold_pair(512);  // x^544, x^480

KUVO_VPCLMUL inline __m512i constants(crc32_math::FoldPair pair) {
  auto first = static_cast<long long>(pair.first);
  auto last = static_cast<long long>(pair.last);
  return _mm512_set_epi64(last, first, last, first, last, first, last, first);
}

KUVO_VPCLMUL inline __m512i load(const unsigned char* p) { return _mm512_loadu_si512(p); }

// Each 128-bit lane of `block` carried forward by the distance `multipliers`
// stand for, plus `next`.
KUVO_VPCLMUL inline __m512i fold(__m512i block, __m512i multipliers, __m512i next) {
  __m512i first = _mm512_clmulepi64_epi128(block, multipliers, 0x00);
  __m512i last = _mm512_clmulepi64_epi128(block, multipliers, 0x11);
  return _mm512_ternarylogic_epi64(first, last, next, 0x96);  // first ^ last ^ next
}

}  // namespace

KUVO_VPCLMUL std::uint32_t crc32_x86_vpclmul(std::uint32_t crc, const unsigned char* data,
                                             std::size_t size) {
  if (size < 256) return crc32_x86_pclmul(crc, data, size);
  __m512i z0 = load(data);
  __m512i z1 = load(data + 64);
  __m512i z2 = load(data + 128);
  __m512i z3 = load(data + 192);
  // The register's starting value acts on the message's first 32 bits.
  z0 = _mm512_xor_si512(z0, _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
  data += 256;
  size -= 256;

  const __m512i by2048 = constants(kFold2048);
  for (; size >= 256; data += 256, size -= 256) {
    z0 = fold(z0, by2048, load(data));
    z1 = fold(z1, by2048, load(data + 64));
    z2 = fold(z2, by2048, load(data + 128));
    z3 = fold(z3, by2048, load(data + 192));
  }
  const __m512i by512 = constants(kFold512);
  __m512i z = fold(fold(fold(z0, by512, z1), by512, z2), by512, z3);
  for (; size >= 64; data += 64, size -= 64) z = fold(z, by512, load(data));

  // What is left, the folded 64 bytes and the tail, is an ordinary message
  // whose register starts at 0 (the finished value ~0).
  unsigned char rest[128];
  _mm512_storeu_si512(rest, z);
  std::memcpy(rest + 64, data, size);
  return crc32_x86_pclmul(~std::uint32_t{0}, rest, 64 + size);
}

}  // namespace kuvo

#endif
