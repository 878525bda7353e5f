#include "verify/file_under_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "crc/crc32.h"

namespace kuvo {
namespace {

// The kernel tells a lease holder that a writer waits by a signal, SIGIO,
// whose default action ends the process. kuvo asks the lease itself after
// reading instead, so the signal is ignored, unless someone handles it.
void ignore_lease_breaks() {
  static const bool ignored = [] {
    struct sigaction current {};
    if (sigaction(SIGIO, nullptr, &current) != 0) return false;
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return false;
    return std::signal(SIGIO, SIG_IGN) != SIG_ERR;
  }();
  (void)ignored;
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

FileUnderTest::FileUnderTest(const std::string& name, Guard guard)
    : fd_(open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {
  if (fd_ < 0 || guard == Guard::none) return;
  guarded_ = true;
  ignore_lease_breaks();
  // The lease comes first: a writer that changes the file after the size and
  // times were noted either breaks it or shows in them.
  if (fcntl(fd_, F_SETLEASE, F_RDLCK) == 0) {
    leased_ = true;
  } else {
    // Refused while any process has the file open for writing; other refusals
    // (not the owner, no leases on this file system) leave the times to tell.
    refused_ = errno == EAGAIN;
  }
  if (fstat(fd_, &noted_) != 0) refused_ = true;
}

FileUnderTest::~FileUnderTest() {
  // Closing lets go of the lease, and a writer held by it goes on.
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

bool FileUnderTest::lease_intact() const {
  // A writer that opened the file since has broken the lease, which then
  // reads as no lease; taking it again fails while a writer has the file open.
  return fcntl(fd_, F_GETLEASE) == F_RDLCK && fcntl(fd_, F_SETLEASE, F_RDLCK) == 0;
}

bool FileUnderTest::size_and_times_kept(bool ctime_too) const {
  struct stat now;
  return fstat(fd_, &now) == 0 && now.st_size == noted_.st_size &&
         same_time(now.st_mtim, noted_.st_mtim) &&
         (!ctime_too || same_time(now.st_ctim, noted_.st_ctim));
}

bool FileUnderTest::being_written() const {
  if (!guarded_) return false;
  return refused_ || (leased_ && !lease_intact()) || !size_and_times_kept(true);
}

HeldRename FileUnderTest::rename_while_held(const std::string& from, const std::string& to) {
  struct stat named;
  if (lstat(from.c_str(), &named) != 0) {
    if (errno == ENOENT) return HeldRename::renamed;
    error_ = errno;
    return HeldRename::failed;
  }
  if (!is_named(from) || being_written()) return HeldRename::being_written;
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    if (errno == ENOENT) return HeldRename::renamed;
    error_ = errno;
    return HeldRename::failed;
  }
  // The rename went by name: other bytes put under `from` meanwhile, or a
  // writer that reached for the file, must not take the new name. The rename
  // itself moved the change time.
  if (is_named(to) && (!leased_ || lease_intact()) && size_and_times_kept(false)) {
    if (guarded_ && fstat(fd_, &noted_) != 0) refused_ = true;
    return HeldRename::renamed;
  }
  std::rename(to.c_str(), from.c_str());
  return HeldRename::being_written;
}

HeldRename FileUnderTest::remove_while_held(const std::string& name, const std::string& parking) {
  // Removed under its own name, a file that a writer reached for meanwhile
  // would take that writer's bytes with it; parked first, it can come back.
  const HeldRename parked = rename_while_held(name, parking);
  if (parked != HeldRename::renamed || !is_named(parking)) return parked;
  if (unlink(parking.c_str()) != 0 && errno != ENOENT) {
    error_ = errno;
    return HeldRename::failed;
  }
  return HeldRename::renamed;
}

std::string still_being_written(const std::string& name) {
  return "File " + name + " is still being written; it will be checked when its upload ends.";
}

}  // namespace kuvo
