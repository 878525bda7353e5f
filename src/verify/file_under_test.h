// Opening and checksumming a file that kuvo verifies: an upload, or a file that
// waits under its untested name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kuvo {

// A read-only descriptor, closed when the object goes away. Opening never
// blocks, so a FIFO posing as an upload cannot stall the run.
class FileUnderTest {
 public:
  explicit FileUnderTest(const std::string& name);
  ~FileUnderTest();
  FileUnderTest(const FileUnderTest&) = delete;
  FileUnderTest& operator=(const FileUnderTest&) = delete;

  // False when the file could not be opened for reading.
  bool is_open() const { return fd_ >= 0; }

  // The CRC-32 of the whole file; nullopt when it is not a regular file or a
  // read fails, so that no partial checksum is ever taken for a verdict.
  std::optional<std::uint32_t> crc32() const;

  // True when `name` now denotes the very file that is open here (same device
  // and inode), so that a rename after the test moved the bytes that were
  // tested; false when it denotes another file or none.
  bool is_named(const std::string& name) const;

 private:
  int fd_;
};

}  // namespace kuvo
