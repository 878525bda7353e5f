#include "verify/sfv_arrival.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fileset/case_fold.h"
#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/sfv_reader.h"
#include "run/emit.h"
#include "status/status_markers.h"
#include "verify/file_under_test.h"
#include "verify/markers.h"
#include "verify/progress.h"

namespace kuvo {
namespace {

// Loads the arrived SFV and lists the release directory; false, after emitting
// the reason, when either fails.
bool load_sfv_and_listing(const Settings& settings, SfvList& entries, NameList& files) {
  entries = load_sfv(settings.uploaded_file);
  if (entries.empty()) {
    emit_message(settings, true, "Error parsing SFV file " + settings.uploaded_file + ".");
    return false;
  }
  files = scan_directory(true, ".");
  if (files.empty()) {
    emit_message(settings, true, "Error reading directory " + settings.release_dir + ".");
    return false;
  }
  return true;
}

// Creates an empty marker unless something already bears its name; whoever
// made an existing marker, it is left untouched.
void create_marker(const std::string& marker) {
  int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) close(fd);
}

}  // namespace

bool retest_untested_files(const Settings& settings) {
  SfvList entries;
  NameList files;
  if (!load_sfv_and_listing(settings, entries, files)) return false;

  // Indexed once, so that many untested files cost no more than linear time.
  const SfvIndex listed = index_sfv_list(entries);
  const std::string& suffix = settings.untested_suffix;
  for (const NameEntry& file : files) {
    if (!ends_with_ignoring_case(file.name, suffix)) continue;
    const std::string base = file.name.substr(0, file.name.size() - suffix.size());
    emit_message(settings, false, "Testing " + base + "...");

    const SfvEntry* entry = find_sfv_entry(listed, base);
    if (entry == nullptr) {
      emit_message(settings, true, "not in SFV, skipping.");
      continue;
    }
    FileUnderTest under_test(file.name);
    std::optional<std::uint32_t> crc;
    if (under_test.is_open()) crc = under_test.crc32();
    if (!crc) {
      emit_message(settings, true, "unable to read file, skipping.");
      continue;
    }
    // The file gets back the name it was uploaded under, not the SFV's spelling.
    if (*crc == entry->expected_crc) {
      emit_message(settings, true, "CRC okay.");
      std::rename(file.name.c_str(), base.c_str());
    } else {
      emit_message(settings, true, "CRC failed, renaming to BAD.");
      std::rename(file.name.c_str(), (base + settings.bad_suffix).c_str());
    }
  }
  return true;
}

bool refresh_missing_markers(const Settings& settings) {
  SfvList entries;
  NameList files;
  if (!load_sfv_and_listing(settings, entries, files)) return false;

  // The listing is taken once: markers created here are not in it. Indexed
  // once, so that a large release costs no more than linear time.
  const NameIndex present = index_name_list(files);
  for (const SfvEntry& entry : entries) {
    if (!counts_towards_release(settings, entry)) continue;
    const std::string marker = missing_marker(settings, entry.file_name);
    if (find_listed_name(present, entry.file_name) != nullptr) {
      std::remove(marker.c_str());
    } else {
      create_marker(marker);
    }
  }
  return true;
}

int run_sfv_arrival(const Settings& settings) {
  const std::string& sfv = settings.uploaded_file;
  if (settings.untested_mode) {
    emit_message(settings, true, "Testing UNTESTED files against " + sfv + "...");
    if (!retest_untested_files(settings)) return 1;
  }
  emit_message(settings, true, "Creating MISSING files from " + sfv + "...");
  if (!refresh_missing_markers(settings)) return 1;

  int total = 0;
  const int progress = compute_progress(settings, total, true);
  if (progress != -1 && publishing_enabled(settings)) {
    publish_status(settings, progress, total, true);
  }
  return progress > 99 ? 3 : 0;
}

}  // namespace kuvo
