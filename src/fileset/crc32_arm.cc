// CRC-32 with the ARMv8 CRC32 instructions, which compute exactly this
// checksum's register step eight bytes at a time.
#include "fileset/crc32_kernels.h"

#if defined(__aarch64__)

#include <arm_acle.h>

#include <bit>
#include <cstring>

namespace kuvo {

__attribute__((target("+crc"))) std::uint32_t crc32_arm(std::uint32_t crc,
                                                        const unsigned char* data,
                                                        std::size_t size) {
  std::uint32_t state = ~crc;
  for (; size >= 8; data += 8, size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, data, sizeof word);
    // The instruction takes the first byte in the lowest bits.
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    state = __crc32d(state, word);
  }
  for (; size > 0; ++data, --size) state = __crc32b(state, *data);
  return ~state;
}

}  // namespace kuvo

#endif
