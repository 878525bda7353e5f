#include "fileset/directory_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace kuvo {
namespace {

constexpr std::size_t kLongestName = 255;

// The kind of the entry `name` of the open directory, following links; none
// when its status cannot be read.
std::optional<EntryKind> kind_by_status(int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, 0) != 0) return std::nullopt;
  return S_ISREG(st.st_mode) ? EntryKind::regular : EntryKind::other;
}

// The kind the directory entry tells, or none when only a status read can
// tell: for a link, which is followed, and for an entry of unknown type.
std::optional<EntryKind> kind_by_type(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryKind::regular;
    case DT_LNK:
    case DT_UNKNOWN:
      return std::nullopt;
    default:
      return EntryKind::other;
  }
}

// Statting an entry needs search permission on the directory, which reading it
// does not: a directory that can be read but not searched gives every entry's
// type and no entry's status. Its listing must hold nothing, as when every
// status is read, so this is checked once, on the directory itself.
bool searchable(int dir_fd) {
  struct stat st;
  return fstatat(dir_fd, ".", &st, 0) == 0;
}

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

}  // namespace

DirectoryStamp stamp_directory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return DirectoryStamp{nanoseconds(st.st_mtim), true};
}

bool may_have_changed(const std::string& path, const DirectoryStamp& stamp) {
  const DirectoryStamp now = stamp_directory(path);
  return !stamp.known || !now.known || now.changed_ns != stamp.changed_ns;
}

void NameList::add(std::string_view name, EntryKind kind) {
  if (name.size() > kLongestName) return;
  spans_.push_back(Span{text_.size(), name.size(), static_cast<std::uint8_t>(kind)});
  text_.append(name.data(), name.size());
}

void NameList::reverse() { std::reverse(spans_.begin(), spans_.end()); }

NameList scan_directory(const std::string& path, KindSource source) {
  NameList list;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return list;
  const int dir_fd = dirfd(dir);
  const bool can_search = searchable(dir_fd);
  for (;;) {
    // readdir tells its end from a read error only through errno. A listing cut
    // short by an error would lay out no markers for the names it lost and let
    // the release pass as complete, so it fails as an unreadable directory.
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno == EINTR) continue;
      if (errno != 0) {
        closedir(dir);
        return NameList{};
      }
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!can_search) continue;
    std::optional<EntryKind> kind;
    if (source == KindSource::directory_entry) kind = kind_by_type(entry->d_type);
    if (!kind) kind = kind_by_status(dir_fd, name);
    if (kind) list.add(name, *kind);
  }
  closedir(dir);
  list.reverse();
  list.mark_readable();
  return list;
}

}  // namespace kuvo
