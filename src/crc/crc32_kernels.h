// The CRC-32 kernels behind crc32_update, and the polynomial arithmetic that
// derives their tables and folding constants at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kuvo {

// A kernel continues a finished CRC-32 (0 for none yet) over `size` bytes and
// returns the finished CRC-32, exactly as crc32_bytewise does. Kernels do no I/O.
using Crc32Function = std::uint32_t (*)(std::uint32_t crc, const unsigned char* data,
                                        std::size_t size);

struct Crc32Kernel {
  const char* name;
  Crc32Function update;
};

// Every kernel this CPU can run, the portable one first and the one
// crc32_update uses last; never empty, cannot fail.
std::vector<Crc32Kernel> available_crc32_kernels();

// The read buffer of crc32_of_descriptor, chosen by the figures of
// bench/crc32_bench.cc: on a page-cached file 256 KiB and 512 KiB cost about 3%
// of a plain read's time less than 64 KiB (fewer system calls); 1 MiB gives
// part of it back. Of the two, 256 KiB also leaves room in the 512 KiB second-level
// caches of many CPUs, where the kernel's copy and the checksum meet.
inline constexpr std::size_t kCrc32ReadBufferSize = 256 * 1024;

// crc32_of_descriptor with a read buffer of `buffer_size` bytes (at least 1)
// and the kernel `update`, so benchmarks can weigh both; fails as
// crc32_of_descriptor does.
std::optional<std::uint32_t> crc32_of_descriptor_with(int fd, std::size_t buffer_size,
                                                      Crc32Function update);

// Slicing-by-16: sixteen table lookups per 16 bytes; runs on every CPU.
std::uint32_t crc32_slice16(std::uint32_t crc, const unsigned char* data, std::size_t size);

#if defined(__x86_64__)
// Folding with PCLMULQDQ on 128-bit registers; only for CPUs with pclmul and SSE4.1.
std::uint32_t crc32_x86_pclmul(std::uint32_t crc, const unsigned char* data, std::size_t size);
// Folding with VPCLMULQDQ on 256-bit registers; only for CPUs with vpclmulqdq,
// avx2 and pclmul.
std::uint32_t crc32_x86_vpclmul_avx2(std::uint32_t crc, const unsigned char* data,
                                     std::size_t size);
// Folding with VPCLMULQDQ on 512-bit registers; only for CPUs with vpclmulqdq,
// avx512f and pclmul.
std::uint32_t crc32_x86_vpclmul(std::uint32_t crc, const unsigned char* data, std::size_t size);
#endif

#if defined(__aarch64__)
// The ARMv8 CRC32 instructions; only for CPUs whose hardware capabilities list crc32.
std::uint32_t crc32_arm(std::uint32_t crc, const unsigned char* data, std::size_t size);
#endif

// Polynomials over GF(2) modulo P, the CRC-32 generator, in the reflected
// layout the checksum register uses: bit i holds the coefficient of x^(31-i).
namespace crc32_math {

inline constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

// Multiplies `value` by x modulo P: the one step the whole checksum is built from.
constexpr std::uint32_t times_x(std::uint32_t value) {
  return (value & 1) ? (value >> 1) ^ kReflectedPolynomial : value >> 1;
}

// x^n mod P.
constexpr std::uint32_t x_power(unsigned n) {
  std::uint32_t value = 0x80000000u;  // x^0
  for (unsigned i = 0; i < n; ++i) value = times_x(value);
  return value;
}

// The 33-bit multiplier x^n mod P, shifted left by one. A carry-less multiply
// of a 64-bit reflected operand A by it yields a 128-bit reflected value
// congruent to A * x^(n+32) modulo P; the shift makes up for the reflected
// 127-bit product landing one bit low. So, to carry a 128-bit block d bits
// forward, its first (higher) 64 bits take fold_constant(d + 32) and its last
// 64 bits fold_constant(d - 32).
constexpr std::uint64_t fold_constant(unsigned n) { return std::uint64_t{x_power(n)} << 1; }

// The two multipliers that carry a 128-bit block `distance` bits forward.
struct FoldPair {
  std::uint64_t first;  // for its first 64 bits: x^(distance+32)
  std::uint64_t last;   // for its last 64 bits: x^(distance-32)
};

constexpr FoldPair fold_pair(unsigned distance) {
  return {fold_constant(distance + 32), fold_constant(distance - 32)};
}

// tables[k][b] is the checksum register after byte b followed by k zero bytes,
// from a register of 0; tables[0] is the bytewise table.
template <std::size_t N>
constexpr std::array<std::array<std::uint32_t, 256>, N> make_tables() {
  std::array<std::array<std::uint32_t, 256>, N> tables{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t value = b;
    for (int bit = 0; bit < 8; ++bit) value = times_x(value);
    tables[0][b] = value;
  }
  for (std::size_t k = 1; k < N; ++k) {
    for (std::size_t b = 0; b < 256; ++b) {
      std::uint32_t prev = tables[k - 1][b];
      tables[k][b] = (prev >> 8) ^ tables[0][prev & 0xFF];
    }
  }
  return tables;
}

}  // namespace crc32_math
}  // namespace kuvo
