// Reading an SFV file: the check-list that names every file of a release with
// its CRC-32 in hexadecimal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kuvo {

struct SfvEntry {
  std::string file_name;  // as the SFV spells it; may hold blanks, may be empty
  std::uint32_t expected_crc = 0;
};

// Entries in the reverse of their lines' order, so that of two lines naming the
// same file the later one is met first. Empty means the SFV is unusable.
using SfvList = std::vector<SfvEntry>;

// Longest line, line end excluded, that can give an entry; longer lines are
// skipped whole, so no piece of one is ever taken for an entry.
inline constexpr std::size_t kMaxSfvLine = 4096;

// Reads the SFV file at `path`; returns the empty list when it cannot be
// opened, is not a regular file, cannot be read to its end (EINTR is retried),
// or holds no entry line.
SfvList load_sfv(const std::string& path);

// Parses one line (its line end included or not) into `entry`; returns false
// for blank lines, comments and lines without a separator.
bool parse_sfv_line(std::string_view line, SfvEntry& entry);

// Reads a checksum field as strtoul does in base 16, saturating at 32 bits;
// text without hex digits gives 0. Cannot fail.
std::uint32_t parse_crc_field(std::string_view field);

}  // namespace kuvo
