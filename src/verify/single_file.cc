#include "verify/single_file.h"

#include <cstdio>
#include <cstring>
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

// Notes in the listing that the run renamed `from` to `to`. A rename counts as
// done when `from` was gone already, and then nothing took the new name.
void note_renamed(ReleaseFiles& files, const std::string& from, const std::string& to) {
  if (files.holds(from)) files.renamed(from, to);
}

// Renames the upload to its untested name and emits `message`, which says so,
// and returns `status`; an upload that kept its name is never reported as set
// aside, so a failed rename gets a line of its own. An upload that someone is
// still writing keeps its name and gets no verdict at all.
ExitStatus set_aside(const Settings& settings, ReleaseFiles& files, FileUnderTest& upload_file,
                     const std::string& message, ExitStatus status) {
  const std::string& upload = settings.uploaded_file;
  const std::string untested = upload + settings.untested_suffix;
  Change change;
  if (!upload_file.is_open()) {
    // Nothing to hold: the file cannot be read, so no writer can be told.
    change = rename_file(upload, untested);
  } else {
    switch (upload_file.rename_while_held(upload, untested)) {
      case HeldRename::being_written:
        emit_message(settings, still_being_written(upload));
        return ExitStatus::being_written;
      case HeldRename::failed:
        change = {Change::Outcome::refused, rename_failure(upload, untested, upload_file.error())};
        break;
      case HeldRename::renamed:
        break;
    }
  }
  if (!change.refused()) note_renamed(files, upload, untested);
  emit_message(settings, message);
  if (change.refused()) emit_message(settings, change.line);
  return status;
}

// No SFV in the release directory: without untested mode the upload waits as
// it is; with it, it is set aside and its marker goes.
ExitStatus handle_missing_sfv(const Settings& settings, ReleaseFiles& files,
                              FileUnderTest& upload_file) {
  const std::string& upload = settings.uploaded_file;
  if (!settings.untested_mode) {
    emit_message(settings, "Skipping " + upload + ", you need to upload an SFV file first.");
    return ExitStatus::no_usable_sfv;
  }
  const ExitStatus status = set_aside(settings, files, upload_file,
                                      "No SFV file located, renaming " + upload + " to UNTESTED.",
                                      ExitStatus::no_usable_sfv);
  const std::string marker = upload + settings.missing_suffix;
  if (status == ExitStatus::no_usable_sfv && files.holds(marker) &&
      std::remove(marker.c_str()) == 0) {
    files.removed(marker);
  }
  return status;
}

// Does with a mismatching upload what KUVO_ON_BAD asks, while the file is
// held, and returns the line that tells the uploader; none when the server
// decides. being_written when someone reached for the file meanwhile: it then
// keeps its name.
std::optional<std::string> act_on_bad(const Settings& settings, FileUnderTest& upload_file,
                                      HeldRename& outcome) {
  const std::string& upload = settings.uploaded_file;
  const std::string bad = upload + settings.bad_suffix;
  outcome = HeldRename::renamed;
  switch (settings.on_bad) {
    case OnBad::server_decides:
      return std::nullopt;
    case OnBad::keep:
      return "CRC mismatch: " + upload + " was kept.";
    case OnBad::rename:
      outcome = upload_file.rename_while_held(upload, bad);
      if (outcome == HeldRename::failed) {
        return "CRC mismatch: " + upload + " could not be renamed to " + bad + ": " +
               std::strerror(upload_file.error()) + ".";
      }
      return "CRC mismatch: " + upload + " was renamed to " + bad + ".";
    case OnBad::remove:
      // Parked under the bad name on its way out, so that a file that cannot
      // be deleted at least bears that name.
      outcome = upload_file.remove_while_held(upload, bad);
      if (outcome == HeldRename::failed) {
        return "CRC mismatch: " + upload + " could not be deleted: " +
               std::strerror(upload_file.error()) + ".";
      }
      return "CRC mismatch: " + upload + " was deleted.";
  }
  return std::nullopt;
}

// Notes in the listing what act_on_bad did with the upload.
void note_fate(const Settings& settings, ReleaseFiles& files, HeldRename outcome) {
  const std::string& upload = settings.uploaded_file;
  if (settings.on_bad == OnBad::rename && outcome == HeldRename::renamed) {
    note_renamed(files, upload, upload + settings.bad_suffix);
  } else if (settings.on_bad == OnBad::remove && outcome == HeldRename::renamed) {
    files.removed(upload);
  } else if (settings.on_bad == OnBad::remove && outcome == HeldRename::failed) {
    // Parked under the bad name or not: the next step lists the directory.
    files.replace_list(NameList{});
  }
}

// The verdict on a mismatching upload, or none when someone reached for it
// before it could be acted on.
ExitStatus report_mismatch(const Settings& settings, ReleaseFiles& files,
                           FileUnderTest& upload_file) {
  HeldRename outcome;
  const std::optional<std::string> fate = act_on_bad(settings, upload_file, outcome);
  if (outcome == HeldRename::being_written) {
    emit_message(settings, still_being_written(settings.uploaded_file));
    return ExitStatus::being_written;
  }
  note_fate(settings, files, outcome);
  emit_message(settings, "CRC failed.");
  if (fate) emit_message(settings, *fate);
  return ExitStatus::crc_failed;
}

}  // namespace

ExitStatus check_uploaded_file(const Settings& settings) {
  Release release;
  return check_uploaded_file(settings, release);
}

ExitStatus check_uploaded_file(const Settings& settings, Release& release) {
  const std::string& upload = settings.uploaded_file;
  if (!release.files.listed() && !list_release(release)) {
    report_unreadable_directory(settings);
    return ExitStatus::no_usable_sfv;
  }
  // Held from here to the end of the run, so that every rename below moves
  // the bytes that were judged and no writer slips in unseen.
  FileUnderTest upload_file(upload, Guard::against_writers);
  std::optional<std::string> sfv_name = find_release_sfv(release.files.list());
  if (!sfv_name) return handle_missing_sfv(settings, release.files, upload_file);

  if (read_sfv(release, *sfv_name).empty()) {
    return set_aside(
        settings, release.files, upload_file,
        "Error parsing SFV file " + release.sfv_name + ", renaming " + upload + " to UNTESTED.",
        ExitStatus::no_usable_sfv);
  }
  const std::optional<SfvEntry> entry = find_sfv_entry(release.sfv, upload);
  if (!entry) {
    return set_aside(
        settings, release.files, upload_file,
        "File " + upload + " is not listed in SFV " + release.sfv_name + ", renaming to UNTESTED.",
        ExitStatus::set_aside);
  }

  const std::string unreadable = "Unable to read file " + upload + ", renaming to UNTESTED.";
  if (!upload_file.is_open()) {
    return set_aside(settings, release.files, upload_file, unreadable, ExitStatus::set_aside);
  }
  if (upload_file.being_written()) {
    emit_message(settings, still_being_written(upload));
    return ExitStatus::being_written;
  }
  emit_message(settings, "Checking " + upload + " against SFV file " + release.sfv_name + "...",
               LineEnd::none);
  // A file that cannot be read to its end gets no verdict at all.
  const std::optional<std::uint32_t> crc = upload_file.crc32();
  // Other uploads' runs may have changed the directory while the checksum was
  // computed; this run's own changes below would hide that.
  release.listing_may_be_stale = may_have_changed(".", release.listed_at);
  if (!crc) {
    return set_aside(settings, release.files, upload_file, unreadable, ExitStatus::set_aside);
  }
  if (upload_file.being_written()) {
    emit_message(settings, still_being_written(upload));
    return ExitStatus::being_written;
  }
  if (*crc != entry->expected_crc) return report_mismatch(settings, release.files, upload_file);

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
