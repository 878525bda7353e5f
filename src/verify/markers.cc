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

bool stays_in_release(std::string_view file_name) {
  return file_name.find('/') == std::string_view::npos;
}

bool counts_towards_release(const Settings& settings, const SfvEntry& entry) {
  return stays_in_release(entry.file_name) && !is_ignored(settings.ignore_list, entry.file_name);
}

namespace {

// The reason of the last failed system call, as the C library words it.
std::string reason(int error) { return std::strerror(error); }

}  // namespace

std::string rename_failure(const std::string& from, const std::string& to, int error) {
  return "Unable to rename " + from + " to " + to + ": " + reason(error) + ".";
}

std::optional<std::string> rename_file(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return std::nullopt;
  // A file that is gone (never uploaded, or removed meanwhile) leaves nothing
  // under its old name that could pass for something it is not.
  if (errno == ENOENT) return std::nullopt;
  return rename_failure(from, to, errno);
}

std::optional<std::string> create_marker(const std::string& marker) {
  // Exclusive creation never follows a link planted under the marker's name
  // and never truncates a file that already stands there.
  int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) {
    close(fd);
    return std::nullopt;
  }
  if (errno == EEXIST) return std::nullopt;
  return "Unable to create marker " + marker + ": " + reason(errno) + ".";
}

}  // namespace kuvo
