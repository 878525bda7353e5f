// Bringing a release back to the state its uploads would have left had each
// file been checked as it arrived: files that match under their own names
// without markers, files that do not under their bad names with their markers,
// a marker for every absent or unreadable file, no stale marker. Nothing that
// is not an empty marker is ever overwritten or deleted, the release's SFV is
// never renamed or marked, and only files as they were read are moved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "verify/audit.h"

namespace kuvo {

// One change a repair makes, in the order it makes them.
struct RepairStep {
  // What became of the step.
  enum class Outcome {
    planned,  // not carried out: a dry run, or a clash, which is never carried out
    done,
    failed,   // the system refused it, for the reason `error`
    changed   // left: its file is no longer the one the examination read, or
              // the marker to remove is no longer an empty file
  };
  enum class Kind {
    rename,         // `name` becomes `target`
    exchange,       // `name` and `target` swap names, in one step
    create_marker,  // the empty marker `name` is laid out
    remove_marker,  // the empty marker `name` goes
    clash           // `name` stays: `target` is taken, or (no target) it is not an empty marker
  };
  Kind kind = Kind::rename;
  std::string name;
  std::string target;
  // The files as the examination read them, for a rename (`name`) and an
  // exchange (both): the step acts only on these very files.
  std::optional<FileIdentity> name_read;
  std::optional<FileIdentity> target_read;
  Outcome outcome = Outcome::planned;
  int error = 0;  // errno, when the step failed
};

// The changes that bring the release in the working directory, as `report`
// found it, to its true state; reads the status of names it may remove or
// rename onto, changes nothing, and never names the release's SFV file as a
// step's file or target. Cannot fail.
std::vector<RepairStep> plan_repair(const Settings& settings, const ReleaseReport& report);

// Makes the changes of `plan` in order, never replacing a file a rename would
// land on, renaming only the very files that were read and removing only
// empty regular files; each step gets its outcome and a failed one does not
// stop the others. Run by root, the markers it creates get the owner and
// group of the release directory.
void apply_repair(std::vector<RepairStep>& plan);

// Publishes the progress `after`, the examination of the release in the
// working directory after its repair, with the publishing settings as a
// single-file check would; the status line is written only when the progress
// changed from `before`, so that a release complete before is not announced
// again. Run by root, a status directory it creates gets the release
// directory's owner and group. Does nothing without a publishing setting or
// for a release `after` could not examine; failures of the file-system calls are not reported.
void publish_examined(const Settings& settings, const ReleaseReport& before,
                      const ReleaseReport& after);

}  // namespace kuvo
