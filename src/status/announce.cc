#include "status/announce.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/emit.h"

namespace kuvo {
namespace {

// The name that the account file `path` (lines "name:password:id:...", as
// /etc/passwd and /etc/group hold them) gives `id`, or its decimal text when
// none does. The file is read directly rather than through the name service,
// whose modules a kuvo linked statically into a chroot cannot load.
std::string account_name(const char* path, unsigned long id) {
  const std::string number = std::to_string(id);
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return number;
  std::string name = number;
  char* line = nullptr;
  std::size_t capacity = 0;
  while (getline(&line, &capacity, file) > 0) {
    const std::string_view text(line);
    const std::size_t end_of_name = text.find(':');
    const std::size_t id_starts = text.find(':', end_of_name + 1);
    if (end_of_name == 0 || id_starts == std::string_view::npos) continue;
    if (text.substr(id_starts + 1, number.size() + 1) == number + ":") {
      name = text.substr(0, end_of_name);
      break;
    }
  }
  std::free(line);
  std::fclose(file);
  return name;
}

// Each user field between double quotes, behind a blank; "?" for a variable the
// server did not set, or for the owner of an upload that is gone. Values are
// written as they are, quotes included.
std::string user_fields(const Settings& settings) {
  std::string values[3];
  const char* names[3] = {"USER", "GROUP", "UNFO"};
  for (int i = 0; i < 3; ++i) {
    const char* value = std::getenv(names[i]);
    values[i] = value != nullptr ? value : "?";
  }
  struct stat st;
  if (settings.uploader_is_owner) {
    // The entry itself: a link planted as an upload names whoever planted it.
    const bool known = lstat(settings.uploaded_file.c_str(), &st) == 0;
    values[0] = known ? account_name("/etc/passwd", st.st_uid) : "?";
    values[1] = known ? account_name("/etc/group", st.st_gid) : "?";
  }
  std::string fields;
  for (const std::string& value : values) fields += " \"" + value + "\"";
  return fields;
}

void append_announce_line(const Settings& settings, const std::string& event) {
  if (!settings.announce_file) return;
  const std::string line =
      time_stamp() + " NEWDIR: \"" + event + "\"" + user_fields(settings) + "\n";
  append_line_to_file(*settings.announce_file, line);
}

}  // namespace

void write_expecting_line(const Settings& settings, int total) {
  append_announce_line(settings,
                       settings.release_dir + " - Expecting " + std::to_string(total) + " files");
}

void write_status_line(const Settings& settings, const std::string& event) {
  append_announce_line(settings, settings.release_dir + " " + event);
}

}  // namespace kuvo
