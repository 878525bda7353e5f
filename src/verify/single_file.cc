#include "verify/single_file.h"

#include <cstdio>
#include <optional>
#include <string>

#include "base/emit.h"
#include "fileset/name_lookup.h"
#include "verify/file_under_test.h"
#include "verify/markers.h"
#include "verify/release_progress.h"
#include "verify/release.h"

namespace kuvo {
namespace {

// Emits `message`, which says the upload is renamed to its untested name, and
// renames it; an upload that kept its name is never reported as set aside, so
// a failed rename gets a line of its own.
void set_aside(const Settings& settings, const std::string& message) {
  const std::string& upload = settings.uploaded_file;
  const Change change = rename_file(upload, upload + settings.untested_suffix);
  emit_message(settings, message);
  if (change.refused()) emit_message(settings, change.line);
}

// No SFV in the release directory: without untested mode the upload waits as
// it is; with it, it is set aside and its marker goes.
ExitStatus handle_missing_sfv(const Settings& settings, ReleaseFiles& files) {
  const std::string& upload = settings.uploaded_file;
  if (!settings.untested_mode) {
    emit_message(settings, "Skipping " + upload + ", you need to upload an SFV file first.");
    return ExitStatus::no_usable_sfv;
  }
  set_aside(settings, "No SFV file located, renaming " + upload + " to UNTESTED.");
  const std::string marker = upload + settings.missing_suffix;
  if (files.holds(marker)) std::remove(marker.c_str());
  return ExitStatus::no_usable_sfv;
}

// The upload's CRC-32, or none after setting the upload aside when it cannot
// be opened or read to its end: such a file gets no verdict at all.
std::optional<std::uint32_t> checksum_upload(const Settings& settings,
                                             const std::string& sfv_name) {
  const std::string& upload = settings.uploaded_file;
  std::optional<std::uint32_t> crc;
  {
    FileUnderTest file(upload);
    if (file.is_open()) {
      emit_message(settings, "Checking " + upload + " against SFV file " + sfv_name + "...",
                   LineEnd::none);
      crc = file.crc32();
    }
  }
  if (!crc) set_aside(settings, "Unable to read file " + upload + ", renaming to UNTESTED.");
  return crc;
}

}  // namespace

ExitStatus check_uploaded_file(const Settings& settings) {
  const std::string& upload = settings.uploaded_file;
  const DirectoryStamp listed_at = stamp_directory(".");
  NameList listing = scan_directory(".");
  if (!listing.readable()) {
    report_unreadable_directory(settings);
    return ExitStatus::no_usable_sfv;
  }
  Release release(std::move(listing));
  std::optional<std::string> sfv_name = find_release_sfv(release.files.list());
  if (!sfv_name) return handle_missing_sfv(settings, release.files);
  release.sfv_name = std::move(*sfv_name);

  release.sfv = load_sfv(release.sfv_name);
  if (release.sfv.empty()) {
    set_aside(settings, "Error parsing SFV file " + release.sfv_name + ", renaming " + upload +
                            " to UNTESTED.");
    return ExitStatus::no_usable_sfv;
  }
  const std::optional<SfvEntry> entry = find_sfv_entry(release.sfv, upload);
  if (!entry) {
    set_aside(settings, "File " + upload + " is not listed in SFV " + release.sfv_name +
                            ", renaming to UNTESTED.");
    return ExitStatus::set_aside;
  }

  const std::optional<std::uint32_t> crc = checksum_upload(settings, release.sfv_name);
  if (!crc) return ExitStatus::set_aside;
  if (*crc != entry->expected_crc) {
    emit_message(settings, "CRC failed.");
    return ExitStatus::crc_failed;
  }

  // Other uploads' runs may have changed the directory while the checksum was
  // computed; this run's own change below would hide that.
  release.listing_may_be_stale = may_have_changed(".", listed_at);
  // The marker is spelled as in the SFV, which may differ from the upload's
  // name when the two matched only through name equivalence. It goes before
  // the progress is computed, so that the progress counts this file. It is
  // removed even when the listing did not show it: an SFV arriving meanwhile
  // may have laid it out.
  if (stays_in_release(entry->file_name)) {
    const std::string marker = missing_marker(settings, entry->file_name);
    // A file the SFV lists is never a marker, though named like one.
    if (!lists_exactly(release.sfv, marker) && std::remove(marker.c_str()) == 0) {
      release.files.removed(marker);
    }
  }
  emit_message(settings, "CRC okay.");
  return finish_run(settings, release, Upload::release_file);
}

}  // namespace kuvo
