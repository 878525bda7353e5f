// The plainest CRC-32, one table lookup per byte: the reference that tests,
// benchmarks and fuzz targets hold kuvo's faster paths against.
#pragma once

#include "crc/crc32_kernels.h"

namespace kuvo {

inline constexpr auto kReferenceCrc32Table = crc32_math::make_tables<1>()[0];
static_assert(kReferenceCrc32Table[1] == 0x77073096u && kReferenceCrc32Table[255] == 0x2D02EF8Du);

// Continues `crc` (a finished CRC-32, 0 for none yet) over `size` bytes.
inline std::uint32_t crc32_bytewise(std::uint32_t crc, const unsigned char* data,
                                    std::size_t size) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = kReferenceCrc32Table[(crc ^ data[i]) & 0xFF] ^ crc >> 8;
  return ~crc;
}

}  // namespace kuvo
