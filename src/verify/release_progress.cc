#include "verify/release_progress.h"

#include <unistd.h>

#include <cstdint>

#include "fileset/name_lookup.h"
#include "status/publish.h"
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
bool file_matches(std::string_view name, std::uint32_t expected_crc) {
  FileUnderTest file{std::string(name)};
  return file.is_open() && file.crc32() == expected_crc;
}

// The progress as `files` shows the release, and whether every counted file
// is there (so that only markers keep the release from being complete).
struct Count {
  Progress progress;
  bool all_files_there = false;
};

Count count_progress(const Settings& settings, const SfvList& sfv, ReleaseFiles& files) {
  // An entry is there when its marker is gone and its file is in the listing.
  // The marker alone cannot be trusted: a run that lands before the arriving
  // SFV's run has laid out the markers, an arrival killed part-way, or a marker
  // that could not be created would all leave absent files without one.
  const std::size_t untested_limit = longest_untested_base(settings);
  std::int64_t counted = 0;
  std::int64_t files_there = 0;
  std::int64_t present = 0;
  ListedFiles listed(sfv, files);
  std::string marker;
  for (const SfvEntry entry : sfv) {
    if (!counts_towards_release(settings, entry)) continue;
    ++counted;
    const std::optional<std::size_t> file = files.find(entry.file_name);
    if (!file) continue;
    // In untested mode a name too long to take the untested suffix may still
    // wait for its test under its own name, so its CRC has to vouch for it.
    const std::string_view name = listed_name(files.list(), *file);
    if (name.size() > untested_limit && !file_matches(name, entry.expected_crc)) continue;
    ++files_there;
    marker.assign(entry.file_name).append(settings.missing_suffix);
    const std::optional<std::size_t> found = files.find(marker);
    if (!found || listed.at(*found)) ++present;
  }
  return Count{Progress{counted == 0 ? 0 : static_cast<int>(present * 100 / counted),
                        static_cast<int>(counted)},
               files_there == counted};
}

// Lists the release directory afresh in place of the run's listing; false,
// after emitting why, when it cannot be read.
bool list_again(const Settings& settings, Release& release) {
  if (list_release(release)) return true;
  report_unreadable_directory(settings);
  return false;
}

}  // namespace

std::optional<Progress> compute_progress(const Settings& settings, Release& release) {
  const Count count = count_progress(settings, release.sfv, release.files);
  if (count.progress.complete()) {
    // Completion is told to the server, the uploader and the announce file,
    // and cannot be taken back: it must hold for the directory as it is now,
    // not only as this run listed it.
    if (!list_again(settings, release)) return std::nullopt;
    return count_progress(settings, release.sfv, release.files).progress;
  }
  // Other uploads' runs clear their markers while this one checks. The run
  // that clears the last marker must see the others gone, or no run would
  // ever tell the release complete: when only markers stand in the way, or
  // the directory changed since it was listed, it is listed again.
  if (!count.all_files_there && !release.listing_may_be_stale) return count.progress;
  if (!list_again(settings, release)) return std::nullopt;
  return count_progress(settings, release.sfv, release.files).progress;
}

ExitStatus finish_run(const Settings& settings, Release& release, Upload upload) {
  const std::optional<Progress> progress = compute_progress(settings, release);
  if (progress && publishing_enabled(settings)) {
    publish_status(settings, release.files.list_for_directory_changes(), *progress, upload);
  }
  if (progress && progress->complete()) return ExitStatus::release_complete;
  return upload == Upload::sfv_file ? ExitStatus::sfv_processed : ExitStatus::crc_okay;
}

}  // namespace kuvo
