#include "fileset/sfv_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace kuvo {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The white space strtoul skips in the C locale.
bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Each byte's value as a hexadecimal digit, -1 for bytes that are none.
constexpr std::array<signed char, 256> kHexValue = [] {
  std::array<signed char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
               : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
               : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                      : -1;
  }
  return table;
}();

int hex_value(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

// Where the last `c` of `text` stands, or npos. The C library's search takes
// many bytes at a time, where string_view::rfind takes one; every line of a
// large SFV is searched from its end for a byte it mostly does not hold.
std::size_t last_of(std::string_view text, char c) {
  if (text.empty()) return std::string_view::npos;
  const void* found = memrchr(text.data(), c, text.size());
  if (found == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

// Closes the descriptor however reading ends.
struct FdCloser {
  int fd;
  ~FdCloser() { close(fd); }
};

}  // namespace

std::uint32_t parse_crc_field(std::string_view field) {
  // The usual field is eight digits and nothing else.
  if (field.size() == 8) {
    std::uint32_t value = 0;
    int any_other = 0;
    for (char c : field) {
      const int digit = hex_value(c);
      any_other |= digit;
      value = value << 4 | static_cast<std::uint32_t>(digit & 15);
    }
    if (any_other >= 0) return value;
  }
  std::size_t i = 0;
  while (i < field.size() && is_c_space(field[i])) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  // "0x" is a prefix only when a digit follows; otherwise the "0" is the number.
  if (i + 2 < field.size() && field[i] == '0' && (field[i + 1] == 'x' || field[i + 1] == 'X') &&
      hex_value(field[i + 2]) >= 0) {
    i += 2;
  }
  std::uint64_t value = 0;
  bool saturated = false;
  for (; i < field.size() && hex_value(field[i]) >= 0; ++i) {
    value = value * 16 + static_cast<std::uint64_t>(hex_value(field[i]));
    if (value > 0xFFFFFFFFu) {
      saturated = true;
      value = 0xFFFFFFFFu;
    }
  }
  if (saturated) return 0xFFFFFFFFu;
  auto result = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

namespace {

// What a line may hold that parse_sfv_line has to look for: the reader splits
// at line feeds and knows which of its blocks hold a NUL byte, and searching
// each line for them would only cost time.
struct LineMayHold {
  bool line_feed = true;
  bool nul = true;
};

bool parse_line(std::string_view line, LineMayHold may_hold, SfvEntry& entry) {
  if (may_hold.nul) line = line.substr(0, line.find('\0'));

  // Blank lines and comments give no entry; the leading blanks passed over
  // here stay part of the name.
  std::size_t first = 0;
  while (first < line.size() && is_blank(line[first])) ++first;
  if (first == line.size() || line[first] == '\r' || line[first] == '\n' || line[first] == ';')
    return false;

  if (std::size_t cr = last_of(line, '\r'); cr != std::string_view::npos) line = line.substr(0, cr);
  if (may_hold.line_feed) {
    if (std::size_t lf = last_of(line, '\n'); lf != std::string_view::npos)
      line = line.substr(0, lf);
  }
  while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);

  // Names may hold spaces, so only the last space separates; a tab only when
  // the line has no space at all.
  std::size_t separator = last_of(line, ' ');
  if (separator == std::string_view::npos) separator = last_of(line, '\t');
  if (separator == std::string_view::npos) return false;

  std::size_t name_end = separator;
  while (name_end > 0 && is_blank(line[name_end - 1])) --name_end;
  entry.file_name = line.substr(0, name_end);
  entry.expected_crc = parse_crc_field(line.substr(separator + 1));
  return true;
}

}  // namespace

bool parse_sfv_line(std::string_view line, SfvEntry& entry) { return parse_line(line, {}, entry); }

SfvEntry SfvList::operator[](std::size_t position) const {
  const Span& span = spans_[spans_.size() - 1 - position];
  return SfvEntry{std::string_view(text_).substr(span.offset, span.size), span.crc};
}

void SfvList::reserve_for(std::size_t file_size) {
  // No line gives more name bytes than it holds, and few lines are shorter than
  // 32 bytes. Beyond a size no release's SFV reaches, the list grows as it goes.
  constexpr std::size_t kLargest = std::size_t{64} << 20;
  file_size = std::min(file_size, kLargest);
  text_.reserve(file_size);
  spans_.reserve(file_size / 32);
}

void SfvList::add_line(std::string_view file_name, std::uint32_t expected_crc) {
  spans_.push_back(Span{text_.size(), static_cast<std::uint32_t>(file_name.size()), expected_crc});
  text_.append(file_name);
}

SfvList load_sfv(const std::string& path) {
  // Opened without blocking and read only when regular: a FIFO or a device
  // posing as the SFV must not stall the run or feed it endless bytes.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return {};
  FdCloser closer{fd};
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return read_sfv(fd, read, static_cast<std::size_t>(st.st_size));
}

SfvList read_sfv(int fd, ReadBlock read_block, std::size_t file_size) {
  SfvList list;
  list.reserve_for(file_size);
  SfvEntry entry;
  // Lines are parsed where they stand in the read buffer; only a line that a
  // read cuts in two is put together here first.
  std::string cut_line;
  bool too_long = false;
  auto take_line = [&](std::string_view line, bool may_hold_nul) {
    // A trailing carriage return belongs to the line end, not to the length.
    std::size_t length = line.size();
    if (length > 0 && line.back() == '\r') --length;
    if (!too_long && length <= kMaxSfvLine && parse_line(line, {false, may_hold_nul}, entry)) {
      list.add_line(entry.file_name, entry.expected_crc);
    }
    too_long = false;
  };

  char buffer[65536];
  for (;;) {
    ssize_t got = read_block(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    // A read error leaves the rest of the file unknown: a list cut short there
    // would leave later files without markers and let the release pass as
    // complete, so the SFV counts as unusable instead.
    if (got < 0) return {};
    if (got == 0) break;
    std::string_view chunk(buffer, static_cast<std::size_t>(got));
    const bool chunk_holds_nul = chunk.find('\0') != std::string_view::npos;
    while (!chunk.empty()) {
      const std::size_t lf = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, lf);
      if (lf != std::string_view::npos && cut_line.empty() && !too_long) {
        take_line(piece, chunk_holds_nul);
        chunk.remove_prefix(lf + 1);
        continue;
      }
      // Memory stays bounded: a line past the limit is only skipped, not kept.
      if (!too_long) {
        if (cut_line.size() + piece.size() > kMaxSfvLine + 1) {
          too_long = true;
          cut_line.clear();
        } else {
          cut_line.append(piece);
        }
      }
      if (lf == std::string_view::npos) break;
      take_line(cut_line, true);
      cut_line.clear();
      chunk.remove_prefix(lf + 1);
    }
  }
  if (!cut_line.empty() || too_long) take_line(cut_line, true);
  return list;
}

}  // namespace kuvo
