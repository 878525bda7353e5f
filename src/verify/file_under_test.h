// Opening and checksumming a file that kuvo verifies: an upload, or a file that
// waits under its untested name.
//
// A verdict on a file stands only for the bytes that were read, so a hook run
// guards the file it judges: it asks for Guard::against_writers, reads it with
// crc32(), asks being_written() before it acts on the verdict, and renames the
// file only through rename_while_held(), while the object still lives. Whoever
// else renames or removes a file on its checksum (a repair) must do the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <sys/stat.h>

namespace kuvo {

// Whether the file is held against writers while it is tested.
enum class Guard {
  none,            // only opened: for reading that acts on nothing
  against_writers  // a read lease where the kernel grants one, and the file's times
};

// What became of a rename made while the file was held.
enum class HeldRename {
  renamed,        // the file now bears the new name, or it was gone already
  being_written,  // someone wrote to it, or put other bytes under its name: it keeps its name
  failed          // the rename itself failed; error() tells why
};

// A read-only descriptor, closed when the object goes away. Opening never
// blocks, so a FIFO posing as an upload cannot stall the run.
class FileUnderTest {
 public:
  // Opens `name` read-only; with Guard::against_writers also takes a read
  // lease, under which another process's open for writing waits until this
  // object goes away (or the kernel's lease-break time runs out), and notes
  // the file's size and times. Failures show through is_open() and
  // being_written().
  explicit FileUnderTest(const std::string& name, Guard guard = Guard::none);
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

  // True, for a guarded file, when another process held it open for writing
  // when it was opened, or since then opened it for writing or truncated it
  // (the lease was broken), or its size, modification or change time moved;
  // also when its state cannot be read. No verdict may then stand. Where the
  // kernel grants no lease (not the owner, or a file system without leases)
  // only the times and size can tell. False for an unguarded file.
  bool being_written() const;

  // Renames the open file from `from`, the name it is known under, to `to`,
  // provided `from` still denotes it and nobody is writing it; afterwards
  // makes sure nobody reached for it meanwhile and `to` denotes it, and
  // otherwise puts it back under `from`. Fails as HeldRename says; a file
  // that is gone already counts as renamed.
  HeldRename rename_while_held(const std::string& from, const std::string& to);

  // Removes the open file, which is known as `name`, the same careful way:
  // it is first renamed to `parking` (a name the caller may use), and only
  // then removed. Fails as rename_while_held does.
  HeldRename remove_while_held(const std::string& name, const std::string& parking);

  // The reason (an errno value) of the last HeldRename::failed.
  int error() const { return error_; }

 private:
  bool lease_intact() const;
  bool size_and_times_kept(bool ctime_too) const;

  int fd_;
  bool guarded_ = false;
  bool leased_ = false;
  bool refused_ = false;  // another process held the file open for writing
  struct stat noted_ {};
  int error_ = 0;
};

// The line for a file that gets no verdict because someone is still writing
// it: "File <name> is still being written; it will be checked when its
// upload ends." Cannot fail.
std::string still_being_written(const std::string& name);

}  // namespace kuvo
