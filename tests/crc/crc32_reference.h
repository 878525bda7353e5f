// The plainest CRC-32, one table lookup per byte: the reference that the
// tests, benchmarks and fuzz targets hold every faster path of kuvo against.
// kuvo itself never needs it, so it lives here rather than in the library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crc/crc32_kernels.h"

namespace kuvo {

inline constexpr std::array<std::uint32_t, 256> kReferenceCrc32Table =
    crc32_math::make_tables<1>()[0];
static_assert(kReferenceCrc32Table[0] == 0 && kReferenceCrc32Table[1] == 0x77073096u &&
              kReferenceCrc32Table[255] == 0x2D02EF8Du);

// Continues `crc` (a finished CRC-32, 0 for none yet) over `size` bytes.
// Cannot fail.
inline std::uint32_t crc32_bytewise(std::uint32_t crc, const unsigned char* data,
                                    std::size_t size) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc = kReferenceCrc32Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

}  // namespace kuvo
