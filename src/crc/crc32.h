// CRC-32/ISO-HDLC (the checksum of zip, gzip, PNG and SFV files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kuvo {

// Continues `crc` over `size` bytes with the fastest kernel this CPU has; same
// result as the plain table-driven CRC-32. Cannot fail.
std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* data, std::size_t size);

// The CRC-32 of everything readable from `fd`, from its position to the end;
// nullopt when a read fails (EINTR is retried). Leaves `fd` open.
std::optional<std::uint32_t> crc32_of_descriptor(int fd);

}  // namespace kuvo
