#include "verify/progress.h"

#include <unistd.h>

#include <cstdint>

#include "base/case_fold.h"
#include "base/emit.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"
#include "fileset/sfv_reader.h"
#include "verify/file_under_test.h"
#include "verify/markers.h"

namespace kuvo {
namespace {

// The longest name that can still take the untested suffix in untested mode;
// with untested mode off, no name waits for its test under its own name.
std::size_t longest_untested_base(const Settings& settings) {
  if (!settings.untested_mode) return static_cast<std::size_t>(-1);
  const long limit = pathconf(".", _PC_NAME_MAX);
  const std::size_t longest = limit > 0 ? static_cast<std::size_t>(limit) : 255;
  const std::size_t suffix = settings.untested_suffix.size();
  return longest > suffix ? longest - suffix : 0;
}

// True when the file reads to its end with the expected CRC-32.
bool file_matches(const std::string& name, std::uint32_t expected_crc) {
  FileUnderTest file(name);
  return file.is_open() && file.crc32() == expected_crc;
}

}  // namespace

const NameEntry* find_release_sfv(const NameList& files) {
  for (const NameEntry& entry : files) {
    if (is_sfv_name(entry.name)) return &entry;
  }
  return nullptr;
}

int compute_progress(const Settings& settings, int& total, bool sfv_given) {
  SfvList entries;
  if (sfv_given) {
    entries = load_sfv(settings.uploaded_file);
    if (entries.empty()) {
      emit_message(settings, true, "Error parsing SFV file " + settings.uploaded_file + ".");
      return -1;
    }
  }
  const NameList files = scan_directory(true, ".");
  if (files.empty()) {
    emit_message(settings, true, "Error reading directory " + settings.release_dir + ".");
    return -1;
  }
  if (!sfv_given) {
    const NameEntry* sfv = find_release_sfv(files);
    if (sfv == nullptr) return -1;
    entries = load_sfv(sfv->name);
    if (entries.empty()) {
      emit_message(settings, true, "Error parsing SFV file " + sfv->name + ".");
      return -1;
    }
  }

  // An entry is there when its marker is gone and its file is in the listing.
  // The marker alone cannot be trusted: a run that lands before the arriving
  // SFV's run has laid out the markers, an arrival killed part-way, or a marker
  // that could not be created would all leave absent files without one.
  // Indexed once, so that a large release costs no more than linear time.
  const NameIndex listed = index_name_list(files);
  const std::size_t untested_limit = longest_untested_base(settings);
  std::int64_t counted = 0;
  std::int64_t present = 0;
  for (const SfvEntry& entry : entries) {
    if (!counts_towards_release(settings, entry)) continue;
    ++counted;
    if (find_listed_name(listed, missing_marker(settings, entry.file_name)) != nullptr) continue;
    const NameEntry* file = find_listed_name(listed, entry.file_name);
    if (file == nullptr) continue;
    // In untested mode a name too long to take the untested suffix may still
    // wait for its test under its own name, so its CRC has to vouch for it.
    if (file->name.size() > untested_limit && !file_matches(file->name, entry.expected_crc)) {
      continue;
    }
    ++present;
  }
  total = static_cast<int>(counted);
  return counted == 0 ? 0 : static_cast<int>(present * 100 / counted);
}

}  // namespace kuvo
