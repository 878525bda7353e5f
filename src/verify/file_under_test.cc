#include "verify/file_under_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crc/crc32.h"

namespace kuvo {

FileUnderTest::FileUnderTest(const std::string& name)
    : fd_(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {}

FileUnderTest::~FileUnderTest() {
  if (fd_ >= 0) close(fd_);
}

std::optional<std::uint32_t> FileUnderTest::crc32() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return crc32_of_descriptor(fd_);
}

bool FileUnderTest::is_named(const std::string& name) const {
  struct stat open_file;
  struct stat named;
  return fd_ >= 0 && fstat(fd_, &open_file) == 0 && stat(name.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

}  // namespace kuvo
