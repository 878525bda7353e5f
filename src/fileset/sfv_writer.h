// Writing an SFV file: the lines that kuvo's own reader, cksfv -f and rhash -c
// all read back as the very names and CRC-32s that were written.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kuvo {

// Why a name cannot stand in an SFV line, by the first rule it breaks.
enum class SfvNameProblem {
  none,
  line_break,      // a line feed or carriage return would end the line
  control,         // rhash takes an SFV holding another control byte for binary
  comment,         // a leading ';' (or '#' to rhash) makes a comment line
  leading_blank,   // rhash drops leading blanks, kuvo keeps them
  trailing_blank,  // every reader drops the blanks before the CRC
  leading_star,    // rhash takes a leading '*' for a binary-mode mark
  backslash,       // rhash takes '\' for a path separator
  too_long         // longer than the line any reader takes
};

// Longest name that fits the shortest line buffer among the readers (rhash's:
// 4094 bytes with the line end), CR LF included.
inline constexpr std::size_t kMaxSfvNameWritten = 4084;

// What stands in the way of writing `name` into an SFV line; none when every
// reader reads it back unchanged. Cannot fail.
SfvNameProblem sfv_name_problem(std::string_view name);

// The problem in words, for "...: <words>.". Cannot fail.
std::string_view sfv_name_problem_text(SfvNameProblem problem);

// "name CRC" with the CRC as eight upper-case hex digits, ended by LF or, with
// `crlf`, CR LF. `name` must have no problem. Cannot fail.
std::string sfv_line(std::string_view name, std::uint32_t crc, bool crlf);

// The comment line that heads a written SFV: who wrote it and when, in UTC.
// Cannot fail.
std::string sfv_header(std::string_view version, std::time_t when, bool crlf);

}  // namespace kuvo
