#include "crc/crc32.h"

#include <unistd.h>

#include <cerrno>
#include <memory>

#include "crc/crc32_kernels.h"

#if defined(__aarch64__)
#include <sys/auxv.h>
#ifndef HWCAP_CRC32
#define HWCAP_CRC32 (1 << 7)  // the kernel's bit for the CRC32 instructions
#endif
#endif

namespace kuvo {
std::vector<Crc32Kernel> available_crc32_kernels() {
  std::vector<Crc32Kernel> kernels{{"slice16", crc32_slice16}};
#if defined(__x86_64__)
  // Safe before static constructors have run, which a static build may need.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1")) {
    kernels.push_back({"x86_pclmul", crc32_x86_pclmul});
    // libgcc reports avx2 and avx512f only when the system saves the wider registers.
    if (__builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2")) {
      kernels.push_back({"x86_vpclmul_avx2", crc32_x86_vpclmul_avx2});
    }
    if (__builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f")) {
      kernels.push_back({"x86_vpclmul", crc32_x86_vpclmul});
    }
  }
#elif defined(__aarch64__)
  if (getauxval(AT_HWCAP) & HWCAP_CRC32) kernels.push_back({"arm_crc32", crc32_arm});
#endif
  return kernels;
}

namespace {

// Picked once per run: the CPU does not change under a running process.
Crc32Function chosen_kernel() {
  static const Crc32Function chosen = available_crc32_kernels().back().update;
  return chosen;
}

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return chosen_kernel()(crc, data, size);
}

std::optional<std::uint32_t> crc32_of_descriptor_with(int fd, std::size_t buffer_size,
                                                      Crc32Function update) {
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(buffer_size);
  std::uint32_t crc = 0;
  for (;;) {
    ssize_t got = read(fd, buffer.get(), buffer_size);
    if (got == 0) return crc;
    if (got < 0) {
      if (errno == EINTR) continue;
      // A partial checksum must never pass for the file's: the caller reports
      // the file as unreadable instead.
      return std::nullopt;
    }
    // A short read is not the end: pipes and slow devices deliver in pieces.
    crc = update(crc, buffer.get(), static_cast<std::size_t>(got));
  }
}

std::optional<std::uint32_t> crc32_of_descriptor(int fd) {
  return crc32_of_descriptor_with(fd, kCrc32ReadBufferSize, chosen_kernel());
}

}  // namespace kuvo
