// Reading an SFV file: the check-list that names every file of a release with
// its CRC-32 in hexadecimal.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kuvo {

// One accepted line: a view of its name, valid while its list lives unchanged.
struct SfvEntry {
  std::string_view file_name;  // as the SFV spells it; may hold blanks, may be empty
  std::uint32_t expected_crc = 0;
};

// An SFV's entries in list order, the reverse of their lines' order, so that of
// two lines naming the same file the later one is met first. The names stand
// in one block of text, a few bytes of bookkeeping each. Empty means the SFV
// is unusable.
class SfvList {
 public:
  std::size_t size() const { return spans_.size(); }
  bool empty() const { return spans_.empty(); }
  SfvEntry operator[](std::size_t position) const;

  // Adds the entry of the file's next line; it becomes the list's first entry.
  // Cannot fail.
  void add_line(std::string_view file_name, std::uint32_t expected_crc);
  // Makes room at once for the entries of a file of `file_size` bytes, so that
  // the list does not grow step by step, copying itself each time. Cannot fail.
  void reserve_for(std::size_t file_size);

  class Iterator {
   public:
    SfvEntry operator*() const { return (*list_)[position_]; }
    Iterator& operator++() {
      ++position_;
      return *this;
    }
    bool operator==(const Iterator&) const = default;

   private:
    friend class SfvList;
    Iterator(const SfvList* list, std::size_t position) : list_(list), position_(position) {}
    const SfvList* list_;
    std::size_t position_;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

 private:
  struct Span {
    std::uint64_t offset;
    std::uint32_t size;
    std::uint32_t crc;
  };
  std::string text_;
  std::vector<Span> spans_;  // in line order: position p is spans_[size - 1 - p]
};

// Longest line, line end excluded, that can give an entry; longer lines are
// skipped whole, so no piece of one is ever taken for an entry.
inline constexpr std::size_t kMaxSfvLine = 4096;

// Reads the SFV file at `path`; returns the empty list when it cannot be
// opened, is not a regular file, cannot be read to its end (EINTR is retried),
// or holds no entry line.
SfvList load_sfv(const std::string& path);

// How load_sfv reads a block: as read(2) does.
using ReadBlock = ssize_t (*)(int fd, void* buffer, std::size_t size);

// Reads an SFV from the open descriptor `fd` through `read_block`, with the
// rules of load_sfv, making room for a file of `file_size` bytes (0: unknown);
// returns the empty list when a read fails (other than with EINTR) or no line
// gives an entry.
SfvList read_sfv(int fd, ReadBlock read_block, std::size_t file_size = 0);

// Parses one line (its line end included or not) into `entry`, whose name then
// views `line`; returns false for blank lines, comments and lines without a
// separator.
bool parse_sfv_line(std::string_view line, SfvEntry& entry);

// Reads a checksum field as strtoul does in base 16, saturating at 32 bits;
// text without hex digits gives 0. Cannot fail.
std::uint32_t parse_crc_field(std::string_view field);

}  // namespace kuvo
