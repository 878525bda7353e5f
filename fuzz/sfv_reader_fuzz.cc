// Feeds arbitrary bytes to the SFV reader as an uploaded SFV file. The list
// that load_sfv returns must be exactly what reading the bytes line by line
// gives (so that its block-wise reading neither splits nor joins lines), no
// name may outgrow the line limit or hold a line end, and every checksum must
// be read as strtoul reads a 32-bit hexadecimal number.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fileset/sfv_reader.h"

namespace {

using kuvo::SfvEntry;
using kuvo::SfvList;

// One in-memory file per process, rewritten for every input and opened by
// load_sfv through its /proc path: a disk file per input would spend most of
// the time in the file system.
class ScratchFile {
 public:
  ScratchFile() {
    fd_ = memfd_create("kuvo-fuzz-sfv", 0);
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~ScratchFile() { close(fd_); }
  void write(std::string_view bytes) {
    if (ftruncate(fd_, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// strtoul in base 16 as on a machine whose unsigned long has 32 bits: values
// that do not fit saturate, a minus sign negates modulo 2^32.
std::uint32_t reference_crc(std::string_view field) {
  std::string text(field.substr(0, field.find('\0')));
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 16);
  if (errno == ERANGE) return 0xFFFFFFFFu;
  unsigned long long magnitude = negative ? 0ull - value : value;
  if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(negative ? 0ull - magnitude : magnitude);
}

// The list the reader must give: every line (line feed excluded) that is at
// most kMaxSfvLine bytes long, one final carriage return not counted, parsed
// on its own; the last line's entry first.
SfvList reference_list(std::string_view text) {
  SfvList list;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    std::size_t length = line.size();
    if (length > 0 && line.back() == '\r') --length;
    SfvEntry entry;
    if (length <= kuvo::kMaxSfvLine && kuvo::parse_sfv_line(line, entry)) {
      // The name is the line's start, up to the blanks before the separator.
      const std::string_view name = entry.file_name;
      if (!line.starts_with(name) || (line[name.size()] != ' ' && line[name.size()] != '\t'))
        std::abort();
      list.add_line(entry.file_name, entry.expected_crc);  // each line's entry goes first
    }
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return list;
}

char hex_digit(unsigned value) { return "0123456789abcdef"[value & 15]; }

void check_entry(const SfvEntry& entry) {
  const std::string_view name = entry.file_name;
  if (name.size() > kuvo::kMaxSfvLine) std::abort();
  if (name.find('\n') != std::string_view::npos || name.find('\0') != std::string_view::npos)
    std::abort();
  if (!name.empty() && (name.back() == ' ' || name.back() == '\t')) std::abort();
  // Written back as "name crc", an entry whose name holds no carriage return
  // must read as itself again.
  if (name.find('\r') != std::string_view::npos) return;
  std::string line = std::string(name) + " ";
  for (int shift = 28; shift >= 0; shift -= 4) line += hex_digit(entry.expected_crc >> shift);
  line += "\r\n";
  SfvEntry again;
  if (!kuvo::parse_sfv_line(line, again)) std::abort();
  if (again.file_name != name || again.expected_crc != entry.expected_crc) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile scratch;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  if (kuvo::parse_crc_field(input) != reference_crc(input)) std::abort();

  // Inputs whose first byte has its two top bits set are moved to just before
  // the reader's 64 KiB block boundary, behind a long comment line that is
  // either ended (a clean start) or not (the input continues an overlong line).
  std::string text;
  if (size > 0 && (data[0] & 0xC0) == 0xC0) {
    std::size_t shift = data[0] & 0x1F;
    text.assign(65536 - shift - 1, 'x');
    text[0] = ';';
    text += (data[0] & 0x20) != 0 ? '\n' : 'x';
  }
  text.append(input);

  scratch.write(text);
  SfvList list = kuvo::load_sfv(scratch.path());
  SfvList expected = reference_list(text);
  if (list.size() != expected.size()) std::abort();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].file_name != expected[i].file_name) std::abort();
    if (list[i].expected_crc != expected[i].expected_crc) std::abort();
    check_entry(list[i]);
  }
  return 0;
}
