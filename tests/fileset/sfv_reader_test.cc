#include "fileset/sfv_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace kuvo {
namespace {

using Entries = std::vector<std::pair<std::string, std::uint32_t>>;

Entries entries_of(const SfvList& list) {
  Entries result;
  for (const SfvEntry& entry : list) result.emplace_back(entry.file_name, entry.expected_crc);
  return result;
}

Entries load_contents(const std::string& contents) {
  testing::TempDir dir;
  testing::write_file(dir / "release.sfv", contents);
  return entries_of(load_sfv(dir / "release.sfv"));
}

struct LineCase {
  std::string contents;  // the whole file
  Entries expected;      // in list order
  const char* reason;
};

TEST(SfvReaderTest, LineShapes) {
  using namespace std::string_literals;
  const std::vector<LineCase> cases = {
      {"a.rar 0123abcd\n", {{"a.rar", 0x0123ABCD}}, "plain line"},
      {"a.rar\t0123ABCD\n", {{"a.rar", 0x0123ABCD}}, "a tab separates when there is no space"},
      {"a.rar    0123abcd\n", {{"a.rar", 0x0123ABCD}}, "all blanks before the separator go"},
      {"a.rar \t 0123abcd\n", {{"a.rar", 0x0123ABCD}}, "mixed blanks before the separator go"},
      {"a.rar 0123abcd   \r\n", {{"a.rar", 0x0123ABCD}}, "trailing blanks and CRLF go first"},
      {"a.rar 0123abcd \t\n", {{"a.rar", 0x0123ABCD}}, "trailing tab goes too"},
      {"my file.rar 0123abcd\n", {{"my file.rar", 0x0123ABCD}}, "only the last space separates"},
      {"my file.rar\t0123abcd\n", {{"my", 0xF}}, "a space anywhere beats a tab"},
      {"  a.rar 0123abcd\n", {{"  a.rar", 0x0123ABCD}}, "leading blanks stay in the name"},
      {"\t a.rar 1\n", {{"\t a.rar", 1}}, "leading tab stays in the name"},
      {" 0123abcd\n", {{"", 0x0123ABCD}}, "separator first: empty name"},
      {"\t0123abcd\n", {{"", 0x0123ABCD}}, "tab first: empty name"},
      {"   \t 0123abcd\n", {{"", 0x0123ABCD}}, "only blanks before the separator"},
      {"a.rar\n", {}, "no separator"},
      {"0123abcd\n", {}, "checksum alone"},
      {"a.rar   \n", {}, "trailing blanks are not separators"},
      {";a.rar 0123abcd\n", {}, "comment"},
      {"   ; comment\n", {}, "indented comment"},
      {"\t;a.rar 1\n", {}, "comment after a tab"},
      {"\n", {}, "empty line"},
      {"  \t \n", {}, "line of blanks"},
      {"\r\n", {}, "line of only CRLF"},
      {"  \r\n", {}, "blanks then CRLF"},
      {"a.rar 0x0123abcd\n", {{"a.rar", 0x0123ABCD}}, "0x prefix"},
      {"a.rar 0X0123ABCD\n", {{"a.rar", 0x0123ABCD}}, "0X prefix"},
      {"a.rar xyz\n", {{"a.rar", 0}}, "no digits gives 0, entry still made"},
      {"a.rar 0x\n", {{"a.rar", 0}}, "bare prefix is the number 0"},
      {"a.rar 0xg1\n", {{"a.rar", 0}}, "prefix without digit: the 0 is the number"},
      {"a.rar 123456789\n", {{"a.rar", 0xFFFFFFFF}}, "nine digits saturate"},
      {"a.rar 100000000\n", {{"a.rar", 0xFFFFFFFF}}, "2^32 saturates"},
      {"a.rar 00000000fffffffe\n", {{"a.rar", 0xFFFFFFFE}}, "leading zeros do not overflow"},
      {"a.rar 0123abcdjunk\n", {{"a.rar", 0x0123ABCD}}, "digits end at the first non-digit"},
      {"a.rar -1\n", {{"a.rar", 0xFFFFFFFF}}, "minus gives the two's complement"},
      {"a.rar -0x10\n", {{"a.rar", 0xFFFFFFF0}}, "minus with prefix"},
      {"a.rar +10\n", {{"a.rar", 0x10}}, "plus sign accepted"},
      {"a.rar +-1\n", {{"a.rar", 0}}, "only one sign"},
      {"a.rar -123456789\n", {{"a.rar", 0xFFFFFFFF}}, "overflow saturates whatever the sign"},
      {"a.rar \v\f1\n", {{"a.rar", 1}}, "strtoul skips other white space"},
      {"a.rar 1\rb.rar 2\r\n", {{"a.rar 1\rb.rar", 2}}, "cut only at the last CR"},
      {"a.rar 1\r\r\n", {{"a.rar", 1}}, "a CR left before the cut ends the digits"},
      {"a\rb.rar 1\n", {}, "cut at an inner CR leaves no separator"},
      {"a.rar 1\r", {{"a.rar", 1}}, "CR at the end of the file"},
      {"a.rar 1\0junk 2\n"s, {{"a.rar", 1}}, "NUL ends the line's text"},
      {"a.rar\0 1\n"s, {}, "NUL before the separator: no separator"},
      {"\0a.rar 1\n"s, {}, "NUL first: blank line"},
      {"a b\0c 1\n"s, {{"a", 0xB}}, "NUL cuts before the real checksum"},
      {"a.rar 1\nb.rar 2\nc.rar 3\n", {{"c.rar", 3}, {"b.rar", 2}, {"a.rar", 1}}, "reverse order"},
      {"a.rar 1\nA.RAR 2\na.rar 3\n",
       {{"a.rar", 3}, {"A.RAR", 2}, {"a.rar", 1}},
       "duplicates kept, later line first"},
      {"a.rar 1\nb.rar 2", {{"b.rar", 2}, {"a.rar", 1}}, "last line without line feed"},
      {"a.rar 1\r\nb.rar 2\r\n", {{"b.rar", 2}, {"a.rar", 1}}, "CRLF file"},
      {"; made by hand\r\n\r\na.rar 1\r\n; end\r\n", {{"a.rar", 1}}, "comments around an entry"},
      {"", {}, "empty file"},
      {"; only\n;comments\n\n", {}, "comment-only file"},
  };
  for (const LineCase& c : cases) {
    EXPECT_EQ(load_contents(c.contents), c.expected) << c.reason;
  }
}

// A line of `length` bytes (line end excluded) that ends in a valid checksum.
std::string line_of(std::size_t length, char fill = 'n') {
  const std::string tail = " 0123abcd";
  return std::string(length - tail.size(), fill) + tail;
}

// A line of `length` bytes in which every cut at a buffer boundary would still
// look like an entry line.
std::string entry_like_line(std::size_t length) {
  std::string line;
  while (line.size() < length) line += "x.rar 0123abcd ";
  line.resize(length);
  return line;
}

TEST(SfvReaderTest, LongLinesAreWholeOrNothing) {
  const std::string name250(250, 'n');
  EXPECT_EQ(load_contents(name250 + " 0123abcd\r\n"), (Entries{{name250, 0x0123ABCD}}))
      << "a 250-byte name keeps its checksum";

  const std::string max = line_of(kMaxSfvLine);
  const std::string max_name = max.substr(0, kMaxSfvLine - 9);
  EXPECT_EQ(load_contents(max + "\n"), (Entries{{max_name, 0x0123ABCD}})) << "longest line";
  EXPECT_EQ(load_contents(max + "\r\n"), (Entries{{max_name, 0x0123ABCD}}))
      << "the CR belongs to the line end";
  EXPECT_EQ(load_contents(max), (Entries{{max_name, 0x0123ABCD}})) << "longest last line";
  EXPECT_EQ(load_contents(line_of(kMaxSfvLine + 1) + "\n"), Entries{}) << "one byte too long";
  EXPECT_EQ(load_contents(line_of(kMaxSfvLine + 1) + "\r\n"), Entries{})
      << "one byte too long with CRLF";
  EXPECT_EQ(load_contents(line_of(kMaxSfvLine + 1)), Entries{}) << "too long last line";

  for (std::size_t length : {std::size_t{5000}, std::size_t{100000}}) {
    const std::string contents =
        "a.rar 1\n" + entry_like_line(length) + "\nb.rar 2\r\n" + entry_like_line(length) + "\r\n";
    EXPECT_EQ(load_contents(contents), (Entries{{"b.rar", 2}, {"a.rar", 1}}))
        << "no piece of a " << length << "-byte line becomes an entry";
  }
}

TEST(SfvReaderTest, LinesAcrossReadBoundaries) {
  // Enough lines that some straddle every read the reader makes.
  std::string contents;
  Entries expected;
  for (unsigned i = 0; i < 12000; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "file %05u.rar %08x\r\n", i, i * 2654435761u);
    contents += line;
    expected.emplace_back(std::string(line, 14), i * 2654435761u);
  }
  EXPECT_EQ(load_contents(contents), Entries(expected.rbegin(), expected.rend()));
}

TEST(SfvReaderTest, PathsThatAreNotReadableSfvFiles) {
  testing::TempDir dir;
  EXPECT_TRUE(load_sfv(dir / "missing.sfv").empty());
  ASSERT_EQ(mkdir((dir / "dir.sfv").c_str(), 0755), 0);
  testing::write_file(dir / "dir.sfv/a.rar", "");
  EXPECT_TRUE(load_sfv(dir / "dir.sfv").empty()) << "a directory";
  ASSERT_EQ(symlink("dir.sfv", (dir / "link.sfv").c_str()), 0);
  EXPECT_TRUE(load_sfv(dir / "link.sfv").empty()) << "a link to a directory";

  testing::write_file(dir / "real.sfv", "a.rar 1\n");
  ASSERT_EQ(symlink("real.sfv", (dir / "good-link.sfv").c_str()), 0);
  EXPECT_EQ(entries_of(load_sfv(dir / "good-link.sfv")), (Entries{{"a.rar", 1}}))
      << "a link to a regular file is read";
}

// Runs load_sfv on `path` in a child, so that a reader that blocks fails the
// test instead of hanging it; returns the child's entry count, or -1 when it
// had to be killed.
int entries_in_child(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    alarm(10);
    _exit(static_cast<int>(std::min<std::size_t>(load_sfv(path).size(), 100)));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SfvReaderTest, SpecialFilesNeverBlock) {
  testing::TempDir dir;
  const std::string fifo = dir / "pipe.sfv";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(entries_in_child(fifo), 0) << "a FIFO without writer";

  // A writer that keeps the FIFO open after its data: reading to the end
  // would wait forever.
  int writer_read_end = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(writer_read_end, 0);
  int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "a.rar 1\n", 8), 8);
  EXPECT_EQ(entries_in_child(fifo), 0) << "a FIFO held open by a writer";
  close(writer);
  close(writer_read_end);

  EXPECT_EQ(entries_in_child("/dev/zero"), 0) << "an endless device";
}

// A disk that fails part-way: a block of whole lines and a cut one, an
// interrupted read (tried again), then an error.
int reads = 0;
ssize_t failing_read(int, void* buffer, std::size_t size) {
  const std::string block = "a.rar 0000000a\nb.rar 0000";
  switch (reads++) {
    case 0:
      std::copy_n(block.begin(), std::min(size, block.size()), static_cast<char*>(buffer));
      return static_cast<ssize_t>(std::min(size, block.size()));
    case 1:
      errno = EINTR;
      return -1;
    default:
      errno = EIO;
      return -1;
  }
}

TEST(SfvReaderTest, AReadErrorMakesTheSfvUnusableNotShorter) {
  reads = 0;
  EXPECT_TRUE(read_sfv(-1, failing_read).empty())
      << "neither the lines before the error nor the one it cut short may count";
  EXPECT_EQ(reads, 3) << "the interrupted read was tried again";
}

}  // namespace
}  // namespace kuvo
