#include "verify/progress.h"

#include <cstdint>

#include "fileset/case_fold.h"
#include "fileset/name_index.h"
#include "fileset/name_lookup.h"
#include "fileset/sfv_reader.h"
#include "run/emit.h"
#include "verify/markers.h"

namespace kuvo {
namespace {

// Only the SFV file and the entries that may be missing markers affect the
// progress, so no other entry's status is read.
NameList list_progress_files(const Settings& settings) {
  return scan_directory(true, ".", [&settings](std::string_view name) {
    return is_sfv_name(name) || may_match_name_ending_in(name, settings.missing_suffix);
  });
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
  NameList files;
  if (sfv_given) {
    entries = load_sfv(settings.uploaded_file);
    if (entries.empty()) {
      emit_message(settings, true, "Error parsing SFV file " + settings.uploaded_file + ".");
      return -1;
    }
    files = list_progress_files(settings);
  } else {
    files = list_progress_files(settings);
  }
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

  // An entry is there exactly when its marker is gone, whether or not its file
  // is: markers are laid out when the SFV arrives and cleared by CRC matches.
  // Indexed once, so that a large release costs no more than linear time.
  const NameIndex listed = index_name_list(files);
  std::int64_t counted = 0;
  std::int64_t present = 0;
  for (const SfvEntry& entry : entries) {
    if (!counts_towards_release(settings, entry)) continue;
    ++counted;
    if (find_listed_name(listed, missing_marker(settings, entry.file_name)) == nullptr) ++present;
  }
  total = static_cast<int>(counted);
  return counted == 0 ? 0 : static_cast<int>(present * 100 / counted);
}

}  // namespace kuvo
