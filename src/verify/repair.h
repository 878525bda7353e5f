// Bringing a release back to the state its uploads would have left had each
// file been checked as it arrived: files that match under their own names
// without markers, files that do not under their bad names with their markers,
// a marker for every absent or unreadable file, no stale marker. Nothing that
// is not an empty marker is ever overwritten or deleted.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "verify/audit.h"

namespace kuvo {

// One change a repair makes, in the order it makes them.
struct RepairStep {
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
  std::optional<std::string> failure;  // set by apply_repair when the change failed, saying why
};

// The changes that bring the release in the working directory, as `report`
// found it, to its true state; reads the status of names it may remove or
// rename onto, changes nothing. Cannot fail.
std::vector<RepairStep> plan_repair(const Settings& settings, const ReleaseReport& report);

// Makes the changes of `plan` in order, never replacing a file a rename would
// land on and removing only empty regular files; a step that fails gets its
// `failure` and the others go on.
void apply_repair(std::vector<RepairStep>& plan);

// Computes the progress of the release in the working directory as a hook run
// does and publishes it with the publishing settings, as a single-file check
// would; does nothing when the SFV `sfv_name` or the directory cannot be read,
// after emitting why.
void publish_repaired(const Settings& settings, const std::string& sfv_name);

}  // namespace kuvo
