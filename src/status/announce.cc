#include "status/announce.h"

#include <cstdlib>

#include "base/emit.h"

namespace kuvo {
namespace {

// Each user field between double quotes, behind a blank; "?" for a variable the
// server did not set. Values are written as they are, quotes included.
std::string user_fields() {
  std::string fields;
  for (const char* name : {"USER", "GROUP", "UNFO"}) {
    const char* value = std::getenv(name);
    fields += " \"";
    fields += value != nullptr ? value : "?";
    fields += "\"";
  }
  return fields;
}

void append_announce_line(const Settings& settings, const std::string& event) {
  if (!settings.announce_file) return;
  const std::string line = time_stamp() + " NEWDIR: \"" + event + "\"" + user_fields() + "\n";
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
