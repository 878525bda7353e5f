#include "crc/crc32_kernels.h"

namespace kuvo {
namespace {

// 16 KiB of tables: small enough to stay in the first-level cache next to the data.
constexpr auto kTables = crc32_math::make_tables<16>();

// Assembled from bytes so the result is the same on every byte order; compilers
// turn it into one load.
inline std::uint32_t load_le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

std::uint32_t crc32_slice16(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  std::uint32_t state = ~crc;
  // Each of the 16 bytes is looked up in the table that carries it past the
  // bytes after it; the register meets the first four.
  for (; size >= 16; data += 16, size -= 16) {
    state ^= load_le32(data);
    state = kTables[15][state & 0xFF] ^ kTables[14][(state >> 8) & 0xFF] ^
            kTables[13][(state >> 16) & 0xFF] ^ kTables[12][state >> 24] ^ kTables[11][data[4]] ^
            kTables[10][data[5]] ^ kTables[9][data[6]] ^ kTables[8][data[7]] ^ kTables[7][data[8]] ^
            kTables[6][data[9]] ^ kTables[5][data[10]] ^ kTables[4][data[11]] ^
            kTables[3][data[12]] ^ kTables[2][data[13]] ^ kTables[1][data[14]] ^
            kTables[0][data[15]];
  }
  for (; size > 0; ++data, --size) state = kTables[0][(state ^ *data) & 0xFF] ^ (state >> 8);
  return ~state;
}

}  // namespace kuvo
