// Fuzzes the CRC-32 kernels with uploaded bytes. Every kernel this CPU runs
// must agree with the bytewise reference at every start alignment, continued
// from any earlier checksum and split at any point, without reading a byte
// outside the data (the data lies at the very end of its own allocation, so
// the address sanitizer sees any read past it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "crc/crc32.h"
#include "crc/crc32_reference.h"
#include "crc/crc32_kernels.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<kuvo::Crc32Kernel> kernels = kuvo::available_crc32_kernels();
  if (size < 6) return 0;
  // The first bytes choose the alignment, the split point and the checksum to
  // continue; the rest is the data.
  const std::size_t alignment = data[0] % 64;
  std::uint32_t start;
  std::memcpy(&start, data + 1, sizeof start);
  const std::uint8_t split_byte = data[5];
  data += 6;
  size -= 6;
  const std::size_t split = size == 0 ? 0 : split_byte * size / 256;

  std::unique_ptr<unsigned char[]> copy(new unsigned char[alignment + size]);
  unsigned char* bytes = copy.get() + alignment;
  if (size > 0) std::memcpy(bytes, data, size);

  const std::uint32_t expected = kuvo::crc32_bytewise(start, bytes, size);
  for (const kuvo::Crc32Kernel& kernel : kernels) {
    if (kernel.update(start, bytes, size) != expected) std::abort();
    const std::uint32_t first = kernel.update(start, bytes, split);
    if (kernel.update(first, bytes + split, size - split) != expected) std::abort();
  }
  if (kuvo::crc32_update(start, bytes, size) != expected) std::abort();
  return 0;
}
