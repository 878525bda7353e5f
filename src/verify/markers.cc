#include "verify/markers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fileset/wildcard.h"

namespace kuvo {

std::string missing_marker(const Settings& settings, std::string_view file_name) {
  std::string marker(file_name);
  marker += settings.missing_suffix;
  return marker;
}

bool lists_exactly(const SfvList& sfv, std::string_view name) {
  for (const SfvEntry entry : sfv) {
    if (entry.file_name == name) return true;
  }
  return false;
}

bool ListedFiles::at(std::size_t position) {
  if (marks_.empty()) {
    // One more than the listing holds, so that it is never empty once marked.
    marks_.assign(files_.list().size() + 1, false);
    for (const SfvEntry entry : sfv_) {
      if (std::optional<std::size_t> at = files_.position_of(entry.file_name)) marks_[*at] = true;
    }
  }
  return position < marks_.size() && marks_[position];
}

bool stays_in_release(std::string_view file_name) {
  return file_name.find('/') == std::string_view::npos;
}

bool counts_towards_release(const Settings& settings, const SfvEntry& entry) {
  return stays_in_release(entry.file_name) && !is_ignored(settings.ignore_list, entry.file_name);
}

namespace {

// A change refused by the system for `error`, told by `what` and the reason
// as the C library words it.
Change refused(const std::string& what, int error) {
  return Change{Change::Outcome::refused, what + ": " + std::strerror(error) + "."};
}

}  // namespace

std::string rename_failure(const std::string& from, const std::string& to, int error) {
  return "Unable to rename " + from + " to " + to + ": " + std::strerror(error) + ".";
}

Change rename_file(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return {};
  // A file that is gone (never uploaded, or removed meanwhile) leaves nothing
  // under its old name that could pass for something it is not.
  if (errno == ENOENT) return {};
  return Change{Change::Outcome::refused, rename_failure(from, to, errno)};
}

Change create_marker(const std::string& marker) {
  // Exclusive creation never follows a link planted under the marker's name
  // and never truncates a file that already stands there.
  int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) {
    close(fd);
    return {};
  }
  if (errno == EEXIST) return {};
  return refused("Unable to create marker " + marker, errno);
}

}  // namespace kuvo
