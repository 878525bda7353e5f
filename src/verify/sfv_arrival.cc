#include "verify/sfv_arrival.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/case_fold.h"
#include "base/emit.h"
#include "fileset/name_index.h"
#include "verify/file_under_test.h"
#include "verify/markers.h"
#include "verify/release_progress.h"

namespace kuvo {
namespace {

// Reads the arrived SFV, then lists the release directory, unless `release`
// holds them already; false, after emitting why, when either cannot be read.
bool read_release(const Settings& settings, Release& release) {
  if (read_sfv(release, settings.uploaded_file).empty()) {
    report_unparsable_sfv(settings, settings.uploaded_file);
    return false;
  }
  if (!release.files.listed() && !list_release(release)) {
    report_unreadable_directory(settings);
    return false;
  }
  return true;
}

// Renames the held file `from` to `to` and keeps the listing up to date;
// refused, with the line that tells why, when the rename failed.
Change rename_held(FileUnderTest& file, ReleaseFiles& files, const std::string& from,
                   const std::string& to, HeldRename& outcome) {
  outcome = file.rename_while_held(from, to);
  if (outcome == HeldRename::renamed) files.renamed(from, to);
  if (outcome != HeldRename::failed) return {};
  return Change{Change::Outcome::refused, rename_failure(from, to, file.error())};
}

// Tests the file `name` that waits for its test against the SFV entry of `base`,
// the name it was uploaded under, and renames it by the verdict while it holds
// it. A file that someone is writing, or that changed while read, keeps its
// name.
void retest_file(const Settings& settings, const SfvIndex& sfv, ReleaseFiles& files,
                 const std::string& name, const std::string& base) {
  emit_message(settings, "Testing " + base + "...", LineEnd::none);
  const std::optional<SfvEntry> entry = find_sfv_entry(sfv, base);
  if (!entry) {
    emit_message(settings, "not in SFV, skipping.");
    return;
  }
  FileUnderTest under_test(name, Guard::against_writers);
  std::optional<std::uint32_t> crc;
  if (under_test.is_open() && !under_test.being_written()) crc = under_test.crc32();
  if (under_test.is_open() && under_test.being_written()) {
    emit_message(settings, still_being_written(base));
    return;
  }
  if (!crc) {
    emit_message(settings, "unable to read file, skipping.");
    return;
  }
  // The file gets back the name it was uploaded under, not the SFV's spelling.
  const bool matches = *crc == entry->expected_crc;
  HeldRename outcome;
  const Change change =
      rename_held(under_test, files, name, matches ? base : base + settings.bad_suffix, outcome);
  if (outcome == HeldRename::being_written) {
    emit_message(settings, still_being_written(base));
    return;
  }
  emit_message(settings, matches ? "CRC okay." : "CRC failed, renaming to BAD.");
  if (change.refused()) emit_message(settings, change.line);
}

}  // namespace

void retest_untested_files(const Settings& settings, Release& release) {
  // Indexed once, so that many untested files cost no more than linear time.
  const SfvIndex sfv = index_sfv_list(release.sfv);
  const std::string& suffix = settings.untested_suffix;
  // Only the entries listed before the re-test: renamed files come last and
  // are not tested again.
  std::vector<std::string> waiting;
  const NameList& list = release.files.list();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list.kind(i) == EntryKind::regular && ends_with_ignoring_case(list.name(i), suffix)) {
      waiting.emplace_back(list.name(i));
    }
  }
  // The "*" that closes every listing passes only a suffix "*" itself.
  if (ends_with_ignoring_case("*", suffix)) waiting.emplace_back("*");
  for (const std::string& name : waiting) {
    retest_file(settings, sfv, release.files, name, name.substr(0, name.size() - suffix.size()));
  }
}

void refresh_missing_markers(const Settings& settings, Release& release) {
  // Presence is decided on the listing as it stood before this step: a marker
  // laid out here never stands for a file named like it. The changes are
  // noted in the listing afterwards, by position, all at once.
  std::vector<std::size_t> removed;  // positions in the listing
  std::vector<std::size_t> created;  // positions in the SFV
  ListedFiles listed(release.sfv, release.files);
  // Lines naming a file like a marker: no marker is laid out under that name.
  std::unordered_set<std::string_view> marker_like;
  for (const SfvEntry entry : release.sfv) {
    if (entry.file_name.ends_with(settings.missing_suffix)) marker_like.insert(entry.file_name);
  }
  std::string marker;
  for (std::size_t i = 0; i < release.sfv.size(); ++i) {
    const SfvEntry entry = release.sfv[i];
    if (!counts_towards_release(settings, entry)) continue;
    marker.assign(entry.file_name).append(settings.missing_suffix);
    if (release.files.find(entry.file_name)) {
      // Only a marker that is there is removed: the listing has the answer.
      const std::optional<std::size_t> at = release.files.position_of(marker);
      if (at && !listed.at(*at) && std::remove(marker.c_str()) == 0) removed.push_back(*at);
    } else if (marker_like.count(marker)) {
      continue;
    } else if (const Change change = create_marker(marker); change.refused()) {
      emit_message(settings, change.line);
    } else {
      created.push_back(i);
    }
  }
  for (std::size_t at : removed) release.files.removed_at(at);
  for (std::size_t i : created) {
    release.files.created_exclusively(missing_marker(settings, release.sfv[i].file_name));
  }
}

ExitStatus run_sfv_arrival(const Settings& settings) {
  Release release;
  return run_sfv_arrival(settings, release);
}

ExitStatus run_sfv_arrival(const Settings& settings, Release& release) {
  const std::string& sfv = settings.uploaded_file;
  if (settings.untested_mode) {
    emit_message(settings, "Testing UNTESTED files against " + sfv + "...");
    if (!read_release(settings, release)) return ExitStatus::sfv_unusable;
    retest_untested_files(settings, release);
  }
  emit_message(settings, "Creating MISSING files from " + sfv + "...");
  if (!settings.untested_mode && !read_release(settings, release)) {
    return ExitStatus::sfv_unusable;
  }
  refresh_missing_markers(settings, release);
  return finish_run(settings, release, Upload::sfv_file);
}

}  // namespace kuvo
