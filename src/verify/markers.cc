#include "verify/markers.h"

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
  return stays_in_release(entry.file_name) && !is_ignored(settings, entry.file_name);
}

}  // namespace kuvo
