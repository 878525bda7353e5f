// CRC-32 with the ARMv8 CRC32 instructions, which compute exactly this
// checksum's register step, eight bytes at a time.
#include "crc/crc32_kernels.h"

#if defined(__aarch64__)

#include <bit>
#include <cstring>

#if defined(__clang__)
// clang names the extension without a plus and offers the instructions as builtins.
#define KUVO_CRC32_TARGET __attribute__((target("crc")))
#define KUVO_CRC32_BYTE __builtin_arm_crc32b
#define KUVO_CRC32_WORD __builtin_arm_crc32d
#else
#include <arm_acle.h>
#define KUVO_CRC32_TARGET __attribute__((target("+crc")))
#define KUVO_CRC32_BYTE __crc32b
#define KUVO_CRC32_WORD __crc32d
#endif

namespace kuvo {

KUVO_CRC32_TARGET std::uint32_t crc32_arm(std::uint32_t crc, const unsigned char* data,
                                          std::size_t size) {
  std::uint32_t state = ~crc;
  for (; size >= 8; data += 8, size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, data, sizeof word);
    // The instruction takes the first byte in the lowest bits.
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    state = KUVO_CRC32_WORD(state, word);
  }
  for (; size > 0; ++data, --size) state = KUVO_CRC32_BYTE(state, *data);
  return ~state;
}

}  // namespace kuvo

#endif
