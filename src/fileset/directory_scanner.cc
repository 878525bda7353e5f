#include "fileset/directory_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kuvo {

NameList scan_directory(bool regular_only, const std::string& path, const NameFilter& wanted) {
  std::string prefix = path;
  if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');
  DIR* dir = opendir(prefix.c_str());
  if (dir == nullptr) return {};

  NameList list;
  const int dir_fd = dirfd(dir);
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
        return {};
      }
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (wanted && !wanted(name)) continue;
    // Statting relative to the open directory follows links like stat on the
    // full path, without building that path for every entry.
    struct stat st;
    if (fstatat(dir_fd, name, &st, 0) != 0) continue;
    if (S_ISREG(st.st_mode) == regular_only) list.push_back(NameEntry{name});
  }
  closedir(dir);

  std::reverse(list.begin(), list.end());
  // Every listing of a directory that opened ends with "*", so an empty list
  // means only that the directory could not be read.
  list.push_back(NameEntry{"*"});
  return list;
}

}  // namespace kuvo
