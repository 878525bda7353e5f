#include "verify/sfv_arrival.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/case_fold.h"
#include "base/emit.h"
#include "fileset/directory_scanner.h"
#include "fileset/name_index.h"
#include "fileset/sfv_reader.h"
#include "status/publish.h"
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

// Emits the line that tells why a change failed, if it did.
void emit_failure(const Settings& settings, const std::optional<std::string>& failure) {
  if (failure) emit_message(settings, true, *failure);
}

// Tests the file `name` that waits for its test against the SFV entry of `base`,
// the name it was uploaded under, and renames it by the verdict.
void retest_file(const Settings& settings, const SfvIndex& listed, const std::string& name,
                 const std::string& base) {
  emit_message(settings, false, "Testing " + base + "...");
  const SfvEntry* entry = find_sfv_entry(listed, base);
  if (entry == nullptr) {
    emit_message(settings, true, "not in SFV, skipping.");
    return;
  }
  FileUnderTest under_test(name);
  std::optional<std::uint32_t> crc;
  if (under_test.is_open()) crc = under_test.crc32();
  if (!crc) {
    emit_message(settings, true, "unable to read file, skipping.");
    return;
  }
  if (*crc != entry->expected_crc) {
    emit_message(settings, true, "CRC failed, renaming to BAD.");
    emit_failure(settings, rename_file(name, base + settings.bad_suffix));
    return;
  }
  // The file gets back the name it was uploaded under, not the SFV's spelling.
  emit_message(settings, true, "CRC okay.");
  if (std::optional<std::string> failure = rename_file(name, base)) {
    emit_message(settings, true, *failure);
    return;
  }
  // The test read through the open descriptor, the rename went by name: other
  // bytes put under the untested name meanwhile must not take the tested name.
  if (!under_test.is_named(base)) {
    std::rename(base.c_str(), name.c_str());
    emit_message(settings, true,
                 "Unable to rename " + name + " to " + base + ": it changed while it was tested.");
  }
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
    retest_file(settings, listed, file.name, file.name.substr(0, file.name.size() - suffix.size()));
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
      emit_failure(settings, create_marker(marker));
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
