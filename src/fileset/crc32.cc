#include "fileset/crc32.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kuvo {
namespace {

constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? (value >> 1) ^ kReflectedPolynomial : value >> 1;
    }
    table[i] = value;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = make_table();
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du);

constexpr std::size_t kReadBufferSize = 65536;

}  // namespace

const std::array<std::uint32_t, 256> crc32_table = kTable;

std::uint32_t crc32_bytewise(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return crc32_bytewise(crc, data, size);
}

std::optional<std::uint32_t> crc32_of_descriptor(int fd) {
  std::vector<unsigned char> buffer(kReadBufferSize);
  std::uint32_t crc = 0;
  for (;;) {
    ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got == 0) return crc;
    if (got < 0) {
      if (errno == EINTR) continue;
      // A partial checksum must never pass for the file's: the caller reports
      // the file as unreadable instead.
      return std::nullopt;
    }
    crc = crc32_update(crc, buffer.data(), static_cast<std::size_t>(got));
  }
}

}  // namespace kuvo
