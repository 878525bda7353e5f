#include "verify/single_file.h"

#include <cstdio>
#include <string>

#include "base/case_fold.h"
#include "base/emit.h"
#include "fileset/directory_scanner.h"
#include "fileset/name_lookup.h"
#include "fileset/sfv_reader.h"
#include "status/publish.h"
#include "verify/file_under_test.h"
#include "verify/markers.h"
#include "verify/progress.h"

namespace kuvo {
namespace {

// Sets the upload aside under its untested name; returns the line telling why
// that failed, if it did, for the caller to emit after its own message.
std::optional<std::string> rename_to_untested(const Settings& settings) {
  const std::string& upload = settings.uploaded_file;
  return rename_file(upload, upload + settings.untested_suffix);
}

// Emits `message`, then the reason the rename it announced failed, if it did:
// an upload that kept its name must never be reported as set aside.
void emit_set_aside(const Settings& settings, const std::string& message,
                    const std::optional<std::string>& failure) {
  emit_message(settings, true, message);
  if (failure) emit_message(settings, true, *failure);
}

int handle_missing_sfv(const Settings& settings) {
  const std::string& upload = settings.uploaded_file;
  if (!settings.untested_mode) {
    emit_message(settings, true, "Skipping " + upload + ", you need to upload an SFV file first.");
    return 4;
  }
  emit_set_aside(settings, "No SFV file located, renaming " + upload + " to UNTESTED.",
                 rename_to_untested(settings));
  std::remove((upload + settings.missing_suffix).c_str());
  return 4;
}

}  // namespace

int check_uploaded_file(const Settings& settings) {
  const std::string& upload = settings.uploaded_file;

  std::string sfv_name;
  {
    // Only SFV files matter here, so no other entry's status is read.
    NameList files = scan_directory(true, ".", is_sfv_name);
    if (files.empty()) {
      emit_message(settings, true, "Error reading directory " + settings.release_dir + ".");
      return 4;
    }
    const NameEntry* sfv = find_release_sfv(files);
    if (sfv == nullptr) return handle_missing_sfv(settings);
    sfv_name = sfv->name;
  }

  SfvList entries = load_sfv(sfv_name);
  if (entries.empty()) {
    emit_set_aside(settings,
                   "Error parsing SFV file " + sfv_name + ", renaming " + upload + " to UNTESTED.",
                   rename_to_untested(settings));
    return 4;
  }
  const SfvEntry* found = find_sfv_entry(entries, upload);
  if (found == nullptr) {
    emit_set_aside(
        settings,
        "File " + upload + " is not listed in SFV " + sfv_name + ", renaming to UNTESTED.",
        rename_to_untested(settings));
    return 5;
  }
  // Only the upload's entry is needed from here on; the progress reads the SFV
  // afresh, so the rest of a large one need not stay in memory meanwhile.
  const SfvEntry entry = *found;
  SfvList().swap(entries);

  std::optional<std::uint32_t> crc;
  {
    FileUnderTest file(upload);
    if (!file.is_open()) {
      emit_set_aside(settings, "Unable to read file " + upload + ", renaming to UNTESTED.",
                     rename_to_untested(settings));
      return 5;
    }
    emit_message(settings, false, "Checking " + upload + " against SFV file " + sfv_name + "...");
    crc = file.crc32();
  }
  // A file that could not be read to its end gets no verdict at all.
  if (!crc) {
    emit_set_aside(settings, "Unable to read file " + upload + ", renaming to UNTESTED.",
                   rename_to_untested(settings));
    return 5;
  }
  if (*crc != entry.expected_crc) {
    emit_message(settings, true, "CRC failed.");
    return 6;
  }

  // The marker is spelled as in the SFV, which may differ from the upload's
  // name when the two matched only through name equivalence. It goes before
  // the progress is computed, so that the progress counts this file.
  if (stays_in_release(entry.file_name)) {
    std::remove(missing_marker(settings, entry.file_name).c_str());
  }
  emit_message(settings, true, "CRC okay.");

  int total = 0;
  const int progress = compute_progress(settings, total, false);
  if (progress != -1 && publishing_enabled(settings)) {
    publish_status(settings, progress, total, false);
  }
  return progress > 99 ? 3 : 2;
}

}  // namespace kuvo
