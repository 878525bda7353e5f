// CRC-32/ISO-HDLC (the checksum of zip, gzip, PNG and SFV files).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kuvo {

// The bytewise lookup table of the reflected polynomial 0xEDB88320.
extern const std::array<std::uint32_t, 256> crc32_table;

// Continues `crc` (a finished CRC-32, 0 for none yet) over `size` bytes, one
// table lookup per byte: the reference every faster path must agree with.
std::uint32_t crc32_bytewise(std::uint32_t crc, const unsigned char* data, std::size_t size);

// Continues `crc` over `size` bytes with the fastest kernel this CPU has; same
// result as crc32_bytewise. Cannot fail.
std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* data, std::size_t size);

// The CRC-32 of everything readable from `fd`, from its position to the end;
// nullopt when a read fails (EINTR is retried). Leaves `fd` open.
std::optional<std::uint32_t> crc32_of_descriptor(int fd);

}  // namespace kuvo
