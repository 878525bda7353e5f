// An administrator's look at a release: the state of every counted SFV entry,
// found by reading every file it may be under, with the name rules, the ignore
// list and the SFV and listing readers of a hook run. Nothing here changes the
// release directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/progress.h"
#include "base/settings.h"
#include "verify/parallel_read.h"

namespace kuvo {

// How a file reads against the SFV entry a hook run would check it against.
enum class Verdict { crc_ok, crc_bad, unreadable };

// One file read in full (or not) against its SFV entry.
struct FileCheck {
  std::string name;  // as the directory spells it
  Verdict verdict = Verdict::unreadable;
  std::uint32_t expected_crc = 0;
  std::optional<std::uint32_t> actual_crc;  // when the file was read to its end
  std::string problem;                      // why it is unreadable
  std::optional<FileIdentity> identity;     // as it stood before it was read
};

// What became of one counted SFV entry.
enum class EntryState {
  ok,          // under its own name, CRC matches
  bad,         // under its own name (else only under its bad name), CRC does not match
  missing,     // under no name at all
  unreadable,  // as bad, but it cannot be read to its end
  waiting,     // only under its untested name, or matching under its bad name
  counted      // there without a file to read, as every hook run counts it: the
               // entry "*", and the entry that names the release's SFV itself
};

struct EntryReport {
  std::string sfv_name;  // as the SFV spells it
  std::uint32_t expected_crc = 0;
  EntryState state = EntryState::missing;
  std::optional<FileCheck> file;   // under its own name, by the name rules
  std::vector<FileCheck> waiting;  // under its untested or bad names, by name
  // Other files under names equivalent to its own, which a hook run for them
  // would check against this entry; by name.
  std::vector<FileCheck> copies;
  // Its missing marker: a file spelled exactly as kuvo spells it, that the
  // SFV does not list.
  std::optional<std::string> marker;

  // True when the entry is the release's SFV itself. Cannot fail.
  bool is_sfv_itself() const { return state == EntryState::counted && sfv_name != "*"; }
};

// Why a directory cannot be examined as a release.
enum class ReleaseProblem { none, unreadable_directory, no_sfv, unreadable_sfv, unparsable_sfv };

struct ReleaseReport {
  ReleaseProblem problem = ReleaseProblem::none;
  std::string sfv_name;              // the release's SFV file, once found
  std::string sfv_problem;           // why it cannot be read (unreadable_sfv)
  bool sfv_below = false;            // no_sfv, and a directory right below holds one
  std::vector<EntryReport> entries;  // counted entries, in SFV line order
  // Markers of entries that are there, files that pass for their markers only
  // by the name rules, and empty-or-not files named like a marker of a name
  // the SFV does not count; sorted.
  std::vector<std::string> stale_markers;
  std::vector<std::string> unlisted_files;  // regular files the SFV has no part in; sorted
  // Status directories whose names do not tell the progress below; sorted.
  std::vector<std::string> stale_status;

  // Entries in `state`. Cannot fail.
  int count(EntryState state) const;
  // The share of counted entries that verified ok or are counted as there, as
  // a hook run rounds it; 0 for a release without counted entries, which is
  // never complete.
  Progress progress() const;
  // True when every counted entry is there and there is one at least.
  bool complete() const { return progress().complete(); }
  // True when complete and no copy under an equivalent name fails its check,
  // as a hook run for that copy would tell. Cannot fail.
  bool clean() const;
};

// Files are read as for every other command.
using AuditOptions = ReadOptions;

// Examines the release in the working directory: lists it, finds its SFV as a
// single-file check does, reads the files of every counted entry (also under
// their untested and bad names) with `options.jobs` threads, and reports.
// Fails only as `problem` says; the entries are then empty.
ReleaseReport examine_release(const Settings& settings, const AuditOptions& options);

}  // namespace kuvo
