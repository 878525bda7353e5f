#include "watch/name_filter.h"

#include <sys/stat.h>

namespace kuvo {
namespace {

bool ends_with(std::string_view name, std::string_view tail) {
  return name.size() > tail.size() && name.substr(name.size() - tail.size()) == tail;
}

// rsync writes ".NAME.XXXXXX" (six letters or digits) beside the file and
// renames it when the transfer is done.
bool is_rsync_temporary(std::string_view name) {
  constexpr std::size_t kRandom = 6;
  if (name.size() < kRandom + 3 || name.front() != '.') return false;
  const std::size_t dot = name.size() - kRandom - 1;
  if (name[dot] != '.') return false;
  for (const char c : name.substr(dot + 1)) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

bool is_partial(std::string_view name) {
  return is_rsync_temporary(name) || name.starts_with(".pureftpd-upload.") ||
         (name.starts_with(".in.") && ends_with(name, ".")) || ends_with(name, ".part") ||
         ends_with(name, ".filepart");
}

// The directory part of an absolute `path` ("/" for "/x") and its last part.
void split(const std::string& path, std::string& dir, std::string& name) {
  const std::size_t slash = path.rfind('/');
  dir = slash == 0 ? "/" : path.substr(0, slash);
  name = path.substr(slash + 1);
}

}  // namespace

NameKind classify_name(const Settings& settings, std::string_view name) {
  if (ends_with(name, settings.missing_suffix) || ends_with(name, settings.untested_suffix) ||
      ends_with(name, settings.bad_suffix)) {
    return NameKind::own;
  }
  return is_partial(name) ? NameKind::partial : NameKind::upload;
}

bool is_client_staging_dir(std::string_view name) {
  return name == ".~tmp~" || name == ".rsync-partial";
}

OwnFiles::OwnFiles(const Settings& settings) {
  auto note = [this](const std::string& path) {
    if (path.empty()) return;
    Place place;
    if (path.front() == '/') {
      split(path, place.dir, place.name);
    } else if (path.find('/') == std::string::npos) {
      // A run opens a relative path from the release directory it works in.
      place.name = path;
    } else {
      return;  // below or beside a release directory, never judged
    }
    places_.push_back(std::move(place));
  };
  if (settings.log_switch) note(settings.log_path);
  if (settings.announce_file) note(*settings.announce_file);
  if (settings.base_dir_switch && settings.base_dir) {
    std::string dir = *settings.base_dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.front() == '/') places_.push_back(Place{dir, ""});
  }
}

bool OwnFiles::holds(dev_t dev, ino_t ino, std::string_view name) const {
  for (const Place& place : places_) {
    if (!place.name.empty() && place.name != name) continue;
    if (place.dir.empty()) return true;
    // Looked at on each question: the directory may come and go, and the
    // question is asked only for names that would otherwise start a run.
    struct stat st;
    if (stat(place.dir.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) return true;
  }
  return false;
}

}  // namespace kuvo
